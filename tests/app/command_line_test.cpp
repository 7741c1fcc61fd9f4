#include "app/command_line.h"

#include "tests/app/fakes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vostrale::app::test {
namespace {

class RecordingJobs final : public OneShotJobs {
  public:
    JobResult InstallDriver(uint64_t owner) override {
        installs.push_back(owner);
        return result;
    }
    JobResult UninstallDriver() override {
        ++uninstalls;
        return result;
    }
    void ApplyAssociations(const std::wstring& changeFile) override {
        ++associations;
        changeFiles.push_back(changeFile);
    }
    JobResult MoveDriveLetter(wchar_t from, wchar_t to) override {
        moves.push_back(std::wstring{from, to});
        return result == JobResult::Failed ? JobResult::Failed : JobResult::Done;
    }
    JobResult result = JobResult::Done;
    std::vector<uint64_t> installs;
    int uninstalls = 0;
    int associations = 0;
    std::vector<std::wstring> changeFiles;
    std::vector<std::wstring> moves;
};

constexpr int kNone = -1;

struct LineCase {
    const char* name;
    std::vector<std::wstring> args;
    int exit;
    int mountedDrive; // kNone: no Mount request
    std::wstring mountedPath;
    int unmountedDrive = kNone;
    bool drive0Busy = false;
    bool refuseFindFree = false;
};

std::wstring LongArgument(size_t length) {
    return L"C:\\" + std::wstring(length - 3, L'a');
}

class CommandLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLineTest, ReadsAndActs) {
    const LineCase& c = GetParam();
    Harness h;
    h.system.AddFile(L"C:\\images\\disc.iso");
    h.system.AddFile(L"C:\\work\\file.iso");
    h.system.AddFile(L"C:\\work\\a.iso");
    h.system.AddFile(L"C:\\a.iso");
    h.system.AddFile(L"\\\\server\\share\\a.iso");
    h.system.AddFolder(L"C:\\work\\folder.iso");
    // Both the longest path and the name a cut would make of a longer one exist.
    h.system.AddFile(LongArgument(kMaxPathArgument));
    h.system.AddFile(LongArgument(kMaxPathArgument + 1));
    h.devices.letters[L'E'] = {kDriveCdRom, &h.driver, 1};
    h.devices.letters[L'F'] = {kDriveCdRom, &h.driver, 9}; // a target id no drive of ours has
    h.devices.letters[L'G'] = {kDriveCdRom, nullptr, 0};   // a physical drive
    h.driver.mounted[0] = c.drive0Busy;
    h.driver.refuseFindFree = c.refuseFindFree;

    RecordingJobs jobs;
    CommandLine line = ReadCommandLine(*h.ctx, c.args, &jobs);
    EXPECT_EQ(RunCommandLine(*h.ctx, line), c.exit);

    if (c.mountedDrive == kNone) {
        EXPECT_TRUE(h.driver.mountDrives.empty());
    } else {
        ASSERT_EQ(h.driver.mountDrives.size(), 1u);
        EXPECT_EQ(h.driver.mountDrives[0], uint32_t(c.mountedDrive));
        ASSERT_EQ(g_opener.paths.size(), 1u);
        EXPECT_TRUE(g_opener.paths[0] == c.mountedPath);
    }
    std::vector<uint32_t> unmounted;
    for (size_t i = 0; i < h.driver.codes.size(); ++i) {
        if (h.driver.codes[i] == kCtlUnmount)
            unmounted.push_back(h.driver.values[i]);
    }
    if (c.unmountedDrive == kNone)
        EXPECT_TRUE(unmounted.empty());
    else
        EXPECT_EQ(unmounted, std::vector<uint32_t>{uint32_t(c.unmountedDrive)});
}

