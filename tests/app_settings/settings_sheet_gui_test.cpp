// The real settings sheet under Wine, driven from a thread timer while PropertySheetW runs its
// modal loop: one step per tick, so every button press has been handled before the next look.
#include "app/associations.h"
#include "app/context.h"
#include "app/settings_pages.h"
#include "app/win32/associations_win32.h"
#include "app/win32/settings_sheet.h"
#include "app/win32/win32_services.h"
#include "tests/app/language_writer.h"
#include "tests/app_settings/win32_helpers.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

namespace vostrale::app::test {
namespace {

const std::wstring kClasses = L"Software\\Classes\\";
constexpr int kApplyButton = 0x3021;

std::wstring RealProgram() {
    std::string unixPath = VOSTRALE_PROGRAM;
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path.push_back(c == '/' ? L'\\' : wchar_t(c));
    return path;
}

std::wstring MachineClass(Registry* r, const std::wstring& ext) {
    std::wstring text = L"<missing>";
    ReadStringValue(r, RegistryRoot::LocalMachine, kClasses + ext, L"", 256, &text);
    return text;
}

// Steps run one per timer tick; a step returning false is tried again on the next tick.
std::vector<std::function<bool()>> g_steps;
size_t g_step = 0;
int g_ticks = 0;

void CALLBACK StepTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (++g_ticks > 600) { // a minute: give up rather than hang
        if (HWND sheet = CurrentSettingsSheet())
            PropSheet_PressButton(sheet, PSBTN_CANCEL);
        return;
    }
    if (g_step < g_steps.size() && g_steps[g_step]())
        ++g_step;
}

void RunSheet(AppContext& ctx, AssociationJobStarter starter) {
    g_step = 0;
    g_ticks = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, 100, StepTimer);
    ShowSettingsSheet(ctx, nullptr, starter);
    KillTimer(nullptr, timer);
    EXPECT_EQ(g_step, g_steps.size()) << "the sheet closed before every step ran";
    EXPECT_EQ(CurrentSettingsSheet(), nullptr);
}

std::wstring ColumnTitle(HWND list) {
    LVCOLUMNW column{};
    wchar_t title[64] = {};
    column.mask = LVCF_TEXT;
    column.pszText = title;
    column.cchTextMax = 64;
    SendMessageW(list, LVM_GETCOLUMNW, 0, LPARAM(&column));
    return title;
}

int g_jobs = 0;
bool CountingStarter(const std::wstring& program, const std::wstring& file, HWND owner) {
    ++g_jobs;
    return StartAssociationJob(program, file, owner);
}
bool RefusingStarter(const std::wstring&, const std::wstring&, HWND) {
    ++g_jobs;
    return false;
}

struct SheetFixture : public ::testing::Test {
    SheetFixture() : system(RealProgram()) {
        Services services;
        services.registry = &registry;
        services.system = &system;
        ctx = std::make_unique<AppContext>(services);
        ctx->language.CreateIn(&registry, TempFolder() + L"no languages\\", kLanguagePrefix);
        registry.DeleteKey(RegistryRoot::LocalMachine, kAssociationBackupKey);
        for (const std::wstring& ext : OfferedExtensions())
            registry.DeleteKey(RegistryRoot::LocalMachine, kClasses + ext);
        WriteStringValue(&registry, RegistryRoot::LocalMachine, kClasses + L".iso", L"",
                         L"isofile");
        WriteStringValue(&registry, RegistryRoot::LocalMachine, kClasses + L"isofile", L"",
                         L"Disc image");
        registry.DeleteValue(RegistryRoot::CurrentUser, kSettingsKey, kLanguageValue);
        g_jobs = 0;
    }
    HWND Sheet() { return CurrentSettingsSheet(); }
    HWND Page() { return PropSheet_GetCurrentPageHwnd(Sheet()); }
    HWND List() { return GetDlgItem(Page(), kIdExtensionList); }
    bool ApplyEnabled() { return IsWindowEnabled(GetDlgItem(Sheet(), kApplyButton)) != 0; }
    Win32Registry registry;
    ProgramAtSystem system;
    std::unique_ptr<AppContext> ctx;
};

