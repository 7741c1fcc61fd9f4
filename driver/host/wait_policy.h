// How long a host wait may spin before it yields and then sleeps. Spinning pays only while
// another core can run the thread being waited for: on a machine whose other cores are busy,
// a spinning waiter takes the very core the worker needs, so it does not spin at all. While a
// core is free the spin costs nobody else anything, and it has to outlast a typical request
// (a decoded chunk takes a few hundred microseconds): a spin bounded by the wake-up cost alone
// sent most hand-offs to sleep and halved the engine's throughput on an idle machine.
#pragma once

#include <cstdint>

namespace vostrale::host {

enum class SpinMode {
    kAuto,  // spin while another core is free, for at most kFreeCoreSpinNanoseconds
    kNever, // yield, then sleep (one core, or tests of the sleeping path)
};

// The longest spin while another core is free.
constexpr uint64_t kFreeCoreSpinNanoseconds = 1'000'000;

// Process-wide; kAuto unless a test or tool says otherwise.
void SetSpinMode(SpinMode mode);

// Nanoseconds the calling waiter may spin now: 0 when no other core is free. A spinning
// waiter asks again as it goes, so it stops once the machine's other cores become busy.
uint64_t SpinBudgetNanoseconds();

// Monotonic nanoseconds (the steady clock).
uint64_t NowNanoseconds();

} // namespace vostrale::host
