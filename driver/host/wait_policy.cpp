#include "driver/host/wait_policy.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#ifdef __linux__
#include <fcntl.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>
#endif

namespace vostrale::host {
namespace {

std::atomic<int> g_mode{int(SpinMode::kAuto)};
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
constexpr uint64_t kWindowNanoseconds = 50'000'000; // /proc/stat counts in 10 ms ticks

// Busy time of the whole machine in nanoseconds (user, nice, system, irq, softirq and steal
// of the "cpu" line of /proc/stat); 0 when unknown.
uint64_t MachineBusyNanoseconds() {
    static const int fd = ::open("/proc/stat", O_RDONLY | O_CLOEXEC);
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (fd < 0 || ticksPerSecond <= 0)
        return 0;
    char text[256];
    ssize_t got = ::pread(fd, text, sizeof(text) - 1, 0);
    if (got <= 4 || std::memcmp(text, "cpu ", 4) != 0)
        return 0;
    text[got] = 0;
    const char* p = text + 4;
    uint64_t fields[8] = {};
    for (uint64_t& field : fields) {
        while (*p == ' ')
            ++p;
        if (*p < '0' || *p > '9')
            return 0;
        for (int digits = 0; *p >= '0' && *p <= '9' && digits < 19; ++p, ++digits)
            field = field * 10 + uint64_t(*p - '0');
    }
    // user nice system idle iowait irq softirq steal
    uint64_t busy = fields[0] + fields[1] + fields[2] + fields[5] + fields[6] + fields[7];
    return busy * (1'000'000'000 / uint64_t(ticksPerSecond));
}

uint64_t OwnCpuNanoseconds() {
    timespec t{};
    if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t) != 0)
        return 0;
    return uint64_t(t.tv_sec) * 1'000'000'000 + uint64_t(t.tv_nsec);
}

unsigned MachineCores() {
    static const unsigned cores = [] {
        long n = ::sysconf(_SC_NPROCESSORS_ONLN);
        return n > 0 ? unsigned(n) : 1u;
    }();
    return cores;
}

std::atomic<uint64_t> g_windowStart{0};
std::atomic<uint64_t> g_machineAtStart{0};
std::atomic<uint64_t> g_ownAtStart{0};
#endif

// A spinning waiter and the thread it waits for each need a core. What other processes used
// over the last window is the machine's busy time less this process's own (which includes
// its spinning): a snapshot of runnable threads would count a worker that is asleep as not
// needing a core, and a waiter would then spin against a busy neighbour for its whole budget.
bool OtherCoreFree() {
    if (UsableCores() < 2)
        return false;
#ifdef __linux__
    const uint64_t now = NowNanoseconds();
    uint64_t start = g_windowStart.load(std::memory_order_relaxed);
    if (now - start >= kWindowNanoseconds &&
        g_windowStart.compare_exchange_strong(start, now, std::memory_order_relaxed)) {
        uint64_t machine = MachineBusyNanoseconds();
        uint64_t own = OwnCpuNanoseconds();
        uint64_t machineBefore = g_machineAtStart.exchange(machine, std::memory_order_relaxed);
        uint64_t ownBefore = g_ownAtStart.exchange(own, std::memory_order_relaxed);
        if (start != 0 && machine != 0 && machine >= machineBefore && own >= ownBefore) {
            uint64_t machineUsed = machine - machineBefore;
            uint64_t ownUsed = own - ownBefore;
            uint64_t others = machineUsed > ownUsed ? machineUsed - ownUsed : 0;
            // Free while the others use less than all cores but one and a half: the waiter
            // and the worker then find a core each.
            uint64_t span = now - start;
            g_otherCoreFree.store(others * 2 < span * (2 * uint64_t(MachineCores()) - 3),
                                  std::memory_order_relaxed);
        }
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