TEST_F(SheetFixture, ApplyEnablesOnlyOnCheckChangesAndRunsTheOneShotOnce) {
    bool applyAtStart = true, applyAfterFill = true, applyAfterSelect = true;
    bool applyAfterCheck = false, applyAfterApply = true, isoCheckedAfterApply = false;
    int rows = 0, jobsAfterApply = -1;
    std::wstring isoAfterApply, thirdRow, columnTitle, caption;
    bool secondOpenReturned = false;
    g_steps = {
        [&] {
            if (!Sheet())
                return false;
            applyAtStart = ApplyEnabled();
            wchar_t text[128] = {};
            GetWindowTextW(Sheet(), text, 128);
            caption = text;
            // A second open while one is shown only brings the first to the front.
            ShowSettingsSheet(*ctx, nullptr, CountingStarter);
            secondOpenReturned = true;
            PropSheet_SetCurSel(Sheet(), nullptr, 1);
            return true;
        },
        [&] {
            rows = ListView_GetItemCount(List());
            wchar_t text[32] = {};
            LVITEMW item{};
            item.iSubItem = 0;
            item.pszText = text;
            item.cchTextMax = 32;
            SendMessageW(List(), LVM_GETITEMTEXTW, 2, LPARAM(&item));
            thirdRow = text;
            columnTitle = ColumnTitle(List());
            applyAfterFill = ApplyEnabled();
            ListView_SetItemState(List(), 0, LVIS_SELECTED | LVIS_FOCUSED,
                                  LVIS_SELECTED | LVIS_FOCUSED);
            applyAfterSelect = ApplyEnabled();
            ListView_SetCheckState(List(), 2, TRUE); // .iso
            applyAfterCheck = ApplyEnabled();
            PropSheet_PressButton(Sheet(), PSBTN_APPLYNOW);
            return true;
        },
        [&] {
            applyAfterApply = ApplyEnabled();
            jobsAfterApply = g_jobs;
            isoAfterApply = MachineClass(&registry, L".iso");
            isoCheckedAfterApply = ListView_GetCheckState(List(), 2) != 0;
            PropSheet_PressButton(Sheet(), PSBTN_OK); // PSN_APPLY once more
            return true;
        },
    };
    RunSheet(*ctx, CountingStarter);
    EXPECT_TRUE(secondOpenReturned);
    EXPECT_FALSE(applyAtStart);
    EXPECT_EQ(rows, 6);
    EXPECT_EQ(thirdRow, L".iso");
    // Both come from the language table's built-in texts, not from the sheet's own.
    EXPECT_EQ(caption, FindBuiltinMessage(kMsgSettingsCaption)->text);
    EXPECT_EQ(columnTitle, FindBuiltinMessage(kMsgExtensionColumn)->text);
    EXPECT_FALSE(applyAfterFill);
    EXPECT_FALSE(applyAfterSelect);
    EXPECT_TRUE(applyAfterCheck);
    EXPECT_FALSE(applyAfterApply);
    EXPECT_EQ(jobsAfterApply, 1);
    EXPECT_EQ(isoAfterApply, L"Vostrale");
    EXPECT_TRUE(isoCheckedAfterApply); // the shell now opens .iso with the program
    EXPECT_EQ(g_jobs, 1);              // OK found nothing left to change
    EXPECT_FALSE(ShellOpensWithProgram(L".nrg", RealProgram()));
    EXPECT_TRUE(ShellOpensWithProgram(L".iso", RealProgram()));
    EXPECT_EQ(GetFileAttributesW(DefaultChangeFilePath().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(SheetFixture, RefusedElevationDropsTheChangeFileAndRefreshesTheRows) {
    bool nrgCheckedAfter = true, fileLeft = true;
    g_steps = {
        [&] {
            if (!Sheet())
                return false;
            PropSheet_SetCurSel(Sheet(), nullptr, 1);
            return true;
        },
        [&] {
            // The link checks every row.
            NMHDR click{GetDlgItem(Page(), kIdCheckAll), UINT_PTR(kIdCheckAll), UINT(NM_CLICK)};
            SendMessageW(Page(), WM_NOTIFY, kIdCheckAll, LPARAM(&click));
            PropSheet_PressButton(Sheet(), PSBTN_APPLYNOW);
            return true;
        },
        [&] {
            nrgCheckedAfter = ListView_GetCheckState(List(), 5) != 0;
            fileLeft = GetFileAttributesW(DefaultChangeFilePath().c_str()) !=
                       INVALID_FILE_ATTRIBUTES;
            PropSheet_PressButton(Sheet(), PSBTN_CANCEL);
            return true;
        },
    };
    RunSheet(*ctx, RefusingStarter);
    EXPECT_EQ(g_jobs, 1);
    EXPECT_FALSE(nrgCheckedAfter);
    EXPECT_FALSE(fileLeft);
    EXPECT_EQ(MachineClass(&registry, L".nrg"), L"<missing>");
}

TEST_F(SheetFixture, LanguagePreviewRetitlesAndCancelRestores) {
    std::wstring folder = TempFolder() + L"sheet languages\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    LngContents german;
    german.langId = 0x0407;
    german.name = L"Deutsch";
    german.messages.assign(23, L"");
    german.messages[kMsgSettingsCaption] = L"Einstellungen";
    german.messages[kMsgExtensionColumn] = L"Dateityp";
    german.sections.push_back({kDialogSettingsGeneral, 0, {L"Allgemein", L"", L"", L"", L"Mit Windows starten"}});
    std::vector<uint8_t> bytes = WriteLng(german);
    ASSERT_TRUE(WriteChangeFile(folder + L"vostrale_deu.lng", std::string(bytes.begin(), bytes.end())));
    ctx->language.CreateIn(&registry, folder, kLanguagePrefix);
    uint32_t configBefore = ctx->settings.config;

    std::wstring caption, tab, checkbox, column;
    int languages = 0;
    bool applyAfterChoice = false;
    g_steps = {
        [&] {
            if (!Sheet())
                return false;
            HWND combo = GetDlgItem(Page(), kIdLanguageList);
            languages = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
            SendMessageW(combo, CB_SETCURSEL, 0, 0);
            SendMessageW(Page(), WM_COMMAND, MAKEWPARAM(kIdLanguageList, CBN_SELCHANGE),
                         LPARAM(combo));
            return true;
        },
        [&] {
            wchar_t text[128] = {};
            GetWindowTextW(Sheet(), text, 128);
            caption = text;
            TCITEMW item{};
            item.mask = TCIF_TEXT;
            item.pszText = text;
            item.cchTextMax = 128;
            SendMessageW(PropSheet_GetTabControl(Sheet()), TCM_GETITEMW, 0, LPARAM(&item));
            tab = text;
            GetDlgItemTextW(Page(), kIdRunAtLogon, text, 128);
            checkbox = text;
            applyAfterChoice = ApplyEnabled();
            SendMessageW(GetDlgItem(Page(), kIdRemount), BM_CLICK, 0, 0);
            PropSheet_SetCurSel(Sheet(), nullptr, 1);
            return true;
        },
        [&] {
            column = ColumnTitle(List());
            PropSheet_PressButton(Sheet(), PSBTN_CANCEL);
            return true;
        },
    };
    RunSheet(*ctx, CountingStarter);
    EXPECT_EQ(languages, 1);
    EXPECT_EQ(caption, L"Einstellungen");
    EXPECT_EQ(tab, L"Allgemein");
    EXPECT_EQ(checkbox, L"Mit Windows starten");
    EXPECT_EQ(column, L"Dateityp");
    EXPECT_TRUE(applyAfterChoice);
    // Cancel: the built-in texts again, nothing stored.
    EXPECT_EQ(ctx->language.LangId(), 0);
    std::wstring stored;
    EXPECT_FALSE(ReadStringValue(&registry, RegistryRoot::CurrentUser, kSettingsKey,
                                 kLanguageValue, 8, &stored));
    EXPECT_EQ(ctx->settings.config, configBefore);
    DeleteFileW((folder + L"vostrale_deu.lng").c_str());
    RemoveDirectoryW(folder.c_str());
}

} // namespace
} // namespace vostrale::app::test
