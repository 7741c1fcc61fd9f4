// Everything the drive engine needs from the system it runs in. The Windows driver implements
// these on the NT kernel and StorPort; the user-mode host implements them on threads and files.
// They are plain functions resolved at link time: exactly one implementation is linked.
//
// Calling context, as the engine uses them:
//   - "sender context": the control handler, running in the thread of the process that sent the
//     request (passive level). Sender handles, sender pointers and the sender's identity are
//     only meaningful there.
//   - "worker": a drive's worker thread (passive level, system process). File reads and
//     impersonation happen only here.
//   - "dispatch": the SCSI entry point and the timer procedure; they only queue, signal and
//     change status words through atomic operations.
#pragma once

#include "common/kstd.h"

namespace vostrale {
struct ScsiRequest; // the engine's request record (driver/core/engine.h)
}

namespace vostrale::ps {

// ---- Pool memory -------------------------------------------------------------------------

enum PoolKind : uint8_t {
    kPoolNonPaged = 0, // touched at dispatch level (work items, request copies)
    kPoolPaged = 1,    // touched only by the worker (disc blocks, scratch and decoder buffers)
};

// "VKL0" as the kernel stores a four-character tag (first character in the low byte).
constexpr uint32_t kPoolTag =
    uint32_t('V') | (uint32_t('K') << 8) | (uint32_t('L') << 16) | (uint32_t('0') << 24);

// Returns null when the memory cannot be had. The block is not zeroed.
void* PoolAlloc(PoolKind kind, size_t size, uint32_t tag);
// Accepts null.
void PoolFree(void* block, uint32_t tag);

// ---- Events ------------------------------------------------------------------------------

struct Event;

enum EventKind : uint8_t {
    kEventNotification = 0,    // stays signalled until reset
    kEventSynchronization = 1, // one waiter is released and the event resets itself
};

Event* EventCreate(EventKind kind, bool signalled); // null on failure
void EventDestroy(Event* event);                    // accepts null
void EventSet(Event* event);                        // any level up to dispatch
void EventReset(Event* event);
void EventWait(Event* event); // passive level only
// Passive level only: false when `milliseconds` passed first. The control handler waits for
// workers this way, so a wedged worker cannot hold a sender's thread for ever.
bool EventWaitFor(Event* event, uint32_t milliseconds);

// ---- Spin-locked work queue --------------------------------------------------------------

// The link lives inside the queued object (the layout of a kernel list entry).
struct QueueLink {
    QueueLink* next;
    QueueLink* prev;
};
static_assert(sizeof(QueueLink) == 16);

struct Queue;

Queue* QueueCreate();                          // null on failure
void QueueDestroy(Queue* queue);               // the queue must be empty; accepts null
void QueuePush(Queue* queue, QueueLink* link); // appends at the tail; any level up to dispatch
QueueLink* QueuePop(Queue* queue);             // removes the head; null when empty

// ---- Worker threads ----------------------------------------------------------------------

struct Thread;

// Starts a system thread running `entry(context)`. Null when it cannot be created.
Thread* ThreadStart(void (*entry)(void* context), void* context);
// Waits for the thread to end and releases it.
void ThreadJoin(Thread* thread);
// Called once by a worker at its start: privileges and priority the worker needs (the kernel
// enables impersonation and raises the thread's priority). No effect in the host.
void ThreadPrepareWorker();
// Any thread, up to dispatch level: cancels the file read `worker` has in flight, and makes
// every read it starts fail at once until it calls ThreadResumeIo. Unmount, bus reset and
// removal use it so that a read stuck in a file system does not hold the drive.
void ThreadCancelIo(Thread* worker);
// On a worker: its reads work again (every cancel asked for so far counts as done).
void ThreadResumeIo();

// ---- One-shot timer with a deferred procedure --------------------------------------------

struct Timer;

// A new timer is already expired and has no procedure pending.
Timer* TimerCreate(void (*procedure)(void* context), void* context);
// Destroys after cancelling; waits until no procedure call is running. Accepts null.
void TimerDestroy(Timer* timer);
// (Re)starts the timer: it expires `relative100ns` from now and then, if `withProcedure`,
// calls the procedure at dispatch level.
void TimerSet(Timer* timer, uint64_t relative100ns, bool withProcedure);
// True when the timer's time has passed (or it was never started).
bool TimerExpired(Timer* timer);
// Cancels a pending expiry and waits for a procedure call already under way (used when a
// drive stops, before its state goes away).
void TimerCancel(Timer* timer);

// ---- Files -------------------------------------------------------------------------------

// The driver's own reference to an open file. 0 means none.
using FileRef = uint64_t;

// In the sender context: takes the driver's own reference to a file handle of the sending
// process, checked with the sender's rights (read access to a file opened for synchronous
// I/O on a file system; no pipes, devices or directories). False when refused.
bool FileReferenceFromSender(uint64_t senderHandle, FileRef* file);

// On the worker, under impersonation of the mounting user: opens an existing file by an
// 8-bit (ANSI) path for reading, with access checks. False when it cannot be opened.
bool FileOpenByName(const char* path, FileRef* file);

// Reads up to `length` bytes at `offset`; returns the bytes read (0 on any failure). Short
// only at the end of the file or on an error.
uint32_t FileRead(FileRef file, uint64_t offset, void* buffer, uint32_t length);

void FileRelease(FileRef file); // accepts 0

// ---- The sender's security context -------------------------------------------------------

struct SecurityContext;

// In the sender context: captures the sender's identity for impersonation. Null on failure.
SecurityContext* SecurityCapture();
// On the worker: impersonates; false when that fails (nothing to revert then).
bool SecurityImpersonate(SecurityContext* context);
void SecurityRevert();
void SecurityRelease(SecurityContext* context); // accepts null

// ---- Sender memory -----------------------------------------------------------------------

// In the sender context: copies `length` bytes from the sender's address `address` into
// `target`. False when any of the range is not readable sender memory.
bool CopyFromSender(void* target, uint64_t address, size_t length);

// ---- Persistent drive count ----------------------------------------------------------------

bool ReadNumberOfDrives(uint32_t* count); // false when absent or unreadable
void WriteNumberOfDrives(uint32_t count); // failures are ignored

// ---- Wide vector registers ---------------------------------------------------------------

// Room for the system's record of saved registers (the kernel's is 56 bytes).
struct WideRegisters {
    alignas(8) uint8_t opaque[64];
};

// Worker only. True when the calling thread may use the 256-bit vector registers (AVX) until
// WideRegistersEnd: the kernel saves them for a driver on request, user mode always may. False
// when the system does not enable them or cannot save them now; the narrow forms run then.
bool WideRegistersBegin(WideRegisters* saved);
void WideRegistersEnd(WideRegisters* saved); // only after a Begin that returned true

// ---- Port notifications ------------------------------------------------------------------

// Tells the port that the targets changed so the system rescans the bus.
void NotifyBusChange(void* port);
// Hands a finished SCSI request back to the port. Called exactly once per request.
void NotifyRequestComplete(void* port, ScsiRequest* request);

} // namespace vostrale::ps
