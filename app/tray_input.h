// What the tray icon's clicks and keys mean: the click state (one click opens the menu once the
// double-click time has passed, two clicks run the default action) and the icon callback's
// message as either notification version delivers it.
#pragma once

#include <cstdint>

namespace vostrale::app {

constexpr uint32_t kTrayIconId = 14;
constexpr uint32_t kTrayCallbackMessage = 0x8064; // WM_APP + 100
constexpr uint32_t kTrayClickMessage = 0x8065;    // wParam 1: default action, 0: menu
constexpr uint32_t kClickTimerId = 15;

// Win32 message numbers the callback carries.
constexpr uint32_t kMsgLButtonDown = 0x0201;
constexpr uint32_t kMsgLButtonDblClk = 0x0203;
constexpr uint32_t kMsgRButtonUp = 0x0205;
constexpr uint32_t kMsgContextMenu = 0x007B;
constexpr uint32_t kNotifySelect = 0x0400;    // NIN_SELECT
constexpr uint32_t kNotifyKeySelect = 0x0401; // NIN_KEYSELECT

// What the window does after an input.
struct ClickOutput {
    bool startTimer = false;
    bool killTimer = false;
    enum Post { kNothing, kMenu, kDefaultAction } post = kNothing;
};

class ClickTracker {
  public:
    ClickOutput ButtonDown();
    ClickOutput DoubleClick();
    ClickOutput TimerFired();
    bool Pending() const { return m_pending; }

  private:
    bool m_pending = false;
    uint32_t m_count = 0;
};

// The icon callback taken apart: which icon and which event.
struct IconEvent {
    uint32_t iconId = 0;
    uint32_t message = 0;
};
// Version 4 packs the event into the low word of lParam and the icon into the high word; the
// older version passes the icon in wParam and the event in lParam.
IconEvent DecodeIconCallback(bool version4, uint64_t wParam, uint64_t lParam);

enum class IconAction { kNone, kButtonDown, kDoubleClick, kLeftMenu, kRightMenu };
// What an icon event asks for. With version 4 the right menu comes with WM_CONTEXTMENU (mouse
// and Shift+F10 alike) and the keyboard's select with NIN_KEYSELECT; otherwise with
// WM_RBUTTONUP.
IconAction ActionOfIconEvent(bool version4, const IconEvent& event);

} // namespace vostrale::app
