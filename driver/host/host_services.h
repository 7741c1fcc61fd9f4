// Knobs of the user-mode platform services: what the kernel would provide by itself (a clock,
// the registry value, the sender's address space and identity) made controllable for tests
// and tools. These settings are process-wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vostrale::host {

// The services' clock starts at 0 and moves only when told; timers whose time has come run
// their procedures on the calling thread, as a deferred procedure call would.
void AdvanceClock(uint64_t milliseconds);

// The NumberOfDrives value as the registry would hold it (nullopt: absent).
void SetStoredDriveCount(std::optional<uint32_t> count);
std::optional<uint32_t> StoredDriveCount();

// Restricts the sender's readable memory to one range (a fuzzer's arena); without one, any
// mapped memory of this process is readable and unmapped addresses fail the copy.
void SetSenderArena(const void* base, size_t size);
void ClearSenderArena();

// Makes the capture of the sender's security context fail (as it may in the kernel).
void SetSecurityCaptureFails(bool fails);

// Pool blocks currently allocated by the engine (leak checks in tests).
int64_t OutstandingPoolBlocks();

// Bytes the engine has read from image files so far (how often a group or chunk is fetched).
uint64_t FileBytesRead();

// Files the engine holds (references taken from senders and files it opened itself).
int64_t OpenFileReferences();

} // namespace vostrale::host
