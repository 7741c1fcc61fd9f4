#include "app/win32/dialogs.h"

#include "app/progress.h"
#include "app/text.h"
#include "app/win32/dialog_template.h"
#include "app/win32/hyperlink.h"

#include <commctrl.h>
#include <shellapi.h>

#include <vector>

namespace vostrale::app {

namespace {

constexpr UINT_PTR kProgressTimer = 15;
constexpr UINT kProgressTickMs = 50;
constexpr size_t kProgressFormatChars = 64;
constexpr size_t kClassNameChars = 16;
const wchar_t* const kLinkClass = kLinkClassName;
const wchar_t kStatic[] = L"STATIC";
const wchar_t kButton[] = L"BUTTON";
const wchar_t kEdit[] = L"EDIT";

std::wstring WindowText(HWND window) {
    int n = GetWindowTextLengthW(window);
    if (n <= 0)
        return {};
    std::vector<wchar_t> buffer(size_t(n) + 1, 0);
    GetWindowTextW(window, buffer.data(), n + 1);
    return buffer.data();
}

HINSTANCE ProgramInstance() {
    return GetModuleHandleW(nullptr);
}

HICON ProgramIcon(WORD id, int size) {
    HICON icon = static_cast<HICON>(
        LoadImageW(ProgramInstance(), MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_SHARED));
    return icon ? icon : LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
}

void NoteDialog(HWND owner, HWND dialog, bool open) {
    if (owner)
        PostMessageW(owner, kNoteDialogMessage, WPARAM(dialog), open ? 1 : 0);
}

bool IsLinkActivation(LPARAM lParam, WORD* control) {
    auto* header = reinterpret_cast<const NMHDR*>(lParam);
    if (!header || (header->code != NM_CLICK && header->code != NM_RETURN))
        return false;
    *control = WORD(header->idFrom);
    return true;
}

// About box.
struct AboutState {
    AppContext* ctx;
    HWND owner;
    HFONT bold = nullptr;
    bool feedback = false;
};

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<AboutState*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        state = reinterpret_cast<AboutState*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, LONG_PTR(state));
        ApplyLanguage(state->ctx->language, kDialogAbout, window);
        HWND version = GetDlgItem(window, kAboutVersion);
        SetWindowTextW(version, kVersionLine);
        LOGFONTW font{};
        HFONT dialogFont = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
        if (dialogFont && GetObjectW(dialogFont, sizeof(font), &font)) {
            font.lfWeight = FW_BOLD;
            state->bold = CreateFontIndirectW(&font);
            SendMessageW(version, WM_SETFONT, WPARAM(state->bold), FALSE);
        }
        SendDlgItemMessageW(window, kAboutIcon, STM_SETICON,
                            WPARAM(ProgramIcon(kIconProgram, GetSystemMetrics(SM_CXICON))), 0);
        NoteDialog(state->owner, window, true);
        return TRUE;
    }
    case WM_NOTIFY: {
        WORD control = 0;
        if (!state || !IsLinkActivation(lParam, &control))
            break;
        if (control == kAboutHomeLink) {
            OpenWebLink(window, WebLink::kAbout);
        } else if (control == kAboutFeedbackLink && state->ctx->startFeedback) {
            state->feedback = true;
            EndDialog(window, IDCANCEL);
        }
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(window, LOWORD(wParam));
            return TRUE;
        }
        break;
    case WM_DESTROY:
        if (state)
            NoteDialog(state->owner, window, false);
        break;
    }
    return FALSE;
}

// Mount failure dialog.
struct FailureState {
    AppContext* ctx;
    HWND owner;
    const std::wstring* path;
    const std::wstring* reason;
};

