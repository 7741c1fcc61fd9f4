#include "app/win32/tray_window.h"

#include "app/history.h"
#include "app/text.h"
#include "app/tray_input.h"
#include "app/tray_menu.h"
#include "app/win32/dialogs.h"

#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>

#include <map>
#include <vector>

namespace vostrale::app {

namespace {

constexpr UINT_PTR kIconRetryTimer = 16;
constexpr UINT kIconRetryMs = 2000;
constexpr int kIconRetries = 60;
constexpr UINT kQueryIconMessage = WM_APP + 104; // wParam 0: present?, 1: version 4?
constexpr UINT kQueryBitmapMessage = WM_APP + 105;

const UINT g_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

class TrayWindow;

// What CreateWindowExW carries to WM_NCCREATE: once adopted, the window frees the object.
struct Creation {
    TrayWindow* tray;
    bool adopted;
};

class Win32TrayShell final : public TrayShell {
  public:
    explicit Win32TrayShell(TrayWindow* tray) : m_tray(tray) {}
    bool ChooseImage(std::wstring* path) override;
    void OpenFolder(const std::wstring& folder) override;
    void OpenHomePage() override;
    void ShowAbout() override;
    void Exit() override;
    void* OwnerWindow() override;

  private:
    TrayWindow* m_tray;
};

class TrayWindow {
  public:
    TrayWindow(HINSTANCE instance, AppContext& ctx) : m_instance(instance), m_ctx(ctx), m_shell(this) {}

    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND Window() const { return m_window; }
    AppContext& Context() { return m_ctx; }
    HINSTANCE Instance() const { return m_instance; }
    void RequestExit();

  private:
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCreate();
    void OnDestroy();
    bool AddIcon();
    void DeleteIcon();
    NOTIFYICONDATAW IconData(UINT flags) const;
    void OnIcon(WPARAM wParam, LPARAM lParam);
    void Apply(const ClickOutput& out);
    void RunDefaultAction();
    void ShowMenu(const MenuModel& model);
    HMENU Render(const MenuModel& model);
    void RunCommand(uint32_t command);
    bool BringModalToFront();
    void OnDeviceChange(WPARAM wParam, LPARAM lParam);
    void Remount(uint32_t units);

