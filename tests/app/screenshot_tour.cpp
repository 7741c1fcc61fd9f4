// Shows what a user sees, one picture at a time, for scripts/screenshots: the tray menu with two
// mounted drives, the about box, the progress window and the mount failure dialog, first in
// English and then with a test language file. At each picture it creates "<name>.ready" in the
// folder given and waits until the script has taken the screen and removed the file.
#include "app/history.h"
#include "app/image_entry.h"
#include "app/mount.h"
#include "app/tray_input.h"
#include "app/tray_menu.h"
#include "app/win32/dialogs.h"
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
    c.sections = {
        {kDialogAbout, 0, {L"\u00dcber Vostrale", L"OK", L"", L"<a>R\u00fcckmeldung senden</a>",
                           L"", L"", L"", L"", L"", L"", L"Ein virtuelles CD/DVD-Laufwerk."}},
        {kDialogMountFailure, 0, {L"", L"Schlie\u00dfen", L"", L"", L"", L"", L"", L"", L"", L"",
                                  L"Das Abbild lie\u00df sich nicht einlegen:", L"", L"",
                                  L"<a>Was kann ich tun?</a>", L"&Bericht senden..."}},
        {kDialogProgress, 0, {L"", L"", L"Abbrechen", L"Indiziere %1", L"%1%% fertig, %2 s"}},
    };
    // The progress window's Cancel button has IDCANCEL (2).
    return WriteLng(c);
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
    RegisterTrayWindowClass(GetModuleHandleW(nullptr));

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

    std::vector<uint8_t> german = TestLanguage();
    for (int round = 0; round < 2; ++round) {
        std::string suffix = round == 0 ? "-en" : "-de";
        if (round == 1)
            ctx.language.LoadBytes(german.data(), german.size());

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
