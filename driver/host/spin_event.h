// An event for hand-offs between a caller and a drive worker: a short spin, one yield, then
// sleep; and safe to destroy as soon as a waiter has seen it signalled. Sleeping costs a
// wake-up on both sides, which is more than most requests take, so a waiter first spins, but
// only while another core can run the thread it waits for (wait_policy.h). Then it yields once, which lets a worker queued on this very core
// finish, and only then sleeps; a setter makes the wake-up call only when someone sleeps.
// Signal, sleepers and notifiers share one word: a setter changes it once, and only when that
// change showed a sleeper does it take the lock to wake it, counted as a notifier until done
// so that the event is not destroyed under it. (Sleeping uses a mutex and condition variable:
// std::atomic::wait can miss a notification in MinGW's library.)
#pragma once

#include "driver/host/wait_policy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vostrale::host {

// On a cache line of its own: the waiter spins on it while the setter writes nearby data.
class alignas(64) SpinEvent {
  public:
    explicit SpinEvent(bool autoReset = false, bool signalled = false)
        : m_autoReset(autoReset), m_state(signalled ? kSignalled : 0) {}
    ~SpinEvent() {
        while (m_state.load(std::memory_order_acquire) & kNotifierMask)
            std::this_thread::yield();
    }
    SpinEvent(const SpinEvent&) = delete;
    SpinEvent& operator=(const SpinEvent&) = delete;

    void Set() {
        uint32_t state = m_state.load(std::memory_order_relaxed);
        uint32_t next;
        do {
            next = state | kSignalled;
            if (state & kSleeperMask)
                next += kNotifier;
        } while (!m_state.compare_exchange_weak(state, next, std::memory_order_acq_rel));
        if (state & kSleeperMask) {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_changed.notify_all();
            }
            m_state.fetch_sub(kNotifier, std::memory_order_acq_rel);
        }
    }

    void Reset() { m_state.fetch_and(~kSignalled, std::memory_order_acq_rel); }

    void Wait() {
        if (TryTake())
            return;
        uint64_t budget = SpinBudgetNanoseconds();
        if (budget != 0) {
            const uint64_t start = NowNanoseconds();
            for (;;) {
                for (int spin = 0; spin < kSpinsPerClockRead; ++spin) {
                    if ((m_state.load(std::memory_order_relaxed) & kSignalled) && TryTake())
                        return;
#if defined(__x86_64__) || defined(__i386__)
                    __builtin_ia32_pause();
#endif
                }
                if (NowNanoseconds() - start >= budget)
                    break;
                budget = SpinBudgetNanoseconds(); // the other cores may have become busy
            }
        }
        std::this_thread::yield();
        if (TryTake())
            return;
        std::unique_lock<std::mutex> guard(m_lock);
        // Counted before the test, under the lock: a setter either sees the sleeper and
        // notifies once this thread waits, or its signal is seen here.
        m_state.fetch_add(kSleeper, std::memory_order_acq_rel);
        while (!TryTake())
            m_changed.wait(guard);
        m_state.fetch_sub(kSleeper, std::memory_order_acq_rel);
    }

    // Waits at most `milliseconds` (sleeping only); false when the time ran out first.
    bool WaitFor(uint32_t milliseconds) {
        if (TryTake())
            return true;
        std::unique_lock<std::mutex> guard(m_lock);
        m_state.fetch_add(kSleeper, std::memory_order_acq_rel);
        bool taken = m_changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                        [this] { return TryTake(); });
        m_state.fetch_sub(kSleeper, std::memory_order_acq_rel);
        return taken;
    }

  private:
    static constexpr uint32_t kSignalled = 1;
    static constexpr uint32_t kSleeper = 2; // bits 1-15 count sleepers
    static constexpr uint32_t kSleeperMask = 0xFFFE;
    static constexpr uint32_t kNotifier = 0x10000; // bits 16-31 count setters still notifying
    static constexpr uint32_t kNotifierMask = 0xFFFF0000;
    static constexpr int kSpinsPerClockRead = 16;

    bool TryTake() {
        uint32_t state = m_state.load(std::memory_order_acquire);
        if (!(state & kSignalled))
            return false;
        if (!m_autoReset)
            return true;
        // Only one waiter takes an auto-reset signal.
        while (state & kSignalled) {
            if (m_state.compare_exchange_weak(state, state & ~kSignalled,
                                              std::memory_order_acq_rel))
                return true;
        }
        return false;
    }

    const bool m_autoReset;
    std::atomic<uint32_t> m_state;
    std::mutex m_lock;
    std::condition_variable m_changed;
};

} // namespace vostrale::host
