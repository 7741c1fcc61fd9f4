#include "app/win32/logon_dialog.h"

#include "app/network_logon.h"
#include "app/text.h"
#include "app/win32/dialog_template.h"
#include "formats/activity_log.h"

namespace vostrale::app {

namespace {

struct LogonState {
    std::wstring path;
    NetworkConnector* connector;
    System* system;
};

// Empties the password control; the text it held is overwritten first, not only freed.
void ClearPassword(HWND dialog) {
    HWND field = GetDlgItem(dialog, kLogonPasswordControl);
    int length = GetWindowTextLengthW(field);
    if (length > 0) {
        std::wstring blank(size_t(length), L' ');
        SetWindowTextW(field, blank.c_str());
    }
    SetWindowTextW(field, L"");
}

void Connect(HWND dialog, LogonState* state) {
    wchar_t user[kLogonFieldChars + 1] = {};
    wchar_t password[kLogonFieldChars + 1] = {};
    GetDlgItemTextW(dialog, kLogonUserControl, user, int(kLogonFieldChars + 1));
    GetDlgItemTextW(dialog, kLogonPasswordControl, password, int(kLogonFieldChars + 1));
    bool remember = IsDlgButtonChecked(dialog, kLogonRememberControl) == BST_CHECKED;
    LogonAttempt attempt;
    {
        ActivityLog log;
        log.Open(state->system->LogPath());
        attempt = ConnectShare(state->connector, state->system, state->path, user, password,
                               remember, &log);
    }
    // The password must not outlive this attempt anywhere we hold it.
    WipeSecret(password, kLogonFieldChars + 1);
    ClearPassword(dialog);
    if (attempt.error == 0) {
        WipeSecret(user, kLogonFieldChars + 1);
        EndDialog(dialog, IDOK);
        return;
    }
    MessageBoxW(dialog, attempt.message.c_str(), kProductCaption,
                MB_OK | MB_ICONSTOP | MB_TOPMOST);
    SetFocus(GetDlgItem(dialog, kLogonPasswordControl));
}

INT_PTR CALLBACK LogonProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<LogonState*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
    switch (message) {
    case WM_INITDIALOG: {
        state = reinterpret_cast<LogonState*>(lParam);
        SetWindowLongPtrW(dialog, GWLP_USERDATA, LONG_PTR(state));
        std::wstring share;
        std::wstring server;
        ShareOfPath(state->path, &share, &server);
        wchar_t prompt[512];
        FormatInto(prompt, 512, kLogonPromptDefault, server.c_str());
        SetDlgItemTextW(dialog, kLogonPromptControl, prompt);
        SendDlgItemMessageW(dialog, kLogonUserControl, EM_LIMITTEXT, kLogonFieldChars, 0);
        SendDlgItemMessageW(dialog, kLogonPasswordControl, EM_LIMITTEXT, kLogonFieldChars, 0);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            Connect(dialog, state);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            ClearPassword(dialog);
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

} // namespace

LogonResult NetworkLogonDialog(HWND owner, const std::wstring& path,
                               NetworkConnector* connector, System* system) {
    std::wstring share;
    std::wstring server;
    if (!ShareOfPath(path, &share, &server))
        return LogonResult::Unavailable;
    DialogTemplate dialog(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 220, 118, L"Vostrale", 9);
    dialog.Add(L"STATIC", L"", kLogonPromptControl, WS_VISIBLE | SS_LEFT, 7, 7, 206, 20);
    dialog.Add(L"STATIC", L"&User name:", 0xFFFF, WS_VISIBLE | SS_LEFT, 7, 33, 60, 10);
    dialog.Add(L"EDIT", L"", kLogonUserControl, WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 70, 31, 143, 13);
    dialog.Add(L"STATIC", L"&Password:", 0xFFFF, WS_VISIBLE | SS_LEFT, 7, 52, 60, 10);
    dialog.Add(L"EDIT", L"", kLogonPasswordControl, WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, 70, 50, 143, 13);
    dialog.Add(L"BUTTON", L"&Remember my credentials", kLogonRememberControl, WS_VISIBLE | BS_AUTOCHECKBOX | WS_TABSTOP, 70, 70, 143, 10);
    dialog.Add(L"BUTTON", L"OK", IDOK, WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 106, 96, 50,
               14);
    dialog.Add(L"BUTTON", L"Cancel", IDCANCEL, WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP, 163, 96,
               50, 14);
    LogonState state{path, connector, system};
    INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.Get(), owner,
                                             LogonProc, LPARAM(&state));
    return result == IDOK ? LogonResult::Connected : LogonResult::Cancelled;
}

} // namespace vostrale::app
