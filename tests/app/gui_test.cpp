// The tray program's real windows on a virtual display: the icon, the menus read back from the
// live menu window, items picked with keys, the open-file dialog, the progress window during a
// real FLAC indexing, the failure dialog and the modal guard. The drives are the in-process
// engine's; modal UI is driven from a thread timer (inside the modal loop) or a watcher thread.
#include "app/history.h"
#include "app/image_entry.h"
#include "app/mount.h"
#include "app/text.h"
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

#include <gtest/gtest.h>

#include <commctrl.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

namespace vostrale::app::test {
namespace {

// A modal window nobody answers would hang the run: end it with a message instead.
class Watchdog {
  public:
    Watchdog() {
        m_thread = std::thread([this] {
            std::unique_lock<std::mutex> lock(m_lock);
            if (!m_done.wait_for(lock, std::chrono::seconds(90), [this] { return m_stop; })) {
                std::fprintf(stderr, "test hung for 90 s: a modal window was left open\n");
                std::fflush(stderr);
                ExitProcess(3);
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stop = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_stop = false;
    std::thread m_thread;
};

class TrayGui : public ::testing::Test {
  protected:
    Watchdog m_watchdog;
    void SetUp() override {
        InitCommonControlsForTests();
        host::SetStoredDriveCount(3);
        m_adapter = std::make_unique<HostAdapter>();
        ASSERT_TRUE(m_adapter->Valid());
        m_devices = std::make_unique<HostNamespace>(m_adapter.get());
        Services services;
        services.devices = m_devices.get();
        services.registry = &m_harness.registry;
        services.history = &m_harness.history;
        services.system = &m_harness.system;
        services.ui = &m_ui;
        services.openImage = OpenImageFile;
        m_ctx = std::make_unique<AppContext>(services);
        m_ui.Attach(m_ctx.get());
        ASSERT_TRUE(RegisterTrayWindowClass(GetModuleHandleW(nullptr)));
    }
    void TearDown() override {
        if (m_window && IsWindow(m_window))
            DestroyWindow(m_window);
        PumpFor(50);
        m_ctx.reset();
        m_adapter.reset();
        host::SetStoredDriveCount(std::nullopt);
    }
    HWND Create() {
        m_window = CreateTrayWindow(GetModuleHandleW(nullptr), *m_ctx);
        return m_window;
    }
    // A real ISO 9660 sample under a name of the test's choosing.
    std::wstring MakeImage(const std::string& name) {
        std::filesystem::path file = m_harness.folder / name;
        std::filesystem::copy_file(
            std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "cd" / "copying.iso", file);
        // The sample is read-only, and a read-only file cannot be removed with the folder.
        std::filesystem::permissions(file, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
        return file.wstring();
    }
    bool Mounted(uint32_t index) {
        std::unique_ptr<Device> adapter = m_ctx->channel.FindAdapter();
        return adapter && DriveHasImage(adapter.get(), index);
    }
    // Opens a menu as a click on the icon would, through the real callback message.
    void PostIconEvent(uint32_t event) {
        bool v4 = TrayIconVersion4(m_window);
        PostMessageW(m_window, kTrayCallbackMessage, v4 ? 0 : kTrayIconId,
                     v4 ? LPARAM((kTrayIconId << 16) | event) : LPARAM(event));
    }

    Harness m_harness;
    Win32Ui m_ui;
    std::unique_ptr<HostAdapter> m_adapter;
    std::unique_ptr<HostNamespace> m_devices;
    std::unique_ptr<AppContext> m_ctx;
    HWND m_window = nullptr;
};

TEST_F(TrayGui, IconComesBackWithTheTaskbarAndGoesWithTheWindow) {
    HWND window = Create();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(TrayIconPresent(window));
    // The taskbar restarts: it knows no icons until the broadcast is answered.
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = kTrayIconId;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
    EXPECT_FALSE(TrayIconPresent(window));
    SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(TrayIconPresent(window));

    // The menu bitmaps live as long as the window, and no longer.
    HBITMAP bitmap = TrayMenuBitmap(window, kBitmapMount);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(GetObjectType(bitmap), DWORD(OBJ_BITMAP));
    PostMessageW(window, WM_COMMAND, kCmdExit, 0);
    PumpUntil([&] { return !IsWindow(window); }, 5000);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(GetObjectType(bitmap), 0u);
    EXPECT_FALSE(TrayIconPresent(window));
}

TEST_F(TrayGui, RightMenuOnScreenIsTheModel) {
    std::wstring image = MakeImage("menu disc.iso");
    {
        DriveHandle drive = m_ctx->channel.OpenDriveByLetter(L'F');
        ASSERT_TRUE(drive);
        ASSERT_EQ(MountImage(*m_ctx, drive.device.get(), image, drive.index), 1);
    }
    HWND window = Create();
    ASSERT_NE(window, nullptr);
    std::wstring expected = DescribeModel(BuildRightMenu(*m_ctx));
    std::wstring seen;
    bool bitmaps = false;
    MenuDriver menu([&](HWND menuWindow, HMENU handle) {
        seen = DescribeMenu(handle);
        bitmaps = MenuHasBitmaps(handle);
        PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
    });
    PostIconEvent(TrayIconVersion4(window) ? kMsgContextMenu : kMsgRButtonUp);
    ASSERT_TRUE(PumpUntil([&] { return menu.Done(); }, 10000));
    EXPECT_EQ(seen, expected);
    EXPECT_NE(seen.find(L"Drive F: "), std::wstring::npos);
    EXPECT_NE(seen.find(L"menu disc.iso"), std::wstring::npos);
    EXPECT_TRUE(bitmaps);
}

TEST_F(TrayGui, KeysPickTheLeftMenuItemAndTheOpenDialogMounts) {
    std::wstring image = MakeImage("picked.iso");
    HWND window = Create();
    ASSERT_NE(window, nullptr);
    // First item of the left-click menu: choose and mount on E: (drive 0).
    MenuDriver menu([&](HWND menuWindow, HMENU) {
        PostMessageW(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
    });
    DialogDriver open(L"#32770", nullptr, [&](HWND dialog) {
        return FillOpenDialog(dialog, image);
    });
    PostMessageW(window, kTrayClickMessage, 0, 0); // the click timer's verdict: one click
    ASSERT_TRUE(PumpUntil([&] { return Mounted(0); }, 20000));
    EXPECT_TRUE(menu.Done());
    std::wstring stat;
    ASSERT_TRUE(GetDriveImage(&m_harness.registry, 0, &stat));
    EXPECT_TRUE(EqualNoCase(stat, image));
    EXPECT_FALSE(Mounted(1));
}

TEST_F(TrayGui, ExitFromTheMenuWaitsForAModalHandler) {
    HWND window = Create();
    ASSERT_NE(window, nullptr);
    // The about box is up (a handler is running): an icon click only brings it to the front,
    // and a close request waits until the box has gone.
    // The checks run inside the box's modal loop, while the command handler is still running.
    HWND about = nullptr;
    std::wstring version;
    bool feedbackEnabled = true;
    bool stillThere = false;
    int menusOpened = 0;
    int ticks = 0;
    auto stray = std::make_unique<MenuDriver>([&](HWND menuWindow, HMENU) {
        ++menusOpened;
        PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
    });
    DialogDriver box(L"#32770", L"About Vostrale", [&](HWND dialog) {
        if (++ticks == 1) {
            about = dialog;
            version = DialogItemText(dialog, kAboutVersion);
            feedbackEnabled = IsWindowEnabled(GetDlgItem(dialog, kAboutFeedbackLink)) != FALSE;
            PostIconEvent(TrayIconVersion4(window) ? kMsgContextMenu : kMsgRButtonUp);
            PostMessageW(window, WM_CLOSE, 0, 0);
            return false;
        }
        if (ticks < 8)
            return false; // 400 ms for the click and the close to arrive
        stillThere = IsWindow(window) && IsWindow(dialog);
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        return true;
    });
    PostMessageW(window, WM_COMMAND, kCmdAbout, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(window); }, 20000));
    EXPECT_NE(about, nullptr);
    EXPECT_TRUE(stillThere); // the close waited for the box
    EXPECT_EQ(menusOpened, 0);
    EXPECT_EQ(version, kVersionLine);
    EXPECT_FALSE(feedbackEnabled); // no feedback dialog in this program: the link is disabled
    stray.reset();

    // Exit picked from the right-click menu with its mnemonic key.
    window = Create();
    ASSERT_NE(window, nullptr);
    MenuDriver menu([&](HWND menuWindow, HMENU) { PostMessageW(menuWindow, WM_CHAR, L'x', 0); });
    PostIconEvent(TrayIconVersion4(window) ? kMsgContextMenu : kMsgRButtonUp);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(window); }, 10000));
}

TEST_F(TrayGui, FailureDialogForAHostileImage) {
    std::filesystem::path cue = m_harness.folder / "hostile.cue";
    std::ofstream(cue) << "FILE \"missing.bin\" BINARY\n  TRACK 01 MODE1/2352\n"
                          "    INDEX 01 00:00:00\n";
    static std::wstring reportedPath;
    reportedPath.clear();
    struct Seen {
        std::wstring path, reason;
        bool reportEnabled = false;
    };
    for (bool withReport : {false, true}) {
        m_ctx->reportMountFailure = nullptr;
        if (withReport)
            m_ctx->reportMountFailure = [](AppContext&, const std::wstring& path,
                                           const std::wstring&) {
                reportedPath = path;
                return true;
            };
        Seen seen;
        bool shown = false;
        DialogDriver dialog(L"#32770", L"Vostrale", [&](HWND window) {
            shown = true;
            seen.path = DialogItemText(window, kFailurePath);
            seen.reason = DialogItemText(window, kFailureReason);
            HWND report = GetDlgItem(window, kFailureReport);
            seen.reportEnabled = IsWindowEnabled(report) != FALSE;
            if (seen.reportEnabled)
                PostMessageW(window, WM_COMMAND, MAKEWPARAM(kFailureReport, BN_CLICKED),
                             LPARAM(report));
            else
                PostMessageW(window, WM_COMMAND, IDOK, 0);
            return true;
        });
        DriveHandle drive = m_ctx->channel.OpenDriveByLetter(L'E');
        ASSERT_TRUE(drive);
        EXPECT_EQ(MountImage(*m_ctx, drive.device.get(), cue.wstring(), drive.index), 0);
        ASSERT_TRUE(shown);
        EXPECT_EQ(seen.path, cue.wstring());
        EXPECT_FALSE(seen.reason.empty());
        EXPECT_EQ(seen.reportEnabled, withReport);
    }
    EXPECT_EQ(reportedPath, cue.wstring());
    EXPECT_NE(m_harness.ReadLog().find("E Mount failed"), std::string::npos);
}

TEST_F(TrayGui, ProgressWindowCancelsARealFlacIndexing) {
    std::filesystem::path flac = m_harness.folder / "long.flac";
    ASSERT_TRUE(WriteRepeatedFlac(std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" /
                                      "flac" / "subset-03-blocksize-16.flac",
                                  60, flac));
    std::filesystem::path cue = m_harness.folder / "long.cue";
    std::ofstream(cue) << "FILE \"long.flac\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";

    // A watcher thread: the test thread is busy indexing, as the tray's UI thread would be.
    std::atomic<bool> stop{false};
    std::atomic<bool> cancelled{false};
    RECT placed{};
    std::wstring subject;
    std::thread watcher([&] {
        for (int i = 0; i < 1200 && !stop; ++i) {
            HWND progress = FindOwnWindow(L"#32770", kProgressCaption, true);
            if (progress && GetDlgItem(progress, kProgressBar)) {
                Sleep(120); // let a few ticks show the percent
                GetWindowRect(progress, &placed);
                subject = DialogItemText(progress, kProgressSubject);
                PostMessageW(progress, WM_COMMAND, IDCANCEL, 0);
                cancelled = true;
                return;
            }
            Sleep(25);
        }
    });
    DriveHandle drive = m_ctx->channel.OpenDriveByLetter(L'E');
    ASSERT_TRUE(drive);
    int result = MountImage(*m_ctx, drive.device.get(), cue.wstring(), drive.index);
    stop = true;
    watcher.join();
    ASSERT_TRUE(cancelled) << "the progress window never showed";
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(Mounted(0));
    EXPECT_NE(m_harness.ReadLog().find("Mount cancel by user"), std::string::npos)
        << m_harness.ReadLog();
    EXPECT_EQ(subject, L"Indexing long.cue");
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_GE(placed.left, work.left);
    EXPECT_GE(placed.top, work.top);
    EXPECT_LE(placed.right, work.right);
    EXPECT_LE(placed.bottom, work.bottom);
    EXPECT_EQ(FindOwnWindow(L"#32770", kProgressCaption, false), nullptr); // closed
}

TEST_F(TrayGui, DialogTextsComeFromTheLanguageFile) {
    LngContents c;
    c.messages.assign(24, L"");
    c.sections = {{kDialogAbout, 0, {L"\u00dcber Vostrale", L"Schlie\u00dfen", L"", L"", L"",
                                      L"", L"", L"", L"", L"", L"Ein virtuelles Laufwerk"}}};
    std::vector<uint8_t> bytes = WriteLng(c);
    ASSERT_TRUE(m_ctx->language.LoadBytes(bytes.data(), bytes.size()));
    std::wstring ok, text, version;
    DialogDriver box(L"#32770", L"\u00dcber Vostrale", [&](HWND dialog) {
        ok = DialogItemText(dialog, IDOK);
        text = DialogItemText(dialog, kAboutText);
        version = DialogItemText(dialog, kAboutVersion);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return true;
    });
    ShowAboutBox(*m_ctx, nullptr);
    EXPECT_TRUE(box.Done());
    EXPECT_EQ(ok, L"Schlie\u00dfen");
    EXPECT_EQ(text, L"Ein virtuelles Laufwerk");
    EXPECT_EQ(version, kVersionLine); // the version line is never translated
}

} // namespace
} // namespace vostrale::app::test
