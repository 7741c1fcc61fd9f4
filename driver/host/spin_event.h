// An event for hand-offs between a caller and a drive worker: a short spin before sleeping
// (a request usually completes within microseconds), and safe to destroy as soon as a waiter
// has seen it signalled.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vostrale::host {

class SpinEvent {
  public:
    explicit SpinEvent(bool autoReset = false, bool signalled = false)
        : m_autoReset(autoReset), m_signalled(signalled) {}
    ~SpinEvent() {
        // A setter may still be between its store and its last touch of this object.
        while (m_setters.load(std::memory_order_acquire) != 0)
            std::this_thread::yield();
    }

    void Set() {
        m_setters.fetch_add(1, std::memory_order_acq_rel);
        m_signalled.store(true, std::memory_order_seq_cst);
        if (m_waiters.load(std::memory_order_seq_cst) != 0) {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_autoReset)
                m_changed.notify_one();
            else
                m_changed.notify_all();
        }
        m_setters.fetch_sub(1, std::memory_order_acq_rel);
    }

    void Reset() { m_signalled.store(false, std::memory_order_seq_cst); }

    void Wait() {
        for (int spin = 0; spin < kSpins; ++spin) {
            if (TryTake())
                return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        std::unique_lock<std::mutex> guard(m_lock);
        m_waiters.fetch_add(1, std::memory_order_seq_cst);
        m_changed.wait(guard, [this] { return TryTake(); });
        m_waiters.fetch_sub(1, std::memory_order_seq_cst);
    }

  private:
    static constexpr int kSpins = 1000;

    bool TryTake() {
        if (!m_autoReset)
            return m_signalled.load(std::memory_order_seq_cst);
        bool expected = true;
        return m_signalled.compare_exchange_strong(expected, false, std::memory_order_seq_cst);
    }

    const bool m_autoReset;
    std::atomic<bool> m_signalled;
    std::atomic<int> m_waiters{0};
    std::atomic<int> m_setters{0};
    std::mutex m_lock;
    std::condition_variable m_changed;
};

} // namespace vostrale::host
