// The hidden main window of the tray instance: the notification-area icon, the menus rendered
// from their models, the click timing, the commands, drive arrival and the modal guard.
#pragma once

#include "app/context.h"

#include <windows.h>

namespace vostrale::app {

inline constexpr const wchar_t* kTrayWindowClass = L"VOSTRALE";
inline constexpr const wchar_t* kTrayWindowTitle = L"VOSTRALETRAY";
// Posted to the window itself to remount after a drive arrived (wParam: the unit mask).
constexpr UINT kRemountMessage = WM_APP + 103;

bool RegisterTrayWindowClass(HINSTANCE instance);
void UnregisterTrayWindowClass(HINSTANCE instance);
// Creates the hidden window; its creation adds the icon. The window reaches `ctx` through its
// creation parameter; `ctx` must outlive it.
HWND CreateTrayWindow(HINSTANCE instance, AppContext& ctx);

// Whether the window's icon is in the notification area (NIM_MODIFY succeeds only then).
bool TrayIconPresent(HWND window);
// Whether the window took notification version 4 (keyboard selection, WM_CONTEXTMENU).
bool TrayIconVersion4(HWND window);
// Menu items render their bitmaps from these, loaded once per window.
HBITMAP TrayMenuBitmap(HWND window, uint16_t id);

} // namespace vostrale::app
