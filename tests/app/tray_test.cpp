// The tray's menus, commands, clicks, labels, filter, links and progress arithmetic over the
// fakes: what a user would see and what each choice does to the driver and the registry.
#include "app/history.h"
#include "app/progress.h"
#include "app/tray_input.h"
#include "app/tray_menu.h"
#include "app/web_links.h"
#include "tests/app/fakes.h"
#include "tests/app/language_writer.h"

#include <gtest/gtest.h>

namespace vostrale::app::test {
namespace {

class FakeShell final : public TrayShell {
  public:
    bool ChooseImage(std::wstring* path) override {
        ++chooses;
        if (chosen.empty())
            return false;
        *path = chosen;
        return true;
    }
    void OpenFolder(const std::wstring& folder) override { folders.push_back(folder); }
    void OpenHomePage() override { ++homePages; }
    void ShowAbout() override { ++abouts; }
    void Exit() override { ++exits; }
    void* OwnerWindow() override { return this; }

    std::wstring chosen;
    int chooses = 0;
    std::vector<std::wstring> folders;
    int homePages = 0;
    int abouts = 0;
    int exits = 0;
};

// Two drives of ours (E: drive 0 with an image, F: drive 1 empty), a CD-ROM drive of someone
// else (G:) and a fixed disk (C:); two images in the history.
class TrayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.devices.letters[L'C'] = {3, &h.driver, 0};
        h.devices.letters[L'E'] = {kDriveCdRom, &h.driver, 0};
        h.devices.letters[L'F'] = {kDriveCdRom, &h.driver, 1};
        h.devices.letters[L'G'] = {kDriveCdRom, nullptr, 0};
        h.driver.mounted[0] = true;
        SetDriveImage(&h.registry, 0, L"C:\\discs\\Tom & Jerry.iso");
        h.history.entries = {L"C:\\discs\\Tom & Jerry.iso", L"D:\\older.cue"};
    }
    AppContext& ctx() { return *h.ctx; }
    Harness h;
    FakeShell shell;
};

const LanguageTable& Builtin() {
    static LanguageTable table;
    return table;
}

std::wstring Text(uint32_t id) {
    return FindBuiltinMessage(id)->text;
}

// The model's items as "id:label[flags]" lines, sub-menus indented, for one readable compare.
void Describe(const MenuModel& menu, const std::string& indent, std::wstring* out) {
    for (const MenuItem& item : menu) {
        std::wstring line(indent.begin(), indent.end());
        if (item.kind == MenuItem::kSeparator) {
            *out += line + L"-\n";
            continue;
        }
        if (item.kind == MenuItem::kCommand) {
            wchar_t id[16];
            swprintf(id, 16, L"%04x:", item.id);
            line += id;
        }
        line += item.label;
        if (item.greyed)
            line += L" [grey]";
        if (item.checked)
            line += L" [check]";
        if (item.isDefault)
            line += L" [default]";
        *out += line + L"\n";
        if (item.kind == MenuItem::kSubMenu)
            Describe(item.items, indent + "  ", out);
    }
}

std::wstring Describe(const MenuModel& menu) {
    std::wstring out;
    Describe(menu, "", &out);
    return out;
}

