// The engine's platform services in user mode: standard threads and locks, reads on the
// descriptors (or handles) that a mount record carries, and a clock that only tests move.
#include "driver/host/host_services.h"
#include "driver/host/spin_event.h"

#include "driver/core/engine.h"
#include "driver/core/file_rule.h"
#include "driver/core/platform_services.h"
#include "platform/platform.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace vostrale {
namespace {

struct HostState {
    std::mutex lock;
    std::optional<uint32_t> storedDriveCount;
    const uint8_t* arenaBase = nullptr;
    size_t arenaSize = 0;
    bool captureFails = false;
};

HostState& State() {
    static HostState state;
    return state;
}

std::atomic<int64_t> g_poolBlocks{0};
std::atomic<int64_t> g_fileReferences{0};
std::atomic<uint64_t> g_fileBytesRead{0};

// ---- Clock and timers --------------------------------------------------------------------

struct TimerWheel {
    std::mutex lock;          // clock and timer fields
    std::mutex procedureLock; // held while procedures run, so a cancel can wait for them
    uint64_t now = 0;         // 100 ns units
    std::vector<ps::Timer*> timers;
};

TimerWheel& Wheel() {
    static TimerWheel wheel;
    return wheel;
}

thread_local int t_impersonating = 0;
thread_local ps::Thread* t_worker = nullptr; // the calling thread's record, on workers

} // namespace

