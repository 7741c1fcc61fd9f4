#include "reporter/upload.h"

#include <gtest/gtest.h>

namespace vostrale {
namespace {

ReportFields Fields() {
    ReportFields f;
    f.product = "Vostrale";
    f.version = "100_x64";
    f.type = "CRASH";
    f.osversion = "10.0";
    f.osname = "Windows 10 Pro 64-bit  (10.0, Build 19045)";
    return f;
}

std::string Joined(const RequestBody& b) {
    std::string s;
    for (const std::string& w : b.writes)
        s += w;
    return s;
}

TEST(RequestBody, CrashReportSendsEmailButNeverContent) {
    ReportFields f = Fields();
    f.email = "me@example.org";
    f.content = "should not be sent";
    std::vector<uint8_t> archive = {'P', 'K', 0, 1};
    RequestBody b;
    ASSERT_TRUE(BuildRequestBody(f, false, &archive, &b));
    std::string expected =
        "--AaB03x\r\nContent-disposition: form-data; name=\"product\"\r\n\r\nVostrale\r\n"
        "--AaB03x\r\nContent-disposition: form-data; name=\"version\"\r\n\r\n100_x64\r\n"
        "--AaB03x\r\nContent-disposition: form-data; name=\"type\"\r\n\r\nCRASH\r\n"
        "--AaB03x\r\nContent-disposition: form-data; name=\"osversion\"\r\n\r\n10.0\r\n"
        "--AaB03x\r\nContent-disposition: form-data; name=\"osname\"\r\n\r\n"
        "Windows 10 Pro 64-bit  (10.0, Build 19045)\r\n"
        "--AaB03x\r\nContent-disposition: form-data; name=\"email\"\r\n\r\nme@example.org\r\n"
        "--AaB03x\r\nContent-disposition: form-data; name=\"file\"; filename=\"bugreport.zip\"\r\n"
        "Content-Type: application/zip\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
        std::string("PK\0\1", 4) + "\r\n--AaB03x--\r\n";
    EXPECT_EQ(Joined(b), expected);
    EXPECT_EQ(b.length, expected.size());
}

TEST(RequestBody, FeedbackWithoutArchiveEndsWithTheClosingLine) {
    ReportFields f = Fields();
    f.type = "FEEDBACK";
    f.content = "Line one\r\nline two";
    RequestBody b;
    ASSERT_TRUE(BuildRequestBody(f, true, nullptr, &b));
    std::string s = Joined(b);
    EXPECT_NE(s.find("name=\"content\"\r\n\r\nLine one\r\nline two\r\n--AaB03x--\r\n"), std::string::npos);
    EXPECT_EQ(s.find("name=\"email\""), std::string::npos);
    EXPECT_EQ(s.find("filename"), std::string::npos);
    EXPECT_EQ(b.length, s.size());
}

TEST(RequestBody, ArchiveGoesInWritesOfAtMost1024Bytes) {
    std::vector<uint8_t> archive(2500, 0x5A);
    RequestBody b;
    ASSERT_TRUE(BuildRequestBody(Fields(), false, &archive, &b));
    ASSERT_GE(b.writes.size(), 4u);
    size_t n = b.writes.size();
    EXPECT_EQ(b.writes[n - 4].size(), 1024u);
    EXPECT_EQ(b.writes[n - 3].size(), 1024u);
    EXPECT_EQ(b.writes[n - 2].size(), 452u);
    EXPECT_EQ(b.writes[n - 1], "\r\n--AaB03x--\r\n");
    EXPECT_EQ(b.length, Joined(b).size());
}

TEST(RequestBody, RefusesFieldsThatWouldForgeParts) {
    struct Case {
        const char* what;
        void (*change)(ReportFields*);
    } cases[] = {
        {"CR in email", [](ReportFields* f) { f->email = "a@b\r\nX-Evil: 1"; }},
        {"LF in osname", [](ReportFields* f) { f->osname = "Win\n"; }},
        {"CR in product", [](ReportFields* f) { f->product = "V\r"; }},
        {"boundary in message", [](ReportFields* f) { f->content = "text\r\n--AaB03x\r\nmore"; }},
    };
    for (const Case& c : cases) {
        ReportFields f = Fields();
        c.change(&f);
        RequestBody b;
        EXPECT_FALSE(BuildRequestBody(f, true, nullptr, &b)) << c.what;
    }
}

TEST(FeedbackCheck, TrimsThenChecksEmailAndLength) {
    struct Case {
        std::string email, message;
        FeedbackCheck result;
        std::string trimmedEmail;
    } cases[] = {
        {"", "123456789", FeedbackCheck::MessageTooShort, ""},
        {"", " \t123456789 \r\n\t", FeedbackCheck::MessageTooShort, ""},
        {"", "1234567890", FeedbackCheck::Ok, ""},
        {"  a@b.c \r\n", "1234567890", FeedbackCheck::Ok, "a@b.c"},
        {"nobody", "1234567890", FeedbackCheck::InvalidEmail, "nobody"},
        {"nobody", "short", FeedbackCheck::InvalidEmail, "nobody"},
        {" \t ", "1234567890", FeedbackCheck::Ok, ""},
    };
    for (const Case& c : cases) {
        std::string email = c.email, message = c.message;
        EXPECT_EQ(CheckFeedback(&email, &message), c.result) << c.email << "|" << c.message;
        EXPECT_EQ(email, c.trimmedEmail);
    }
}

TEST(ReportHost, OnlyLoopbackUsesPlainHttp) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
        bool secure;
    } cases[] = {
        {"127.0.0.1:8080", true, "127.0.0.1", 8080, false},
        {"127.0.0.1", true, "127.0.0.1", 80, false},
        {"localhost:1", true, "localhost", 1, false},
        {"report.example.org", true, "report.example.org", 443, true},
        {"report.example.org:80", true, "report.example.org", 80, true},
        {"127.0.0.1.example.org", true, "127.0.0.1.example.org", 443, true},
        {"", false, "", 0, true},
        {":80", false, "", 0, true},
        {"h:0", false, "", 0, true},
        {"h:65536", false, "", 0, true},
        {"h:8x", false, "", 0, true},
        {"h/evil:80", false, "", 0, true},
    };
    for (const Case& c : cases) {
        ReportTarget t;
        ASSERT_EQ(ParseReportHost(c.text, &t), c.ok) << c.text;
        if (!c.ok)
            continue;
        EXPECT_EQ(t.host, c.host);
        EXPECT_EQ(t.port, c.port) << c.text;
        EXPECT_EQ(t.secure, c.secure) << c.text;
    }
}

TEST(UploadTexts, VersionAndOsName) {
    EXPECT_EQ(VersionText(0x00010002, 0x00030004), "123_x64");
    EXPECT_EQ(VersionText(0x01FF0110, 0x02050000), "255165_x64"); // each part masked to a byte
    EXPECT_EQ(OsNameText("Windows 10 Pro", true, "", 10, 0, 19045),
              "Windows 10 Pro 64-bit  (10.0, Build 19045)");
    EXPECT_EQ(OsNameText("Windows 7", false, "Service Pack 1", 6, 1, 7601),
              "Windows 7 32-bit Service Pack 1 (6.1, Build 7601)");
    EXPECT_TRUE(IsAcceptedStatus(200));
    EXPECT_TRUE(IsAcceptedStatus(204));
    EXPECT_FALSE(IsAcceptedStatus(500));
    EXPECT_FALSE(IsAcceptedStatus(302));
}

} // namespace
} // namespace vostrale
