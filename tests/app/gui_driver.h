// Driving the tray's real windows from inside the test process (Windows only): message pumps
// with time limits, thread timers that act on a menu or dialog once it is up (they fire inside
// TrackPopupMenu's and a dialog's modal loop), reading live menus back as text, filling the
// open-file dialog, and a FLAC file long enough to index for a while.
#pragma once

#include "app/tray_menu.h"
#include "codecs/flac.h"

#include <commctrl.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace vostrale::app::test {

inline void InitCommonControlsForTests() {
    INITCOMMONCONTROLSEX controls{sizeof(controls),
                                  ICC_LISTVIEW_CLASSES | ICC_LINK_CLASS | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
}

// Dispatches messages until `done` holds or `ms` have passed; returns `done()`.
inline bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > ms)
            return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

inline void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

// A visible (or any) top-level window of this process with the class and, when given, title.
inline HWND FindOwnWindow(const wchar_t* className, const wchar_t* title, bool visible) {
    DWORD self = GetCurrentProcessId();
    for (HWND window = FindWindowExW(nullptr, nullptr, className, title); window;
         window = FindWindowExW(nullptr, window, className, title)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == self && (!visible || IsWindowVisible(window)))
            return window;
    }
    return nullptr;
}

inline std::wstring DialogItemText(HWND dialog, int id) {
    wchar_t text[1024] = {};
    GetDlgItemTextW(dialog, id, text, 1024);
    return text;
}

// Calls `step` on every tick of a thread timer (50 ms) until it returns true or 20 s pass.
class TimerDriver {
  public:
    explicit TimerDriver(std::function<bool()> step) : m_step(std::move(step)) {
        m_timer = SetTimer(nullptr, 0, 50, Tick);
    }
    ~TimerDriver() {
        if (m_timer)
            KillTimer(nullptr, m_timer);
    }
    TimerDriver(const TimerDriver&) = delete;
    TimerDriver& operator=(const TimerDriver&) = delete;
    bool Done() const { return m_done; }

  private:
    // Thread timers carry no data: each driver is found by its timer number.
    static void CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
        for (TimerDriver* driver : Registry()) {
            if (driver->m_timer != id || driver->m_done || driver->m_running)
                continue;
            driver->m_running = true;
            bool finished = ++driver->m_ticks > 400 || driver->m_step();
            driver->m_running = false;
            if (finished) {
                driver->m_done = true;
                KillTimer(nullptr, id);
            }
            return;
        }
    }
    static std::vector<TimerDriver*>& Registry() {
        static thread_local std::vector<TimerDriver*> drivers;
        return drivers;
    }

  protected:
    void Enlist() { Registry().push_back(this); }
    void Delist() {
        auto& drivers = Registry();
        for (size_t i = 0; i < drivers.size(); ++i) {
            if (drivers[i] == this) {
                drivers.erase(drivers.begin() + ptrdiff_t(i));
                break;
            }
        }
    }

  private:
    std::function<bool()> m_step;
    UINT_PTR m_timer = 0;
    int m_ticks = 0;
    bool m_done = false;
    bool m_running = false;
};

// Acts once on the first pop-up menu this thread shows.
class MenuDriver : public TimerDriver {
  public:
    explicit MenuDriver(std::function<void(HWND, HMENU)> act)
        : TimerDriver([this] { return Step(); }), m_act(std::move(act)) {
        Enlist();
    }
    ~MenuDriver() { Delist(); }

  private:
    bool Step() {
        struct Search {
            HWND found = nullptr;
        } search;
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND window, LPARAM param) -> BOOL {
                wchar_t name[16] = {};
                GetClassNameW(window, name, 16);
                if (std::wstring(name) == L"#32768" && IsWindowVisible(window)) {
                    reinterpret_cast<Search*>(param)->found = window;
                    return FALSE;
                }
                return TRUE;
            },
            LPARAM(&search));
        if (!search.found)
            return false;
        HMENU menu = reinterpret_cast<HMENU>(SendMessageW(search.found, 0x01E1, 0, 0));
        if (!menu)
            return false;
        m_act(search.found, menu);
        return true;
    }
    std::function<void(HWND, HMENU)> m_act;
};

// Acts on a visible dialog of this process with the class (and title) until `act` says done.
class DialogDriver : public TimerDriver {
  public:
    DialogDriver(const wchar_t* className, const wchar_t* title, std::function<bool(HWND)> act)
        : TimerDriver([this] { return Step(); }), m_class(className),
          m_title(title ? title : L""), m_hasTitle(title != nullptr), m_act(std::move(act)) {
        Enlist();
    }
    ~DialogDriver() { Delist(); }

  private:
    bool Step() {
        HWND window =
            FindOwnWindow(m_class.c_str(), m_hasTitle ? m_title.c_str() : nullptr, true);
        return window && m_act(window);
    }
    std::wstring m_class, m_title;
    bool m_hasTitle;
    std::function<bool(HWND)> m_act;
};