const LineCase kLineCases[] = {
    {"MountOnDrive0", {L"/M:0", L"C:\\images\\disc.iso"}, 0, 0, L"C:\\images\\disc.iso"},
    {"MountWithoutDriveDoesNothing", {L"/M", L"C:\\a.iso"}, 0, kNone, L""},
    {"UnknownLetterStartsTray", {L"/M:Q", L"file.iso"}, kStartTray, kNone, L""},
    {"Drive7StartsTray", {L"/M:7", L"file.iso"}, kStartTray, kNone, L""},
    {"BarePathStartsTray", {L"C:\\a.iso"}, kStartTray, kNone, L""},
    {"DashAndLowerCase", {L"-m:1", L"file.iso"}, 0, 1, L"C:\\work\\file.iso"},
    {"UncIsPath", {L"/M:0", L"\\\\server\\share\\a.iso"}, 0, 0, L"\\\\server\\share\\a.iso"},
    {"BackslashIsSwitch", {L"/M:0", L"file.iso", L"\\x"}, 0, 0, L"C:\\work\\file.iso"},
    {"LastModeWins", {L"/M:0", L"a.iso", L"/U:0"}, 0, kNone, L"", 0, true},
    {"LastModeWinsStart", {L"/M:0", L"file.iso", L"/C"}, kStartTray, kNone, L""},
    {"NumberDoesNotWrap", {L"/M:4294967302", L"file.iso"}, kStartTray, kNone, L""},
    {"HugeNumber", {L"/M:99999999999999999999", L"file.iso"}, kStartTray, kNone, L""},
    {"FreeDrive", {L"/M:", L"file.iso"}, 0, 1, L"C:\\work\\file.iso", kNone, true},
    {"RefusedFreeDriveIsNotDrive0",
     {L"/M:", L"file.iso"},
     kStartTray,
     kNone,
     L"",
     kNone,
     true,
     true},
    {"OwnLetter", {L"/M:e", L"file.iso"}, 0, 1, L"C:\\work\\file.iso"},
    {"TargetId9IsNotOurs", {L"/M:F", L"file.iso"}, kStartTray, kNone, L""},
    {"PhysicalDriveIsNotOurs", {L"/M:G", L"file.iso"}, kStartTray, kNone, L""},
    {"SymbolSpecFails", {L"/M:#", L"file.iso"}, kStartTray, kNone, L""},
    {"EmptyArgumentIsNoPath", {L"/M:0", L"file.iso", L""}, 0, 0, L"C:\\work\\file.iso"},
    {"QuotesStripped", {L"/M:0", L"\"a.iso\"\""}, 0, 0, L"C:\\work\\a.iso"},
    {"FolderIsNoImage", {L"/M:0", L"folder.iso"}, 0, kNone, L""},
    {"MissingFile", {L"/M:0", L"missing.iso"}, 0, kNone, L""},
    {"LongestPathTaken",
     {L"/M:0", LongArgument(kMaxPathArgument)},
     0,
     0,
     LongArgument(kMaxPathArgument)},
    {"LongerPathRefusedNotCut", {L"/M:0", LongArgument(kMaxPathArgument + 1)}, 0, kNone, L""},
    {"RefusedPathReplacesEarlier", {L"/M:0", L"file.iso", LongArgument(300)}, 0, kNone, L""},
    {"NoArguments", {}, kStartTray, kNone, L""},
    {"UnknownSwitchIgnored", {L"/Q", L"/M:0", L"file.iso", L"/"}, 0, 0, L"C:\\work\\file.iso"},
    {"Unmount", {L"/U:1"}, 0, kNone, L"", 1},
};

