#include "app/tray_input.h"

namespace vostrale::app {

ClickOutput ClickTracker::ButtonDown() {
    ClickOutput out;
    if (m_pending) {
        ++m_count;
        return out;
    }
    m_pending = true;
    m_count = 1;
    out.startTimer = true;
    return out;
}

ClickOutput ClickTracker::DoubleClick() {
    ClickOutput out;
    if (!m_pending)
        return out; // the timer has already decided about this click
    if (++m_count >= 2) {
        out.killTimer = true;
        out.post = ClickOutput::kDefaultAction;
        m_pending = false;
        m_count = 0;
    }
    return out;
}

ClickOutput ClickTracker::TimerFired() {
    ClickOutput out;
    out.killTimer = true;
    if (!m_pending)
        return out;
    out.post = m_count > 1 ? ClickOutput::kDefaultAction : ClickOutput::kMenu;
    m_pending = false;
    m_count = 0;
    return out;
}

IconEvent DecodeIconCallback(bool version4, uint64_t wParam, uint64_t lParam) {
    IconEvent event;
    if (version4) {
        event.message = uint32_t(lParam & 0xFFFF);
        event.iconId = uint32_t((lParam >> 16) & 0xFFFF);
    } else {
        event.message = uint32_t(lParam & 0xFFFFFFFFu);
        event.iconId = uint32_t(wParam & 0xFFFFFFFFu);
    }
    return event;
}

IconAction ActionOfIconEvent(bool version4, const IconEvent& event) {
    if (event.iconId != kTrayIconId)
        return IconAction::kNone;
    switch (event.message) {
    case kMsgLButtonDown:
        return IconAction::kButtonDown;
    case kMsgLButtonDblClk:
        return IconAction::kDoubleClick;
    case kMsgRButtonUp:
        return version4 ? IconAction::kNone : IconAction::kRightMenu;
    case kMsgContextMenu:
        return version4 ? IconAction::kRightMenu : IconAction::kNone;
    case kNotifyKeySelect:
        return version4 ? IconAction::kLeftMenu : IconAction::kNone;
    default:
        return IconAction::kNone;
    }
}

} // namespace vostrale::app
