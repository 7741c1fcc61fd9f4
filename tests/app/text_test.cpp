// Bounded wide formatting: the text is cut to the buffer the same way on every C library.
#include "app/text.h"

#include <gtest/gtest.h>

#include <string>

namespace vostrale::app::test {
namespace {

TEST(FormatInto, CutsToTheBuffer) {
    const std::wstring longName(1000, L'n'); // longer than the first try's buffer
    struct Case {
        const char* name;
        size_t outChars;
        const wchar_t* format;
        const wchar_t* arg;
        std::wstring expected;
    } cases[] = {
        {"fits", 32, L"open %ls: %d", L"disc.iso", L"open disc.iso: 5"},
        {"fits exactly", 17, L"open %ls: %d", L"disc.iso", L"open disc.iso: 5"},
        {"one over", 16, L"open %ls: %d", L"disc.iso", L"open disc.iso: "},
        {"cut inside the argument", 8, L"open %ls: %d", L"disc.iso", L"open di"},
        {"terminator only", 1, L"open %ls: %d", L"disc.iso", L""},
        {"beyond Latin-1", 8, L"[%ls] %d", L"\u0414\u0438\u0441\u043a\u5149",
         L"[\u0414\u0438\u0441\u043a\u5149]"},
        {"long argument", 300, L"%ls%d", longName.c_str(), longName.substr(0, 299)},
        {"long argument, small buffer", 5, L"%ls%d", longName.c_str(), L"nnnn"},
    };
    for (const Case& c : cases) {
        std::wstring buffer(c.outChars + 2, L'#');
        FormatInto(buffer.data(), c.outChars, c.format, c.arg, 5);
        EXPECT_EQ(std::wstring(buffer.c_str()), c.expected) << c.name;
        EXPECT_EQ(buffer.substr(c.outChars), L"##") << c.name << ": wrote past the buffer";
    }
    // No buffer at all: nothing is written.
    wchar_t untouched = L'#';
    FormatInto(&untouched, 0, L"%ls", L"x");
    EXPECT_EQ(untouched, L'#');
}

} // namespace
} // namespace vostrale::app::test