INSTANTIATE_TEST_SUITE_P(Table, CommandLineTest, ::testing::ValuesIn(kLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLine, OneShotJobsAndRestartCode) {
    // Each job runs exactly once when its switch is read, and only then.
    constexpr JobResult kDone = JobResult::Done;
    constexpr JobResult kRestart = JobResult::RestartNeeded;
    constexpr JobResult kFailed = JobResult::Failed;
    struct Case {
        std::vector<std::wstring> args;
        JobResult result;
        int exit;
        int installs, uninstalls, associations, moves;
    } cases[] = {
        {{L"/XI"}, kRestart, kExitRestartNeeded, 1, 0, 0, 0},
        {{L"/XI:1234"}, kDone, kExitNormal, 1, 0, 0, 0},
        {{L"/XI"}, kFailed, kExitJobFailed, 1, 0, 0, 0},
        {{L"/XU"}, kRestart, kExitRestartNeeded, 0, 1, 0, 0},
        {{L"/XU"}, kFailed, kExitJobFailed, 0, 1, 0, 0},
        {{L"/xf"}, kRestart, kExitNormal, 0, 0, 1, 0},
        {{L"/YEF"}, kDone, kExitNormal, 0, 0, 0, 1},
        {{L"/YEF"}, kFailed, kExitJobFailed, 0, 0, 0, 1},
        // a failure is not hidden by a later job
        {{L"/XI", L"/XU"}, kFailed, kExitJobFailed, 1, 1, 0, 0},
        // last mode wins: a mount request without a path, but the install has run
        {{L"/XI", L"/M:0"}, kRestart, kExitNormal, 1, 0, 0, 0},
        {{L"/YE"}, kDone, kStartTray, 0, 0, 0, 0}, // not exactly two letters: ignored
        {{L"/XZ"}, kDone, kStartTray, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Harness h;
        RecordingJobs jobs;
        jobs.result = c.result;
        CommandLine line = ReadCommandLine(*h.ctx, c.args, &jobs);
        EXPECT_EQ(RunCommandLine(*h.ctx, line), c.exit) << c.args[0].size();
        EXPECT_EQ(int(jobs.installs.size()), c.installs) << c.args[0].size();
        EXPECT_EQ(jobs.uninstalls, c.uninstalls) << c.args[0].size();
        EXPECT_EQ(jobs.associations, c.associations) << c.args[0].size();
        EXPECT_EQ(int(jobs.moves.size()), c.moves) << c.args[0].size();
        if (c.args[0] == L"/XI:1234") {
            EXPECT_EQ(jobs.installs, std::vector<uint64_t>{1234});
        }
        if (c.args[0] == L"/YEF") {
            EXPECT_EQ(jobs.moves, std::vector<std::wstring>{L"EF"});
        }
    }
}

TEST(CommandLine, FullPathResultOnlyUsedWhenItFits) {
    // GetFullPathNameW returns the size it needs when the buffer is too small, leaving it
    // untouched; only 0 < result < buffer size is a path.
    for (uint32_t result : {uint32_t(kMaxPath), uint32_t(kMaxPath + 40)}) {
        FakeSystem system;
        system.AddFile(L"C:\\work\\file.iso");
        system.fullPathResult = result;
        std::wstring out;
        EXPECT_FALSE(NormaliseImagePath(&system, L"file.iso", &out)) << result;
    }
    FakeSystem system;
    system.AddFile(L"C:\\work\\file.iso");
    std::wstring out;
    EXPECT_FALSE(NormaliseImagePath(&system, L"\"\"", &out));
    ASSERT_TRUE(NormaliseImagePath(&system, L"\"file.iso\"\"\"", &out));
    EXPECT_TRUE(out == L"C:\\work\\file.iso");
}

TEST(CommandLine, ParseDecimal) {
    uint32_t value = 0;
    EXPECT_TRUE(ParseDecimal(L"4294967295", &value));
    EXPECT_EQ(value, 4294967295u);
    EXPECT_FALSE(ParseDecimal(L"4294967296", &value));
    EXPECT_FALSE(ParseDecimal(L"x1", &value));
    EXPECT_TRUE(ParseDecimal(L"6:", &value));
    EXPECT_EQ(value, 6u);
}

TEST(CommandLine, ChangeFileFollowsXf) {
    struct Case {
        std::vector<std::wstring> args;
        std::wstring changeFile;
        std::wstring path;
    } cases[] = {
        {{L"/XF", L"C:\\Users\\me\\Temp\\vostrale.assoc"},
         L"C:\\Users\\me\\Temp\\vostrale.assoc", L""},
        {{L"-xf"}, L"", L""},
        {{L"/XF", L"/M:0"}, L"", L""},
        {{L"/XF", L"a.assoc", L"b.iso"}, L"a.assoc", L"b.iso"},
        {{L"x.iso", L"/XF"}, L"", L"x.iso"},
    };
    for (const Case& c : cases) {
        Harness h;
        RecordingJobs jobs;
        CommandLine line = ReadCommandLine(*h.ctx, c.args, &jobs);
        ASSERT_EQ(jobs.associations, 1) << c.args.size();
        EXPECT_EQ(jobs.changeFiles[0], c.changeFile);
        EXPECT_EQ(line.path, c.path);
    }
}

} // namespace
} // namespace vostrale::app::test
