// Small text helpers of the tray program: case-insensitive comparisons, bounded formatting,
// UTF-16 registry bytes, and the default texts of the messages the drive code shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vostrale::app {

inline constexpr const wchar_t* kProductCaption = L"Vostrale";
inline constexpr const wchar_t* kUnsupportedFormatMessage = L"Unsupported file format";

// Folds A-Z only, as the file-system and device names compared here are ASCII.
wchar_t FoldAscii(wchar_t c);
bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix);
// Whole-string comparison without regard to case (letters beyond ASCII through towlower).
bool EqualNoCase(const std::wstring& a, const std::wstring& b);

// swprintf into a fixed buffer; always terminated, cut to the buffer when too long (the same
// on every C library). Wide strings are passed with %ls.
void FormatInto(wchar_t* out, size_t outChars, const wchar_t* format, ...);

// UTF-16LE bytes <-> wide text (wchar_t is 16-bit on Windows and 32-bit elsewhere; units are
// carried one for one).
std::vector<uint8_t> Utf16Bytes(const std::wstring& text, bool withTerminator);
std::wstring FromUtf16Bytes(const uint8_t* data, size_t byteCount);

// A path object for wide text without the C library's locale: Windows keeps the UTF-16 as it
// is; elsewhere the text is encoded as UTF-8 (conversion through the locale would throw).
std::filesystem::path ToPath(const std::wstring& text);

} // namespace vostrale::app