TEST_F(TrayTest, RightMenuFromDriverRegistryAndHistory) {
    h.driver.trayOpen[0] = true;
    std::wstring expected =
        L"Drive E: C:\\discs\\Tom && Jerry.iso\n"
        L"  1004:" + Text(kMsgChooseAndMount) + L"\n"
        L"  1044:" + Text(kMsgUnmount) + L"\n"
        L"  -\n"
        L"  1204:" + Text(kMsgOpenDrive) + L" [grey]\n"
        L"  10c4:" + Text(kMsgCloseTray) + L"\n"
        L"  -\n"
        L"  3004:C:\\discs\\Tom && Jerry.iso\n"
        L"  3044:D:\\older.cue\n"
        L"Drive F: [no image]\n"
        L"  1005:" + Text(kMsgChooseAndMount) + L"\n"
        L"  1045:" + Text(kMsgUnmount) + L" [grey]\n"
        L"  -\n"
        L"  3005:C:\\discs\\Tom && Jerry.iso\n"
        L"  3045:D:\\older.cue\n"
        L"-\n" + Text(kMsgDriveCount) + L"\n"
        L"  2000:" + Text(kMsgNoDrives) + L"\n"
        L"  2001:&1\n"
        L"  2002:&2 [check]\n"
        L"  2003:&3\n  2004:&4\n  2005:&5\n  2006:&6\n  2007:&7\n"
        L"0067:" + Text(kMsgUnmountAll) + L"\n"
        L"-\n"
        L"0064:" + Text(kMsgSettings) + L" [grey]\n"
        L"0068:" + Text(kMsgHomePage) + L"\n"
        L"0069:" + Text(kMsgAbout) + L"\n"
        L"-\n"
        L"006a:" + Text(kMsgExit) + L"\n";
    MenuModel menu = BuildRightMenu(ctx());
    EXPECT_EQ(Describe(menu), expected);
    EXPECT_EQ(DefaultCommand(menu), 0u);

    // With the tray closed the drive offers eject and opening its folder.
    h.driver.trayOpen[0] = false;
    menu = BuildRightMenu(ctx());
    ASSERT_EQ(menu[0].items.size(), 8u);
    EXPECT_EQ(menu[0].items[3].id, kCmdOpenDrive + 4);
    EXPECT_FALSE(menu[0].items[3].greyed);
    EXPECT_EQ(menu[0].items[4].id, kCmdEject + 4);
    EXPECT_EQ(menu[0].items[3].bitmap, kBitmapOpenDrive);
    EXPECT_EQ(menu[0].bitmap, kBitmapDrive);
    EXPECT_EQ(menu[0].items[6].bitmap, kBitmapHistory);

    // The settings entry is live and the double-click action once the dialog exists.
    ctx().showSettings = [](AppContext&, void*) {};
    menu = BuildRightMenu(ctx());
    EXPECT_EQ(DefaultCommand(menu), kCmdSettings);
}

TEST_F(TrayTest, LeftMenuAndEmptyStates) {
    std::wstring expected = L"1004:Drive E: C:\\discs\\Tom && Jerry.iso\n"
                            L"1005:Drive F: [no image]\n"
                            L"-\n"
                            L"0067:" + Text(kMsgUnmountAll) + L"\n";
    EXPECT_EQ(Describe(BuildLeftMenu(ctx())), expected);
    // No recorded image on any listed drive: unmount all is greyed.
    RemoveDriveImage(&h.registry, 0);
    MenuModel left = BuildLeftMenu(ctx());
    EXPECT_TRUE(left.back().greyed);

    // No drive of ours and no adapter: no drive entries, no drive-count menu, unmount all grey.
    h.devices.letters.clear();
    h.devices.ports.clear();
    MenuModel right = BuildRightMenu(ctx());
    EXPECT_EQ(right[0].id, kCmdUnmountAll);
    EXPECT_TRUE(right[0].greyed);
    EXPECT_EQ(Describe(BuildLeftMenu(ctx())), L"0067:" + Text(kMsgUnmountAll) + L" [grey]\n");

    // Only the letters the system lists are asked.
    h.devices.letters[L'E'] = {kDriveCdRom, &h.driver, 0};
    struct Listed final : public DeviceNamespace {
        FakeNamespace* inner;
        bool ListDosDevices(std::vector<std::wstring>* n) override { return inner->ListDosDevices(n); }
        bool QueryDosTarget(const std::wstring& n, std::wstring* t) override {
            return inner->QueryDosTarget(n, t);
        }
        std::unique_ptr<Device> Open(const std::wstring& p) override { return inner->Open(p); }
        uint32_t DriveType(wchar_t l) override { return inner->DriveType(l); }
        uint32_t LogicalDrives() override { return 1u << 5; } // F: only
    } listed;
    listed.inner = &h.devices;
    Services services = ctx().s;
    services.devices = &listed;
    AppContext other(services);
    EXPECT_TRUE(ListTrayDrives(other, false).empty());
}

