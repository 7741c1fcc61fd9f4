#include "app/update_check.h"

#include "app/text.h"
#include "tests/app/fakes.h"

#include <gtest/gtest.h>

namespace vostrale::app::test {
namespace {

constexpr uint64_t kDay = 86400;
constexpr uint64_t kSomeDay = 20000; // a day number

void SetLastUpdate(FakeRegistry* r, uint32_t type, std::vector<uint8_t> data) {
    r->SetValue(RegistryRoot::CurrentUser, kLastUpdateKey, kLastUpdateValue, type, data.data(),
                uint32_t(data.size()));
}

TEST(UpdateCheck, DueOncePerUtcDay) {
    FakeRegistry r;
    FakeSystem system;
    UpdaterStart start;
    const uint64_t morning = kSomeDay * kDay + 3600;
    EXPECT_TRUE(PlanUpdateCheck(&r, &system, morning, false, true, false, &start));
    EXPECT_EQ(ReadLastUpdate(&r), kSomeDay);
    // A second start on the same day does nothing, a forced check runs anyway.
    EXPECT_FALSE(PlanUpdateCheck(&r, &system, morning + 20 * 3600, false, true, false, &start));
    EXPECT_TRUE(PlanUpdateCheck(&r, &system, morning + 20 * 3600, true, false, false, &start));
    // Just after midnight UTC it is due again, although fewer than 24 hours passed.
    EXPECT_TRUE(PlanUpdateCheck(&r, &system, (kSomeDay + 1) * kDay + 1, false, true, false,
                                &start));
    EXPECT_EQ(ReadLastUpdate(&r), kSomeDay + 1);
}

TEST(UpdateCheck, ElevatedProcessesNeverCheckOnTheirOwn) {
    FakeRegistry r;
    FakeSystem system;
    UpdaterStart start;
    EXPECT_FALSE(PlanUpdateCheck(&r, &system, kSomeDay * kDay, false, true, true, &start));
    EXPECT_EQ(ReadLastUpdate(&r), 0u); // not counted as today's check
    EXPECT_TRUE(PlanUpdateCheck(&r, &system, kSomeDay * kDay, true, false, true, &start));
}

TEST(UpdateCheck, LastUpdateMustBeAFourByteDword) {
    const uint8_t d0 = uint8_t(kSomeDay), d1 = uint8_t(kSomeDay >> 8);
    struct Case {
        uint32_t type;
        std::vector<uint8_t> data;
        bool due;
    } cases[] = {
        {kRegDword, {d0, d1, 0, 0}, false},
        {kRegBinary, {d0, d1, 0, 0}, true},
        {kRegDword, {d0, d1}, true},
        {11, {d0, d1, 0, 0, 0, 0, 0, 0}, true},
        {kRegDword, {0, 0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        FakeRegistry r;
        FakeSystem system;
        SetLastUpdate(&r, c.type, c.data);
        UpdaterStart start;
        EXPECT_EQ(PlanUpdateCheck(&r, &system, kSomeDay * kDay + 5, false, true, false, &start),
                  c.due)
            << c.type << " " << c.data.size();
    }
}

TEST(UpdateCheck, StartUsesTheFullQuotedPathBesideTheProgram) {
    FakeRegistry r;
    FakeSystem system; // C:\Program Files\Vostrale\vostrale.exe
    UpdaterStart start;
    ASSERT_TRUE(PlanUpdateCheck(&r, &system, kSomeDay * kDay, false, true, false, &start));
    EXPECT_EQ(start.application, L"C:\\Program Files\\Vostrale\\sparkle.exe");
    EXPECT_EQ(start.commandLine, L"\"C:\\Program Files\\Vostrale\\sparkle.exe\"");
}

std::vector<uint8_t> Expected(std::initializer_list<const wchar_t*> strings, uint32_t second) {
    std::vector<uint8_t> out = {0, 0, 0, 0, uint8_t(second), uint8_t(second >> 8),
                                uint8_t(second >> 16), uint8_t(second >> 24)};
    for (const wchar_t* s : strings) {
        std::vector<uint8_t> b = Utf16Bytes(s, true);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

TEST(UpdateCheck, BlockLayout) {
    std::vector<uint8_t> block =
        BuildUpdaterBlock(L"Vostrale", L"Vostrale", L"vostrale.exe",
                          {L"https://a.example/f.txt", L"http://plain.example/f.txt",
                           L"HTTPS://b.example/g.txt", L"file:///c:/x"},
                          true);
    EXPECT_EQ(block, Expected({L"Vostrale", L"Vostrale", L"vostrale.exe", L"https://a.example/f.txt",
                               L"HTTPS://b.example/g.txt", L""},
                              0xABCD0001u));
    // 14 bytes plus the names plus each URL with its terminator plus the end.
    EXPECT_EQ(block.size(), 14u + 2 * (8 + 8 + 12) + (2 * 23 + 2) + (2 * 23 + 2) + 2);
    EXPECT_EQ(BuildUpdaterBlock(L"P", L"A", L"f.exe", {L"https://a/"}, false)[4], 0x00);
    EXPECT_TRUE(BuildUpdaterBlock(L"P", L"A", L"f.exe", {L"http://a/"}, true).empty());
}

TEST(UpdateCheck, BlockSizeLimit) {
    // 14 + 2 * 3 bytes for "P", "A", "f", 2 for the end; one URL of n characters adds 2n + 2.
    auto withUrl = [](size_t total) {
        size_t n = (total - 24) / 2;
        std::wstring url = L"https://" + std::wstring(n - 8, L'x');
        return BuildUpdaterBlock(L"P", L"A", L"f", {url}, true);
    };
    EXPECT_EQ(withUrl(kMaxUpdaterBlockBytes - 2).size(), kMaxUpdaterBlockBytes - 2);
    EXPECT_TRUE(withUrl(kMaxUpdaterBlockBytes).empty());
}

} // namespace
} // namespace vostrale::app::test