    HINSTANCE m_instance;
    AppContext& m_ctx;
    Win32TrayShell m_shell;
    HWND m_window = nullptr;
    HICON m_icon = nullptr;
    bool m_iconAdded = false;
    bool m_version4 = false;
    int m_iconRetries = 0;
    ClickTracker m_clicks;
    std::map<uint16_t, HBITMAP> m_bitmaps;
    HWND m_dialog = nullptr; // the dialog to bring to the front while modal UI is up
    int m_busy = 0;          // command handlers running (they may run modal UI)
    bool m_inMenu = false;
    bool m_closePending = false;
};

bool Win32TrayShell::ChooseImage(std::wstring* path) {
    std::wstring filter = OpenFileFilter();
    wchar_t file[kMaxPath] = {};
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = m_tray->Window();
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = DWORD(kMaxPath);
    dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
                   OFN_ENABLESIZING | OFN_EXPLORER;
    if (!GetOpenFileNameW(&dialog))
        return false;
    file[kMaxPath - 1] = 0;
    *path = file;
    return !path->empty();
}

void Win32TrayShell::OpenFolder(const std::wstring& folder) {
    ShellExecuteW(m_tray->Window(), L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void Win32TrayShell::OpenHomePage() {
    OpenWebLink(m_tray->Window(), WebLink::kHomePage);
}

void Win32TrayShell::ShowAbout() {
    ShowAboutBox(m_tray->Context(), m_tray->Window());
}

void Win32TrayShell::Exit() {
    m_tray->RequestExit();
}

void* Win32TrayShell::OwnerWindow() {
    return m_tray->Window();
}

LRESULT CALLBACK TrayWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TrayWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        auto* creation =
            static_cast<Creation*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        creation->adopted = true;
        self = creation->tray;
        self->m_window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(self));
    }
    if (!self)
        return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // The object goes only with the window, after every handler has returned.
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete self;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->Handle(message, wParam, lParam);
}

LRESULT TrayWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == g_taskbarCreated && g_taskbarCreated != 0) {
        m_iconAdded = false; // a new taskbar knows no icons
        AddIcon();
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        OnCreate();
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    case WM_CLOSE:
        RequestExit();
        return 0;
    case WM_COMMAND:
        RunCommand(LOWORD(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == kClickTimerId) {
            Apply(m_clicks.TimerFired());
        } else if (wParam == kIconRetryTimer) {
            if (AddIcon() || ++m_iconRetries >= kIconRetries)
                KillTimer(m_window, kIconRetryTimer);
        }
        return 0;
    case kTrayCallbackMessage:
        OnIcon(wParam, lParam);
        return 0;
    case kTrayClickMessage:
        if (BringModalToFront())
            return 0;
        if (wParam)
            RunDefaultAction();
        else
            ShowMenu(BuildLeftMenu(m_ctx));
        return 0;
    case kNoteDialogMessage: {
        HWND dialog = reinterpret_cast<HWND>(wParam);
        if (lParam)
            m_dialog = dialog;
        else if (m_dialog == dialog)
            m_dialog = nullptr;
        return 0;
    }
    case WM_DEVICECHANGE:
        OnDeviceChange(wParam, lParam);
        return TRUE;
    case kRemountMessage:
        Remount(uint32_t(wParam));
        return 0;
    case kQueryIconMessage:
        return wParam == 0 ? m_iconAdded : m_version4;
    case kQueryBitmapMessage: {
        auto found = m_bitmaps.find(uint16_t(wParam));
        return found == m_bitmaps.end() ? 0 : LRESULT(found->second);
    }
    default:
        return DefWindowProcW(m_window, message, wParam, lParam);
    }
}

void TrayWindow::OnCreate() {
    int size = GetSystemMetrics(SM_CXSMICON);
    m_icon = static_cast<HICON>(LoadImageW(m_instance, MAKEINTRESOURCEW(kIconTray), IMAGE_ICON,
                                           size, size, LR_DEFAULTCOLOR));
    // Menu bitmaps once per window: DestroyMenu leaves item bitmaps alone.
    for (uint16_t id : kMenuBitmaps) {
        HANDLE bitmap = LoadImageW(m_instance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0,
                                   LR_CREATEDIBSECTION);
        if (bitmap)
            m_bitmaps[id] = static_cast<HBITMAP>(bitmap);
    }
    // An elevated instance still hears a restarted taskbar.
    ChangeWindowMessageFilterEx(m_window, g_taskbarCreated, MSGFLT_ALLOW, nullptr);
    if (!AddIcon())
        SetTimer(m_window, kIconRetryTimer, kIconRetryMs, nullptr); // no taskbar yet at logon
    if (m_ctx.startUpdateCheck)
        m_ctx.startUpdateCheck(m_ctx);
}

void TrayWindow::OnDestroy() {
    KillTimer(m_window, kClickTimerId);
    KillTimer(m_window, kIconRetryTimer);
    DeleteIcon();
    for (auto& entry : m_bitmaps)
        DeleteObject(entry.second);
    m_bitmaps.clear();
    if (m_icon)
        DestroyIcon(m_icon);
    m_icon = nullptr;
    PostQuitMessage(0);
}

NOTIFYICONDATAW TrayWindow::IconData(UINT flags) const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = m_window;
    data.uID = kTrayIconId;
    data.uFlags = flags;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = m_icon ? m_icon : LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    lstrcpynW(data.szTip, kProductCaption, ARRAYSIZE(data.szTip));
    return data;
}

