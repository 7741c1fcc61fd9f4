#include "app/crash_report.h"
#include "app/report_text.h"
#include "app/xml_document.h"
#include "reporter/handover.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace vostrale::app {
namespace {

TEST(Utf8FromUtf16, ConvertsUnitsAndRefusesBrokenSurrogates) {
    struct Case {
        std::wstring in;
        std::string out;
    } cases[] = {
        {L"abc", "abc"},
        {std::wstring{0xE9}, "\xC3\xA9"},
        {std::wstring{0x4E2D}, "\xE4\xB8\xAD"},
        {std::wstring{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},           // U+1F600
        {std::wstring{L'a', 0xD83D}, "a\xEF\xBF\xBD"},               // lone high at the end
        {std::wstring{0xD83D, L'x'}, "\xEF\xBF\xBDx"},               // high before a non-low
        {std::wstring{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"}, // low before high
        {std::wstring{L'a', 0, L'b'}, "a"},                          // stops at NUL
    };
    for (const Case& c : cases)
        EXPECT_EQ(Utf8FromUtf16(c.in), c.out) << testing::PrintToString(c.out);
    // A lone high surrogate right before the terminator stops there, reading nothing past it.
    const wchar_t buffer[] = {L'z', wchar_t(0xD800), 0, wchar_t(0xDC00)};
    EXPECT_EQ(Utf8FromUtf16(std::wstring_view(buffer, 2)), "z\xEF\xBF\xBD");
}

TEST(RegisterText, PrintsLowHalvesInTheFixedLayout) {
    RegisterValues r;
    r.rax = 0x1122334455667788ull;
    r.rbx = 1;
    r.rcx = 0xFFFFFFFFFFFFFFFFull;
    r.rdx = 0xABCDEF;
    r.rsi = 0x100000000ull;
    r.rdi = 7;
    r.cs = 0x33;
    r.rip = 0x00007FF612345678ull;
    r.ss = 0x2B;
    r.rsp = 0x000000000012FF00ull;
    r.rbp = 0xDEADBEEFCAFEBABEull;
    r.ds = 0x2B;
    r.es = 0x2B;
    r.fs = 0x53;
    r.gs = 0x2B;
    r.eflags = 0x10246;
    EXPECT_EQ(RegisterText(r), "RAX=55667788\r\nRBX=00000001\r\nRCX=FFFFFFFF\r\nRDX=00ABCDEF\r\n"
                               "RSI=00000000\r\nRDI=00000007\r\nCS:RIP=0033:12345678\r\n"
                               "SS:ESP=002B:0012FF00\r\nEBP=CAFEBABE\r\nDS=002B\r\nES=002B\r\n"
                               "FS=0053\r\nGS=002B\r\nFlags=00010246\r\n");
}

TEST(ScreenRows, StrideIsPaddedAndPixelsAreSwapped) {
    EXPECT_EQ(ScreenRowStride(1), 4u);
    EXPECT_EQ(ScreenRowStride(3), 12u);
    EXPECT_EQ(ScreenRowStride(5), 16u);
    EXPECT_EQ(ScreenRowStride(1920), 5760u);
    uint8_t row[8] = {1, 2, 3, 4, 5, 6, 0xEE, 0xEE};
    BgrToRgb(row, 2);
    EXPECT_EQ(std::vector<uint8_t>(row, row + 8), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4, 0xEE, 0xEE}));
}

TEST(Scramble, IsItsOwnInverseAndChangesEveryByte) {
    std::vector<uint8_t> data = {0, 1, 0xA7, 0xFF};
    std::vector<uint8_t> copy = data;
    Scramble(&data);
    for (size_t i = 0; i < data.size(); ++i)
        EXPECT_NE(data[i], copy[i]);
    Scramble(&data);
    EXPECT_EQ(data, copy);
}

TEST(HandoverBlock, RoundTripsThroughTheUploadersParser) {
    std::string strings[4] = {"Vostrale", "VostraleKey", "vostrale.exe", "127.0.0.1:8080"};
    std::vector<uint8_t> block;
    std::string archive = "C:\\users\\me\\Documents\\Vostrale\\Vostrale.zip";
    struct Case {
        ReportMode mode;
        bool silent;
        const std::string* archive;
        uint32_t flags;
    } cases[] = {{ReportMode::Crash, false, &archive, 0xB91E0000u},
                 {ReportMode::Feedback, true, &archive, 0xB91E0011u},
                 {ReportMode::Feedback, false, nullptr, 0xB91E0001u}};
    for (const Case& c : cases) {
        ASSERT_TRUE(BuildHandoverBlock(strings, c.archive, c.mode, c.silent, &block));
        EXPECT_EQ(block[0] | block[1] | block[2] | block[3], 0);
        EXPECT_EQ(block.back(), 0);
        Handover h;
        ASSERT_TRUE(ParseHandover(block.data(), block.size(), &h));
        EXPECT_EQ(h.flags, c.flags);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(h.strings[i], strings[i]);
        EXPECT_EQ(h.hasArchive, c.archive != nullptr);
        if (c.archive) {
            EXPECT_EQ(h.archivePath, archive);
        }
    }
}

TEST(HandoverBlock, RefusesWhatTheBlockCannotCarry) {
    std::string strings[4] = {"Vostrale", "Vostrale", "vostrale.exe", "host"};
    std::vector<uint8_t> block;
    // 8 + 9 + 9 + 13 + 5 = 44 bytes before the archive path, its NUL and the end byte.
    std::string fits(65535 - 44 - 2, 'a'), tooLong(65535 - 44 - 1, 'a');
    EXPECT_TRUE(BuildHandoverBlock(strings, &fits, ReportMode::Crash, false, &block));
    EXPECT_EQ(block.size(), 65535u);
    EXPECT_FALSE(BuildHandoverBlock(strings, &tooLong, ReportMode::Crash, false, &block));
    std::string empty;
    EXPECT_FALSE(BuildHandoverBlock(strings, &empty, ReportMode::Crash, false, &block));
    strings[3] = std::string("a\0b", 3);
    EXPECT_FALSE(BuildHandoverBlock(strings, nullptr, ReportMode::Crash, false, &block));
}

TEST(XmlDocument, SerialisesTheFixedLayout) {
    XmlDocument doc;
    doc.SetByteOrderMark(true);
    doc.SetDeclaration("1.0", "UTF-8");
    XmlElement* root = doc.AddElement("crashrpt");
    ASSERT_NE(root, nullptr);
    XmlElement* a = root->AddChild("software_info");
    ASSERT_TRUE(a->SetIntAttribute("systemlcid", 1033));
    EXPECT_FALSE(a->SetAttribute("systemlcid", "2")); // once per element
    XmlElement* s = a->AddChild("software");
    s->SetAttribute("description", "Tom & Jerry's <\"best\">");
    s->SetText("{GUID}");
    root->AddChild("disk_info");
    EXPECT_EQ(doc.Serialise(),
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
              "<crashrpt>\r\n"
              "\t<software_info systemlcid=\"1033\">\r\n"
              "\t\t<software description=\"Tom &amp; Jerry&apos;s &lt;&quot;best&quot;&gt;\">"
              "{GUID}</software>\r\n"
              "\t</software_info>\r\n"
              "\t<disk_info></disk_info>\r\n"
              "</crashrpt>\r\n");
}

TEST(XmlDocument, ReplacesForbiddenCharactersAndKeepsWhitespaceInAttributes) {
    struct Case {
        std::string in;
        bool attribute;
        std::string out;
    } cases[] = {
        {std::string("a\x01" "b\x1F", 4), true, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
        {std::string("x\0y", 3), false, "x\xEF\xBF\xBDy"},
        {"t\tc\rl\n", true, "t&#9;c&#13;l&#10;"},
        {"t\tc\rl\n", false, "t\tc&#13;l\n"},
        {"\xEF\xBF\xBF\xEF\xBF\xBE\xEF\xBF\xBD", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        std::string out;
        AppendXmlEscaped(&out, c.in, c.attribute);
        EXPECT_EQ(out, c.out);
    }
}

#ifndef _WIN32
// An odd program name must not make the whole document unreadable to a real parser.
TEST(XmlDocument, OddTextStillParsesWithXmllint) {
    if (std::system("command -v xmllint > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "xmllint missing";
    XmlDocument doc;
    doc.SetByteOrderMark(true);
    doc.SetDeclaration("1.0", "UTF-8");
    XmlElement* root = doc.AddElement("crashrpt");
    XmlElement* s = root->AddChild("software");
    s->SetAttribute("description", Utf8FromUtf16(std::wstring{L'A', 0x01, L'&', 0xD800, L'\t', 0xFFFF}));
    s->SetText(Utf8FromUtf16(std::wstring{0x0B, L'<', 0xDE00, 0xD83D, 0xDE00}));
    std::string path = testing::TempDir() + "odd_system.xml";
    std::ofstream(path, std::ios::binary) << doc.Serialise();
    EXPECT_EQ(std::system(("xmllint --noout " + path).c_str()), 0);
    std::remove(path.c_str());
}
#endif

} // namespace
} // namespace vostrale::app
