#include "app/context.h"
#include "app/crash_report.h"
#include "reporter/handover.h"
#include "tests/crash_report/report_fakes.h"
#include "tests/crash_report/zip_reader.h"

#include <gtest/gtest.h>

namespace vostrale::app {
namespace {

using test::FakeReportEnvironment;

const std::wstring kArchive = L"C:\\Users\\me\\Documents\\Vostrale\\Vostrale.zip";

std::vector<vostrale::test::ZipEntryRead> Archive(FakeReportEnvironment& env) {
    std::vector<vostrale::test::ZipEntryRead> entries;
    auto it = env.files.find(kArchive);
    if (it == env.files.end())
        return entries;
    std::string error = vostrale::test::ReadZip(it->second, &entries);
    EXPECT_EQ(error, "");
    return entries;
}

std::vector<std::string> Names(const std::vector<vostrale::test::ZipEntryRead>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries)
        names.push_back(e.name);
    return names;
}

Handover StartedBlock(FakeReportEnvironment& env) {
    Handover h;
    EXPECT_TRUE(ParseHandover(env.startedBlock.data(), env.startedBlock.size(), &h));
    return h;
}

TEST(CrashReport, PacksEveryEntryInOrderAndStartsTheUploader) {
    FakeReportEnvironment env;
    env.files[env.folder + L"log.txt"] = {'l', 'o', 'g'};
    env.files[kArchive] = {'o', 'l', 'd'};
    RegisterValues regs;
    regs.rip = 0x1234;
    auto dump = [&](const std::wstring& path) {
        env.files[path] = {'M', 'D', 'M', 'P'};
        return true;
    };
    ASSERT_TRUE(PackCrashReport(&env, dump, &regs));
    auto entries = Archive(env);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"crash.dmp", "sc1.bin", "sc2.bin", "log.txt",
                                                        "regs.txt", "sy.bin"}));
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].data, (std::vector<uint8_t>{'M', 'D', 'M', 'P'}));
    std::vector<uint8_t> shot = entries[2].data;
    Scramble(&shot);
    EXPECT_EQ(shot, (std::vector<uint8_t>{0xFF, 0xD8, 2, 0xFF, 0xD9}));
    EXPECT_NE(std::string(entries[4].data.begin(), entries[4].data.end()).find("CS:RIP=0000:00001234\r\n"),
              std::string::npos);
    std::vector<uint8_t> xml = entries[5].data;
    Scramble(&xml);
    EXPECT_EQ(std::string(xml.begin(), xml.begin() + 22), "\xEF\xBB\xBF<?xml version=\"1.0\"");
    // Capture files are gone, the log stays, the old archive was removed before the new one.
    for (const wchar_t* gone : {L"crash.dmp", L"screen1.jpg", L"screen2.jpg"})
        EXPECT_EQ(env.files.count(env.folder + gone), 0u) << gone;
    EXPECT_EQ(env.files.count(env.folder + L"log.txt"), 1u);
    auto removed = std::find(env.events.begin(), env.events.end(), L"remove " + kArchive);
    auto written = std::find(env.events.begin(), env.events.end(), L"write " + kArchive);
    EXPECT_LT(removed, written);
    EXPECT_EQ(env.events.back(), L"start C:\\Program Files\\Vostrale\\tessivo.exe");
    Handover h = StartedBlock(env);
    EXPECT_EQ(h.flags, 0xB91E0000u);
    EXPECT_EQ(h.strings[0], "Vostrale");
    EXPECT_EQ(h.strings[2], "vostrale.exe");
    EXPECT_EQ(h.strings[3], "127.0.0.1:8080");
    EXPECT_EQ(h.archivePath, "C:\\Users\\me\\Documents\\Vostrale\\Vostrale.zip");
}

TEST(CrashReport, FailuresLeaveOutTheirPartOnly) {
    FakeReportEnvironment env;
    env.monitors = 0;
    // No dump writer, a failing dump and no log: the rest still arrives.
    ASSERT_TRUE(PackCrashReport(&env, nullptr, nullptr));
    EXPECT_EQ(Names(Archive(env)), (std::vector<std::string>{"sy.bin"}));
    FakeReportEnvironment env2;
    env2.monitors = 1;
    ASSERT_TRUE(PackCrashReport(&env2, [](const std::wstring&) { return false; }, nullptr));
    EXPECT_EQ(Names(Archive(env2)), (std::vector<std::string>{"sc1.bin", "sy.bin"}));
}

TEST(CrashReport, NothingIsWrittenOrStartedWhenElevatedOrWithoutAFolder) {
    for (int variant = 0; variant < 2; ++variant) {
        FakeReportEnvironment env;
        if (variant == 0)
            env.elevated = true;
        else
            env.folder.clear();
        bool dumped = false;
        EXPECT_FALSE(PackCrashReport(&env, [&](const std::wstring&) { return dumped = true; }, nullptr));
        EXPECT_FALSE(dumped);
        EXPECT_TRUE(env.events.empty());
        EXPECT_TRUE(env.files.empty());
    }
}

