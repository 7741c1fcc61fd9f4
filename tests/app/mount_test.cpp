#include "app/mount.h"

#include "app/history.h"
#include "app/image_entry.h"
#include "formats/activity_log.h"
#include "tests/app/fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace vostrale::app::test {
namespace {

std::unique_ptr<Device> Adapter(Harness& h) {
    return h.ctx->channel.FindAdapter();
}

// A real file for the scripted parser to hold open, so release can be observed.
std::filesystem::path MakeBackingFile(const Harness& h) {
    std::filesystem::path file = h.folder / "backing.bin";
    std::ofstream(file, std::ios::binary) << std::string(4096, '\0');
    return file;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(Mount, SuccessRecordsLongPathWithLowerCaseExtension) {
    Harness h;
    h.system.AddFile(L"C:\\IMAGES\\DISC~1.ISO");
    h.system.longNames[L"C:\\IMAGES\\DISC~1.iso"] = L"C:\\Images\\Disc image.iso";
    g_opener.backingFile = MakeBackingFile(h);
    auto adapter = Adapter(h);
    ASSERT_EQ(MountImage(*h.ctx, adapter.get(), L"C:\\IMAGES\\DISC~1.ISO", 1), 1);

    ASSERT_EQ(g_opener.paths.size(), 1u);
    EXPECT_TRUE(g_opener.paths[0] == L"C:\\IMAGES\\DISC~1.iso");
    ASSERT_EQ(h.driver.mountRecords.size(), 1u);
    const MountRecord& sent = h.driver.mountRecords[0];
    // Packed fields are copied out before comparing.
    uint32_t processId = sent.processId, threadId = sent.threadId, total = sent.totalSectors;
    uint16_t presetOne = sent.presetOne;
    uint64_t trackTable = sent.trackTable;
    EXPECT_EQ(processId, 4242u);
    EXPECT_EQ(threadId, 77u);
    EXPECT_EQ(presetOne, 1);
    EXPECT_EQ(sent.readerKind, kReaderPlainFile);
    EXPECT_EQ(sent.sessions, 1);
    EXPECT_EQ(total, 100u);
    EXPECT_NE(trackTable, 0u);
    EXPECT_EQ(h.driver.mountDrives, std::vector<uint32_t>{1});

    std::wstring stat;
    ASSERT_TRUE(GetDriveImage(&h.registry, 1, &stat));
    EXPECT_TRUE(stat == L"C:\\Images\\Disc image.iso");
    ASSERT_EQ(h.history.entries.size(), 1u);
    EXPECT_TRUE(h.history.entries[0] == L"C:\\Images\\Disc image.iso");
    EXPECT_FALSE(IsFileOpen(g_opener.lastHandle));

    std::string log = h.ReadLog();
    EXPECT_NE(log.find("Mount C:\\IMAGES\\DISC~1.ISO\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Parsed by the test parser"), std::string::npos);
    EXPECT_NE(log.find(" I Mount succeed\n"), std::string::npos);
    EXPECT_TRUE(h.ui.messages.empty());
}

TEST(Mount, RefusedRequestLeavesNoTraceAndReleasesTheLayout) {
    Harness h;
    h.system.AddFile(L"C:\\a.iso");
    g_opener.backingFile = MakeBackingFile(h);
    h.driver.refuseMount = true;
    auto adapter = Adapter(h);
    EXPECT_EQ(MountImage(*h.ctx, adapter.get(), L"C:\\a.iso", 0), 0);
    EXPECT_TRUE(h.history.entries.empty());
    EXPECT_FALSE(h.registry.KeyExists(RegistryRoot::CurrentUser, kStatKey));
    EXPECT_NE(g_opener.lastHandle, 0u);
    EXPECT_FALSE(IsFileOpen(g_opener.lastHandle));
    // A drive index of 7 never reaches the parser or the driver.
    EXPECT_EQ(MountImage(*h.ctx, adapter.get(), L"C:\\a.iso", 7), 0);
    EXPECT_EQ(g_opener.paths.size(), 1u);
}

struct FailureCase {
    const char* name;
    std::vector<OpenerOutcome> outcomes;
    std::wstring path;
    LogonResult logon;
    // Expectations.
    int result;
    size_t logons;
    std::vector<std::wstring> messages; // message box texts
    MessageIcon icon;
    std::wstring failureText; // mount failure dialog, empty when none
    const char* closingLine;  // expected in the log, or null when the log ends at "Mount <path>"
};

const OpenerOutcome kDenied{0, ImageOpenFailure::kOpenError, kErrorAccessDenied, ""};
const OpenerOutcome kMissing{0, ImageOpenFailure::kOpenError, kErrorFileNotFound, ""};
const OpenerOutcome kUnsupported{0, ImageOpenFailure::kUnsupportedFormat, 0, ""};
const OpenerOutcome kParserError{0, ImageOpenFailure::kParser, 0, "Bad CUE sheet at line 3"};
const OpenerOutcome kParserSilent{0, ImageOpenFailure::kParser, 0, ""};
const OpenerOutcome kCancelled{2, ImageOpenFailure::kNone, 0, ""};
const OpenerOutcome kOpenErrorNoCode{0, ImageOpenFailure::kOpenError, 0, ""};
const OpenerOutcome kSecondOpenFailed{0, ImageOpenFailure::kParser, 32,
                                      "Cannot open the image a second time, error 32"};
const OpenerOutcome kOk{};

const FailureCase kFailureCases[] = {
    {"OpenError",
     {kMissing},
     L"C:\\x.iso",
     LogonResult::Unavailable,
     0,
     0,
     {L"Cannot open the image file\nC:\\x.iso\n\nsystem error 2"},
     MessageIcon::Stop,
     L"",
     nullptr},
    {"Unsupported",
     {kUnsupported},
     L"C:\\x.iso",
     LogonResult::Unavailable,
     0,
     0,
     {L"Unsupported file format"},
     MessageIcon::Information,
     L"",
     nullptr},
    {"ParserMessage",
     {kParserError},
     L"C:\\x.cue",
     LogonResult::Unavailable,
     0,
     0,
     {},
     MessageIcon::None,
     L"Bad CUE sheet at line 3",
     " E Mount failed\n\n"},
    {"ParserDefaultText",
     {kParserSilent},
     L"C:\\x.nrg",
     LogonResult::Unavailable,
     0,
     0,
     {},
     MessageIcon::None,
     FindBuiltinMessage(kMsgMountFailed)->text,
     " E Mount failed\n\n"},
    // Never a box saying the operation completed successfully.
    {"OpenErrorWithoutSystemError",
     {kOpenErrorNoCode},
     L"C:\\x.iso",
     LogonResult::Unavailable,
     0,
     0,
     {},
     MessageIcon::None,
     FindBuiltinMessage(kMsgMountFailed)->text,
     " E Mount failed\n\n"},
    {"ParserWithSystemError",
     {kSecondOpenFailed},
     L"C:\\x.iso",
     LogonResult::Unavailable,
     0,
     0,
     {},
     MessageIcon::None,
     L"Cannot open the image a second time, error 32\nsystem error 32",
     " E Mount failed\n\n"},
    {"Cancelled",
     {kCancelled},
     L"C:\\x.cue",
     LogonResult::Unavailable,
     0,
     0,
     {},
     MessageIcon::None,
     L"",
     " I Mount cancel by user\n"},
    {"ShareDeniedLogonCancelled",
     {kDenied},
     L"\\\\server\\share\\x.iso",
     LogonResult::Cancelled,
     0,
     1,
     {},
     MessageIcon::None,
     L"",
     nullptr},
    {"ShareDeniedThenConnected",
     {kDenied, kOk},
     L"\\\\server\\share\\x.iso",
     LogonResult::Connected,
     1,
     1,
     {},
     MessageIcon::None,
     L"",
     " I Mount succeed\n"},
    {"ShareDeniedNoLogonYet",
     {kDenied},
     L"\\\\server\\share\\x.iso",
     LogonResult::Unavailable,
     0,
     1,
     {L"Cannot open the image file\n\\\\server\\share\\x.iso\n\nsystem error 5"},
     MessageIcon::Stop,
     L"",
     nullptr},
    {"UncLongFormIsNetwork",
     {kDenied},
     L"\\\\?\\UNC\\server\\share\\x.iso",
     LogonResult::Cancelled,
     0,
     1,
     {},
     MessageIcon::None,
     L"",
     nullptr},
    {"LocalDeniedNoLogon",
     {kDenied},
     L"\\\\?\\C:\\x.iso",
     LogonResult::Cancelled,
     0,
     0,
     {L"Cannot open the image file\n\\\\?\\C:\\x.iso\n\nsystem error 5"},
     MessageIcon::Stop,
     L"",
     nullptr},
    {"FolderOnShareNoLogon",
     {kDenied},
     L"\\\\server\\share\\folder",
     LogonResult::Cancelled,
     0,
     0,
     {L"Cannot open the image file\n\\\\server\\share\\folder\n\nsystem error 5"},
     MessageIcon::Stop,
     L"",
     nullptr},
};

class MountFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(MountFailureTest, MessagesAndLog) {
    const FailureCase& c = GetParam();
    Harness h;
    h.system.AddFolder(L"\\\\server\\share\\folder");
    g_opener.outcomes.assign(c.outcomes.begin(), c.outcomes.end());
    h.ui.logonResult = c.logon;
    auto adapter = Adapter(h);
    EXPECT_EQ(MountImage(*h.ctx, adapter.get(), c.path, 0), c.result);
    EXPECT_EQ(h.ui.logonPaths.size(), c.logons);
    ASSERT_EQ(h.ui.messages.size(), c.messages.size());
    for (size_t i = 0; i < c.messages.size(); ++i) {
        EXPECT_TRUE(h.ui.messages[i].text == c.messages[i]);
        EXPECT_TRUE(h.ui.messages[i].caption == L"Vostrale");
        EXPECT_EQ(h.ui.messages[i].icon, c.icon);
        EXPECT_EQ(h.ui.messages[i].topmost, c.icon == MessageIcon::Stop);
    }
    if (c.failureText.empty()) {
        EXPECT_TRUE(h.ui.failures.empty());
    } else {
        ASSERT_EQ(h.ui.failures.size(), 1u);
        EXPECT_TRUE(h.ui.failures[0].first == c.path);
        EXPECT_TRUE(h.ui.failures[0].second == c.failureText);
    }
    std::string log = h.ReadLog();
    EXPECT_EQ(Count(log, "---------\n"), 1u) << log;
    EXPECT_EQ(Count(log, " I Mount "),
              c.closingLine && std::string(c.closingLine).find(" I ") == 0 ? 2u : 1u)
        << log;
    if (c.closingLine) {
        std::string line = c.closingLine;
        ASSERT_GE(log.size(), line.size());
        EXPECT_EQ(log.substr(log.size() - line.size()), line) << log;
    } else {
        EXPECT_EQ(Count(log, "Mount failed"), 0u) << log;
    }
    EXPECT_EQ(h.history.entries.empty(), c.result == 0);
}

INSTANTIATE_TEST_SUITE_P(Table, MountFailureTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The real plain-image path over a file service whose second open is refused: the user gets
// the failure dialog with the parser's reason and the system's text, not an open-error box.
int g_plainOpens = 0;

platform::NativeFile RefuseSecondOpen(const std::filesystem::path& path, uint32_t* error) {
    if (++g_plainOpens == 2) {
        *error = 32;
        return 0;
    }
    return platform::OpenForRead(path, error);
}

int PlainImageWithRefusedSecondOpen(MountRecord* record, const std::filesystem::path& path,
                                    const ParserIo& io, ImageOpenFailure* failure) {
    OpenFailure why;
    g_plainOpens = 0;
    int result = OpenPlainImage(record, path, io, &why, RefuseSecondOpen);
    ToImageOpenFailure(why, failure);
    return result;
}

TEST(Mount, PlainImageWhoseSecondOpenFailsShowsTheRealReason) {
    Harness h;
    h.ctx->s.openImage = PlainImageWithRefusedSecondOpen;
    std::vector<uint8_t> iso(32 * 2048, 0);
    iso[16 * 2048] = 1;
    std::memcpy(&iso[16 * 2048 + 1], "CD001", 5);
    std::filesystem::path file = h.folder / "first.iso";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(iso.data()),
                                                std::streamsize(iso.size()));
#ifdef _WIN32
    std::wstring path = file.wstring();
#else
    std::string narrow = file.string();
    std::wstring path(narrow.begin(), narrow.end()); // the test folder is ASCII
#endif
    auto adapter = Adapter(h);
    EXPECT_EQ(MountImage(*h.ctx, adapter.get(), path, 0), 0);
    EXPECT_TRUE(h.ui.messages.empty());
    ASSERT_EQ(h.ui.failures.size(), 1u);
    EXPECT_TRUE(h.ui.failures[0].second ==
                L"Cannot open the image a second time, error 32\nsystem error 32");
    std::string log = h.ReadLog();
    EXPECT_NE(log.find(" E Cannot open the image a second time, error 32"), std::string::npos)
        << log;
    EXPECT_NE(log.find(" E Mount failed"), std::string::npos) << log;
    EXPECT_EQ(std::count(h.driver.codes.begin(), h.driver.codes.end(), kCtlMount), 0);
    EXPECT_TRUE(h.history.entries.empty());
    EXPECT_EQ(g_plainOpens, 2);
}

TEST(Mount, UserTextIsNeverAFormat) {
    Harness h;
    g_opener.fallback = {0, ImageOpenFailure::kParser, 0, "100%s done %n"};
    auto adapter = Adapter(h);
    EXPECT_EQ(MountImage(*h.ctx, adapter.get(), L"C:\\%s%n%x.cue", 0), 0);
    std::string log = h.ReadLog();
    EXPECT_NE(log.find("Mount C:\\%s%n%x.cue\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" E 100%s done %n\n"), std::string::npos) << log;
}

TEST(Mount, LongMessageLineIsCutAndTerminated) {
    Harness h;
    g_opener.fallback = {0, ImageOpenFailure::kParser, 0, std::string(700, 'm')};
    auto adapter = Adapter(h);
    MountImage(*h.ctx, adapter.get(), L"C:\\x.cue", 0);
    std::string log = h.ReadLog();
    size_t start = log.find(" E m");
    ASSERT_NE(start, std::string::npos) << log;
    size_t end = log.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LT(end - start, 520u);
    EXPECT_EQ(log.compare(end + 1, 1, "\t"), 0); // the next line starts cleanly
    EXPECT_NE(log.find(" E Mount failed\n\n", end), std::string::npos) << log;
}

TEST(Mount, NameOutsideLatin1IsLoggedWhole) {
    Harness h;
    auto adapter = Adapter(h);
    g_opener.fallback = kMissing;
    MountImage(*h.ctx, adapter.get(), L"C:\\\u00e9t\u00e9\u4e2d\u6587.iso", 0);
    std::string log = h.ReadLog();
#ifdef _WIN32
    // Through the ANSI code page: unmappable characters become '?', the name is not cut.
    EXPECT_NE(log.find("t\xe9?"
                       "?.iso\n"),
              std::string::npos)
        << log;
#else
    EXPECT_NE(log.find("\xe4\xb8\xad\xe6\x96\x87.iso\n"), std::string::npos) << log;
#endif
}

TEST(Mount, NetworkPaths) {
    struct Case {
        const wchar_t* path;
        bool network;
    } cases[] = {{L"\\\\server\\share\\a.iso", true},
                 {L"\\\\?\\UNC\\server\\share\\a.iso", true},
                 {L"\\\\?\\unc\\server\\a.iso", true},
                 {L"\\\\?\\C:\\a.iso", false},
                 {L"\\\\.\\C:\\a.iso", false},
                 {L"C:\\a.iso", false},
                 {L"\\a.iso", false},
                 {L"\\\\", false}};
    for (const Case& c : cases)
        EXPECT_EQ(IsNetworkPath(c.path), c.network);
}

TEST(Mount, ExtensionLowerCasing) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {{L"C:\\d\\Disc.ISO", L"C:\\d\\Disc.iso"}, {L"C:\\d\\x.Cue", L"C:\\d\\x.cue"},
                 {L"C:\\d\\x.ISOZ", L"C:\\d\\x.ISOZ"},     {L"C:\\D.IR\\IMAGE", L"C:\\D.IR\\IMAGE"},
                 {L"C:\\d\\X.C", L"C:\\d\\X.C"},           {L"C:\\A.B\\C", L"C:\\A.b\\c"}};
    for (const Case& c : cases) {
        std::wstring path = c.in;
        LowerCaseExtension(&path);
        EXPECT_TRUE(path == c.out);
    }
}

TEST(Mount, LongPathOnlyWhenItFits) {
    FakeSystem system;
    system.AddFile(L"C:\\A~1.ISO");
    system.longNames[L"C:\\A~1.ISO"] = L"C:\\" + std::wstring(kMaxPath, L'a');
    EXPECT_TRUE(LongPathOf(&system, L"C:\\A~1.ISO") == L"C:\\A~1.ISO");
    EXPECT_TRUE(LongPathOf(&system, L"C:\\missing.iso") == L"C:\\missing.iso");
    system.longNames[L"C:\\A~1.ISO"] = L"C:\\abc.iso";
    EXPECT_TRUE(LongPathOf(&system, L"C:\\A~1.ISO") == L"C:\\abc.iso");
}

TEST(Unmount, StatisticsGoEvenWhenTheDriveWasEmpty) {
    Harness h;
    auto adapter = Adapter(h);
    SetDriveImage(&h.registry, 0, L"C:\\a.iso");
    SetDriveImage(&h.registry, 1, L"C:\\b.iso");
    EXPECT_FALSE(UnmountDrive(*h.ctx, adapter.get(), 0));
    EXPECT_FALSE(h.registry.Has(kStatKey, L"0"));
    EXPECT_TRUE(h.registry.Has(kStatKey, L"1"));
    h.driver.mounted[1] = true;
    EXPECT_TRUE(UnmountDrive(*h.ctx, adapter.get(), 1));
    EXPECT_FALSE(h.registry.Has(kStatKey, L"1"));
    EXPECT_FALSE(UnmountDrive(*h.ctx, adapter.get(), 7));
}

TEST(Unmount, AllDrives) {
    Harness h;
    for (uint32_t i = 0; i < kMaxDrives; ++i)
        SetDriveImage(&h.registry, i, L"C:\\a.iso");
    h.driver.mounted[0] = h.driver.mounted[4] = true;
    UnmountAllDrives(*h.ctx, nullptr);
    EXPECT_FALSE(h.driver.mounted[0] || h.driver.mounted[4]);
    for (uint32_t i = 0; i < kMaxDrives; ++i)
        EXPECT_FALSE(h.registry.Has(kStatKey, std::to_wstring(i)));

    // No adapter: no request, the statistics still go.
    Harness none;
    none.devices.dosDevices.clear();
    SetDriveImage(&none.registry, 3, L"C:\\a.iso");
    UnmountAllDrives(*none.ctx, nullptr);
    EXPECT_TRUE(none.driver.codes.empty());
    EXPECT_FALSE(none.registry.Has(kStatKey, L"3"));
}

} // namespace
} // namespace vostrale::app::test
