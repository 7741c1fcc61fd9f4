// Adapter, drive slots, work queues and workers.
#include "driver/core/drive.h"

#include "common/bytes.h"

namespace vostrale {

namespace {

// Every engine block carries its size and pool kind in front, so the paged memory the engine
// holds can be counted (the bound on what mounts may pin).
constexpr uint64_t kBlockHeader = 16;
constexpr uint64_t kSizeMask = (uint64_t(1) << 56) - 1;
uint64_t g_pagedInUse = 0;

} // namespace

void* Allocate(ps::PoolKind kind, uint64_t size) {
    // 64-bit sizes from hostile records stop here before reaching the pool.
    if (size == 0 || size > (uint64_t(1) << 31))
        return nullptr;
    uint8_t* block =
        static_cast<uint8_t*>(ps::PoolAlloc(kind, size_t(size + kBlockHeader), ps::kPoolTag));
    if (!block)
        return nullptr;
    uint64_t word = size | (uint64_t(kind) << 56);
    CopyBytes(block, &word, sizeof(word));
    if (kind == ps::kPoolPaged)
        __atomic_fetch_add(&g_pagedInUse, size, __ATOMIC_SEQ_CST);
    return block + kBlockHeader;
}

void Release(void* pointer) {
    if (!pointer)
        return;
    uint8_t* block = static_cast<uint8_t*>(pointer) - kBlockHeader;
    uint64_t word;
    CopyBytes(&word, block, sizeof(word));
    if ((word >> 56) == ps::kPoolPaged)
        __atomic_fetch_sub(&g_pagedInUse, word & kSizeMask, __ATOMIC_SEQ_CST);
    ps::PoolFree(block, ps::kPoolTag);
}

uint64_t PagedBytesInUse() {
    return __atomic_load_n(&g_pagedInUse, __ATOMIC_SEQ_CST);
}

namespace {

// The media-change timer's procedure: the 4 seconds of "tray open" after a disc change are
// over. Runs at dispatch level concurrently with the worker, hence only atomic bit changes.
void MediaTimerExpired(void* context) {
    DriveContext* drive = static_cast<DriveContext*>(context);
    if (__atomic_load_n(&drive->attached, __ATOMIC_SEQ_CST) && IsReady(drive)) {
        StatusClear(drive, kStatusChanging);
        StatusSet(drive, kStatusUnitAttention);
    }
}

// Executes one item; returns false for a stop item.
bool RunItem(DriveContext* drive, WorkItem* item) {
    switch (item->kind) {
    case kWorkStop:
        item->result = 1;
        return false;
    case kWorkMount:
        AttachDisc(drive, static_cast<Disc*>(item->parameter));
        item->result = 1;
        break;
    case kWorkUnmount:
        item->result = drive->disc ? 1 : 0;
        DetachDisc(drive);
        break;
    case kWorkScsi:
        // Queued before a bus reset: completed without being started. A reset that came
        // while it ran (its file read was cancelled) ends it as reset too.
        if (item->epoch == __atomic_load_n(&drive->resets, __ATOMIC_SEQ_CST))
            ExecuteScsi(drive, item->request);
        if (item->epoch != __atomic_load_n(&drive->resets, __ATOMIC_SEQ_CST)) {
            ScsiRequest* r = item->request;
            r->srbStatus = kSrbStatusBusReset;
            r->scsiStatus = kScsiStatusGood;
            r->senseDelivered = 0;
            r->transferLength = 0;
        }
        ps::NotifyRequestComplete(drive->adapter->port, item->request);
        break;
    case kWorkQuery: {
        // Snapshot for QueryDrive, taken where the disc state lives.
        uint8_t* reply = item->reply;
        Disc* disc = drive->disc;
        item->result = disc ? 1 : 0;
        if (disc) {
            reply[0] = drive->region;
            reply[1] = disc->medium;
            reply[2] = 1;
            reply[3] = (StatusOf(drive) & kStatusLoaded) ? 0 : 1;
            StoreLe32(reply + 4, disc->layer0Sectors);
        }
        break;
    }
    default:
        item->result = 0;
        break;
    }
    return true;
}

constexpr uint32_t kItemQueued = 0;
constexpr uint32_t kItemRunning = 1;
constexpr uint32_t kItemDone = 2;
constexpr uint32_t kItemAbandoned = 3;

bool Advance(WorkItem* item, uint32_t from, uint32_t to) {
    return __atomic_compare_exchange_n(&item->state, &from, to, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

void FreeWaited(WorkItem* item) {
    ps::EventDestroy(item->done);
    Release(item);
}

bool Detaches(uint8_t kind) {
    return kind == kWorkMount || kind == kWorkUnmount;
}

// A waited item that will never run: the disc a mount brought is freed and its pending detach
// is counted off.
void DropUnrun(DriveContext* drive, uint8_t kind, void* parameter) {
    if (kind == kWorkMount)
        FreeDisc(static_cast<Disc*>(parameter));
    if (Detaches(kind))
        __atomic_fetch_sub(&drive->detachPending, 1u, __ATOMIC_SEQ_CST);
}

// Reads work again unless a mount, unmount or stop is still on its way; checked again after
// the resume, so a cancel asked for in between is not lost.
void ResumeReads(DriveContext* drive) {
    if (__atomic_load_n(&drive->detachPending, __ATOMIC_SEQ_CST) != 0)
        return;
    ps::ThreadResumeIo();
    if (__atomic_load_n(&drive->detachPending, __ATOMIC_SEQ_CST) != 0)
        ps::ThreadCancelIo(drive->worker);
}

void WorkerMain(void* context) {
    DriveContext* drive = static_cast<DriveContext*>(context);
    ps::ThreadPrepareWorker();
    bool running = true;
    while (running) {
        ps::EventWait(drive->queueEvent);
        while (ps::QueueLink* link = ps::QueuePop(drive->queue)) {
            WorkItem* item = reinterpret_cast<WorkItem*>(link);
            uint8_t kind = item->kind;
            bool waited = kind != kWorkScsi && !item->posted && item->done;
            if (waited && !Advance(item, kItemQueued, kItemRunning)) {
                // Its poster gave up before it ran: it is not run.
                DropUnrun(drive, kind, item->parameter);
                FreeWaited(item);
                continue;
            }
            if (Detaches(kind)) {
                // Its turn has come: the disc it attaches is read (its first sector, by the
                // requests after it) whatever else is still on its way.
                __atomic_fetch_sub(&drive->detachPending, 1u, __ATOMIC_SEQ_CST);
                ps::ThreadResumeIo();
            } else {
                ResumeReads(drive);
            }
            if (!RunItem(drive, item))
                running = false;
            if (kind == kWorkScsi)
                continue; // lives in the request, already completed
            if (item->posted) {
                Release(item);
            } else if (waited) {
                // Done, unless the poster gave up meanwhile; once done the poster frees it, so
                // the event is the last thing touched here.
                if (Advance(item, kItemRunning, kItemDone))
                    ps::EventSet(item->done);
                else
                    FreeWaited(item);
            }
        }
    }
    DetachDisc(drive);
    ps::TimerCancel(drive->timer);
}

void DestroySlot(DriveContext* drive) {
    ps::TimerDestroy(drive->timer);
    ps::QueueDestroy(drive->queue);
    ps::EventDestroy(drive->queueEvent);
    Release(drive);
}

DriveContext* CreateSlot(Adapter* adapter, uint32_t index) {
    DriveContext* drive =
        static_cast<DriveContext*>(Allocate(ps::kPoolNonPaged, sizeof(DriveContext)));
    if (!drive)
        return nullptr;
    ZeroBytes(drive, sizeof(*drive));
    drive->adapter = adapter;
    drive->index = index;
    drive->region = 1;
    drive->timer = ps::TimerCreate(MediaTimerExpired, drive);
    drive->queue = ps::QueueCreate();
    drive->queueEvent = ps::EventCreate(ps::kEventSynchronization, false);
    if (!drive->timer || !drive->queue || !drive->queueEvent) {
        DestroySlot(drive);
        return nullptr;
    }
    drive->worker = ps::ThreadStart(WorkerMain, drive);
    if (!drive->worker) {
        DestroySlot(drive);
        return nullptr;
    }
    return drive;
}

void StopSlot(DriveContext* drive) {
    // The stop waits behind the queued requests: their reads end at once, and a read stuck in
    // a file system is cancelled.
    __atomic_fetch_add(&drive->detachPending, 1u, __ATOMIC_SEQ_CST);
    ps::ThreadCancelIo(drive->worker);
    WorkItem* item = static_cast<WorkItem*>(Allocate(ps::kPoolNonPaged, sizeof(WorkItem)));
    if (item) {
        ZeroBytes(item, sizeof(*item));
        item->kind = kWorkStop;
        item->posted = 1;
        ps::QueuePush(drive->queue, &item->link);
        ps::EventSet(drive->queueEvent);
    } else {
        // No memory for the stop item: the worker still has to end. A stack item is safe
        // because we wait for the thread below and nobody frees it.
        static WorkItem emergency; // only ever used at teardown
        ZeroBytes(&emergency, sizeof(emergency));
        emergency.kind = kWorkStop;
        emergency.posted = 0;
        emergency.done = nullptr;
        ps::QueuePush(drive->queue, &emergency.link);
        ps::EventSet(drive->queueEvent);
    }
    ps::ThreadJoin(drive->worker);
    DestroySlot(drive);
}

} // namespace

bool CreateDriveSlots(Adapter* adapter, uint32_t count) {
    while (adapter->started < count) {
        DriveContext* drive = CreateSlot(adapter, adapter->started);
        if (!drive)
            return false;
        adapter->drives[adapter->started] = drive;
        __atomic_store_n(&adapter->started, adapter->started + 1, __ATOMIC_SEQ_CST);
    }
    return true;
}

bool PostAndWait(DriveContext* drive, uint8_t kind, void* parameter, uint8_t* reply) {
    WorkItem* item = static_cast<WorkItem*>(Allocate(ps::kPoolNonPaged, sizeof(WorkItem)));
    ps::Event* done = item ? ps::EventCreate(ps::kEventNotification, false) : nullptr;
    if (!done) {
        Release(item);
        DropUnrun(drive, kind, parameter);
        return false;
    }
    ZeroBytes(item, sizeof(*item));
    item->done = done;
    item->kind = kind;
    item->parameter = parameter;
    item->state = kItemQueued;
    ps::QueuePush(drive->queue, &item->link);
    ps::EventSet(drive->queueEvent);
    if (!ps::EventWaitFor(done, kControlWaitMs)) {
        // Given up: if it has not started it never will; if it runs, its result is lost. The
        // worker frees it either way.
        if (Advance(item, kItemQueued, kItemAbandoned) ||
            Advance(item, kItemRunning, kItemAbandoned))
            return false;
        // Done just now: the worker is setting the event, the last thing it touches.
        if (!ps::EventWaitFor(done, kControlWaitMs))
            return false; // the worker stopped in between: leaked rather than freed under it
    }
    bool ok = item->result == 1;
    if (ok && reply)
        CopyBytes(reply, item->reply, sizeof(item->reply));
    FreeWaited(item);
    return ok;
}

void CancelDiscReads(DriveContext* drive) {
    __atomic_fetch_add(&drive->detachPending, 1u, __ATOMIC_SEQ_CST);
    ps::ThreadCancelIo(drive->worker);
}

void RestartMediaTimer(DriveContext* drive) {
    ps::TimerSet(drive->timer, kMediaChangeDelay100ns, true);
}

Adapter* AdapterCreate(void* port) {
    Adapter* adapter = static_cast<Adapter*>(Allocate(ps::kPoolNonPaged, sizeof(Adapter)));
    if (!adapter)
        return nullptr;
    ZeroBytes(adapter, sizeof(*adapter));
    adapter->port = port;
    adapter->controlLock = ps::EventCreate(ps::kEventSynchronization, true);
    if (!adapter->controlLock) {
        Release(adapter);
        return nullptr;
    }
    uint32_t count = 1;
    if (!ps::ReadNumberOfDrives(&count))
        count = 1;
    count = Min(count, kMaxDrives);
    if (count == 0)
        count = 1;
    CreateDriveSlots(adapter, count); // keeps what could be started
    adapter->driveCount = adapter->started;
    if (adapter->started == 0) {
        ps::EventDestroy(adapter->controlLock);
        Release(adapter);
        return nullptr;
    }
    return adapter;
}

void AdapterDestroy(Adapter* adapter) {
    if (!adapter)
        return;
    for (uint32_t i = 0; i < adapter->started; ++i)
        StopSlot(adapter->drives[i]);
    ps::EventDestroy(adapter->controlLock);
    Release(adapter);
}

void ResetBus(Adapter* adapter) {
    uint32_t started = __atomic_load_n(&adapter->started, __ATOMIC_SEQ_CST);
    for (uint32_t i = 0; i < started; ++i) {
        DriveContext* drive = adapter->drives[i];
        __atomic_fetch_add(&drive->resets, 1u, __ATOMIC_SEQ_CST);
        ps::ThreadCancelIo(drive->worker); // the request in progress ends as reset
    }
}

void StartIo(Adapter* adapter, ScsiRequest* request) {
    request->senseDelivered = 0;
    request->scsiStatus = kScsiStatusGood;
    uint8_t status = kSrbStatusInvalidRequest;
    switch (request->function) {
    case kSrbFunctionExecuteScsi:
        if (request->pathId != 0) {
            status = kSrbStatusInvalidPathId;
        } else if (request->targetId >= __atomic_load_n(&adapter->driveCount, __ATOMIC_SEQ_CST) ||
                   request->targetId >= __atomic_load_n(&adapter->started, __ATOMIC_SEQ_CST)) {
            status = kSrbStatusInvalidTargetId;
        } else if (request->lun != 0) {
            status = kSrbStatusInvalidLun;
        } else {
            DriveContext* drive = adapter->drives[request->targetId];
            WorkItem* item = &request->item;
            ZeroBytes(item, sizeof(*item));
            item->kind = kWorkScsi;
            item->posted = 1;
            item->request = request;
            item->epoch = __atomic_load_n(&drive->resets, __ATOMIC_SEQ_CST);
            ps::QueuePush(drive->queue, &item->link);
            ps::EventSet(drive->queueEvent);
            return;
        }
        break;
    case kSrbFunctionShutdown:
    case kSrbFunctionFlush:
    case kSrbFunctionPnp:
        status = kSrbStatusSuccess;
        break;
    default:
        break;
    }
    request->srbStatus = status;
    if (status != kSrbStatusSuccess)
        request->transferLength = 0;
    ps::NotifyRequestComplete(adapter->port, request);
}

} // namespace vostrale
