#include "driver/host/wait_policy.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#ifdef __linux__
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#endif

namespace vostrale::host {
namespace {

constexpr uint64_t kSampleEvery = 2'000'000; // how often the machine's load is looked at

std::atomic<int> g_mode{int(SpinMode::kAuto)};
std::atomic<uint64_t> g_sampledAt{0};
std::atomic<bool> g_otherCoreFree{true};

// Cores this process may run on.
unsigned UsableCores() {
    static const unsigned cores = [] {
#ifdef __linux__
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof(set), &set) == 0)
            return unsigned(CPU_COUNT(&set));
#endif
        return std::max(1u, std::thread::hardware_concurrency());
    }();
    return cores;
}

#ifdef __linux__
// Threads running or ready to run on the whole machine, this one included ("running/total",
// the fourth field of /proc/loadavg); -1 when unknown.
int RunnableThreads() {
    static const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[128];
    ssize_t got = ::pread(fd, text, sizeof(text) - 1, 0);
    if (got <= 0)
        return -1;
    text[got] = 0;
    const char* p = text;
    for (int field = 0; field < 3; ++field) {
        while (*p && *p != ' ')
            ++p;
        while (*p == ' ')
            ++p;
    }
    int running = 0;
    bool digits = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        running = running * 10 + (*p - '0');
        digits = true;
        if (running > 1'000'000)
            return -1;
    }
    return digits && *p == '/' ? running : -1;
}

unsigned MachineCores() {
    static const unsigned cores = [] {
        long n = ::sysconf(_SC_NPROCESSORS_ONLN);
        return n > 0 ? unsigned(n) : 1u;
    }();
    return cores;
}
#endif

bool OtherCoreFree() {
    if (UsableCores() < 2)
        return false;
#ifdef __linux__
    const uint64_t now = NowNanoseconds();
    uint64_t last = g_sampledAt.load(std::memory_order_relaxed);
    if (now - last >= kSampleEvery &&
        g_sampledAt.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
        int running = RunnableThreads();
        // Besides this waiter, fewer runnable threads than cores: one is free for the worker.
        if (running > 0)
            g_otherCoreFree.store(unsigned(running - 1) < MachineCores(),
                                  std::memory_order_relaxed);
    }
    return g_otherCoreFree.load(std::memory_order_relaxed);
#else
    return true;
#endif
}

} // namespace

void SetSpinMode(SpinMode mode) {
    g_mode.store(int(mode), std::memory_order_relaxed);
}

uint64_t SpinBudgetNanoseconds() {
    if (g_mode.load(std::memory_order_relaxed) != int(SpinMode::kAuto) || !OtherCoreFree())
        return 0;
    return kFreeCoreSpinNanoseconds;
}

uint64_t NowNanoseconds() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

} // namespace vostrale::host