bool TrayWindow::AddIcon() {
    NOTIFYICONDATAW data = IconData(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    if (!Shell_NotifyIconW(NIM_ADD, &data)) {
        // Already there (a repeated broadcast) counts as added.
        m_iconAdded = Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
        return m_iconAdded;
    }
    m_iconAdded = true;
    data.uVersion = NOTIFYICON_VERSION_4;
    m_version4 = Shell_NotifyIconW(NIM_SETVERSION, &data) != FALSE;
    return true;
}

void TrayWindow::DeleteIcon() {
    NOTIFYICONDATAW data = IconData(0);
    Shell_NotifyIconW(NIM_DELETE, &data);
    m_iconAdded = false;
}

bool TrayWindow::BringModalToFront() {
    if (m_dialog && IsWindow(m_dialog)) {
        SetActiveWindow(m_dialog);
        SetForegroundWindow(m_dialog);
        return true;
    }
    if (m_busy == 0)
        return false;
    // A message box or the open-file dialog of a running command: the newest popup.
    HWND popup = GetLastActivePopup(m_window);
    struct Search {
        HWND main;
        HWND found;
    } search{m_window, popup != m_window ? popup : nullptr};
    if (!search.found) {
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND window, LPARAM param) -> BOOL {
                auto* s = reinterpret_cast<Search*>(param);
                if (window != s->main && IsWindowVisible(window) && IsWindowEnabled(window)) {
                    s->found = window;
                    return FALSE;
                }
                return TRUE;
            },
            LPARAM(&search));
    }
    if (search.found)
        SetForegroundWindow(search.found);
    return true;
}

void TrayWindow::OnIcon(WPARAM wParam, LPARAM lParam) {
    IconEvent event = DecodeIconCallback(m_version4, wParam, lParam);
    IconAction action = ActionOfIconEvent(m_version4, event);
    if (action == IconAction::kNone || m_inMenu)
        return;
    if (BringModalToFront())
        return;
    switch (action) {
    case IconAction::kButtonDown:
        Apply(m_clicks.ButtonDown());
        break;
    case IconAction::kDoubleClick:
        Apply(m_clicks.DoubleClick());
        break;
    case IconAction::kLeftMenu:
        ShowMenu(BuildLeftMenu(m_ctx));
        break;
    case IconAction::kRightMenu:
        ShowMenu(BuildRightMenu(m_ctx));
        break;
    case IconAction::kNone:
        break;
    }
}

void TrayWindow::Apply(const ClickOutput& out) {
    if (out.startTimer)
        SetTimer(m_window, kClickTimerId, GetDoubleClickTime(), nullptr);
    if (out.killTimer)
        KillTimer(m_window, kClickTimerId);
    if (out.post != ClickOutput::kNothing)
        PostMessageW(m_window, kTrayClickMessage, out.post == ClickOutput::kDefaultAction, 0);
}

void TrayWindow::RunDefaultAction() {
    uint32_t command = DefaultCommand(BuildRightMenu(m_ctx));
    if (command)
        RunCommand(command);
}

HMENU TrayWindow::Render(const MenuModel& model) {
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return nullptr;
    MENUINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = MIM_STYLE;
    info.dwStyle = MNS_CHECKORBMP;
    SetMenuInfo(menu, &info);
    UINT position = 0;
    for (const MenuItem& item : model) {
        MENUITEMINFOW entry{};
        entry.cbSize = sizeof(entry);
        if (item.kind == MenuItem::kSeparator) {
            entry.fMask = MIIM_FTYPE;
            entry.fType = MFT_SEPARATOR;
        } else {
            entry.fMask = MIIM_STRING | MIIM_STATE | MIIM_ID;
            entry.dwTypeData = const_cast<wchar_t*>(item.label.c_str());
            entry.wID = item.id;
            entry.fState = (item.greyed ? MFS_GRAYED : MFS_ENABLED) |
                           (item.checked ? MFS_CHECKED : 0) | (item.isDefault ? MFS_DEFAULT : 0);
            auto bitmap = m_bitmaps.find(item.bitmap);
            if (bitmap != m_bitmaps.end()) {
                entry.fMask |= MIIM_BITMAP;
                entry.hbmpItem = bitmap->second;
            }
            if (item.kind == MenuItem::kSubMenu) {
                entry.fMask |= MIIM_SUBMENU;
                entry.hSubMenu = Render(item.items);
            }
        }
        InsertMenuItemW(menu, position++, TRUE, &entry);
    }
    return menu;
}