namespace ps {

struct Event {
    Event(EventKind kind, bool signalled) : event(kind == kEventSynchronization, signalled) {}
    host::SpinEvent event;
};

// A spin-locked list as the kernel's interlocked lists are: held only for a few pointer moves.
// A holder that lost its core holds it for a whole time slice, though, so a contender spins
// only briefly and then yields.
struct alignas(64) Queue {
    static constexpr int kSpinsBeforeYield = 64;
    std::atomic<bool> busy{false};
    QueueLink head;
    void Lock() {
        int spins = 0;
        while (busy.exchange(true, std::memory_order_acquire)) {
            while (busy.load(std::memory_order_relaxed)) {
                if (++spins > kSpinsBeforeYield) {
                    std::this_thread::yield();
                    continue;
                }
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            }
        }
    }
    void Unlock() {
        busy.store(false, std::memory_order_release);
    }
};

struct Thread {
    std::thread thread;
    // Reads are refused while these differ (as in the kernel, where they also cancel the
    // read in flight; here a read cannot be interrupted).
    std::atomic<uint32_t> cancelAsked{0};
    uint32_t cancelSeen = 0;
};

struct Timer {
    void (*procedure)(void*);
    void* context;
    uint64_t due;
    bool pending;
};

struct SecurityContext {
    uint32_t identity;
};

void* PoolAlloc(PoolKind, size_t size, uint32_t tag) {
    if (tag != kPoolTag || size == 0)
        return nullptr;
    void* block = std::malloc(size);
    if (block)
        ++g_poolBlocks;
    return block;
}

void PoolFree(void* block, uint32_t) {
    if (!block)
        return;
    --g_poolBlocks;
    std::free(block);
}

Event* EventCreate(EventKind kind, bool signalled) {
    return new (std::nothrow) Event(kind, signalled);
}

void EventDestroy(Event* event) {
    delete event;
}

void EventSet(Event* event) {
    event->event.Set();
}

void EventReset(Event* event) {
    event->event.Reset();
}

void EventWait(Event* event) {
    event->event.Wait();
}

bool EventWaitFor(Event* event, uint32_t milliseconds) {
    return event->event.WaitFor(milliseconds);
}

Queue* QueueCreate() {
    Queue* q = new (std::nothrow) Queue;
    if (!q)
        return nullptr;
    q->head.next = q->head.prev = &q->head;
    return q;
}

void QueueDestroy(Queue* queue) {
    delete queue;
}

void QueuePush(Queue* queue, QueueLink* link) {
    queue->Lock();
    link->next = &queue->head;
    link->prev = queue->head.prev;
    queue->head.prev->next = link;
    queue->head.prev = link;
    queue->Unlock();
}

QueueLink* QueuePop(Queue* queue) {
    queue->Lock();
    QueueLink* first = queue->head.next;
    if (first == &queue->head) {
        queue->Unlock();
        return nullptr;
    }
    queue->head.next = first->next;
    first->next->prev = &queue->head;
    first->next = first->prev = nullptr;
    queue->Unlock();
    return first;
}

Thread* ThreadStart(void (*entry)(void*), void* context) {
    Thread* t = new (std::nothrow) Thread;
    if (!t)
        return nullptr;
    try {
        t->thread = std::thread([t, entry, context] {
            t_worker = t;
            entry(context);
        });
    } catch (...) {
        delete t;
        return nullptr;
    }
    return t;
}

void ThreadJoin(Thread* thread) {
    if (!thread)
        return;
    thread->thread.join();
    delete thread;
}

void ThreadPrepareWorker() {}

void ThreadCancelIo(Thread* worker) {
    if (worker)
        worker->cancelAsked.fetch_add(1, std::memory_order_seq_cst);
}

void ThreadResumeIo() {
    if (t_worker)
        t_worker->cancelSeen = t_worker->cancelAsked.load(std::memory_order_seq_cst);
}

Timer* TimerCreate(void (*procedure)(void*), void* context) {
    Timer* t = new (std::nothrow) Timer{procedure, context, 0, false};
    if (!t)
        return nullptr;
    TimerWheel& w = Wheel();
    std::lock_guard<std::mutex> guard(w.lock);
    t->due = w.now; // already expired
    w.timers.push_back(t);
    return t;
}

void TimerCancel(Timer* timer) {
    TimerWheel& w = Wheel();
    {
        std::lock_guard<std::mutex> guard(w.lock);
        timer->pending = false;
        timer->due = w.now;
    }
    // Wait for a procedure call that is already running.
    std::lock_guard<std::mutex> wait(w.procedureLock);
}

void TimerDestroy(Timer* timer) {
    if (!timer)
        return;
    TimerCancel(timer);
    TimerWheel& w = Wheel();
    {
        std::lock_guard<std::mutex> guard(w.lock);
        for (size_t i = 0; i < w.timers.size(); ++i) {
            if (w.timers[i] == timer) {
                w.timers.erase(w.timers.begin() + long(i));
                break;
            }
        }
    }
    delete timer;
}

void TimerSet(Timer* timer, uint64_t relative100ns, bool withProcedure) {
    TimerWheel& w = Wheel();
    std::lock_guard<std::mutex> guard(w.lock);
    timer->due = w.now + relative100ns;
    timer->pending = withProcedure;
}

bool TimerExpired(Timer* timer) {
    TimerWheel& w = Wheel();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.now >= timer->due;
}

bool FileReferenceFromSender(uint64_t senderHandle, FileRef* file) {
    *file = 0;
    if (senderHandle == 0)
        return false;
#ifdef _WIN32
    HANDLE own = nullptr;
    HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, HANDLE(uintptr_t(senderHandle)), process, &own, FILE_READ_DATA,
                         FALSE, 0))
        return false;
    // The driver's file rule, with what user mode can see of the file.
    BY_HANDLE_FILE_INFORMATION info;
    FileFacts facts{};
    facts.volumeType = GetFileType(own) == FILE_TYPE_DISK ? kVolumeDisk : 0;
    facts.synchronous = true;
    facts.directory = GetFileInformationByHandle(own, &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (!AcceptImageFile(facts)) {
        CloseHandle(own);
        return false;
    }
    *file = uint64_t(uintptr_t(own));
    ++g_fileReferences;
    return true;
#else
    if (senderHandle > uint64_t(INT32_MAX))
        return false;
    int fd = int(senderHandle);
    int flags = ::fcntl(fd, F_GETFL);
    struct stat st;
    // Opened for reading, and the driver's file rule: no pipes, devices or directories.
    if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY || ::fstat(fd, &st) != 0)
        return false;
    FileFacts facts{};
    facts.volumeType = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ? kVolumeDisk : 0;
    facts.synchronous = (flags & O_NONBLOCK) == 0;
    facts.directory = S_ISDIR(st.st_mode);
    if (!AcceptImageFile(facts))
        return false;
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0)
        return false;
    *file = uint64_t(own);
    ++g_fileReferences;
    return true;
#endif
}

