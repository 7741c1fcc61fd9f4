#include "formats/activity_log.h"
#include "tests/0support/image_writers.h"
#include "tests/0support/scoped_environment.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace vostrale {
namespace {

class ActivityLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = testing::MakeTempFolder("vostrale-log");
        ASSERT_FALSE(m_dir.empty());
        m_path = m_dir / "log.txt";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    // The log is a text file: Windows ends its lines with CR LF, which the checks read as LF.
    std::string Contents() {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        std::string text = s.str();
        std::erase(text, '\r');
        return text;
    }
    std::filesystem::path m_dir, m_path;
};

TEST_F(ActivityLogTest, SizeCapEmptiesOnlyFromTenMebibytesPlusOne) {
    for (uint64_t size : {kLogSizeCap - 1, kLogSizeCap}) {
        std::filesystem::remove(m_path);
        { std::ofstream(m_path, std::ios::binary); }
        std::filesystem::resize_file(m_path, size);
        ActivityLog log;
        ASSERT_TRUE(log.Open(m_path));
        log.WriteLine(kLogPlain, "x");
        log.Close();
#ifdef _WIN32
        const uint64_t line = 3; // "x" CR LF
#else
        const uint64_t line = 2;
#endif
        const uint64_t expected = size >= kLogSizeCap ? line : size + line;
        EXPECT_EQ(std::filesystem::file_size(m_path), expected) << size;
    }
}

TEST_F(ActivityLogTest, LevelsPickLettersAndPlainLinesHaveNoStamp) {
    ActivityLog log;
    ASSERT_TRUE(log.Open(m_path));
    log.WriteDateHeader();
    log.WriteLine(kLogPlain, "plain %d", 1);
    log.WriteLine(kLogInfo, "info");
    log.WriteLine(kLogWarning, "warn");
    log.WriteLine(kLogError, "Mount failed\n");
    log.WriteLine(7, "other");
    log.Close();
    const std::string text = Contents();
    EXPECT_TRUE(
        std::regex_search(text, std::regex("^\n\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d-{57}\n")));
    EXPECT_NE(text.find("-\nplain 1\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex("\n\t\\d\\d:\\d\\d:\\d\\d I info\n")));
    EXPECT_TRUE(std::regex_search(text, std::regex("\n\t\\d\\d:\\d\\d:\\d\\d W warn\n")));
    EXPECT_TRUE(std::regex_search(text, std::regex("\n\t\\d\\d:\\d\\d:\\d\\d E Mount failed\n\n")));
    EXPECT_TRUE(std::regex_search(text, std::regex("\n\t\\d\\d:\\d\\d:\\d\\d I other\n$")));
}

TEST_F(ActivityLogTest, LongMessagesAreCutAndClosedLogsSkipWrites) {
    ActivityLog log;
    ASSERT_TRUE(log.Open(m_path));
    log.WriteLine(kLogPlain, "%s", std::string(2000, 'a').c_str());
    log.Close();
    log.WriteLine(kLogError, "after close");
    EXPECT_EQ(Contents(), std::string(511, 'a') + "\n");

    ActivityLog none;
    EXPECT_FALSE(none.Open(""));
    none.WriteLine(kLogInfo, "skipped");
    EXPECT_FALSE(none.Open(m_dir / "missing-folder" / "log.txt"));
}

} // namespace
} // namespace vostrale

namespace vostrale {
namespace {

TEST(DefaultLogPath, LivesInTheDocumentsFolder) {
#ifdef _WIN32
    GTEST_SKIP() << "the shell's documents folder";
#else
    auto dir = testing::MakeTempFolder("vostrale-docs");
    const char* old = std::getenv("XDG_DOCUMENTS_DIR");
    std::string saved = old ? old : "";
    setenv("XDG_DOCUMENTS_DIR", dir.c_str(), 1);
    const auto path = DefaultLogPath();
    if (old)
        setenv("XDG_DOCUMENTS_DIR", saved.c_str(), 1);
    else
        unsetenv("XDG_DOCUMENTS_DIR");
    EXPECT_EQ(path, dir / "Vostrale" / "log.txt");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Vostrale"));
    std::filesystem::remove_all(dir);
#endif
}

// Without a documents folder there is no log: never one in whatever the current folder is.
TEST(DefaultLogPath, NoDocumentsFolderMeansNoLog) {
#ifdef _WIN32
    GTEST_SKIP() << "the shell's documents folder";
#else
    struct Case {
        const char* name;
        const char* documents;
        const char* home;
    } cases[] = {
        {"neither set", nullptr, nullptr},
        {"both relative", "docs", "home"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        auto here = testing::MakeTempFolder("vostrale-cwd");
        {
            testing::ScopedEnvironment env;
            env.Set("XDG_DOCUMENTS_DIR", c.documents);
            env.Set("HOME", c.home);
            env.EnterFolder(here);
            EXPECT_TRUE(DefaultLogPath().empty()) << c.name;
            ActivityLog log;
            EXPECT_FALSE(log.Open(DefaultLogPath())) << c.name;
            log.WriteDateHeader();
            log.WriteLine(kLogError, "Mount failed\n");
        }
        EXPECT_TRUE(std::filesystem::is_empty(here)) << c.name << ": wrote into the current folder";
        std::filesystem::remove_all(here);
    }
#endif
}

} // namespace
} // namespace vostrale