TEST_F(TrayTest, TranslatedLabels) {
    LngContents c;
    c.messages.assign(24, L"");
    c.messages[kMsgDriveImage] = L"[%1] %2 / %2";
    c.messages[kMsgUnmountAll] = L"Alles auswerfen";
    std::vector<uint8_t> bytes = WriteLng(c);
    ASSERT_TRUE(ctx().language.LoadBytes(bytes.data(), bytes.size()));
    MenuModel left = BuildLeftMenu(ctx());
    EXPECT_EQ(left[0].label, L"[E] C:\\discs\\Tom && Jerry.iso / C:\\discs\\Tom && Jerry.iso");
    EXPECT_EQ(left.back().label, L"Alles auswerfen");
}

TEST(TrayLabels, PathsInLabels) {
    EXPECT_EQ(MenuPathText(L"a&b\tc\nd", 100), L"a&&b c d");
    std::wstring longPath = L"C:\\" + std::wstring(400, L'x') + L"\\disc.iso";
    std::wstring text = MenuPathText(longPath, 60);
    EXPECT_LE(text.size(), 60u);
    EXPECT_EQ(text.substr(0, 4), L"C:\\x");
    EXPECT_EQ(text.substr(text.size() - 8), L"disc.iso");
    EXPECT_NE(text.find(L"..."), std::wstring::npos);
    // Doubling counts: a path of ampersands still fits after doubling.
    EXPECT_LE(MenuPathText(std::wstring(100, L'&'), 50).size(), 50u);

    // A label never comes out empty or beyond its buffer, however long the path.
    std::wstring longest = L"\\\\server\\share\\" + std::wstring(600, L'&') + L"\\disc.iso";
    std::wstring label = DriveLabel(Builtin(), L'E', longest);
    EXPECT_LE(label.size(), kMenuLabelChars - 1);
    EXPECT_EQ(label.substr(0, 9), L"Drive E: ");
    EXPECT_EQ(label.substr(label.size() - 8), L"disc.iso");
    EXPECT_EQ(DriveLabel(Builtin(), L'F', L""), L"Drive F: [no image]");
}

TEST_F(TrayTest, CommandsReachDriverRegistryAndShell) {
    // Choose and mount on F: (drive 1); a cancelled dialog mounts nothing.
    RunTrayCommand(ctx(), &shell, kCmdChooseAndMount + 5);
    EXPECT_TRUE(h.driver.mountDrives.empty());
    shell.chosen = L"C:\\new.iso";
    RunTrayCommand(ctx(), &shell, kCmdChooseAndMount + 5);
    ASSERT_EQ(h.driver.mountDrives, std::vector<uint32_t>{1});
    std::wstring stat;
    ASSERT_TRUE(GetDriveImage(&h.registry, 1, &stat));
    EXPECT_EQ(stat, L"C:\\new.iso");

    // History entry 1 (the older one after the new mount is entry 2) on E:.
    ASSERT_EQ(h.history.entries.size(), 3u);
    RunTrayCommand(ctx(), &shell, kCmdHistory + 2 * 64 + 4);
    ASSERT_EQ(h.driver.mountDrives.size(), 2u);
    EXPECT_EQ(h.driver.mountDrives[1], 0u);
    EXPECT_EQ(g_opener.paths.back(), L"D:\\older.cue");
    // An entry that does not exist does nothing.
    RunTrayCommand(ctx(), &shell, kCmdHistory + 9 * 64 + 4);
    EXPECT_EQ(h.driver.mountDrives.size(), 2u);

    RunTrayCommand(ctx(), &shell, kCmdEject + 4);
    RunTrayCommand(ctx(), &shell, kCmdCloseTray + 5);
    EXPECT_EQ(h.driver.ejects, std::vector<uint32_t>{0});
    EXPECT_EQ(h.driver.loads, std::vector<uint32_t>{1});
    RunTrayCommand(ctx(), &shell, kCmdOpenDrive + 4);
    EXPECT_EQ(shell.folders, std::vector<std::wstring>{L"E:\\"});

    RunTrayCommand(ctx(), &shell, kCmdUnmount + 5);
    EXPECT_FALSE(h.driver.mounted[1]);
    EXPECT_FALSE(GetDriveImage(&h.registry, 1, &stat));

    RunTrayCommand(ctx(), &shell, kCmdDriveCount + 5);
    EXPECT_EQ(h.driver.driveCount, 5u);

    RunTrayCommand(ctx(), &shell, kCmdUnmountAll);
    EXPECT_FALSE(h.driver.mounted[0]);
    EXPECT_FALSE(GetDriveImage(&h.registry, 0, &stat));

    RunTrayCommand(ctx(), &shell, kCmdHomePage);
    RunTrayCommand(ctx(), &shell, kCmdAbout);
    RunTrayCommand(ctx(), &shell, kCmdExit);
    EXPECT_EQ(shell.homePages + shell.abouts + shell.exits, 3);

    // Drives that do not open as ours: nothing is asked or sent.
    size_t requests = h.driver.codes.size();
    int chooses = shell.chooses;
    for (uint32_t letter : {2u, 6u, 25u}) // C: (fixed disk), G: (not ours), Z: (absent)
        RunTrayCommand(ctx(), &shell, kCmdChooseAndMount + letter);
    EXPECT_EQ(shell.chooses, chooses);
    EXPECT_EQ(h.driver.mountDrives.size(), 2u);
    (void)requests;
}

