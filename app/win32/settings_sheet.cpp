#include "app/win32/settings_sheet.h"

#include "app/scrambled_text.h"
#include "app/settings_pages.h"
#include "app/text.h"
#include "app/win32/associations_win32.h"
#include "app/win32/dialog_template.h"
#include "app/win32/hyperlink.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <new>
#include <vector>

namespace vostrale::app {

namespace {

// Text-carrying control messages are sent in their wide forms by name: the build does not
// define UNICODE, so the commctrl macros would pick the 8-bit messages.

// Sent to a page after a language change: wParam is the page's language section.
constexpr UINT kPageLanguageMessage = WM_APP + 0x150;
constexpr int kGeneralLabel = 7;
constexpr int kAssociationLabel = 6;
constexpr DWORD kJobWaitMs = 120000;
constexpr int kRaisePixels = 30;

// The tabs' built-in titles; a language file's section captions replace them.
constexpr ScrambledText kDefaultTabs[2] = {L"General", L"File types"};
constexpr uint16_t kPageDialogs[2] = {kDialogSettingsGeneral, kDialogSettingsAssociations};

HWND g_openSheet = nullptr;

struct ControlSpec {
    const wchar_t* windowClass;
    ScrambledText text;
    int id;
    DWORD style;
    short x, y, cx, cy;
};

constexpr ControlSpec kGeneralControls[] = {
    {L"STATIC", L"Language:", kGeneralLabel, SS_LEFT, 7, 9, 60, 10},
    {L"COMBOBOX", L"", kIdLanguageList, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 70, 7, 150,
     120},
    {L"BUTTON", L"Start with Windows", kIdRunAtLogon, BS_AUTOCHECKBOX | WS_TABSTOP, 7, 32, 213,
     10},
    {L"BUTTON", L"Mount the recorded images again at start", kIdRemount,
     BS_AUTOCHECKBOX | WS_TABSTOP, 7, 48, 213, 10},
    {L"BUTTON", L"Offer Vostrale in Explorer's menus", kIdGeneralOption,
     BS_AUTOCHECKBOX | WS_TABSTOP, 7, 64, 213, 10},
};

constexpr ControlSpec kAssociationControls[] = {
    {L"BUTTON", L"Show the mount commands for image files", kIdAssociationOption,
     BS_AUTOCHECKBOX | WS_TABSTOP, 7, 7, 213, 10},
    {L"STATIC", L"Open these image files with Vostrale:", kAssociationLabel, SS_LEFT, 7, 24, 213,
     10},
    {L"SysListView32", L"", kIdExtensionList,
     LVS_REPORT | LVS_SINGLESEL | LVS_SHAREIMAGELISTS | LVS_SHOWSELALWAYS | WS_BORDER |
         WS_TABSTOP,
     7, 36, 213, 96},
    {L"SysLink", L"<a>Select all</a>", kIdCheckAll, WS_TABSTOP, 7, 136, 120, 10},
};

struct SheetState {
    AppContext* ctx = nullptr;
    AssociationJobStarter startJob = nullptr;
    HWND sheet = nullptr;
    HWND pages[2] = {};
    GeneralPage general;
    AssociationPage associations;
    LanguagePreview language;
    bool filling = false;
    std::map<int, std::wstring> builtin[2]; // the templates' own texts per page
};

SheetState* StateOf(HWND page) {
    return reinterpret_cast<SheetState*>(GetWindowLongPtrW(page, DWLP_USER));
}

std::wstring TextOr(const std::wstring& text, const ScrambledText& fallback) {
    return text.empty() ? fallback.Plain() : text;
}

void TranslatePage(SheetState* s, int index) {
    HWND page = s->pages[index];
    if (!page)
        return;
    for (const auto& [id, text] : s->builtin[index]) {
        std::wstring translated = s->ctx->language.ControlText(kPageDialogs[index], uint32_t(id),
                                                               &text);
        SetDlgItemTextW(page, id, translated.empty() ? text.c_str() : translated.c_str());
    }
}

void SetColumnTitle(SheetState* s) {
    HWND list = GetDlgItem(s->pages[1], kIdExtensionList);
    std::wstring title = s->ctx->language.Message(kMsgExtensionColumn);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT;
    column.pszText = title.data();
    SendMessageW(list, LVM_SETCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
}

void RetitleSheet(SheetState* s) {
    std::wstring caption = s->ctx->language.Message(kMsgSettingsCaption);
    SetWindowTextW(s->sheet, caption.c_str());
    HWND tabs = PropSheet_GetTabControl(s->sheet);
    for (int i = 0; i < 2 && tabs; ++i) {
        std::wstring title = TextOr(s->ctx->language.DialogCaption(kPageDialogs[i]),
                                    kDefaultTabs[i]);
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = title.data();
        SendMessageW(tabs, TCM_SETITEMW, WPARAM(i), reinterpret_cast<LPARAM>(&item));
    }
    for (int i = 0; i < 2; ++i) {
        if (s->pages[i])
            SendMessageW(s->pages[i], kPageLanguageMessage, kPageDialogs[i], 0);
    }
}

// Centred on the work area of the monitor the owner (or the sheet) is on, raised a little,
// and kept on it.
void PlaceSheet(HWND sheet, HWND owner) {
    RECT frame{};
    GetWindowRect(sheet, &frame);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    HMONITOR handle = MonitorFromWindow(owner ? owner : sheet, MONITOR_DEFAULTTONEAREST);
    if (!GetMonitorInfoW(handle, &monitor))
        return;
    const RECT& work = monitor.rcWork;
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    int x = work.left + (work.right - work.left - width) / 2;
    int y = work.top + (work.bottom - work.top - height) / 2 - kRaisePixels;
    x = std::max<int>(work.left, std::min<int>(x, work.right - width));
    y = std::max<int>(work.top, std::min<int>(y, work.bottom - height));
    SetWindowPos(sheet, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void FillLanguages(SheetState* s, HWND page) {
    HWND combo = GetDlgItem(page, kIdLanguageList);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    const uint16_t current = s->ctx->language.LangId();
    for (const LanguageChoice& choice :
         ListLanguages(ToPath(s->ctx->language.Folder()), s->ctx->language.Prefix())) {
        LRESULT at = SendMessageW(combo, CB_ADDSTRING, 0,
                                  reinterpret_cast<LPARAM>(choice.displayName.c_str()));
        if (at < 0)
            continue;
        SendMessageW(combo, CB_SETITEMDATA, WPARAM(at), LPARAM(PackLanguageCode(choice.code)));
        if (current != 0 && choice.langId == current &&
            SendMessageW(combo, CB_GETCURSEL, 0, 0) == CB_ERR)
            SendMessageW(combo, CB_SETCURSEL, WPARAM(at), 0);
    }
}

void Check(HWND page, int id, bool on) {
    CheckDlgButton(page, id, on ? BST_CHECKED : BST_UNCHECKED);
}

bool Checked(HWND page, int id) {
    return IsDlgButtonChecked(page, id) == BST_CHECKED;
}

void SetResult(HWND page, LONG_PTR result) {
    SetWindowLongPtrW(page, DWLP_MSGRESULT, result);
}

INT_PTR CALLBACK GeneralPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    SheetState* s = StateOf(page);
    switch (message) {
    case WM_INITDIALOG: {
        s = reinterpret_cast<SheetState*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
        SetWindowLongPtrW(page, DWLP_USER, reinterpret_cast<LONG_PTR>(s));
        s->sheet = GetParent(page);
        s->pages[0] = page;
        g_openSheet = s->sheet;
        TranslatePage(s, 0);
        FillLanguages(s, page);
        s->general = LoadGeneralPage(s->ctx->s.registry, s->ctx->s.system, s->ctx->settings);
        Check(page, kIdRunAtLogon, s->general.runAtLogon);
        Check(page, kIdRemount, s->general.remount);
        Check(page, kIdGeneralOption, s->general.generalOption);
        PlaceSheet(s->sheet, GetWindow(s->sheet, GW_OWNER));
        return TRUE;
    }
    case WM_COMMAND:
        if (!s)
            break;
        if (HIWORD(wParam) == BN_CLICKED &&
            (LOWORD(wParam) == kIdRunAtLogon || LOWORD(wParam) == kIdRemount ||
             LOWORD(wParam) == kIdGeneralOption)) {
            PropSheet_Changed(s->sheet, page);
            return TRUE;
        }
        if (LOWORD(wParam) == kIdLanguageList && HIWORD(wParam) == CBN_SELCHANGE) {
            HWND combo = GetDlgItem(page, kIdLanguageList);
            LRESULT at = SendMessageW(combo, CB_GETCURSEL, 0, 0);
            if (at == CB_ERR)
                return TRUE;
            std::wstring code =
                UnpackLanguageCode(uint32_t(SendMessageW(combo, CB_GETITEMDATA, WPARAM(at), 0)));
            s->language.Preview(&s->ctx->language, code);
            RetitleSheet(s);
            PropSheet_Changed(s->sheet, page);
            return TRUE;
        }
        break;
    case WM_NOTIFY: {
        if (!s)
            break;
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->code == PSN_APPLY) {
            s->general.runAtLogon = Checked(page, kIdRunAtLogon);
            s->general.remount = Checked(page, kIdRemount);
            s->general.generalOption = Checked(page, kIdGeneralOption);
            ApplyGeneralPage(s->ctx->s.registry, s->ctx->s.system, &s->ctx->settings,
                             s->general);
            s->language.Commit(&s->ctx->language, s->ctx->s.registry);
            SetResult(page, PSNRET_NOERROR);
            return TRUE;
        }
        if (header->code == PSN_RESET) {
            s->language.Revert(&s->ctx->language);
            return TRUE;
        }
        break;
    }
    case kPageLanguageMessage:
        if (s)
            TranslatePage(s, 0);
        return TRUE;
    default:
        break;
    }
    return FALSE;
}

int ExtensionIcon(const std::wstring& extension) {
    SHFILEINFOW info{};
    if (!SHGetFileInfoW(extension.c_str(), FILE_ATTRIBUTE_NORMAL, &info, sizeof(info),
                        SHGFI_ICON | SHGFI_SYSICONINDEX | SHGFI_SMALLICON |
                            SHGFI_USEFILEATTRIBUTES))
        return -1;
    if (info.hIcon)
        DestroyIcon(info.hIcon);
    return info.iIcon;
}

void FillRows(SheetState* s) {
    HWND list = GetDlgItem(s->pages[1], kIdExtensionList);
    s->filling = true;
    ListView_DeleteAllItems(list);
    for (size_t i = 0; i < s->associations.rows.size(); ++i) {
        const AssociationRow& row = s->associations.rows[i];
        LVITEMW item{};
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = int(i);
        item.pszText = const_cast<wchar_t*>(row.extension.c_str());
        item.iImage = ExtensionIcon(row.extension);
        item.lParam = LPARAM(i);
        int at = int(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        if (at >= 0)
            ListView_SetCheckState(list, at, row.checked);
    }
    s->filling = false;
}

// The rows as the shell sees the registry now.
void ReloadRows(SheetState* s) {
    std::wstring program = s->ctx->s.system->ProgramPath();
    bool option = s->associations.option;
    s->associations = LoadAssociationPage(s->ctx->settings, [&](const std::wstring& ext) {
        return ShellOpensWithProgram(ext, program);
    });
    s->associations.option = option;
    FillRows(s);
}

void ApplyAssociations(SheetState* s, HWND page) {
    s->associations.option = Checked(page, kIdAssociationOption);
    std::vector<AssociationChange> changes =
        ApplyAssociationPage(s->ctx->s.registry, &s->ctx->settings, s->associations);
    if (changes.empty())
        return;
    std::wstring file = DefaultChangeFilePath();
    bool started = !file.empty() && WriteChangeFile(file, FormatChangeFile(changes)) &&
                   s->startJob(s->ctx->s.system->ProgramPath(), file, s->sheet);
    if (!started && !file.empty())
        DeleteFileW(file.c_str());
    // Either way the rows show what the registry holds now, and those are the starting states.
    ReloadRows(s);
    MarkApplied(&s->associations);
}

INT_PTR CALLBACK AssociationPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    SheetState* s = StateOf(page);
    switch (message) {
    case WM_INITDIALOG: {
        s = reinterpret_cast<SheetState*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
        SetWindowLongPtrW(page, DWLP_USER, reinterpret_cast<LONG_PTR>(s));
        s->pages[1] = page;
        TranslatePage(s, 1);
        HWND list = GetDlgItem(page, kIdExtensionList);
        ListView_SetExtendedListViewStyle(list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
        SHFILEINFOW info{};
        // The shell's own list, shared (LVS_SHAREIMAGELISTS): the list view must not destroy it.
        HIMAGELIST images = reinterpret_cast<HIMAGELIST>(
            SHGetFileInfoW(L".iso", FILE_ATTRIBUTE_NORMAL, &info, sizeof(info),
                           SHGFI_SYSICONINDEX | SHGFI_SMALLICON | SHGFI_USEFILEATTRIBUTES));
        if (images)
            ListView_SetImageList(list, images, LVSIL_SMALL);
        LVCOLUMNW column{};
        column.mask = LVCF_WIDTH;
        column.cx = 120;
        SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
        SetColumnTitle(s);
        s->associations.option = (s->ctx->settings.config & kConfigAssociationOption) != 0;
        Check(page, kIdAssociationOption, s->associations.option);
        ReloadRows(s);
        return TRUE;
    }
    case WM_COMMAND:
        if (s && LOWORD(wParam) == kIdAssociationOption && HIWORD(wParam) == BN_CLICKED) {
            PropSheet_Changed(s->sheet, page);
            return TRUE;
        }
        break;
    case WM_NOTIFY: {
        if (!s)
            break;
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == UINT_PTR(kIdExtensionList) && header->code == LVN_ITEMCHANGED) {
            const NMLISTVIEW* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
            if (RowChangeCounts(s->filling, change->uChanged, change->uOldState,
                                change->uNewState) &&
                change->iItem >= 0 && size_t(change->iItem) < s->associations.rows.size()) {
                s->associations.rows[size_t(change->iItem)].checked =
                    StateImageChecked(change->uNewState);
                PropSheet_Changed(s->sheet, page);
            }
            return TRUE;
        }
        if (header->idFrom == UINT_PTR(kIdCheckAll) &&
            (header->code == NM_CLICK || header->code == NM_RETURN)) {
            HWND list = GetDlgItem(page, kIdExtensionList);
            for (int i = 0; i < ListView_GetItemCount(list); ++i)
                ListView_SetCheckState(list, i, TRUE);
            PropSheet_Changed(s->sheet, page);
            return TRUE;
        }
        if (header->code == PSN_APPLY) {
            ApplyAssociations(s, page);
            SetResult(page, PSNRET_NOERROR);
            return TRUE;
        }
        break;
    }
    case kPageLanguageMessage:
        if (s) {
            TranslatePage(s, 1);
            SetColumnTitle(s);
        }
        return TRUE;
    default:
        break;
    }
    return FALSE;
}

DialogTemplate BuildPage(const ControlSpec* controls, size_t count,
                         std::map<int, std::wstring>* builtin) {
    DialogTemplate t(WS_CHILD | WS_CAPTION | DS_3DLOOK | DS_CONTROL, 0, 0, 227, 150, L"");
    for (size_t i = 0; i < count; ++i) {
        const ControlSpec& c = controls[i];
        t.Add(c.windowClass, c.text, WORD(c.id), c.style | WS_VISIBLE, c.x, c.y, c.cx, c.cy);
        if (c.text.Size())
            (*builtin)[c.id] = c.text.Plain();
    }
    return t;
}

} // namespace

bool StartAssociationJob(const std::wstring& program, const std::wstring& changeFile,
                         HWND owner) {
    std::wstring parameters = L"/XF \"" + changeFile + L"\"";
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.hwnd = owner;
    info.lpVerb = ProcessIsElevated() ? L"open" : L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    if (!ShellExecuteExW(&info))
        return false; // refused (ERROR_CANCELLED) or failed
    if (info.hProcess) {
        WaitForSingleObject(info.hProcess, kJobWaitMs);
        CloseHandle(info.hProcess);
    }
    return true;
}

HWND CurrentSettingsSheet() {
    return g_openSheet;
}

void ShowSettingsSheet(AppContext& ctx, void* ownerWindow) {
    ShowSettingsSheet(ctx, ownerWindow, StartAssociationJob);
}

void ShowSettingsSheet(AppContext& ctx, void* ownerWindow, AssociationJobStarter startJob) {
    if (g_openSheet && IsWindow(g_openSheet)) {
        SetForegroundWindow(g_openSheet);
        return;
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterHyperlinkClass(instance);
    SheetState* s = new (std::nothrow) SheetState;
    if (!s)
        return;
    s->ctx = &ctx;
    s->startJob = startJob ? startJob : StartAssociationJob;
    s->language.Begin(ctx.s.registry);

    DialogTemplate general = BuildPage(kGeneralControls, std::size(kGeneralControls),
                                       &s->builtin[0]);
    DialogTemplate associations = BuildPage(kAssociationControls,
                                            std::size(kAssociationControls), &s->builtin[1]);
    std::wstring titles[2];
    for (int i = 0; i < 2; ++i)
        titles[i] = TextOr(ctx.language.DialogCaption(kPageDialogs[i]), kDefaultTabs[i]);
    std::wstring caption = ctx.language.Message(kMsgSettingsCaption);

    PROPSHEETPAGEW pages[2] = {};
    const DLGTEMPLATE* templates[2] = {general.Get(), associations.Get()};
    DLGPROC procs[2] = {GeneralPageProc, AssociationPageProc};
    for (int i = 0; i < 2; ++i) {
        pages[i].dwSize = sizeof(PROPSHEETPAGEW);
        pages[i].dwFlags = PSP_DLGINDIRECT | PSP_USETITLE;
        pages[i].hInstance = instance;
        pages[i].pResource = templates[i];
        pages[i].pfnDlgProc = procs[i];
        pages[i].pszTitle = titles[i].c_str();
        pages[i].lParam = reinterpret_cast<LPARAM>(s);
    }
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOCONTEXTHELP;
    header.hwndParent = static_cast<HWND>(ownerWindow);
    header.hInstance = instance;
    header.pszCaption = caption.c_str();
    header.nPages = 2;
    header.nStartPage = 0;
    header.ppsp = pages;
    PropertySheetW(&header);
    g_openSheet = nullptr;
    delete s;
}

} // namespace vostrale::app
