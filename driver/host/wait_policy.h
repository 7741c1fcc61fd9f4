// How long a host wait may spin before it yields and then sleeps. Spinning pays only while
// another core can run the thread being waited for: on a machine whose other cores are busy,
// a spinning waiter takes the very core the worker needs. And a spin that lasts longer than a
// sleep-and-wake hand-off costs cannot win back more than it spends, so the spin is bounded by
// that cost as measured in this process (wake-ups report how long they took).
#pragma once

#include <cstdint>

namespace vostrale::host {

enum class SpinMode {
    kAuto,  // spin while another core is free, for at most the measured hand-off cost
    kNever, // yield, then sleep (one core, or tests of the sleeping path)
};

// Process-wide; kAuto unless a test or tool says otherwise.
void SetSpinMode(SpinMode mode);

// Nanoseconds the calling waiter may spin now: 0 when no other core is free.
uint64_t SpinBudgetNanoseconds();

// The time from a setter's wake-up call to the sleeper running again.
void RecordWakeLatency(uint64_t nanoseconds);

// The current estimate of a sleep-and-wake hand-off, in nanoseconds.
uint64_t HandOffCostNanoseconds();

// Monotonic nanoseconds (the steady clock).
uint64_t NowNanoseconds();

} // namespace vostrale::host