TEST(CrashReport, AFailedArchiveNeverSendsThePreviousOne) {
    FakeReportEnvironment env;
    env.files[kArchive] = {'o', 'l', 'd'};
    env.failWrites = {kArchive};
    ASSERT_TRUE(PackCrashReport(&env, nullptr, nullptr));
    EXPECT_EQ(env.files.count(kArchive), 0u);
    EXPECT_EQ(env.starts, 0);

    FakeReportEnvironment feedback;
    feedback.files[kArchive] = {'o', 'l', 'd'};
    feedback.failWrites = {kArchive};
    EXPECT_TRUE(PackMountFailureReport(&feedback, L"C:\\img\\a.cue", true));
    EXPECT_EQ(feedback.files.count(kArchive), 0u);
    Handover h = StartedBlock(feedback);
    EXPECT_EQ(h.flags, 0xB91E0011u);
    EXPECT_FALSE(h.hasArchive);
}

TEST(MountFailureReport, AddsTheReportedFileBelowTheLimit) {
    struct Case {
        std::wstring path;
        size_t size;
        bool screenshots;
        std::vector<std::string> names;
    } cases[] = {
        {L"C:\\img\\disc.cue", 51199, true, {"sc1.bin", "sc2.bin", "log.txt", "sy.bin", "disc.cue"}},
        {L"C:\\img\\disc.cue", 51200, true, {"sc1.bin", "sc2.bin", "log.txt", "sy.bin"}},
        {L"C:\\img\\d\x00E9j\x00E0.cue", 3, false, {"log.txt", "sy.bin", "d\xC3\xA9j\xC3\xA0.cue"}},
        {L"C:\\img\\SY.BIN", 3, false, {"log.txt", "sy.bin"}},
        {L"C:\\img\\sc12.bin", 3, false, {"log.txt", "sy.bin"}},
        {L"C:\\img\\missing.cue", 0, false, {"log.txt", "sy.bin"}},
    };
    for (const Case& c : cases) {
        FakeReportEnvironment env;
        env.files[env.folder + L"log.txt"] = {'l'};
        if (c.path != L"C:\\img\\missing.cue")
            env.files[c.path] = std::vector<uint8_t>(c.size, 'x');
        EXPECT_TRUE(PackMountFailureReport(&env, c.path, c.screenshots));
        EXPECT_EQ(Names(Archive(env)), c.names);
        Handover h = StartedBlock(env);
        EXPECT_EQ(h.flags, 0xB91E0011u);
        EXPECT_TRUE(h.hasArchive);
        EXPECT_EQ(env.files.count(c.path), c.path == L"C:\\img\\missing.cue" ? 0u : 1u);
        std::vector<std::wstring> items = MountFailureReportItems(&env, c.path);
        EXPECT_EQ(items.size(), c.names.size() == 5 || (c.names.size() == 3 && c.names[2] != "sy.bin") ? 4u : 3u);
    }
}

TEST(ReportHooks, MountFailureAndFeedbackStartTheUploaderThroughTheContext) {
    // The tray program's hooks take these functions as they are.
    bool (*ReportMountFailure)(AppContext&, const std::wstring&, const std::wstring&) =
        app::ReportMountFailure;
    void (*StartFeedback)(AppContext&) = app::StartFeedback;
    FakeReportEnvironment env;
    Services services;
    AppContext noReporter(services);
    EXPECT_FALSE(ReportMountFailure(noReporter, L"C:\\x.iso", L"bad"));
    StartFeedback(noReporter);

    services.reporter = &env;
    AppContext ctx(services);
    StartFeedback(ctx);
    ASSERT_EQ(env.starts, 1);
    Handover h = StartedBlock(env);
    EXPECT_EQ(h.flags, 0xB91E0001u);
    EXPECT_FALSE(h.hasArchive);
    EXPECT_TRUE(env.files.empty()); // feedback packs nothing

    EXPECT_TRUE(ReportMountFailure(ctx, L"C:\\x.iso", L"The image could not be mounted."));
    EXPECT_EQ(env.starts, 2);
    EXPECT_EQ(StartedBlock(env).flags, 0xB91E0011u);

    env.elevated = true;
    StartFeedback(ctx);
    EXPECT_FALSE(ReportMountFailure(ctx, L"C:\\x.iso", L"r"));
    EXPECT_EQ(env.starts, 2);
}

TEST(ReportHooks, AProgramNameThatCannotBeNarrowedStartsNothing) {
    FakeReportEnvironment env;
    env.programPath = L"C:\\\x4E2D\\vostrale\x4E2D.exe";
    EXPECT_FALSE(StartUploader(&env, ReportMode::Feedback, nullptr, false));
    EXPECT_EQ(env.starts, 0);
}

} // namespace
} // namespace vostrale::app
