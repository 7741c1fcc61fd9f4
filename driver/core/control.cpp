// The private control request: a 16-byte header and a body, one buffer for request and reply.
#include "common/bytes.h"
#include "driver/core/drive.h"

namespace vostrale {
namespace {

constexpr uint32_t kHeaderSize = sizeof(ControlHeader);
constexpr uint32_t kHeaderCodeOffset = 4;
constexpr uint32_t kHeaderBodyLengthOffset = 8;
constexpr uint32_t kHeaderValueOffset = 12;

constexpr uint32_t kSetCountBody = 4;
constexpr uint32_t kQueryBody = 8;
constexpr uint32_t kLayoutBody = 8;
constexpr uint32_t kVersionBody = 4;
constexpr uint8_t kVersionMajor = 1;
constexpr uint8_t kVersionMinor = 0;

// Serialises control requests that change the slots (drive count, mounts). Bounded like the
// waits for workers: a request that cannot have it in time is refused.
struct ControlLock {
    explicit ControlLock(Adapter* a)
        : adapter(a), held(ps::EventWaitFor(adapter->controlLock, kControlWaitMs)) {}
    ~ControlLock() {
        if (held)
            ps::EventSet(adapter->controlLock);
    }
    Adapter* adapter;
    bool held;
};

uint32_t DriveCountOf(Adapter* adapter) {
    return __atomic_load_n(&adapter->driveCount, __ATOMIC_SEQ_CST);
}

DriveContext* StartedDrive(Adapter* adapter, uint32_t index) {
    if (index >= __atomic_load_n(&adapter->started, __ATOMIC_SEQ_CST))
        return nullptr;
    return adapter->drives[index];
}

bool HasImage(DriveContext* drive) {
    return drive && __atomic_load_n(&drive->attached, __ATOMIC_SEQ_CST) != 0;
}

// Bit of the lowest region the disc allows, or 0 when it bars every region.
uint8_t LowestAllowedRegion(uint8_t regionByte) {
    for (uint32_t bit = 0; bit < 8; ++bit) {
        if (!(regionByte & (1u << bit)))
            return uint8_t(1u << bit);
    }
    return 0;
}

bool SetDriveCount(Adapter* adapter, const uint8_t* body, uint32_t bodyLength) {
    if (bodyLength != kSetCountBody)
        return false;
    uint32_t count = body[0];
    bool persist = body[1] == 1;
    if (count > kMaxDrives)
        return false;
    ControlLock lock(adapter);
    if (!lock.held)
        return false;
    if (count == DriveCountOf(adapter))
        return true;
    if (!CreateDriveSlots(adapter, count))
        return false;
    __atomic_store_n(&adapter->driveCount, count, __ATOMIC_SEQ_CST);
    if (persist)
        ps::WriteNumberOfDrives(count);
    ps::NotifyBusChange(adapter->port);
    return true;
}

bool Mount(Adapter* adapter, uint8_t* buffer, uint32_t inputLength, uint32_t index) {
    if (inputLength < kMountRequestSize)
        return false;
    // The record lives in the request buffer; everything is read from this one copy.
    MountRecord record;
    CopyBytes(&record, buffer + kHeaderSize, sizeof(record));
    ControlLock lock(adapter);
    if (!lock.held || index >= DriveCountOf(adapter))
        return false;
    DriveContext* drive = StartedDrive(adapter, index);
    if (!drive)
        return false;
    Disc* disc = PrepareDisc(record);
    if (!disc)
        return false;
    // The bound holds for the adapter as a whole (the disc being replaced still counts).
    if (PagedBytesInUse() > kMaxPinnedBytes) {
        FreeDisc(disc);
        return false;
    }
    CancelDiscReads(drive); // the disc it replaces is read no more
    if (!PostAndWait(drive, kWorkMount, disc)) // takes the disc in any case
        return false;
    StoreLe32(buffer + kHeaderValueOffset, StatusOf(drive));
    return true;
}

bool Unmount(Adapter* adapter, uint8_t* buffer, uint32_t index) {
    ControlLock lock(adapter);
    DriveContext* drive = StartedDrive(adapter, index);
    if (!lock.held || !HasImage(drive))
        return false;
    CancelDiscReads(drive);
    if (!PostAndWait(drive, kWorkUnmount, nullptr))
        return false;
    StoreLe32(buffer + kHeaderValueOffset, StatusOf(drive));
    return true;
}

bool UnmountAll(Adapter* adapter) {
    ControlLock lock(adapter);
    if (!lock.held)
        return false;
    bool ok = true;
    for (uint32_t i = 0; i < kMaxDrives; ++i) {
        DriveContext* drive = StartedDrive(adapter, i);
        if (!HasImage(drive))
            continue;
        CancelDiscReads(drive);
        if (!PostAndWait(drive, kWorkUnmount, nullptr))
            ok = false;
    }
    return ok;
}

bool QueryDrive(Adapter* adapter, uint8_t* buffer, uint32_t bodyLength, uint32_t outputLength,
                uint32_t index, uint32_t* replyLength) {
    if (bodyLength != kQueryBody || outputLength < kHeaderSize + kQueryBody)
        return false;
    DriveContext* drive = StartedDrive(adapter, index);
    if (!HasImage(drive))
        return false;
    uint8_t reply[kQueryBody] = {};
    if (!PostAndWait(drive, kWorkQuery, nullptr, reply))
        return false;
    CopyBytes(buffer + kHeaderSize, reply, sizeof(reply));
    StoreLe32(buffer + kHeaderValueOffset, StatusOf(drive));
    *replyLength = kHeaderSize + kQueryBody;
    return true;
}

} // namespace

// Applies the region rule; called by the worker when a disc is attached.
void ApplyDiscRegion(DriveContext* drive, uint8_t regionByte) {
    if (!(regionByte & drive->region))
        return;
    uint8_t allowed = LowestAllowedRegion(regionByte);
    if (allowed)
        drive->region = allowed;
}

bool ControlRequest(Adapter* adapter, uint8_t* buffer, uint32_t inputLength, uint32_t outputLength,
                    uint32_t* replyLength) {
    *replyLength = kHeaderSize;
    if (!adapter || !buffer || inputLength < kHeaderSize || outputLength < kHeaderSize)
        return false;
    // Each header field is read once.
    uint32_t magic = LoadLe32(buffer);
    uint32_t code = LoadLe32(buffer + kHeaderCodeOffset);
    uint32_t bodyLength = LoadLe32(buffer + kHeaderBodyLengthOffset);
    uint32_t value = LoadLe32(buffer + kHeaderValueOffset);
    if (magic != kControlMagic || value >= kMaxDrives || bodyLength > inputLength - kHeaderSize)
        return false;
    uint8_t* body = buffer + kHeaderSize;

    switch (code) {
    case kCtlPing:
        return true;
    case kCtlSetDriveCount:
        return SetDriveCount(adapter, body, bodyLength);
    case kCtlGetDriveCount:
        StoreLe32(buffer + kHeaderValueOffset, DriveCountOf(adapter));
        return true;
    case kCtlQueryDrive:
        return QueryDrive(adapter, buffer, bodyLength, outputLength, value, replyLength);
    case kCtlGetLayoutSizes:
        if (bodyLength == kLayoutBody && outputLength >= kHeaderSize + kLayoutBody) {
            StoreLe32(body, kMountRequestSize);
            StoreLe32(body + 4, sizeof(TrackEntry));
            *replyLength = kHeaderSize + kLayoutBody;
        }
        return true;
    case kCtlMount:
        return Mount(adapter, buffer, inputLength, value);
    case kCtlUnmount:
        return Unmount(adapter, buffer, value);
    case kCtlCountMounted: {
        uint32_t mounted = 0;
        for (uint32_t i = 0; i < kMaxDrives; ++i)
            mounted += HasImage(StartedDrive(adapter, i)) ? 1 : 0;
        StoreLe32(buffer + kHeaderValueOffset, mounted);
        return true;
    }
    case kCtlUnmountAll:
        return UnmountAll(adapter);
    case kCtlFindFreeDrive: {
        uint32_t free = kMaxDrives;
        for (uint32_t i = 0; i < kMaxDrives && free == kMaxDrives; ++i) {
            if (!HasImage(StartedDrive(adapter, i)))
                free = i;
        }
        StoreLe32(buffer + kHeaderValueOffset, free);
        return true;
    }
    case kCtlGetVersion:
        if (bodyLength == kVersionBody && outputLength >= kHeaderSize + kVersionBody) {
            ZeroBytes(body, kVersionBody);
            body[2] = kVersionMajor;
            body[3] = kVersionMinor;
            *replyLength = kHeaderSize + kVersionBody;
        }
        return true;
    default:
        return false;
    }
}

} // namespace vostrale