TEST_F(TrayTest, FeaturesOfOtherPartsOnlyThroughTheirHooks) {
    // Without hooks these commands do nothing at all.
    for (uint32_t command : {kCmdSettings, kCmdFeedback, kCmdChangeLetter + 4})
        RunTrayCommand(ctx(), &shell, command);
    static int settings, feedback;
    static uint32_t letterDrive;
    settings = feedback = 0;
    letterDrive = 99;
    ctx().showSettings = [](AppContext&, void*) { ++settings; };
    ctx().startFeedback = [](AppContext&) { ++feedback; };
    ctx().changeDriveLetter = [](AppContext&, void*, uint32_t drive) { letterDrive = drive; };
    RunTrayCommand(ctx(), &shell, kCmdSettings);
    RunTrayCommand(ctx(), &shell, kCmdFeedback);
    RunTrayCommand(ctx(), &shell, kCmdChangeLetter + 5);
    EXPECT_EQ(settings, 1);
    EXPECT_EQ(feedback, 1);
    EXPECT_EQ(letterDrive, 1u);
}

TEST(TrayCommands, DecodingWithBounds) {
    struct Case {
        uint32_t command;
        TrayCommand::Action action;
        uint32_t letter, count, history;
    };
    const Case cases[] = {
        {100, TrayCommand::kSettings, 0, 0, 0},
        {101, TrayCommand::kNone, 0, 0, 0},
        {107, TrayCommand::kFeedback, 0, 0, 0},
        {0x1000, TrayCommand::kChooseAndMount, 0, 0, 0},
        {0x1019, TrayCommand::kChooseAndMount, 25, 0, 0},
        {0x101A, TrayCommand::kNone, 0, 0, 0}, // letter beyond Z
        {0x103F, TrayCommand::kNone, 0, 0, 0},
        {0x1044, TrayCommand::kUnmount, 4, 0, 0},
        {0x1085, TrayCommand::kEject, 5, 0, 0},
        {0x10C6, TrayCommand::kCloseTray, 6, 0, 0},
        {0x1107, TrayCommand::kChangeLetter, 7, 0, 0},
        {0x1140, TrayCommand::kNone, 0, 0, 0}, // unknown action
        {0x1208, TrayCommand::kOpenDrive, 8, 0, 0},
        {0x1FC0, TrayCommand::kNone, 0, 0, 0},
        {0x2000, TrayCommand::kSetDriveCount, 0, 0, 0},
        {0x2007, TrayCommand::kSetDriveCount, 0, 7, 0},
        {0x2008, TrayCommand::kNone, 0, 0, 0},
        {0x2FFF, TrayCommand::kNone, 0, 0, 0},
        {0x3000, TrayCommand::kMountHistory, 0, 0, 0},
        {0x33D9, TrayCommand::kMountHistory, 25, 0, 15},
        {0x33DA, TrayCommand::kNone, 0, 0, 0}, // letter beyond Z
        {0x3400, TrayCommand::kNone, 0, 0, 0}, // history 16
        {0x4000, TrayCommand::kNone, 0, 0, 0},
        {0x12341004, TrayCommand::kChooseAndMount, 4, 0, 0}, // only the low 16 bits count
    };
    for (const Case& c : cases) {
        TrayCommand decoded = DecodeCommand(c.command);
        EXPECT_EQ(decoded.action, c.action) << std::hex << c.command;
        if (decoded.action == c.action && c.action != TrayCommand::kNone) {
            EXPECT_EQ(decoded.letter, c.letter) << std::hex << c.command;
            EXPECT_EQ(decoded.count, c.count) << std::hex << c.command;
            EXPECT_EQ(decoded.history, c.history) << std::hex << c.command;
        }
    }
}

