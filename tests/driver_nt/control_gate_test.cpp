// The takeover's decision whether a device-control request is ours, and the table of threads
// inside one.
#include "driver/nt/port_logic.h"

#include <gtest/gtest.h>

namespace vostrale::nt {
namespace {

TEST(ControlGate, OnlyThePrivateRequestFromAUserCallerInItsOwnThread) {
    ControlGate ours{kControlCode, true, true, true, true};
    EXPECT_TRUE(IsPrivateControlRequest(ours));
    struct Case {
        const char* what;
        ControlGate gate;
    } refused[] = {
        {"another code", {0x2D1400, true, true, true, true}},
        {"above PASSIVE_LEVEL", {kControlCode, false, true, true, true}},
        {"from kernel mode", {kControlCode, true, false, true, true}},
        {"no system buffer", {kControlCode, true, true, false, true}},
        {"in another process", {kControlCode, true, true, true, false}},
    };
    for (const Case& c : refused)
        EXPECT_FALSE(IsPrivateControlRequest(c.gate)) << c.what;
}

TEST(SenderTable, HoldsEachThreadInsideARequestUntilItLeaves) {
    SenderTable table{};
    int threads[kSenderSlots + 1];
    for (uint32_t i = 0; i < kSenderSlots; ++i)
        EXPECT_TRUE(EnterSender(&table, &threads[i]));
    EXPECT_FALSE(EnterSender(&table, &threads[kSenderSlots])); // full: not handled
    EXPECT_FALSE(IsSender(&table, &threads[kSenderSlots]));
    EXPECT_TRUE(IsSender(&table, &threads[3]));
    LeaveSender(&table, &threads[3]);
    EXPECT_FALSE(IsSender(&table, &threads[3]));
    EXPECT_TRUE(EnterSender(&table, &threads[kSenderSlots]));
    EXPECT_TRUE(IsSender(&table, &threads[kSenderSlots]));
    // Leaving twice, or leaving without entering, changes nothing for the others.
    LeaveSender(&table, &threads[3]);
    for (uint32_t i = 0; i < kSenderSlots; ++i)
        EXPECT_EQ(IsSender(&table, &threads[i]), i != 3) << i;
}

} // namespace
} // namespace vostrale::nt

namespace vostrale::nt {
namespace {

TEST(PortConfiguration, FilledWithinTheLengthThePortGives) {
    struct Case {
        const char* what;
        uint32_t length;
        bool synchronization;
        bool virtualDevice;
    } cases[] = {
        {"the whole structure", sizeof(PORT_CONFIGURATION_INFORMATION), true, true},
        {"up to the synchronisation model",
         uint32_t(offsetof(PORT_CONFIGURATION_INFORMATION, SynchronizationModel) + 4), true,
         false},
        {"an older, shorter structure",
         uint32_t(offsetof(PORT_CONFIGURATION_INFORMATION, SynchronizationModel)), false, false},
    };
    for (const Case& c : cases) {
        PORT_CONFIGURATION_INFORMATION config{};
        config.Length = c.length;
        FillConfiguration(&config);
        EXPECT_EQ(config.MaximumTransferLength, 0x20000u) << c.what;
        EXPECT_EQ(config.NumberOfBuses, 1) << c.what;
        EXPECT_EQ(config.InitiatorBusId[0], 7) << c.what;
        EXPECT_EQ(config.MaximumNumberOfTargets, 7) << c.what;
        EXPECT_EQ(config.MaximumNumberOfLogicalUnits, 1) << c.what;
        EXPECT_EQ(config.AutoRequestSense, 1) << c.what;
        EXPECT_EQ(config.SynchronizationModel, c.synchronization ? StorSynchronizeFullDuplex : 0u)
            << c.what;
        EXPECT_EQ(config.VirtualDevice, c.virtualDevice ? 1 : 0) << c.what;
    }
}

} // namespace
} // namespace vostrale::nt