void TrayWindow::ShowMenu(const MenuModel& model) {
    HMENU menu = Render(model);
    if (!menu)
        return;
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(m_window);
    m_inMenu = true;
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, m_window, nullptr);
    m_inMenu = false;
    PostMessageW(m_window, WM_NULL, 0, 0);
    DestroyMenu(menu); // sub-menus too; the bitmaps stay ours
}

void TrayWindow::RunCommand(uint32_t command) {
    if (m_busy > 0 && DecodeCommand(command).action != TrayCommand::kExit) {
        BringModalToFront(); // one command at a time: the first one's UI is still up
        return;
    }
    ++m_busy;
    RunTrayCommand(m_ctx, &m_shell, command);
    --m_busy;
    if (m_busy == 0 && m_closePending)
        DestroyWindow(m_window);
}

void TrayWindow::RequestExit() {
    if (m_busy > 0) {
        m_closePending = true; // once the running handler has returned
        return;
    }
    DestroyWindow(m_window);
}

void TrayWindow::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
    if ((m_ctx.settings.config & (kConfigRemount | kConfigArrival)) == 0 ||
        wParam != DBT_DEVICEARRIVAL || lParam == 0)
        return;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header->dbch_devicetype != DBT_DEVTYP_VOLUME ||
        header->dbch_size < sizeof(DEV_BROADCAST_VOLUME))
        return;
    const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lParam);
    if (volume->dbcv_flags & (DBTF_MEDIA | DBTF_NET))
        return;
    // Return to the broadcaster at once; the remount runs from our own queue.
    PostMessageW(m_window, kRemountMessage, volume->dbcv_unitmask, 0);
}

void TrayWindow::Remount(uint32_t units) {
    if ((m_ctx.settings.config & kConfigRemount) == 0)
        return;
    for (uint32_t n = 2; n <= kMaxLetterIndex; ++n) {
        if ((units & (1u << n)) == 0)
            continue;
        DriveHandle drive = m_ctx.channel.OpenDriveByLetter(wchar_t(L'A' + n));
        if (drive)
            RemountDrive(m_ctx, drive);
    }
}

} // namespace

bool RegisterTrayWindowClass(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = TrayWindow::Proc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kTrayWindowClass;
    return RegisterClassW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void UnregisterTrayWindowClass(HINSTANCE instance) {
    UnregisterClassW(kTrayWindowClass, instance);
}

HWND CreateTrayWindow(HINSTANCE instance, AppContext& ctx) {
    Creation creation{new TrayWindow(instance, ctx), false};
    HWND window = CreateWindowExW(0, kTrayWindowClass, kTrayWindowTitle, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  nullptr, nullptr, instance, &creation);
    if (!creation.adopted)
        delete creation.tray;
    return window;
}

bool TrayIconPresent(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = kTrayIconId;
    data.uFlags = NIF_TIP;
    lstrcpynW(data.szTip, kProductCaption, ARRAYSIZE(data.szTip));
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

bool TrayIconVersion4(HWND window) {
    return SendMessageW(window, kQueryIconMessage, 1, 0) != 0;
}

HBITMAP TrayMenuBitmap(HWND window, uint16_t id) {
    return reinterpret_cast<HBITMAP>(SendMessageW(window, kQueryBitmapMessage, id, 0));
}

} // namespace vostrale::app