TEST(TrayClicks, SingleDoubleAndLateClicks) {
    ClickTracker clicks;
    // One click: the timer starts, and when it fires the menu opens.
    ClickOutput out = clicks.ButtonDown();
    EXPECT_TRUE(out.startTimer);
    EXPECT_EQ(clicks.TimerFired().post, ClickOutput::kMenu);
    EXPECT_FALSE(clicks.Pending());
    // A double click before the timer: the default action at once, the timer killed.
    clicks.ButtonDown();
    out = clicks.DoubleClick();
    EXPECT_TRUE(out.killTimer);
    EXPECT_EQ(out.post, ClickOutput::kDefaultAction);
    EXPECT_EQ(clicks.TimerFired().post, ClickOutput::kNothing); // a stale tick does nothing
    // Two button-downs counted before the tick also mean the default action.
    clicks.ButtonDown();
    EXPECT_FALSE(clicks.ButtonDown().startTimer);
    EXPECT_EQ(clicks.TimerFired().post, ClickOutput::kDefaultAction);
    // A double-click message after the tick has decided does nothing.
    EXPECT_EQ(clicks.DoubleClick().post, ClickOutput::kNothing);

    // Icon callbacks of both versions.
    IconEvent v4 = DecodeIconCallback(true, 0x00640032, (uint64_t(kTrayIconId) << 16) | kMsgContextMenu);
    EXPECT_EQ(v4.iconId, kTrayIconId);
    EXPECT_EQ(ActionOfIconEvent(true, v4), IconAction::kRightMenu);
    IconEvent old = DecodeIconCallback(false, kTrayIconId, kMsgRButtonUp);
    EXPECT_EQ(ActionOfIconEvent(false, old), IconAction::kRightMenu);
    EXPECT_EQ(ActionOfIconEvent(true, {kTrayIconId, kMsgRButtonUp}), IconAction::kNone);
    EXPECT_EQ(ActionOfIconEvent(true, {kTrayIconId, kNotifyKeySelect}), IconAction::kLeftMenu);
    EXPECT_EQ(ActionOfIconEvent(true, {kTrayIconId, kMsgLButtonDown}), IconAction::kButtonDown);
    EXPECT_EQ(ActionOfIconEvent(true, {kTrayIconId + 1, kMsgLButtonDown}), IconAction::kNone);
}

TEST(TrayFilter, PairsSeparatedByNuls) {
    std::wstring filter = OpenFileFilter();
    ASSERT_GE(filter.size(), 2u);
    EXPECT_LE(filter.size(), 1023u);
    EXPECT_EQ(filter.substr(filter.size() - 2), std::wstring(2, L'\0'));
    std::vector<std::wstring> parts;
    for (size_t at = 0; at < filter.size() && filter[at] != 0;) {
        std::wstring part(filter.c_str() + at);
        parts.push_back(part);
        at += part.size() + 1;
    }
    ASSERT_EQ(parts.size(), 16u);
    EXPECT_EQ(parts[0], L"All image files (*.ccd;*.cue;*.iso;*.isz;*.mds;*.nrg)");
    EXPECT_EQ(parts[1], L"*.ccd;*.cue;*.iso;*.isz;*.mds;*.nrg");
    EXPECT_EQ(parts[4], L"Cue sheets files of APE/FLAC/WAV/BIN (*.cue)");
    EXPECT_EQ(parts[15], L"*.*");
}

