// 8-bit text widened for display: UTF-8 decoded by hand natively, the ANSI code page under
// Windows, always cut to the caller's buffer; and a parser's message on its way to the failure
// dialog.
#include "formats/parser.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vostrale {
namespace {

std::wstring Widened(std::string_view text, size_t outChars) {
    std::wstring buffer(outChars + 4, L'#'); // the guard must stay untouched
    size_t n = platform::WidenText(text, buffer.data(), outChars);
    EXPECT_EQ(buffer.substr(outChars), L"####") << "wrote past the buffer";
    if (outChars == 0) {
        EXPECT_EQ(n, 0u);
        return {};
    }
    EXPECT_LT(n, outChars);
    EXPECT_EQ(buffer[n], L'\0');
    EXPECT_EQ(std::wcslen(buffer.c_str()), n);
    return buffer.substr(0, n);
}

TEST(WidenText, AsciiAndTheBufferBound) {
    struct Case {
        const char* text;
        size_t outChars;
        const wchar_t* expected;
    } cases[] = {
        {"", 8, L""},
        {"disc.iso", 16, L"disc.iso"},
        {"disc.iso", 9, L"disc.iso"}, // exactly fits with its terminator
        {"disc.iso", 8, L"disc.is"},
        {"disc.iso", 1, L""},
        {"disc.iso", 0, L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Widened(c.text, c.outChars), c.expected) << c.text << " in " << c.outChars;
    EXPECT_EQ(platform::WidenText("Cannot open track.bin"), L"Cannot open track.bin");
}

#ifndef _WIN32
TEST(WidenText, Utf8WithoutTheLocale) {
    const wchar_t kBad = wchar_t(0xFFFD);
    struct Case {
        const char* name;
        std::string text;
        size_t outChars;
        std::wstring expected;
    } cases[] = {
        {"cyrillic", "\xD0\x94\xD0\xB8\xD1\x81\xD0\xBA.cue", 64, L"\u0414\u0438\u0441\u043a.cue"},
        {"cjk", "\xE5\x85\x89\xE7\x9B\x98", 64, L"\u5149\u76d8"},
        {"outside the BMP", "\xF0\x9F\x92\xBF", 64, std::wstring(1, wchar_t(0x1F4BF))},
        {"lone continuation", "a\x80z", 64, std::wstring(L"a") + kBad + L"z"},
        {"Latin-1 byte", "caf\xE9!", 64, std::wstring(L"caf") + kBad + L"!"},
        {"cut sequence, then ASCII", "\xE5\x85z", 64, std::wstring(1, kBad) + L"z"},
        {"cut at the end", "ab\xF0\x9F\x92", 64, std::wstring(L"ab") + kBad},
        {"overlong slash", "\xC0\xAF", 64, std::wstring(2, kBad)},
        {"overlong three bytes", "\xE0\x80\xAF", 64, std::wstring(3, kBad)},
        {"surrogate", "\xED\xA0\x80", 64, std::wstring(3, kBad)},
        {"above U+10FFFF", "\xF4\x90\x80\x80", 64, std::wstring(4, kBad)},
        {"bytes never used", "\xFE\xFF", 64, std::wstring(2, kBad)},
        {"cut to the buffer", "\xD0\x94\xD0\xB8\xD1\x81\xD0\xBA", 3, L"\u0414\u0438"},
        {"cut among invalid bytes", "\xFF\xFF\xFF\xFF", 3, std::wstring(2, kBad)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Widened(c.text, c.outChars), c.expected) << c.name;
}

TEST(NarrowText, Utf8AndBack) {
    const std::wstring texts[] = {L"disc.iso", L"\u0414\u0438\u0441\u043a", L"\u5149\u76d8 \u00e9",
                                  std::wstring(1, wchar_t(0x1F4BF))};
    for (const std::wstring& text : texts)
        EXPECT_EQ(platform::WidenText(platform::NarrowText(text)), text);
    EXPECT_EQ(platform::NarrowText(L"\u0414"), "\xD0\x94");
    // A lone surrogate or a value beyond Unicode has no UTF-8 form.
    std::wstring bad = L"a";
    bad += wchar_t(0xD800);
    bad += wchar_t(0x110000);
    EXPECT_EQ(platform::NarrowText(bad), "a??");
}
#endif

// The text a Windows user sees must survive the ANSI code page it was written in. Wine takes
// its code page from the Unix locale, so the test picks the sample the code page can hold and
// names it.
#ifdef _WIN32
std::string ToAnsi(const std::wstring& text, bool* lossy) {
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr,
                                &usedDefault);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), out.data(), n, nullptr,
                            &usedDefault);
    *lossy = n <= 0 || usedDefault;
    return out;
}

