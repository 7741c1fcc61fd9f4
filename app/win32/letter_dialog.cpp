#include "app/win32/letter_dialog.h"

#include "app/drive_letters.h"
#include "app/win32/dialog_template.h"
#include "app/win32/setup_win32.h"

namespace vostrale::app {

namespace {

struct LetterState {
    wchar_t own;
    wchar_t chosen;
};

INT_PTR CALLBACK LetterProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<LetterState*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
    switch (message) {
    case WM_INITDIALOG: {
        state = reinterpret_cast<LetterState*>(lParam);
        SetWindowLongPtrW(dialog, GWLP_USERDATA, LONG_PTR(state));
        HWND list = GetDlgItem(dialog, kLetterListControl);
        for (wchar_t letter : OfferedLetters(GetLogicalDrives(), state->own)) {
            wchar_t text[] = {letter, L':', 0};
            LRESULT item = SendMessageW(list, CB_ADDSTRING, 0, LPARAM(text));
            if (item < 0)
                continue;
            SendMessageW(list, CB_SETITEMDATA, WPARAM(item), LPARAM(letter));
            if (letter == state->own)
                SendMessageW(list, CB_SETCURSEL, WPARAM(item), 0);
        }
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            HWND list = GetDlgItem(dialog, kLetterListControl);
            LRESULT item = SendMessageW(list, CB_GETCURSEL, 0, 0);
            if (item >= 0)
                state->chosen = wchar_t(SendMessageW(list, CB_GETITEMDATA, WPARAM(item), 0));
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
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

void ChangeDriveLetter(AppContext& ctx, void* ownerWindow, uint32_t drive) {
    wchar_t letter = LetterOfDrive(&ctx.channel, GetLogicalDrives(), drive);
    if (letter)
        ChangeDriveLetterAt(ctx, ownerWindow, letter);
}

void ChangeDriveLetterAt(AppContext& ctx, void* ownerWindow, wchar_t letter) {
    if (letter < L'A' || letter > L'Z')
        return;
    HWND owner = static_cast<HWND>(ownerWindow);
    DialogTemplate dialog(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 160, 62, L"Vostrale", 9);
    dialog.Add(L"STATIC", L"&Drive letter:", 0xFFFF, WS_VISIBLE | SS_LEFT, 7, 9, 60, 10);
    dialog.Add(L"COMBOBOX", L"", kLetterListControl, WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 70, 7, 83, 120);
    dialog.Add(L"BUTTON", L"OK", IDOK, WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 46, 41, 50,
               14);
    dialog.Add(L"BUTTON", L"Cancel", IDCANCEL, WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP, 103, 41,
               50, 14);
    LetterState state{letter, letter};
    INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.Get(), owner,
                                             LetterProc, LPARAM(&state));
    if (result != IDOK || state.chosen == state.own)
        return;
    // The dialog is closed while the one-shot runs; the wait keeps this thread's windows alive.
    Win32Launcher launcher;
    Win32Elevation elevation;
    RequestLetterChange(ctx, {&launcher, &elevation}, state.own, state.chosen, owner);
}

} // namespace vostrale::app