INT_PTR CALLBACK FailureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<FailureState*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        state = reinterpret_cast<FailureState*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, LONG_PTR(state));
        ApplyLanguage(state->ctx->language, kDialogMountFailure, window);
        SetDlgItemTextW(window, kFailurePath, state->path->c_str());
        SetDlgItemTextW(window, kFailureReason, state->reason->c_str());
        SendDlgItemMessageW(window, kFailureIcon, STM_SETICON,
                            WPARAM(LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_ERROR))), 0);
        SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        NoteDialog(state->owner, window, true);
        return TRUE;
    case WM_NOTIFY: {
        WORD control = 0;
        if (state && IsLinkActivation(lParam, &control) && control == kFailureHelpLink) {
            OpenWebLink(window, WebLink::kMountFailureHelp);
            return TRUE;
        }
        break;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == kFailureReport && state && state->ctx->reportMountFailure) {
            if (state->ctx->reportMountFailure(*state->ctx, *state->path, *state->reason))
                EndDialog(window, kFailureReport);
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(window, LOWORD(wParam));
            return TRUE;
        }
        break;
    case WM_DESTROY:
        if (state)
            NoteDialog(state->owner, window, false);
        break;
    }
    return FALSE;
}

} // namespace

void ApplyLanguage(const LanguageTable& language, WORD dialog, HWND window) {
    std::wstring caption = language.DialogCaption(dialog);
    if (!caption.empty())
        SetWindowTextW(window, caption.c_str());
    // Direct children only: a combo box's edit is a grandchild and keeps its text.
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[kClassNameChars] = {};
        int n = GetClassNameW(child, name, int(kClassNameChars));
        if (n <= 0 || !IsTranslatableClass(std::wstring(name, size_t(n))))
            continue;
        int id = GetDlgCtrlID(child);
        if (id < 0)
            continue;
        std::wstring current = WindowText(child);
        std::wstring text = language.ControlText(dialog, uint32_t(id), &current);
        if (!text.empty())
            SetWindowTextW(child, text.c_str());
    }
}

HWND FindTrayWindow() {
    DWORD self = GetCurrentProcessId();
    for (HWND window = FindWindowExW(nullptr, nullptr, L"VOSTRALE", L"VOSTRALETRAY"); window;
         window = FindWindowExW(nullptr, window, L"VOSTRALE", L"VOSTRALETRAY")) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == self)
            return window;
    }
    return nullptr;
}

void ShowAboutBox(AppContext& ctx, HWND owner) {
    DialogTemplate t(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 220,
                     112, L"About Vostrale");
    t.Add(kStatic, L"", kAboutIcon, WS_VISIBLE | SS_ICON, 10, 10, 20, 20);
    t.Add(kStatic, kVersionLine, kAboutVersion, WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 40, 12, 170,
          10);
    t.Add(kStatic, L"A virtual CD/DVD drive for Windows.", kAboutText, WS_VISIBLE | SS_LEFT, 40,
          26, 170, 10);
    t.Add(kLinkClass, L"<a>Visit the home page</a>", kAboutHomeLink, WS_VISIBLE | WS_TABSTOP, 40,
          44, 170, 10);
    t.Add(kLinkClass, L"<a>Send feedback</a>", kAboutFeedbackLink,
          WS_VISIBLE | WS_TABSTOP | (ctx.startFeedback ? 0 : WS_DISABLED), 40, 58, 170, 10);
    t.Add(kButton, L"OK", IDOK, WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 160, 90, 50, 14);
    AboutState state{&ctx, owner};
    DialogBoxIndirectParamW(ProgramInstance(), t.Get(), owner, AboutProc, LPARAM(&state));
    if (state.bold)
        DeleteObject(state.bold); // the controls that used it are gone
    if (state.feedback && ctx.startFeedback)
        ctx.startFeedback(ctx);
}

