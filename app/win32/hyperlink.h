// The link control dialogs use ("SysLink"): the common controls' own where they have one, else
// this program's window class, which parses the same markup and sends the same NM_CLICK and
// NM_RETURN notifications with an NMLINK record.
#pragma once

#include <windows.h>

namespace vostrale::app {

inline constexpr const wchar_t* kLinkClassName = L"SysLink";

// Call once before the first dialog. Asks the common controls for their link class and
// registers this program's class under "SysLink" only when none exists. True when a "SysLink"
// class is available afterwards.
bool RegisterHyperlinkClass(HINSTANCE instance);

// Removes the class again if RegisterHyperlinkClass registered this program's own.
void UnregisterHyperlinkClass(HINSTANCE instance);

// This program's control under any class name (tests, and where the system's must not be
// used). Registered as a global class.
bool RegisterOwnHyperlinkClass(HINSTANCE instance, const wchar_t* className);

} // namespace vostrale::app
