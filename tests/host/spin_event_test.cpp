// The host's hand-off event under each way of waiting (spinning while a core is free, or
// straight to yield and sleep): no signal lost, an auto-reset signal taken by one waiter only,
// the event destroyable as soon as its waiter has seen the signal; and the spin bounded by the
// measured cost of a wake-up.
#include "driver/host/spin_event.h"
#include "driver/host/wait_policy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace vostrale::host {
namespace {

class SpinModes : public testing::TestWithParam<SpinMode> {
  protected:
    void SetUp() override { SetSpinMode(GetParam()); }
    void TearDown() override { SetSpinMode(SpinMode::kAuto); }
};

// A caller and a worker passing a token back and forth, as a request and its completion do.
TEST_P(SpinModes, PingPongLosesNoSignal) {
    constexpr int kRounds = 20000;
    SpinEvent request(true), done(true);
    int worked = 0;
    std::thread worker([&] {
        for (int i = 0; i < kRounds; ++i) {
            request.Wait();
            ++worked;
            done.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        request.Set();
        done.Wait();
        ASSERT_EQ(worked, i + 1);
    }
    worker.join();
}

// Each Set of an auto-reset event releases at most one waiter; all are released in the end.
TEST_P(SpinModes, AutoResetSignalReleasesOneWaiterAtATime) {
    constexpr int kWaiters = 4;
    SpinEvent event(true);
    std::atomic<int> released{0};
    std::atomic<int> sets{0};
    std::atomic<bool> tooMany{false};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            event.Wait();
            if (released.fetch_add(1) + 1 > sets.load())
                tooMany = true;
        });
    }
    for (int i = 0; i < kWaiters; ++i) {
        sets.fetch_add(1);
        event.Set();
        while (released.load() < i + 1)
            std::this_thread::yield();
    }
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(released.load(), kWaiters);
    EXPECT_FALSE(tooMany.load());
}

// A manual-reset event releases every waiter and stays signalled until reset.
TEST_P(SpinModes, ManualResetSignalReleasesEveryWaiter) {
    SpinEvent event(false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            event.Wait();
            ++released;
        });
    event.Set();
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(released.load(), 3);
    event.Wait(); // still signalled
    event.Reset();
    std::thread late([&] { event.Wait(); });
    event.Set();
    late.join();
}

// The poster frees the completion as soon as its wait returns, while the setter may still be
// inside Set (the sanitizers see a use after free).
TEST_P(SpinModes, EventMayBeDestroyedOnceTheWaiterHasSeenIt) {
    for (int i = 0; i < 2000; ++i) {
        auto event = std::make_unique<SpinEvent>();
        SpinEvent* raw = event.get();
        std::thread setter([raw] { raw->Set(); });
        event->Wait();
        event.reset();
        setter.join();
    }
}

INSTANTIATE_TEST_SUITE_P(Host, SpinModes, testing::Values(SpinMode::kAuto, SpinMode::kNever),
                         [](const testing::TestParamInfo<SpinMode>& info) {
                             return info.param == SpinMode::kAuto ? "SpinWhileACoreIsFree"
                                                                  : "YieldThenSleep";
                         });

// A waiter spins only while another core is free, never past the bound, and not at all when
// told not to.
TEST(WaitPolicy, SpinIsBoundedAndOffWhenAskedNotTo) {
    uint64_t budget = SpinBudgetNanoseconds();
    // Zero when the machine's other cores are busy (or there is one core).
    EXPECT_TRUE(budget == 0 || budget == kFreeCoreSpinNanoseconds) << budget;

    SetSpinMode(SpinMode::kNever);
    EXPECT_EQ(SpinBudgetNanoseconds(), 0u);
    SetSpinMode(SpinMode::kAuto);
}

} // namespace
} // namespace vostrale::host