std::wstring AnsiSample(std::string* narrow) {
    // CJK (932, 936, 949, UTF-8), Cyrillic (1251), and for the Western code page letters whose
    // bytes mean something else in Latin-1.
    const wchar_t* samples[] = {L"\u5149\u30c7\u30a3\u30b9\u30af", L"\u0414\u0438\u0441\u043a",
                                L"\u0160\u20ac\u0153\u2122"};
    for (const wchar_t* sample : samples) {
        bool lossy = true;
        *narrow = ToAnsi(sample, &lossy);
        if (!lossy)
            return sample;
    }
    return {};
}

TEST(WidenText, AnsiCodePageRoundTrip) {
    std::string narrow;
    std::wstring sample = AnsiSample(&narrow);
    ASSERT_FALSE(sample.empty()) << "code page " << GetACP() << " holds none of the samples";
    RecordProperty("ansi_code_page", int(GetACP()));
    std::printf("ANSI code page %u, sample %zu characters, %zu bytes\n", GetACP(), sample.size(),
                narrow.size());
    if (const char* expected = std::getenv("VOSTRALE_EXPECT_ACP")) {
        EXPECT_EQ(GetACP(), UINT(std::strtoul(expected, nullptr, 10)));
    }
    // Byte for byte as Latin-1 it would read differently.
    std::wstring latin1(narrow.begin(), narrow.end());
    for (wchar_t& c : latin1)
        c = wchar_t(uint8_t(c));
    EXPECT_NE(latin1, sample);

    EXPECT_EQ(platform::NarrowText(sample), narrow);
    std::string path = "C:\\" + narrow + "\\" + narrow + ".cue";
    EXPECT_EQ(platform::WidenText(path), L"C:\\" + sample + L"\\" + sample + L".cue");
    // Cut to the buffer without splitting a character.
    std::wstring head = Widened(path, 5);
    EXPECT_EQ(head, (L"C:\\" + sample).substr(0, 4));
}
#endif

// A parser's message names files in the image's own 8-bit text; the user reads it as written.
TEST(ParserMessage, ReachesTheMessageBufferAsWritten) {
#ifdef _WIN32
    std::string narrow;
    std::wstring wide = AnsiSample(&narrow);
    ASSERT_FALSE(wide.empty());
#else
    std::string narrow = "\xD0\x94\xD0\xB8\xD1\x81\xD0\xBA \xE5\x85\x89\xE7\x9B\x98";
    std::wstring wide = L"\u0414\u0438\u0441\u043a \u5149\u76d8";
#endif
    std::wstring message;
    ParserIo io;
    io.message = &message;
    ReportError(io, "File not found: %s.bin", narrow.c_str());
    EXPECT_EQ(message, L"File not found: " + wide + L".bin");

    // A long message is cut to the mount error text's size.
    std::string longName(1000, 'x');
    ReportError(io, "File not found: %s", longName.c_str());
    EXPECT_EQ(message.size(), kMessageChars - 1);
    EXPECT_EQ(message.substr(0, 16), L"File not found: ");
}

} // namespace
} // namespace vostrale
