// What the StorPort frame and the NT platform services share.
#pragma once

#include "driver/nt/nt_api.h"

// Copies `length` bytes from the user-mode address `source` after probing it, with a
// structured exception handler around probe and copy. Returns 0 on success, 1 when an
// exception (a fault, or the probe's refusal) stopped it. Written in assembly (probed_copy.S):
// the compiler has no __try/__except.
extern "C" uint32_t VostraleProbedCopy(void* target, const void* source, size_t length);

namespace vostrale::nt {

// The driver object DriverEntry received (its devices are the driver's own drives).
DRIVER_OBJECT* DriverObject();

// Keeps the service's registry path (for NumberOfDrives) for the life of the driver image.
void CopyRegistryPath(const UNICODE_STRING* path);
// Reads NumberOfDrives from the service key into the value ps::ReadNumberOfDrives reports.
void LoadNumberOfDrives();

// Marks the current thread as a sender for the duration of one control request: only then do
// the services that take the sender's handles, memory or identity act. False when no mark
// could be taken (the request is then not handled).
bool EnterSenderContext();
void LeaveSenderContext();
bool InSenderContext();

} // namespace vostrale::nt
