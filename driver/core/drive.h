// Internal state of the engine: adapter, drive slots, attached discs. Shared by the control
// handler, the workers, the MMC emulation and the image reader; not seen by the ports.
#pragma once

#include "common/wire.h"
#include "driver/core/engine.h"
#include "driver/core/platform_services.h"

namespace vostrale {

constexpr uint32_t kScratchSize = 4096; // one raw sector plus C2 and sub-channel appendix
constexpr uint32_t kStageSectors = 32;
constexpr uint32_t kStageSize = kStageSectors * (kCdSectorSize + kSubchannelSize);
constexpr uint32_t kReplyBufferSize = 2064; // the largest built reply (DVD physical format)
constexpr uint64_t kMediaChangeDelay100ns = 40000000; // 4 seconds
// How long a control request waits for the control lock and for a worker. A worker stuck in
// a file system must not hold the sender's thread for ever; the request is refused instead.
constexpr uint32_t kControlWaitMs = 30000;

// Caps on what a mount record may ask the driver to allocate.
constexpr uint32_t kMaxTrackEntries = 4096;
constexpr uint32_t kMaxPoolSize = 64 * 1024;
constexpr uint32_t kMaxSegments = 65536;
constexpr uint32_t kMaxPathLength = 1024;
constexpr uint32_t kMaxChunks = 1u << 22;
constexpr uint32_t kMaxChunkSize = 16u << 20;
constexpr uint32_t kMaxSeekPoints = 1u << 20;
// What all attached discs together may pin in paged pool: one record may take tens of MiB
// within the caps above, seven drives must not take seven times that.
constexpr uint64_t kMaxPinnedBytes = uint64_t(64) << 20;

// Reader results, turned into sense data by the command layer.
enum ReadStatus : uint8_t {
    kReadOk = 0,
    kReadInvalidField = 2,
    kReadIllegalMode = 3,
    kReadMediumError = 11,
    kReadOutOfRange = 21,
};

struct ReadResult {
    uint8_t status;
    uint32_t bytes;     // delivered into the caller's buffer
    uint32_t failedLba; // first LBA that could not be read (medium error)
    uint32_t sectors;   // raw reads: sectors whose records were delivered
};

inline ReadResult Result(uint8_t status, uint32_t bytes, uint32_t failedLba) {
    return ReadResult{status, bytes, failedLba, 0};
}

struct AudioDecoder; // FLAC groups (reader_audio.cpp)
struct IszState;     // chunk cache (reader_isz.cpp)
struct ApeState;     // APE frames (reader_ape.cpp)
struct MultiFileState; // files of a multi-file disc (reader_multi.cpp)

// Everything of one attached image. Built completely in the sender's context before the
// worker swaps it in, so the attach itself cannot fail.
struct Disc {
    ps::FileRef main;
    ps::FileRef sub;    // CCD sub-channel file
    ps::FileRef extra;  // file list: the cached second file
    uint32_t extraName; // its name offset in the pool
    ps::SecurityContext* security;
    uint8_t* scratch;
    // Read-ahead of stored sectors of one run, so that sector-by-sector paths read the file
    // in large pieces.
    uint8_t* stage;
    const TrackEntry* stageRun;
    uint32_t stageFirst;
    uint32_t stageCount;

    uint16_t bytesPerSector;
    uint8_t medium;
    uint8_t reader;
    uint8_t sessions;
    uint8_t scrambled;
    uint8_t regionByte;
    uint32_t layer0Sectors;
    uint32_t totalSectors;
    uint8_t discType; // A0 point's disc type: 0x00 CD-DA/CD-ROM, 0x10 CD-I, 0x20 CD-ROM XA

    TrackEntry* tracks;
    uint32_t trackCount;
    uint8_t* fullToc; // length field included
    uint32_t fullTocSize;
    uint8_t* cdText;
    uint32_t cdTextSize;

    // File list.
    char* pool;
    uint32_t poolSize;
    SegmentEntry* segments;
    uint32_t segmentCount;

    // What the disc carries besides its tracks: the media catalogue number (13 ASCII digits)
    // and each track's ISRC (12 ASCII characters), by track number (index 0 unused). A first
    // byte of 0 means the disc carries none.
    char mcn[13];
    char isrc[100][12];

    // WAV: where sector 0's samples start (the data chunk, record offset 84; 44 when unset).
    uint64_t audioOffset;

