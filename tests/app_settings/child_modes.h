// Environment variables that turn the test binary into a stand-in child (child_modes.cpp).
#pragma once

namespace vostrale::app::test {

inline constexpr const wchar_t* kEchoVariable = L"VOSTRALE_TEST_ECHO";
inline constexpr const wchar_t* kStartupVariable = L"VOSTRALE_TEST_STARTUP";

} // namespace vostrale::app::test