// The explorer-style open dialog: the name into its file-name field, then OK.
inline bool FillOpenDialog(HWND dialog, const std::wstring& path) {
    HWND name = GetDlgItem(dialog, 0x47C);
    if (!name)
        name = GetDlgItem(dialog, 0x480);
    if (!name)
        return false;
    SetWindowTextW(name, path.c_str());
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    return true;
}

inline void DescribeLine(const std::string& indent, const std::wstring& text, uint32_t id,
                         bool command, bool grey, bool check, bool isDefault, std::wstring* out) {
    std::wstring line(indent.begin(), indent.end());
    if (command) {
        wchar_t number[16];
        swprintf(number, 16, L"%04x:", id);
        line += number;
    }
    line += text;
    if (grey)
        line += L" [grey]";
    if (check)
        line += L" [check]";
    if (isDefault)
        line += L" [default]";
    *out += line + L"\n";
}

inline void DescribeModel(const MenuModel& menu, const std::string& indent, std::wstring* out) {
    for (const MenuItem& item : menu) {
        if (item.kind == MenuItem::kSeparator) {
            *out += std::wstring(indent.begin(), indent.end()) + L"-\n";
            continue;
        }
        DescribeLine(indent, item.label, item.id, item.kind == MenuItem::kCommand, item.greyed,
                     item.checked, item.isDefault, out);
        if (item.kind == MenuItem::kSubMenu)
            DescribeModel(item.items, indent + "  ", out);
    }
}

inline std::wstring DescribeModel(const MenuModel& menu) {
    std::wstring out;
    DescribeModel(menu, "", &out);
    return out;
}

// A live menu in the same form, read with GetMenuItemInfoW.
inline void DescribeMenu(HMENU menu, const std::string& indent, std::wstring* out) {
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[512] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING | MIIM_SUBMENU;
        info.dwTypeData = text;
        info.cch = 511;
        if (!GetMenuItemInfoW(menu, UINT(i), TRUE, &info))
            continue;
        if (info.fType & MFT_SEPARATOR) {
            *out += std::wstring(indent.begin(), indent.end()) + L"-\n";
            continue;
        }
        DescribeLine(indent, text, info.wID, info.hSubMenu == nullptr,
                     (info.fState & MFS_GRAYED) != 0, (info.fState & MFS_CHECKED) != 0,
                     (info.fState & MFS_DEFAULT) != 0, out);
        if (info.hSubMenu)
            DescribeMenu(info.hSubMenu, indent + "  ", out);
    }
}

inline std::wstring DescribeMenu(HMENU menu) {
    std::wstring out;
    DescribeMenu(menu, "", &out);
    return out;
}

inline bool MenuHasBitmaps(HMENU menu) {
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_BITMAP;
        if (GetMenuItemInfoW(menu, UINT(i), TRUE, &info) && info.hbmpItem &&
            GetObjectType(info.hbmpItem) == OBJ_BITMAP)
            return true;
    }
    return false;
}

// The metadata of `source` followed by its full-size frames `times` over (a short last frame
// only once, at the very end), with a fresh STREAMINFO MD5 so no cached seek table of an
// earlier run matches.
inline bool WriteRepeatedFlac(const std::filesystem::path& source, int times,
                              const std::filesystem::path& target) {
    std::ifstream in(source, std::ios::binary);
    std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (f.size() < 8 || f[0] != 'f' || f[1] != 'L' || f[2] != 'a' || f[3] != 'C')
        return false;
    size_t at = 4;
    bool last = false;
    while (!last) {
        if (f.size() - at < 4)
            return false;
        last = (f[at] & 0x80) != 0;
        uint32_t type = f[at] & 0x7F;
        size_t length = (size_t(f[at + 1]) << 16) | (size_t(f[at + 2]) << 8) | f[at + 3];
        if (type == 0 && length >= 34 && f.size() - at >= 4 + 34) {
            DWORD seed = GetTickCount() ^ GetCurrentProcessId();
            for (int i = 0; i < 16; ++i)
                f[at + 4 + 18 + i] = uint8_t(seed >> ((i % 4) * 8)) ^ uint8_t(i * 37);
        }
        at += 4 + length;
        if (at > f.size())
            return false;
    }
    // Where the last frame starts, found with the decoder itself.
    std::vector<int32_t> left(65536), right(65536);
    int32_t* buffers[2] = {left.data(), right.data()};
    size_t lastFrame = at;
    for (size_t pos = at; pos < f.size();) {
        FlacFrameInfo info{};
        size_t used = DecodeFlacFrame(f.data() + pos, f.size() - pos, 16, buffers, 2, 65536, &info);
        if (used == 0)
            return false;
        lastFrame = pos;
        pos += used;
    }
    std::ofstream out(target, std::ios::binary);
    out.write(reinterpret_cast<const char*>(f.data()), std::streamsize(at));
    for (int i = 1; i < times; ++i)
        out.write(reinterpret_cast<const char*>(f.data() + at), std::streamsize(lastFrame - at));
    out.write(reinterpret_cast<const char*>(f.data() + at), std::streamsize(f.size() - at));
    return bool(out);
}

} // namespace vostrale::app::test