void ShowMountFailureDialog(AppContext& ctx, HWND owner, const std::wstring& path,
                            const std::wstring& reason) {
    DialogTemplate t(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 260,
                     124, kProductCaption);
    t.Add(kStatic, L"", kFailureIcon, WS_VISIBLE | SS_ICON, 10, 10, 20, 20);
    t.Add(kStatic, L"The image could not be mounted:", kFailureIntro, WS_VISIBLE | SS_LEFT, 40,
          10, 210, 10);
    t.Add(kEdit, L"", kFailurePath,
          WS_VISIBLE | ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 40, 22, 210, 12);
    t.Add(kStatic, L"", kFailureReason, WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 40, 40, 210, 40);
    t.Add(kLinkClass, L"<a>What can I do about it?</a>", kFailureHelpLink,
          WS_VISIBLE | WS_TABSTOP, 40, 84, 210, 10);
    t.Add(kButton, L"&Send report...", kFailureReport,
          WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP | (ctx.reportMountFailure ? 0 : WS_DISABLED),
          40, 102, 80, 14);
    t.Add(kButton, L"Close", IDOK, WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 200, 102, 50, 14);
    FailureState state{&ctx, owner, &path, &reason};
    DialogBoxIndirectParamW(ProgramInstance(), t.Get(), owner, FailureProc, LPARAM(&state));
}

void OpenWebLink(HWND owner, WebLink link, int showCommand) {
    std::wstring url = WebLinkUrl(link);
    if (!IsWebUrl(url))
        return;
    auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(owner, L"open", url.c_str(), nullptr, nullptr, showCommand));
    if (result > 32)
        return;
    // No handler for the address: start the browser registered for ".htm" ourselves.
    auto readDefault = [](const std::wstring& key, std::wstring* value) {
        wchar_t buffer[1024] = {};
        DWORD size = sizeof(buffer) - sizeof(wchar_t);
        DWORD type = 0;
        if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr,
                         RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, buffer,
                         &size) != ERROR_SUCCESS)
            return false;
        buffer[1023] = 0;
        if (type == REG_EXPAND_SZ) {
            wchar_t expanded[2048] = {};
            DWORD n = ExpandEnvironmentStringsW(buffer, expanded, 2048);
            if (n == 0 || n > 2048)
                return false;
            *value = expanded;
        } else {
            *value = buffer;
        }
        return true;
    };
    std::wstring progId, command, line;
    if (!readDefault(L".htm", &progId) || progId.empty() ||
        !readDefault(progId + L"\\shell\\open\\command", &command) ||
        !BuildBrowserCommand(command, url, &line))
        return;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = WORD(showCommand);
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(0);
    if (CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

ProgressWindow::ProgressWindow(AppContext& ctx, ProgressRecord* record,
                               const std::wstring& subject)
    : m_ctx(ctx), m_record(record), m_subject(subject) {
    m_start = GetTickCount();
    m_ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!m_ready)
        return;
    m_thread = CreateThread(nullptr, 0, Thread, this, 0, nullptr);
    if (m_thread)
        WaitForSingleObject(m_ready, INFINITE);
    CloseHandle(m_ready);
    m_ready = nullptr;
}

ProgressWindow::~ProgressWindow() {
    if (!m_thread)
        return;
    // Posted, not sent: this thread may be the one the window would wait for.
    HWND window = m_window.load();
    if (window)
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
}