bool FileOpenByName(const char* path, FileRef* file) {
    *file = 0;
    if (!t_impersonating)
        return false; // list files are opened only with the mounting user's identity
    uint32_t error = 0;
    platform::NativeFile f = platform::OpenForRead(platform::PathFromNarrow(path), &error);
    if (!f)
        return false;
#ifndef _WIN32
    struct stat st;
    if (::fstat(int(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        platform::CloseFile(f);
        return false;
    }
#endif
    *file = f;
    ++g_fileReferences;
    return true;
}

uint32_t FileRead(FileRef file, uint64_t offset, void* buffer, uint32_t length) {
    if (!file)
        return 0;
    if (t_worker && t_worker->cancelAsked.load(std::memory_order_seq_cst) != t_worker->cancelSeen)
        return 0;
    size_t got = 0;
    if (!platform::ReadAt(file, offset, buffer, length, &got))
        return 0;
    g_fileBytesRead.fetch_add(got, std::memory_order_relaxed);
    return uint32_t(got);
}

void FileRelease(FileRef file) {
    if (!file)
        return;
    --g_fileReferences;
    platform::CloseFile(file);
}

SecurityContext* SecurityCapture() {
    if (State().captureFails)
        return nullptr;
    return new (std::nothrow) SecurityContext{1};
}

bool SecurityImpersonate(SecurityContext* context) {
    if (!context)
        return false;
    ++t_impersonating;
    return true;
}

void SecurityRevert() {
    if (t_impersonating > 0)
        --t_impersonating;
}

void SecurityRelease(SecurityContext* context) {
    delete context;
}

bool CopyFromSender(void* target, uint64_t address, size_t length) {
    if (length == 0)
        return true;
    HostState& s = State();
    if (s.arenaBase) {
        uint64_t base = uint64_t(uintptr_t(s.arenaBase));
        if (address < base || address - base > s.arenaSize ||
            length > s.arenaSize - (address - base))
            return false;
        std::memcpy(target, s.arenaBase + (address - base), length);
        return true;
    }
    if (address == 0 || address > UINTPTR_MAX)
        return false;
#ifdef _WIN32
    SIZE_T got = 0;
    return ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(uintptr_t(address)),
                             target, length, &got) &&
           got == length;
#else
    // The kernel probes the range for us: unmapped sender memory fails instead of faulting.
    iovec local{target, length};
    iovec remote{reinterpret_cast<void*>(uintptr_t(address)), length};
    ssize_t got = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    return got == ssize_t(length);
#endif
}

bool ReadNumberOfDrives(uint32_t* count) {
    HostState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.storedDriveCount)
        return false;
    *count = *s.storedDriveCount;
    return true;
}

void WriteNumberOfDrives(uint32_t count) {
    HostState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.storedDriveCount = count;
}

// User mode: the system saves every register of a thread it switches out.
bool WideRegistersBegin(WideRegisters*) {
    return true;
}

void WideRegistersEnd(WideRegisters*) {}

} // namespace ps

namespace host {

void AdvanceClock(uint64_t milliseconds) {
    TimerWheel& w = Wheel();
    std::lock_guard<std::mutex> running(w.procedureLock);
    std::vector<ps::Timer*> fired;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        w.now += milliseconds * 10000;
        for (ps::Timer* t : w.timers) {
            if (t->pending && t->due <= w.now) {
                t->pending = false;
                fired.push_back(t);
            }
        }
    }
    for (ps::Timer* t : fired)
        t->procedure(t->context);
}

void SetStoredDriveCount(std::optional<uint32_t> count) {
    HostState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.storedDriveCount = count;
}

std::optional<uint32_t> StoredDriveCount() {
    HostState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.storedDriveCount;
}

void SetSenderArena(const void* base, size_t size) {
    State().arenaBase = static_cast<const uint8_t*>(base);
    State().arenaSize = size;
}

void ClearSenderArena() {
    State().arenaBase = nullptr;
    State().arenaSize = 0;
}

void SetSecurityCaptureFails(bool fails) {
    State().captureFails = fails;
}

int64_t OutstandingPoolBlocks() {
    return g_poolBlocks.load();
}

uint64_t FileBytesRead() {
    return g_fileBytesRead.load();
}

int64_t OpenFileReferences() {
    return g_fileReferences.load();
}

} // namespace host
} // namespace vostrale