TEST(TrayLinks, OnlyWebAddressesReachABrowser) {
    for (const wchar_t* good : {L"http://a.example/", L"HTTPS://a.example/x?y=1&z=2"})
        EXPECT_TRUE(IsWebUrl(good)) << good;
    for (const wchar_t* bad :
         {L"file:///c:/x", L"javascript:alert(1)", L"http://", L"https:///x",
          L"http://a\" --flag", L"http://a b", L"http://a\r\nb", L"C:\\x.exe", L""})
        EXPECT_FALSE(IsWebUrl(bad)) << bad;
    for (WebLink link : {WebLink::kHomePage, WebLink::kAbout, WebLink::kMountFailureHelp})
        EXPECT_TRUE(IsWebUrl(WebLinkUrl(link)));

    struct Case {
        const wchar_t* command;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"\"C:\\b\\browser.exe\" -osint \"%1\"", L"\"C:\\b\\browser.exe\" -osint \"http://a.example/\""},
        {L"browser.exe %1", L"browser.exe \"http://a.example/\""},
        {L"browser.exe", L"browser.exe \"http://a.example/\""},
    };
    for (const Case& c : cases) {
        std::wstring line;
        ASSERT_TRUE(BuildBrowserCommand(c.command, L"http://a.example/", &line));
        EXPECT_EQ(line, c.expected);
    }
    std::wstring line;
    EXPECT_FALSE(BuildBrowserCommand(L"browser.exe \"%1\"", L"http://a\" evil", &line));
    EXPECT_FALSE(BuildBrowserCommand(L"", L"http://a.example/", &line));
}

TEST(TrayProgress, PercentAndPlace) {
    EXPECT_EQ(ProgressPercent(0, 0), 0u);
    EXPECT_EQ(ProgressPercent(5, 0), 0u);
    EXPECT_EQ(ProgressPercent(1, 3), 33u);
    EXPECT_EQ(ProgressPercent(3, 3), 100u);
    EXPECT_EQ(ProgressPercent(7, 3), 100u);
    EXPECT_EQ(ProgressPercent(UINT64_MAX / 2, UINT64_MAX), 49u);
    EXPECT_EQ(ProgressPercent(UINT64_MAX - 1, UINT64_MAX), 99u);

    ScreenRect monitor{0, 0, 1280, 800};
    EXPECT_EQ(TaskbarEdgeOf(monitor, {0, 0, 1280, 760}), TaskbarEdge::kBottom);
    EXPECT_EQ(TaskbarEdgeOf(monitor, {60, 0, 1280, 800}), TaskbarEdge::kLeft);
    EXPECT_EQ(TaskbarEdgeOf(monitor, {0, 40, 1280, 800}), TaskbarEdge::kTop);
    EXPECT_EQ(TaskbarEdgeOf(monitor, {0, 0, 1200, 800}), TaskbarEdge::kRight);
    int x = 0, y = 0;
    ProgressWindowOrigin({0, 0, 1280, 760}, TaskbarEdge::kBottom, 300, 100, &x, &y);
    EXPECT_EQ(x, 980);
    EXPECT_EQ(y, 660);
    ProgressWindowOrigin({60, 0, 1280, 800}, TaskbarEdge::kLeft, 300, 100, &x, &y);
    EXPECT_EQ(x, 60);
    EXPECT_EQ(y, 700);
    ProgressWindowOrigin({0, 40, 1280, 800}, TaskbarEdge::kTop, 300, 100, &x, &y);
    EXPECT_EQ(x, 980);
    EXPECT_EQ(y, 40);
    // A second monitor left of the first, and a window larger than the work area.
    ProgressWindowOrigin({-1024, 0, 0, 728}, TaskbarEdge::kBottom, 2000, 1000, &x, &y);
    EXPECT_EQ(x, -1024);
    EXPECT_EQ(y, 0);
}

} // namespace
} // namespace vostrale::app::test
