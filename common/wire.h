// Records and codes exchanged between the tray program and the driver. Every record is
// packed, little-endian, and pinned by size and field-offset checks: the same bytes travel
// through DeviceIoControl and are read by the engine.
#pragma once

#include "common/kstd.h"

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "wire records assume a little-endian target"
#endif

namespace vostrale {

constexpr uint32_t kMaxDrives = 7;           // drive indexes 0..6
constexpr uint32_t kControlIoctl = 0x43334;  // CTL_CODE(FILE_DEVICE_CONTROLLER, 0xCCD, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t kControlMagic = 0xABCD9527;
constexpr uint32_t kMountRequestSize = 128;  // header + MountRecord
constexpr uint32_t kCdSectorSize = 2352;
constexpr uint32_t kUserDataSize = 2048;
constexpr uint32_t kSubchannelSize = 96;
constexpr uint32_t kSamplesPerSector = 588;  // 16-bit stereo frames in one CD-DA sector
constexpr int32_t kMsfOffset = 150;          // MSF = LBA + 150

enum MediumKind : uint8_t {
    kMediumNone = 0,
    kMediumCd = 1,
    kMediumDvd = 2,
    kMediumHdDvd = 3,
    kMediumBd = 4,
};

enum ReaderKind : uint8_t {
    kReaderPlainFile = 1,
    kReaderFileList = 2,
    kReaderCcd = 3,
    kReaderMds = 4,
    kReaderNrg = 5,
    kReaderIsz = 6,
    kReaderFlac = 7,
    kReaderApe = 8,
    kReaderWav = 9,
    kReaderMultiFile = 10, // several files, each run of the track table names its file
};

// How the driver reaches the sectors of one file of a multi-file disc (DiscFileEntry::kind).
enum DiscFileKind : uint8_t {
    kDiscFileRaw = 1,  // stored sectors at the runs' strides (BIN, WAV samples)
    kDiscFileFlac = 7, // decoded through its seek table
    kDiscFileApe = 8,
};

constexpr uint32_t kMaxDiscFiles = 99;

// MMC expected-sector-type codes, as stored in TrackEntry::sectorType.
enum SectorType : uint8_t {
    kSectorUnknown = 0,
    kSectorCdda = 1,
    kSectorMode1 = 2,
    kSectorMode2Formless = 3,
    kSectorMode2Form1 = 4,
    kSectorMode2Form2 = 5,
};

// TrackEntry::flags.
enum RunFlags : uint8_t {
    kRunPregap = 0x01, // the run is the pregap (INDEX 00) of the track that starts at its end
};

// TrackEntry::parts: which parts of the raw sector the file stores besides the user data.
enum SectorParts : uint8_t {
    kPartSync = 0x01,
    kPartHeader = 0x02,
    kPartSubheader = 0x04,
    kPartEdcEcc = 0x08,
};

enum ControlCode : uint32_t {
    kCtlPing = 0,
    kCtlSetDriveCount = 1,
    kCtlGetDriveCount = 2,
    kCtlQueryDrive = 3,
    kCtlGetLayoutSizes = 4,
    kCtlMount = 5,
    kCtlUnmount = 6,
    kCtlCountMounted = 7,
    kCtlUnmountAll = 8,
    kCtlFindFreeDrive = 9,
    kCtlGetVersion = 10,
};

enum DriveStatusBits : uint32_t {
    kStatusLoaded = 0x1,
    kStatusAttached = 0x2,
    kStatusChanging = 0x4,
    kStatusUnitAttention = 0x8,
};

enum ChunkStorage : uint32_t {
    kChunkZeros = 0,
    kChunkStored = 1,
    kChunkZlib = 2,
    kChunkBzip2 = 3,
};

#pragma pack(push, 1)

struct ControlHeader {
    uint32_t magic;
    uint32_t code;
    uint32_t bodyLength;  // buffer size minus 16
    uint32_t value;       // drive index in requests, a number in several replies
};

// The disc description filled by one image parser and sent as the mount request body.
// Fields from offset 68 on depend on the reader kind; see the accessors below.
struct MountRecord {
    uint64_t discIdentity;     // -> DiscIdentity (catalogue number, ISRCs), or 0
    uint32_t processId;
    uint32_t threadId;
    uint64_t imageHandle;      // main image file, 0 when none
    uint16_t bytesPerSector;   // 2048 or 2352 (ISZ: its sector size)
    uint16_t presetOne;        // 1, set by the mount flow
    uint8_t regionByte;        // DVD region mask: bit n set = barred from region n+1
    uint8_t reserved29[3];
    uint8_t mediumKind;        // MediumKind
    uint8_t readerKind;        // ReaderKind
    uint8_t sessions;
    uint8_t scrambled;         // CCD "DataTracksScrambled"
    uint32_t layer0Sectors;
    uint32_t totalSectors;     // lead-out LBA
    uint64_t trackTable;       // -> TrackTableHeader + TrackEntry[count], or 0
    uint64_t fullToc;          // -> READ TOC format 0010b reply, or 0
    uint64_t cdText;           // -> READ TOC format 0101b reply, or 0
    uint64_t kindPointer;      // CCD: .sub handle; FLAC/APE: SeekPoint table; ISZ: ChunkEntry table; list: string pool;
                               // multi-file: DiscFileEntry table
    uint32_t kindCount;        // FLAC/APE: seek entries; ISZ: chunks (list: low half of the segment table pointer);
                               // multi-file: files (1..99)
    uint32_t param80;          // FLAC: frames per seek entry; APE: total samples; ISZ: chunk size
    uint32_t param84;          // FLAC: sample rate; APE: first frame offset; ISZ: largest stored chunk; list: pool size
    uint32_t param88;          // FLAC: channels; APE: samples per frame; list: segment count
    uint32_t param92;          // FLAC: bits per sample; APE: decoded bytes per frame
    uint32_t param96;          // FLAC: block size; APE: version (u16) | bits per sample (u16) << 16
    uint32_t param100;         // FLAC: largest frame; APE: channels (u16) | level index (u16) << 16
    uint64_t param104;         // FLAC: total samples
};

struct TrackTableHeader {
    uint16_t count;
    uint16_t zero;
};

struct TrackEntry {
    uint8_t sectorType;      // SectorType
    uint8_t parts;           // SectorParts stored in the file (low nibble)
    uint8_t fileIndex;       // multi-file discs: the DiscFileEntry of the run; 0 otherwise
    uint8_t flags;           // RunFlags
    uint32_t firstLba;
    uint32_t endLba;         // exclusive
    uint32_t bytesPerSector; // 0: not stored, reads as zeros
    uint64_t fileOffset;
};

struct ChunkEntry {
    uint32_t kindAndLength;  // low 2 bits ChunkStorage, upper 30 bits stored length
    uint64_t fileOffset;     // 0 for zero chunks
};

struct SeekPoint {
    uint32_t sample;         // first stereo sample frame of the frame or group
    uint32_t fileOffset;
};

// One file of a multi-file disc (kind 10). Raw files are read at each run's offset and
// stride; a FLAC or APE file is decoded, and a run's fileOffset then counts bytes of its
// decoded 16-bit stereo samples (a multiple of 2352).
struct DiscFileEntry {
    uint64_t handle;     // in the sender's process, checked and duplicated like the main one
    uint8_t kind;        // DiscFileKind
    uint8_t zero[3];
    uint32_t seekCount;  // FLAC/APE: SeekPoint entries (the last marks the end)
    uint64_t seekTable;  // FLAC/APE: -> SeekPoint[seekCount]
    uint32_t param0;     // FLAC: block size; APE: version (u16) | bits per sample (u16) << 16
    uint32_t param1;     // FLAC: bits per sample; APE: channels (u16) | level index (u16) << 16
    uint64_t totalSamples; // FLAC/APE: stereo sample frames of the stream
};

// What a disc carries besides its tracks, pointed to by MountRecord::discIdentity. Unused
// fields are all zero.
struct DiscIdentity {
    char mcn[13];        // media catalogue number: 13 digits
    uint8_t zero[3];
    char isrc[99][12];   // ISRC of track n at [n - 1]: 5 characters 0-9/A-Z, then 7 digits
};

struct SegmentEntry {
    uint32_t firstLba;
    uint32_t lastLba;        // inclusive
    uint32_t nameOffset;     // into the string pool; kSegmentZeros: reads as zeros
    uint32_t reserved;
    uint64_t fileOffset;
};

#pragma pack(pop)

constexpr uint32_t kSegmentZeros = 0xFFFFFFFFu;

static_assert(sizeof(ControlHeader) == 16);
static_assert(offsetof(ControlHeader, code) == 4 && offsetof(ControlHeader, bodyLength) == 8 &&
              offsetof(ControlHeader, value) == 12);

static_assert(sizeof(MountRecord) == 112);
static_assert(offsetof(MountRecord, discIdentity) == 0);
static_assert(offsetof(MountRecord, processId) == 8);
static_assert(offsetof(MountRecord, threadId) == 12);
static_assert(offsetof(MountRecord, imageHandle) == 16);
static_assert(offsetof(MountRecord, bytesPerSector) == 24);
static_assert(offsetof(MountRecord, presetOne) == 26);
static_assert(offsetof(MountRecord, regionByte) == 28);
static_assert(offsetof(MountRecord, mediumKind) == 32);
static_assert(offsetof(MountRecord, readerKind) == 33);
static_assert(offsetof(MountRecord, sessions) == 34);
static_assert(offsetof(MountRecord, scrambled) == 35);
static_assert(offsetof(MountRecord, layer0Sectors) == 36);
static_assert(offsetof(MountRecord, totalSectors) == 40);
static_assert(offsetof(MountRecord, trackTable) == 44);
static_assert(offsetof(MountRecord, fullToc) == 52);
static_assert(offsetof(MountRecord, cdText) == 60);
static_assert(offsetof(MountRecord, kindPointer) == 68);
static_assert(offsetof(MountRecord, kindCount) == 76);
static_assert(offsetof(MountRecord, param80) == 80);
static_assert(offsetof(MountRecord, param84) == 84);
static_assert(offsetof(MountRecord, param88) == 88);
static_assert(offsetof(MountRecord, param92) == 92);
static_assert(offsetof(MountRecord, param96) == 96);
static_assert(offsetof(MountRecord, param100) == 100);
static_assert(offsetof(MountRecord, param104) == 104);
static_assert(kMountRequestSize == sizeof(ControlHeader) + sizeof(MountRecord));

static_assert(sizeof(TrackTableHeader) == 4);
static_assert(sizeof(TrackEntry) == 24);
static_assert(offsetof(TrackEntry, parts) == 1 && offsetof(TrackEntry, flags) == 3 &&
              offsetof(TrackEntry, firstLba) == 4 &&
              offsetof(TrackEntry, endLba) == 8 && offsetof(TrackEntry, bytesPerSector) == 12 &&
              offsetof(TrackEntry, fileOffset) == 16);

static_assert(offsetof(TrackEntry, fileIndex) == 2 && offsetof(TrackEntry, flags) == 3);

static_assert(sizeof(DiscFileEntry) == 40);
static_assert(offsetof(DiscFileEntry, kind) == 8 && offsetof(DiscFileEntry, seekCount) == 12 &&
              offsetof(DiscFileEntry, seekTable) == 16 && offsetof(DiscFileEntry, param0) == 24 &&
              offsetof(DiscFileEntry, param1) == 28 && offsetof(DiscFileEntry, totalSamples) == 32);
static_assert(sizeof(DiscIdentity) == 1204);
static_assert(offsetof(DiscIdentity, zero) == 13 && offsetof(DiscIdentity, isrc) == 16);

static_assert(sizeof(ChunkEntry) == 12 && offsetof(ChunkEntry, fileOffset) == 4);
static_assert(sizeof(SeekPoint) == 8 && offsetof(SeekPoint, fileOffset) == 4);
static_assert(sizeof(SegmentEntry) == 24);
static_assert(offsetof(SegmentEntry, lastLba) == 4 && offsetof(SegmentEntry, nameOffset) == 8 &&
              offsetof(SegmentEntry, fileOffset) == 16);

constexpr uint32_t TrackTableSize(uint32_t count) { return uint32_t(sizeof(TrackTableHeader)) + 24u * count; }

inline ChunkEntry MakeChunkEntry(ChunkStorage kind, uint32_t storedLength, uint64_t offset) {
    ChunkEntry e;
    e.kindAndLength = (storedLength << 2) | uint32_t(kind);
    e.fileOffset = offset;
    return e;
}
inline ChunkStorage ChunkKindOf(const ChunkEntry& e) { return ChunkStorage(e.kindAndLength & 3u); }
inline uint32_t ChunkLengthOf(const ChunkEntry& e) { return e.kindAndLength >> 2; }

// File list (kind 2) puts a 64-bit segment-table pointer at offset 76, across kindCount and param80.
inline uint64_t SegmentTablePointer(const MountRecord& r) {
    return uint64_t(r.kindCount) | (uint64_t(r.param80) << 32);
}
inline void SetSegmentTablePointer(MountRecord* r, uint64_t p) {
    r->kindCount = uint32_t(p);
    r->param80 = uint32_t(p >> 32);
}

} // namespace vostrale
