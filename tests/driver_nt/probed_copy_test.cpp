// The driver's guarded copy routine, run in user mode under Windows (Wine here): the kernel's
// probe is replaced by a stand-in that raises the same way, so what is tested is the
// routine's own exception handling (its unwind data and scope table).
#include "driver/nt/nt_services.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

namespace {

constexpr DWORD kProbeRefused = 0xE0564B4C;
uintptr_t g_probeLimit = UINTPTR_MAX;

void FakeProbeForRead(const volatile void* address, size_t length, unsigned long) {
    uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (length && (start + length < start || start + length > g_probeLimit))
        RaiseException(kProbeRefused, 0, 0, nullptr);
}

} // namespace

// The routine calls the probe through its import slot; this test supplies the slot.
extern "C" {
void (*__imp_ProbeForRead)(const volatile void*, size_t, unsigned long) = FakeProbeForRead;
}

namespace {

TEST(ProbedCopy, CopiesReadableMemory) {
    std::vector<uint8_t> source(300), target(300, 0);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = uint8_t(i * 7);
    EXPECT_EQ(VostraleProbedCopy(target.data(), source.data(), source.size()), 0u);
    EXPECT_EQ(target, source);
    EXPECT_EQ(VostraleProbedCopy(target.data(), nullptr, 0), 0u);
}

TEST(ProbedCopy, FaultsAndRefusalsBecomeResults) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    size_t page = info.dwPageSize;
    uint8_t* block = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5A, 2 * page);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(block + page, page, PAGE_NOACCESS, &old));
    std::vector<uint8_t> target(2 * page);

    // Repeated, so that a frame or a saved register left wrong by the unwinding would show.
    for (int round = 0; round < 50; ++round) {
        // A range that runs into an unreadable page.
        EXPECT_EQ(VostraleProbedCopy(target.data(), block + page - 16, 64), 1u);
        // The probe's own refusal.
        g_probeLimit = reinterpret_cast<uintptr_t>(block) + 100;
        EXPECT_EQ(VostraleProbedCopy(target.data(), block, 200), 1u);
        g_probeLimit = UINTPTR_MAX;
        // And a good copy right after both.
        EXPECT_EQ(VostraleProbedCopy(target.data(), block, page), 0u);
        EXPECT_EQ(target[page - 1], 0x5A);
    }
    VirtualFree(block, 0, MEM_RELEASE);
}

} // namespace
