// Shows what a user sees, one picture at a time, for scripts/screenshots: the tray menu with two
// mounted drives, the about box, the progress window, the mount failure dialog, both pages of
// the settings sheet and a dialog with the program's own link control, first in English and then
// with a test language file. At each picture it creates "<name>.ready" in the
// folder given and waits until the script has taken the screen and removed the file.
#include "app/history.h"
#include "app/image_entry.h"
#include "app/mount.h"
#include "app/tray_input.h"
#include "app/tray_menu.h"
#include "app/settings_pages.h"
#include "app/win32/dialog_template.h"
#include "app/win32/dialogs.h"
#include "app/win32/hyperlink.h"
#include "app/win32/settings_sheet.h"
#include "app/win32/tray_window.h"
#include "app/win32/win32_services.h"
#include "driver/host/host_services.h"
#include "tests/app/fakes.h"
#include "tests/app/gui_driver.h"
#include "tests/app/host_devices.h"
#include "tests/app/language_writer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace vostrale::app::test {
namespace {

std::filesystem::path g_folder;

// Asks the script for a picture and waits (at most 30 s) until it has one.
void Capture(const std::string& name) {
    std::filesystem::path flag = g_folder / (name + ".ready");
    std::ofstream(flag) << name;
    for (int i = 0; i < 600 && std::filesystem::exists(flag); ++i)
        Sleep(50);
    std::printf("captured %s\n", name.c_str());
    std::fflush(stdout);
}

// Some German texts for the second round.
std::vector<uint8_t> TestLanguage() {
    LngContents c;
    c.name = L"Deutsch (Test)";
    c.messages.assign(32, L"");
    c.messages[kMsgChooseAndMount] = L"Abbild &einlegen...";
    c.messages[kMsgUnmount] = L"&Auswerfen";
    c.messages[kMsgDriveEmpty] = L"Laufwerk %1: [leer]";
    c.messages[kMsgDriveImage] = L"Laufwerk %1: %2";
    c.messages[kMsgSettings] = L"&Einstellungen...";
    c.messages[kMsgDriveCount] = L"&Anzahl der Laufwerke";
    c.messages[kMsgUnmountAll] = L"&Alle auswerfen";
    c.messages[kMsgAbout] = L"\u00dc&ber...";
    c.messages[kMsgExit] = L"&Beenden";
    c.messages[kMsgHomePage] = L"&Homepage";
    c.messages[kMsgNoDrives] = L"&0 (keine)";
    c.messages[kMsgSettingsCaption] = L"Vostrale-Einstellungen";
    c.messages[kMsgExtensionColumn] = L"Dateityp";
    c.sections = {
        {kDialogAbout, 0, {L"\u00dcber Vostrale", L"OK", L"", L"<a>R\u00fcckmeldung senden</a>",
                           L"", L"", L"", L"", L"", L"", L"Ein virtuelles CD/DVD-Laufwerk."}},
        {kDialogMountFailure, 0, {L"", L"Schlie\u00dfen", L"", L"", L"", L"", L"", L"", L"", L"",
                                  L"Das Abbild lie\u00df sich nicht einlegen:", L"", L"",
                                  L"<a>Was kann ich tun?</a>", L"&Bericht senden..."}},
        {kDialogProgress, 0, {L"", L"", L"Abbrechen", L"Indiziere %1", L"%1%% fertig, %2 s"}},
        {kDialogSettingsGeneral, 0,
         {L"Allgemein", L"", L"", L"", L"Mit Windows starten",
          L"Zuletzt eingelegte Abbilder beim Start wieder einlegen",
          L"Vostrale in den Explorer-Men\u00fcs anbieten", L"Sprache:"}},
        {kDialogSettingsAssociations, 0,
         {L"Dateitypen", L"", L"", L"Einlegebefehle f\u00fcr Abbilddateien zeigen", L"",
          L"<a>Alle ausw\u00e4hlen</a>", L"Diese Abbilddateien mit Vostrale \u00f6ffnen:"}},
    };
    // The progress window's Cancel button has IDCANCEL (2).
    return WriteLng(c);
}

// An English file without texts of its own, so the language list has two entries.
std::vector<uint8_t> EnglishLanguage() {
    LngContents c;
    c.name = L"English";
    c.langId = 0x0409;
    return WriteLng(c);
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

bool NoAssociationJob(const std::wstring&, const std::wstring&, HWND) {
    return false;
}

// Both pages of the sheet; on the second, one row is checked by hand.
void SettingsPictures(AppContext& ctx, HWND window, const std::string& suffix) {
    int step = 0;
    DialogDriver sheet(L"#32770", nullptr, [&](HWND) {
        HWND open = CurrentSettingsSheet();
        if (!open || !IsWindowVisible(open))
            return false;
        PumpFor(300);
        if (step++ == 0) {
            Capture("settings-general" + suffix);
            PropSheet_SetCurSel(open, nullptr, 1);
            return false;
        }
        HWND page = PropSheet_GetCurrentPageHwnd(open);
        ListView_SetCheckState(GetDlgItem(page, kIdExtensionList), 2, TRUE);
        PumpFor(200);
        Capture("settings-associations" + suffix);
        PropSheet_PressButton(open, PSBTN_CANCEL);
        return true;
    });
    ShowSettingsSheet(ctx, window, NoAssociationJob);
}

constexpr wchar_t kTourLinkClass[] = L"VostraleTourLink";
constexpr int kLinkFocused = 10, kLinkVisited = 11, kLinkDisabled = 12;

INT_PTR CALLBACK LinkDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        // The second link of the first control has the focus; the second control's first
        // link was visited; the third control is disabled.
        HWND focused = GetDlgItem(dialog, kLinkFocused);
        SetFocus(focused);
        SendMessageW(focused, WM_KEYDOWN, VK_TAB, 0);
        LITEM item{};
        item.mask = LIF_ITEMINDEX | LIF_STATE;
        item.iLink = 0;
        item.state = LIS_VISITED | LIS_ENABLED;
        item.stateMask = LIS_VISITED | LIS_ENABLED;
        SendMessageW(GetDlgItem(dialog, kLinkVisited), LM_SETITEM, 0, LPARAM(&item));
        return FALSE; // the focus stays where it was put
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// The program's own link control (the system's is used wherever it exists, also under Wine):
// wrapped text with several links, a focused link, a visited one and a disabled control.
void LinkPictures(bool german, const std::string& suffix) {
    DialogTemplate t(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 230,
                     118, L"Links");
    if (german) {
        t.Add(kTourLinkClass,
              L"Vostrale legt <a id=\"iso\">ISO</a>-, <a>CUE/BIN</a>- und <a>NRG</a>-Abbilder "
              L"ein. Mehr dazu auf der <a href=\"https://www.vostrale.example/\">Homepage</a>.",
              kLinkFocused, WS_VISIBLE | WS_TABSTOP, 10, 10, 210, 30);
        t.Add(kTourLinkClass, L"<a>Bereits besucht</a> und <a>noch nicht besucht</a>",
              kLinkVisited, WS_VISIBLE | WS_TABSTOP, 10, 46, 210, 10);
        t.Add(kTourLinkClass, L"Gesperrt: <a>R\u00fcckmeldung senden</a>", kLinkDisabled,
              WS_VISIBLE | WS_DISABLED, 10, 62, 210, 10);
    } else {
        t.Add(kTourLinkClass,
              L"Vostrale mounts <a id=\"iso\">ISO</a>, <a>CUE/BIN</a> and <a>NRG</a> images. "
              L"Read more on the <a href=\"https://www.vostrale.example/\">home page</a>.",
              kLinkFocused, WS_VISIBLE | WS_TABSTOP, 10, 10, 210, 30);
        t.Add(kTourLinkClass, L"<a>Visited before</a> and <a>not visited yet</a>", kLinkVisited,
              WS_VISIBLE | WS_TABSTOP, 10, 46, 210, 10);
        t.Add(kTourLinkClass, L"Disabled: <a>Send feedback</a>", kLinkDisabled,
              WS_VISIBLE | WS_DISABLED, 10, 62, 210, 10);
    }
    t.Add(L"BUTTON", L"OK", IDOK, WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 170, 96, 50, 14);
    DialogDriver links(L"#32770", L"Links", [&](HWND dialog) {
        PumpFor(300);
        Capture("links" + suffix);
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        return true;
    });
    DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), nullptr, LinkDialogProc, 0);
}

