// Letter moves (every step failing in turn), the letters the dialog offers, the network logon
// (both path forms, credentials stored or not, the provider's own error), and the elevated
// one-shot start with its exit codes.
#include "app/drive_letters.h"
#include "app/launcher.h"
#include "app/network_logon.h"

#include "formats/activity_log.h"
#include "tests/app/fakes.h"
#include "tests/app/setup_fakes.h"

#include <gtest/gtest.h>

namespace vostrale::app::test {
namespace {

constexpr uint32_t Bit(wchar_t letter) {
    return 1u << (letter - L'A');
}

struct MoveCase {
    const char* name;
    wchar_t from;
    wchar_t to;
    uint32_t failVolumeName = 0, failDelete = 0, failSet = 0, failRestore = 0;
    JobResult result = JobResult::Failed;
    std::vector<std::wstring> calls = {};
    wchar_t letterAfter = L'E'; // where the volume is afterwards; 0: nowhere
    const char* logged = nullptr;
};

const MoveCase kMoveCases[] = {
    {"Moves", L'E', L'H', 0, 0, 0, 0, JobResult::Done, {L"name E", L"delete E", L"set H"}, L'H',
     "Drive moved to H:"},
    {"SameLetter", L'E', L'E'},
    {"NotALetter", L'E', L'1'},
    {"LowerCase", L'e', L'f'},
    {"FloppyLetterTarget", L'E', L'A'},
    {"FloppyLetterSource", L'B', L'H'},
    {"TargetInUse", L'E', L'D', 0, 0, 0, 0, JobResult::Failed, {}, L'E', "D: is in use"},
    {"SourceNotACdDrive", L'C', L'H', 0, 0, 0, 0, JobResult::Failed, {}, L'E',
     "C: is not a CD-ROM drive"},
    {"SourceWithoutDosDevice", L'G', L'H', 0, 0, 0, 0, JobResult::Failed, {}, L'E', nullptr},
    {"VolumeNameFails", L'E', L'H', 5, 0, 0, 0, JobResult::Failed, {L"name E"}, L'E',
     "Volume name of E: failed: error 5"},
    {"DeleteFails", L'E', L'H', 0, 5, 0, 0, JobResult::Failed, {L"name E", L"delete E"}, L'E',
     "Removing E: failed: error 5"},
    {"SetFailsAndTheOldLetterComesBack", L'E', L'H', 0, 0, 87, 0, JobResult::Failed,
     {L"name E", L"delete E", L"set H", L"set E"}, L'E', "The drive is back at E:"},
    {"SetAndRestoreFail", L'E', L'H', 0, 0, 87, 5, JobResult::Failed,
     {L"name E", L"delete E", L"set H", L"set E"}, 0, "the drive has no letter"},
};

class MoveTable : public ::testing::TestWithParam<MoveCase> {};

TEST_P(MoveTable, Moves) {
    const MoveCase& c = GetParam();
    Harness h;
    h.devices.letters[L'C'] = {3, nullptr, 0}; // a fixed disk
    h.devices.letters[L'E'] = {kDriveCdRom, &h.driver, 0};
    h.devices.letters[L'G'] = {kDriveCdRom, nullptr, 0};
    h.devices.dosDevices.push_back({L"E:", L"\\Device\\CdRom1"});
    FakeVolumeMounts mounts;
    mounts.points[L'E'] = L"\\\\?\\Volume{e}\\";
    mounts.otherDrives = Bit(L'C') | Bit(L'D');
    mounts.failVolumeName = c.failVolumeName;
    mounts.failDelete = c.failDelete;
    mounts.failSet = c.failSet;
    mounts.failRestore = c.failRestore;
    ActivityLog log;
    log.Open(h.system.logPath);
    EXPECT_EQ(MoveDriveLetter(&h.devices, &mounts, c.from, c.to, &log), c.result);
    log.Close();
    EXPECT_EQ(mounts.calls, c.calls);
    for (wchar_t letter : {L'E', L'H'})
        EXPECT_EQ(mounts.points.count(letter) != 0, letter == c.letterAfter) << char(letter);
    if (c.letterAfter) {
        EXPECT_EQ(mounts.points[c.letterAfter], L"\\\\?\\Volume{e}\\");
    }
    std::string text = h.ReadLog();
    if (c.logged) {
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
    }
    EXPECT_EQ(text.find(" E ") != std::string::npos, c.result == JobResult::Failed) << text;
}

INSTANTIATE_TEST_SUITE_P(Letters, MoveTable, ::testing::ValuesIn(kMoveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Letters, OfferedLetters) {
    // In use: A, C, D, E (ours), F; free: everything else. A and B never appear.
    uint32_t used = Bit(L'A') | Bit(L'C') | Bit(L'D') | Bit(L'E') | Bit(L'F');
    std::vector<wchar_t> offered = OfferedLetters(used, L'E');
    std::vector<wchar_t> expected = {L'E'};
    for (wchar_t letter = L'G'; letter <= L'Z'; ++letter)
        expected.push_back(letter);
    EXPECT_EQ(offered, expected);
    EXPECT_EQ(OfferedLetters(0xFFFFFFFFu, L'Q'), std::vector<wchar_t>{L'Q'});
    EXPECT_EQ(OfferedLetters(0, 0).size(), 24u);
}

TEST(Letters, LetterOfADriveIndex) {
    Harness h;
    h.devices.letters[L'E'] = {kDriveCdRom, &h.driver, 1};
    h.devices.letters[L'F'] = {kDriveCdRom, &h.driver, 0};
    h.devices.letters[L'G'] = {kDriveCdRom, nullptr, 0}; // a physical drive
    h.devices.letters[L'H'] = {kDriveCdRom, &h.driver, 3};
    uint32_t mask = Bit(L'C') | Bit(L'E') | Bit(L'F') | Bit(L'G');
    EXPECT_EQ(LetterOfDrive(&h.ctx->channel, mask, 1), L'E');
    EXPECT_EQ(LetterOfDrive(&h.ctx->channel, mask, 0), L'F');
    EXPECT_EQ(LetterOfDrive(&h.ctx->channel, mask, 3), 0);                // H: not in use
    EXPECT_EQ(LetterOfDrive(&h.ctx->channel, mask | Bit(L'H'), 3), L'H');
    EXPECT_EQ(LetterOfDrive(&h.ctx->channel, mask, 2), 0);
    EXPECT_EQ(LetterOfDrive(&h.ctx->channel, 0xFFFFFFFFu, 7), 0);         // no such index
}

struct ChangeCase {
    const char* name;
    wchar_t to;
    bool admin;
    bool hasLuaValue;
    uint32_t lua;
    uint32_t launchError;
    uint32_t exitCode;
    const wchar_t* verb; // null: nothing started
    OneShotOutcome outcome;
    bool message;
};

const ChangeCase kChangeCases[] = {
    {"SameLetterStartsNothing", L'E', false, true, 1, 0, 0, nullptr, OneShotOutcome::Done, false},
    {"AdminOpens", L'H', true, true, 1, 0, 0, L"open", OneShotOutcome::Done, false},
    {"UserWithUacElevates", L'H', false, true, 1, 0, 0, L"runas", OneShotOutcome::Done, false},
    {"UserWithoutUacOpens", L'H', false, true, 0, 0, 0, L"open", OneShotOutcome::Done, false},
    {"UnreadablePolicyElevates", L'H', false, false, 0, 0, 0, L"runas", OneShotOutcome::Done,
     false},
    {"RefusedElevationIsQuiet", L'H', false, true, 1, kErrorCancelled, 0, L"runas",
     OneShotOutcome::Refused, false},
    {"FailedMoveIsShown", L'H', true, true, 1, 0, 1, L"open", OneShotOutcome::Failed, true},
    {"ProgramNotStartedIsShown", L'H', true, true, 1, 2, 0, L"open", OneShotOutcome::Failed,
     true},
};

class ChangeTable : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ChangeTable, StartsTheOneShot) {
    const ChangeCase& c = GetParam();
    Harness h;
    if (c.hasLuaValue) {
        uint8_t data[4] = {uint8_t(c.lua), 0, 0, 0};
        h.registry.SetValue(RegistryRoot::LocalMachine, kPolicySystemKey, kEnableLuaValue,
                            kRegDword, data, 4);
    }
    FakeLauncher launcher;
    launcher.error = c.launchError;
    launcher.exitCode = c.exitCode;
    FakeElevation elevation;
    elevation.admin = c.admin;
    EXPECT_EQ(RequestLetterChange(*h.ctx, {&launcher, &elevation}, L'E', c.to, nullptr),
              c.outcome);
    if (!c.verb) {
        EXPECT_TRUE(launcher.starts.empty());
    } else {
        ASSERT_EQ(launcher.starts.size(), 1u);
        EXPECT_EQ(launcher.starts[0].verb, c.verb);
        EXPECT_EQ(launcher.starts[0].parameters, std::wstring(L"-YE") + c.to);
        EXPECT_EQ(launcher.starts[0].program, h.system.ProgramPath());
    }
    EXPECT_EQ(h.ui.messages.size(), c.message ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Letters, ChangeTable, ::testing::ValuesIn(kChangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Launcher, ExitCodesAndForwarding) {
    struct Case {
        uint32_t error;
        uint32_t code;
        OneShotOutcome outcome;
        JobResult forwarded;
    } cases[] = {
        {0, 0, OneShotOutcome::Done, JobResult::Done},
        {0, 100, OneShotOutcome::RestartNeeded, JobResult::RestartNeeded},
        {0, 1, OneShotOutcome::Failed, JobResult::Failed},
        {0, 9527, OneShotOutcome::Failed, JobResult::Failed},
        {kErrorCancelled, 0, OneShotOutcome::Refused, JobResult::Failed},
        {2, 0, OneShotOutcome::Failed, JobResult::Failed},
    };
    for (const Case& c : cases) {
        Harness h;
        FakeLauncher launcher;
        launcher.error = c.error;
        launcher.exitCode = c.code;
        FakeElevation elevation;
        elevation.admin = true;
        OneShotRun run =
            RunOneShot(&launcher, &h.registry, &elevation, &h.system, L"/XF", nullptr);
        EXPECT_EQ(run.outcome, c.outcome) << c.error << " " << c.code;
        EXPECT_EQ(run.exitCode, c.error ? 0u : c.code);
        EXPECT_EQ(run.launchError, c.error);
        EXPECT_EQ(ForwardElevated(&launcher, &h.system, L"/XU"), c.forwarded);
        EXPECT_EQ(launcher.starts.back().verb, L"runas");
        EXPECT_EQ(launcher.starts.back().parameters, L"/XU");
    }
}

TEST(Launcher, PrivilegedJobsRunHereOnlyWithTheRights) {
    for (bool admin : {false, true}) {
        Harness h;
        FakeLauncher launcher;
        launcher.exitCode = 100;
        FakeElevation elevation;
        elevation.admin = admin;
        int ranHere = 0;
        JobResult result =
            RunWithRights(&h.registry, &elevation, &launcher, &h.system, L"/XI:42", [&] {
                ++ranHere;
                return JobResult::Done;
            });
        EXPECT_EQ(ranHere, admin ? 1 : 0);
        EXPECT_EQ(result, admin ? JobResult::Done : JobResult::RestartNeeded);
        EXPECT_EQ(launcher.starts.size(), admin ? 0u : 1u);
    }
}

TEST(NetworkLogon, ShareOfBothPathForms) {
    struct Case {
        const wchar_t* path;
        const wchar_t* share; // null: not a network path
        const wchar_t* server;
    } cases[] = {
        {L"\\\\server\\share\\dir\\a.iso", L"\\\\server\\share", L"server"},
        {L"\\\\server\\share\\a.iso", L"\\\\server\\share", L"server"},
        {L"\\\\?\\UNC\\server\\share\\dir\\a.iso", L"\\\\server\\share", L"server"},
        {L"\\\\?\\unc\\srv.example\\d$\\a.iso", L"\\\\srv.example\\d$", L"srv.example"},
        {L"\\\\server\\share", L"\\\\server\\share", L"server"},
        {L"\\\\?\\C:\\a.iso", nullptr, nullptr},
        {L"\\\\.\\E:", nullptr, nullptr},
        {L"C:\\a.iso", nullptr, nullptr},
        {L"\\\\server", nullptr, nullptr},
        {L"\\\\server\\", nullptr, nullptr},
        {L"\\\\\\share\\a.iso", nullptr, nullptr},
        {L"\\\\?\\UNC\\", nullptr, nullptr},
        {L"", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::wstring share = L"untouched";
        std::wstring server;
        EXPECT_EQ(ShareOfPath(c.path, &share, &server), c.share != nullptr);
        if (c.share) {
            EXPECT_EQ(share, c.share);
            EXPECT_EQ(server, c.server);
        }
    }
}

struct LogonCase {
    const char* name;
    const wchar_t* path;
    const wchar_t* user;
    const wchar_t* password;
    bool remember;
    uint32_t error;
    std::wstring message;
    size_t saved;
    const wchar_t* providerText = L"";
    uint32_t failSave = 0;
};

const LogonCase kLogonCases[] = {
    {"Connects", L"\\\\server\\share\\dir\\a.iso", L"alice", L"secret", false, 0, L"", 0},
    {"ConnectsThroughTheLongForm", L"\\\\?\\UNC\\server\\share\\dir\\a.iso", L"alice", L"secret",
     false, 0, L"", 0},
    {"RemembersWhenAsked", L"\\\\server\\share\\a.iso", L"alice", L"secret", true, 0, L"", 1},
    {"WrongPassword", L"\\\\server\\share\\a.iso", L"alice", L"nope", true, 1326,
     L"system error 1326", 0},
    {"EmptyFieldsAreNone", L"\\\\server\\share\\a.iso", L"", L"", false, 1326,
     L"system error 1326", 0},
    {"ExtendedErrorExplained", L"\\\\server\\share\\a.iso", L"bob", L"x", false, 1208,
     L"Microsoft Windows Network: The account is locked.", 0, L"The account is locked."},
    {"ExtendedErrorWithoutText", L"\\\\server\\share\\a.iso", L"bob", L"x", false, 1208,
     L"system error 1208", 0},
    {"SavingFailsAfterConnecting", L"\\\\server\\share\\a.iso", L"alice", L"secret", true, 0,
     L"", 0, L"", 5},
    {"LocalPathIsRefused", L"\\\\?\\C:\\a.iso", L"alice", L"secret", false, kErrorInvalidParameter,
     L"system error 87", 0},
};

class LogonTable : public ::testing::TestWithParam<LogonCase> {};

TEST_P(LogonTable, Connects) {
    const LogonCase& c = GetParam();
    Harness h;
    FakeNetwork network;
    if (c.error == 1208) {
        network.failure = 1208;
        network.providerText = c.providerText;
    }
    network.failSave = c.failSave;
    ActivityLog log;
    log.Open(h.system.logPath);
    LogonAttempt attempt =
        ConnectShare(&network, &h.system, c.path, c.user, c.password, c.remember, &log);
    log.Close();
    EXPECT_EQ(attempt.error, c.error);
    EXPECT_EQ(attempt.message, c.message);
    if (c.error != kErrorInvalidParameter) {
        ASSERT_EQ(network.connections.size(), 1u);
        EXPECT_EQ(network.connections[0].remote, L"\\\\server\\share");
        EXPECT_EQ(network.connections[0].hasUser, c.user[0] != 0);
        EXPECT_EQ(network.connections[0].hasPassword, c.password[0] != 0);
    }
    ASSERT_EQ(network.saved.size(), c.saved);
    if (c.saved) {
        EXPECT_EQ(network.saved[0], std::make_pair(std::wstring(L"server"), std::wstring(c.user)));
        EXPECT_EQ(network.savedPasswords[0], c.password);
    }
    // Neither the user name nor the password ever reaches the log.
    std::string text = h.ReadLog();
    EXPECT_EQ(text.find("alice"), std::string::npos) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    EXPECT_EQ(text.find("bob"), std::string::npos) << text;
    if (c.failSave) {
        EXPECT_NE(text.find("Credentials not stored: error 5"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Logon, LogonTable, ::testing::ValuesIn(kLogonCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NetworkLogon, WipeSecret) {
    wchar_t buffer[8] = L"secret";
    WipeSecret(buffer, 8);
    for (wchar_t c : buffer)
        EXPECT_EQ(c, 0);
}

} // namespace
} // namespace vostrale::app::test