DWORD WINAPI ProgressWindow::Thread(void* param) {
    auto* self = static_cast<ProgressWindow*>(param);
    DialogTemplate t(WS_POPUP | WS_BORDER, 0, 0, 200, 52, kProgressCaption);
    // The two texts are the language table's; they are set at initialisation.
    t.Add(kStatic, L"", kProgressSubject, WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 6,
          5, 188, 10);
    t.Add(PROGRESS_CLASSW, L"", kProgressBar, WS_VISIBLE, 6, 18, 188, 9);
    t.Add(kStatic, L"", kProgressText, WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 6, 33, 130, 10);
    t.Add(kButton, L"Cancel", IDCANCEL, WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP, 144, 32, 50, 14);
    HWND window =
        CreateDialogIndirectParamW(ProgramInstance(), t.Get(), nullptr, Proc, LPARAM(self));
    if (!window) {
        SetEvent(self->m_ready);
        return 0;
    }
    MSG message;
    while (IsWindow(window) && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return 0;
}

void ProgressWindow::Tick(HWND window) {
    uint64_t total = m_record->total.load();
    uint64_t done = m_record->done.load();
    if (total == 0)
        return; // nothing being indexed: the window stays hidden
    uint32_t percent = ProgressPercent(done, total);
    SendDlgItemMessageW(window, kProgressBar, PBM_SETPOS, percent, 0);
    std::wstring text = ExpandInserts(
        m_format, {std::to_wstring(percent), std::to_wstring((GetTickCount() - m_start) / 1000)});
    SetDlgItemTextW(window, kProgressText, text.c_str());
    if (!m_shown) {
        m_shown = true;
        ShowWindow(window, SW_SHOWNOACTIVATE);
        NoteDialog(FindTrayWindow(), window, true);
    }
}

INT_PTR CALLBACK ProgressWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        self = reinterpret_cast<ProgressWindow*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, LONG_PTR(self));
        // The built-in texts first: a translation replaces them only where its inserts fit.
        SetDlgItemTextW(window, kProgressSubject, FindBuiltinMessage(kMsgProgressSubject)->text);
        SetDlgItemTextW(window, kProgressText, FindBuiltinMessage(kMsgProgressDone)->text);
        ApplyLanguage(self->m_ctx.language, kDialogProgress, window);
        SetWindowLongPtrW(window, GWL_EXSTYLE,
                          GetWindowLongPtrW(window, GWL_EXSTYLE) | WS_EX_TOOLWINDOW);
        SendDlgItemMessageW(window, kProgressBar, PBM_SETRANGE32, 0, 100);
        SendDlgItemMessageW(window, kProgressBar, PBM_SETPOS, 0, 0);
        SendDlgItemMessageW(window, kProgressBar, PBM_SETSTEP, 1, 0);
        self->m_format =
            WindowText(GetDlgItem(window, kProgressText)).substr(0, kProgressFormatChars);
        std::wstring subject = WindowText(GetDlgItem(window, kProgressSubject));
        SetDlgItemTextW(window, kProgressSubject,
                        ExpandInserts(subject, {self->m_subject}).c_str());
        // Into the corner of the work area beside the taskbar, of the monitor in use.
        POINT cursor{};
        GetCursorPos(&cursor);
        MONITORINFO monitor{};
        monitor.cbSize = sizeof(monitor);
        RECT own{};
        GetWindowRect(window, &own);
        if (GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
            ScreenRect screen{monitor.rcMonitor.left, monitor.rcMonitor.top,
                              monitor.rcMonitor.right, monitor.rcMonitor.bottom};
            ScreenRect work{monitor.rcWork.left, monitor.rcWork.top, monitor.rcWork.right,
                            monitor.rcWork.bottom};
            int x = 0, y = 0;
            ProgressWindowOrigin(work, TaskbarEdgeOf(screen, work), own.right - own.left,
                                 own.bottom - own.top, &x, &y);
            SetWindowPos(window, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
        }
        SetTimer(window, kProgressTimer, kProgressTickMs, nullptr);
        self->m_window = window;
        SetEvent(self->m_ready);
        return FALSE; // no focus: the window must not take the keyboard from the user
    }
    case WM_TIMER:
        if (self && wParam == kProgressTimer)
            self->Tick(window);
        return TRUE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_INFOTEXT));
        return INT_PTR(GetSysColorBrush(COLOR_INFOBK));
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL && self)
            self->m_record->cancel = true;
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            KillTimer(window, kProgressTimer);
            DestroyWindow(window);
            return TRUE;
        }
        break;
    case WM_DESTROY:
        if (self) {
            NoteDialog(FindTrayWindow(), window, false);
            self->m_window = nullptr;
        }
        break;
    }
    return FALSE;
}

} // namespace vostrale::app