    IszState* isz;
    AudioDecoder* audio;
    ApeState* ape;
    MultiFileState* multi;
};

struct Sense {
    uint8_t key;
    uint8_t asc;
    uint8_t ascq;
    bool hasInformation;
    uint32_t information;
};

struct Adapter;

struct DriveContext {
    Adapter* adapter;
    uint32_t index;
    ps::Thread* worker;
    ps::Timer* timer;
    ps::Queue* queue;
    ps::Event* queueEvent;
    uint32_t status;   // DriveStatusBits; changed only with atomic operations
    uint32_t attached; // 1 while a disc is attached; read by the control handler
    Disc* disc;        // null when empty; owned by the worker
    uint32_t position; // current LBA for READ SUB-CHANNEL
    uint32_t resets;   // bus resets so far (atomic); older queued requests are not started
    // Mounts, unmounts and the stop queued and not yet run (atomic): the file reads of the
    // disc that goes away fail at once meanwhile, so they cannot keep it waiting.
    uint32_t detachPending;
    uint8_t region;    // one-hot drive region
    uint8_t lastMediaPresent;
    Sense sense;
    uint8_t reply[kReplyBufferSize]; // command replies are assembled here, then cut
};

struct Adapter {
    void* port;
    ps::Event* controlLock; // synchronization event used as a lock for control requests
    uint32_t driveCount;    // reported count (atomic reads)
    uint32_t started;       // slots with a running worker
    DriveContext* drives[kMaxDrives];
};

// ---- Status word (atomic) ----------------------------------------------------------------
inline uint32_t StatusOf(const DriveContext* d) {
    return __atomic_load_n(&d->status, __ATOMIC_SEQ_CST);
}
inline void StatusSet(DriveContext* d, uint32_t bits) {
    __atomic_fetch_or(&d->status, bits, __ATOMIC_SEQ_CST);
}
inline void StatusClear(DriveContext* d, uint32_t bits) {
    __atomic_fetch_and(&d->status, ~bits, __ATOMIC_SEQ_CST);
}
inline void StatusStore(DriveContext* d, uint32_t value) {
    __atomic_store_n(&d->status, value, __ATOMIC_SEQ_CST);
}
inline bool IsReady(const DriveContext* d) {
    uint32_t s = StatusOf(d);
    return (s & (kStatusLoaded | kStatusAttached)) == (kStatusLoaded | kStatusAttached);
}

// ---- Pool helpers --------------------------------------------------------------------------
void* Allocate(ps::PoolKind kind, uint64_t size); // null for 0, oversized or failed
void Release(void* block);
// Paged bytes the engine holds (discs, decoders, buffers). The driver serves one adapter, so
// this is the adapter's.
uint64_t PagedBytesInUse();

// ---- Drives (drive.cpp) ------------------------------------------------------------------
bool CreateDriveSlots(Adapter* adapter, uint32_t count);
// Post-and-wait, bounded by kControlWaitMs; false when the item could not be allocated, the
// work failed or took too long (the worker then skips it, or drops it when done). A mount's
// disc is always taken: attached by the worker or freed. A query's snapshot lands in `reply`.
bool PostAndWait(DriveContext* drive, uint8_t kind, void* parameter, uint8_t* reply = nullptr);
// A mount or unmount of the drive is coming: the reads of the current disc end at once.
void CancelDiscReads(DriveContext* drive);
void RestartMediaTimer(DriveContext* drive);
// Region rule at mount: a disc that bars the drive's region moves the drive to the lowest
// region the disc allows (none allowed: unchanged).
void ApplyDiscRegion(DriveContext* drive, uint8_t regionByte);

// ---- Discs (mount.cpp) -------------------------------------------------------------------
// In the sender's context: copies and checks everything the record points to and takes the
// file references. Null when the record is refused.
Disc* PrepareDisc(const MountRecord& record);
void FreeDisc(Disc* disc);
// On the worker.
void AttachDisc(DriveContext* drive, Disc* disc);
void DetachDisc(DriveContext* drive);

// ---- Image reader (reader.cpp) -----------------------------------------------------------
ReadResult ReadUserData(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba);
// `stride`: bytes per delivered record (fields + C2 + sub-channel).
ReadResult ReadRaw(Disc* disc, uint8_t* buffer, uint32_t bufferBytes, uint32_t count, uint32_t lba,
                   const uint8_t* cdb);
// The 96 linear sub-channel bytes stored for `lba`; false when none.
bool ReadSubchannel(Disc* disc, uint32_t lba, uint8_t* linear96);

// ---- Commands (mmc.cpp) ------------------------------------------------------------------
void ExecuteScsi(DriveContext* drive, ScsiRequest* request);

} // namespace vostrale