int Tour(int argc, wchar_t** argv) {
    if (argc < 2)
        return 2;
    g_folder = argv[1];
    InitCommonControlsForTests();
    host::SetStoredDriveCount(3);
    HostAdapter adapter;
    if (!adapter.Valid())
        return 3;
    HostNamespace devices(&adapter);
    Harness harness;
    Win32Ui ui;
    Services services;
    services.devices = &devices;
    services.registry = &harness.registry;
    services.history = &harness.history;
    services.system = &harness.system;
    services.ui = &ui;
    services.openImage = OpenImageFile;
    AppContext ctx(services);
    ui.Attach(&ctx);
    ctx.showSettings = [](AppContext&, void*) {};
    // The program wires the report flow, which enables the failure dialog's report button;
    // the tour only pictures the button and never presses it.
    ctx.reportMountFailure = [](AppContext&, const std::wstring&, const std::wstring&) {
        return false;
    };
    RegisterTrayWindowClass(GetModuleHandleW(nullptr));
    RegisterOwnHyperlinkClass(GetModuleHandleW(nullptr), kTourLinkClass);

    // Two drives hold images (real ISO samples under other names), one more is empty.
    const char* names[] = {"Holiday photos 2016.iso", "Concert & Encore (live).iso"};
    for (int i = 0; i < 2; ++i) {
        std::filesystem::path image = harness.folder / names[i];
        std::filesystem::copy_file(std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" /
                                       "cd" / "copying.iso",
                                   image);
        std::filesystem::permissions(image, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
        DriveHandle drive = ctx.channel.OpenDriveByLetter(wchar_t(L'E' + i));
        if (drive)
            MountImage(ctx, drive.device.get(), image.wstring(), drive.index);
    }
    AddHistory(&harness.history, L"\\\\server\\share\\installers\\Office.iso");

    // The language folder the settings sheet lists: English first, then the test language.
    std::filesystem::path languages = harness.folder / "Language";
    std::filesystem::create_directory(languages);
    WriteFile(languages / "vostrale_eng.lng", EnglishLanguage());
    WriteFile(languages / "vostrale_deu.lng", TestLanguage());
    ctx.language.CreateIn(&harness.registry, languages.wstring() + L"\\", kLanguagePrefix);
    for (int round = 0; round < 2; ++round) {
        std::string suffix = round == 0 ? "-en" : "-de";
        ctx.language.Load(languages / (round == 0 ? "vostrale_eng.lng" : "vostrale_deu.lng"));

        HWND window = CreateTrayWindow(GetModuleHandleW(nullptr), ctx);
        if (!window)
            return 4;
        // The right-click menu.
        MenuDriver menu([&](HWND menuWindow, HMENU) {
            Capture("tray-menu" + suffix);
            PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
        });
        bool v4 = TrayIconVersion4(window);
        SetCursorPos(700, 120);
        PostMessageW(window, kTrayCallbackMessage, v4 ? 0 : kTrayIconId,
                     v4 ? LPARAM((kTrayIconId << 16) | kMsgContextMenu) : LPARAM(kMsgRButtonUp));
        PumpUntil([&] { return menu.Done(); }, 30000);
        PumpFor(300);

        DialogDriver about(L"#32770", nullptr, [&](HWND dialog) {
            PumpFor(300);
            Capture("about" + suffix);
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
            return true;
        });
        ShowAboutBox(ctx, window);
        PumpFor(300);

        ProgressRecord record;
        record.total = 1000;
        record.done = 420;
        {
            ProgressWindow progress(ctx, &record, L"Concert & Encore (live).cue");
            PumpUntil([&] { return progress.Window() && IsWindowVisible(progress.Window()); },
                      5000);
            Sleep(400);
            Capture("progress" + suffix);
        }
        PumpFor(300);

        DialogDriver failure(L"#32770", nullptr, [&](HWND dialog) {
            PumpFor(300);
            Capture("mount-failure" + suffix);
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
            return true;
        });
        ShowMountFailureDialog(ctx, window, L"C:\\Images\\Broken disc.nrg",
                               L"The NRG footer points beyond the end of the file.");
        PumpFor(300);

        SettingsPictures(ctx, window, suffix);
        PumpFor(300);
        LinkPictures(round == 1, suffix);
        DestroyWindow(window);
        PumpFor(300);
    }
    host::SetStoredDriveCount(std::nullopt);
    return 0;
}

} // namespace
} // namespace vostrale::app::test

int wmain(int argc, wchar_t** argv) {
    return vostrale::app::test::Tour(argc, argv);
}
