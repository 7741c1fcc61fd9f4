// Wall and CPU time for benchmarks that compare our code with a reference tool run as a child
// process. On a shared machine wall time measures the share of the cores a side got as much as
// its work; CPU time (user + system, our own process or the waited-for child) moves much less
// with other load, so both are kept and printed.
#pragma once

#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

namespace vostrale::bench {

struct Timing {
    double wall = 0;
    double cpu = 0;
};

inline double WallNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double RusageSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Times fn() in this process.
template <typename Fn> Timing TimeHere(Fn fn) {
    const double cpu = RusageSeconds(RUSAGE_SELF);
    const double wall = WallNow();
    fn();
    return {WallNow() - wall, RusageSeconds(RUSAGE_SELF) - cpu};
}

// Times a shell command; the CPU time is that of the children it waited for (the shell and
// the tool). False when the command fails.
inline bool TimeChild(const std::string& command, Timing* timing) {
    const double cpu = RusageSeconds(RUSAGE_CHILDREN);
    const double wall = WallNow();
    const int rc = std::system(command.c_str());
    timing->wall = WallNow() - wall;
    timing->cpu = RusageSeconds(RUSAGE_CHILDREN) - cpu;
    return rc == 0;
}

// The best of several trials, wall and CPU each on its own.
struct Best {
    Timing best{1e30, 1e30};
    void Add(const Timing& t) {
        best.wall = std::min(best.wall, t.wall);
        best.cpu = std::min(best.cpu, t.cpu);
    }
};

} // namespace vostrale::bench
