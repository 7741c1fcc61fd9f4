// Reads the file system inside a disc image: recognises ISO 9660 and UDF volume descriptors,
// mounts a UDF volume (physical, virtual-allocation-table and metadata partitions) and builds
// a tree of its directories and files. All reads go through a small SCSI-style command
// interface on 2048-byte sectors, so the same reader could run against a real drive.
//
// Everything read from the image is treated as hostile: lengths and counts are checked against
// the buffers and the image, and the tree build is bounded in depth, node count, extents and
// bytes read, so a damaged or cyclic tree ends quickly with what was found.
#pragma once

#include "formats/arena.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vostrale {

inline constexpr uint32_t kUdfSectorSize = 2048;

enum ScsiOperation : uint8_t {
    kScsiReadCapacity = 0x25,
    kScsiRead10 = 0x28,
};

enum CommandDirection : uint8_t {
    kDirectionNone = 0,
    kDirectionIn = 1,
};

// One command block as a drive would get it.
struct DeviceCommand {
    uint8_t cdb[16] = {};
    void* data = nullptr;
    uint32_t transferLength = 0; // bytes
    uint8_t cdbLength = 10;
    uint8_t direction = kDirectionIn;
    uint32_t timeoutSeconds = 10;
};

class BlockCommandDevice {
  public:
    virtual ~BlockCommandDevice() = default;
    // True for a physical drive, false for an image.
    virtual bool IsPhysicalDrive() const = 0;
    virtual bool IsReady() const = 0;
    // Runs one command; true on success.
    virtual bool Execute(DeviceCommand* command) = 0;
    virtual bool IsReadOnly() const = 0;
    virtual void Close() = 0;
};

// The image as a device of 2048-byte sectors. A raw image (2352 bytes per sector) is seen
// through each sector's user data: 16 bytes in for Mode 1, 24 for Mode 2 Form 1.
// Understands READ CAPACITY and READ(10); any other command succeeds and transfers nothing.
class ImageBlockDevice final : public BlockCommandDevice {
  public:
    ImageBlockDevice(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector);
    bool IsPhysicalDrive() const override { return false; }
    bool IsReady() const override { return true; }
    bool Execute(DeviceCommand* command) override;
    bool IsReadOnly() const override { return true; }
    void Close() override {} // the image handle belongs to the caller

  private:
    bool ReadSectors(uint32_t first, uint32_t count, uint8_t* out);

    platform::NativeFile m_file;
    uint64_t m_sectorCount;
    uint32_t m_bytesPerSector;
    std::vector<uint8_t> m_raw;
};

enum RecognitionFlag : uint32_t {
    kSeenIsoPrimary = 1u << 0,
    kSeenIsoSupplementary = 1u << 1,
    kSeenNsr02 = 1u << 2,
    kSeenNsr03 = 1u << 3,
};

enum ExtentKind : uint16_t {
    kExtentUnresolved = 0, // short form, partition not yet known
    kExtentInPartition = 1,
    kExtentEmbedded = 3, // data inside a file entry: location = its sector, offset = data start
};

struct ExtentRef {
    uint16_t kind = kExtentUnresolved;
    uint16_t partitionOrOffset = 0;
    uint32_t location = 0;
    uint32_t length = 0; // bytes
};

struct FileExtent {
    uint32_t sector;      // physical
    uint32_t lengthField; // raw: extent type in the top two bits, bytes below
    uint16_t partitionRef;
};

struct DirectoryNode {
    DirectoryNode* firstChild;
    DirectoryNode* nextSibling;
    DirectoryNode* parent;
    bool isDirectory;
    uint32_t entrySector; // physical sector of the node's file entry
    uint32_t entryLength;
    // Directories.
    ExtentRef data;
    uint32_t dataSector;
    // Files.
    uint64_t informationLength;
    uint32_t extentCount;
    FileExtent* extents;
    const char* name; // NUL-terminated, 8-bit
};

enum PartitionMapKind : uint8_t {
    kMapPhysical = 0,
    kMapVirtual = 1,
    kMapSparable = 2,
    kMapMetadata = 3,
    kMapOtherType2 = 4,
};

struct PartitionDescriptorRecord {
    uint32_t start;
    uint32_t length;
    uint16_t number;
};

struct MapExtent {
    uint16_t partitionRef;
    uint32_t start;
    uint32_t blocks;
};

struct PartitionMapEntry {
    uint8_t type;
    uint8_t kind; // PartitionMapKind
    uint16_t partitionNumber;
    const PartitionDescriptorRecord* descriptor;
    uint32_t extentCount;
    MapExtent* extents;
    uint32_t metadataFile; // metadata maps only
    uint32_t metadataMirror;
};

// Limits that keep a hostile image from making the reader slow or large.
struct ReaderLimits {
    uint32_t maxDepth = 64;
    uint32_t maxNodes = 1u << 18;
    uint32_t maxExtents = 1u << 20;              // over all files
    uint32_t maxContinuationsPerFile = 256;      // blocks of further allocation descriptors
    uint32_t maxDirectoryBytes = 16u << 20;      // one directory
    uint64_t maxBytesRead = uint64_t(256) << 20; // directories and file entries together
    uint32_t cacheSectors = 128;                 // run read ahead on a miss
};

class UdfReader {
  public:
    UdfReader();
    ~UdfReader();
    UdfReader(const UdfReader&) = delete;
    UdfReader& operator=(const UdfReader&) = delete;

    // Opens the image through an ImageBlockDevice of its own. False when recognition, the
    // volume mount or the tree build failed; RecognitionFlags() is valid either way.
    bool Open(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector);
    // Same on a device the caller owns and keeps.
    bool Open(BlockCommandDevice* device);
    void Close();

    uint32_t RecognitionFlags() const { return m_flags; }
    const DirectoryNode* Root() const { return m_root; }
    // True when a bound stopped the tree build early.
    bool TreeTruncated() const { return m_truncated; }
    // Memory held: arena chunks for the tree, and the read-ahead run.
    size_t ArenaBytes() const { return m_arena.ChunkCount() * m_arena.ChunkSize(); }
    size_t CacheBytes() const { return m_cache.size(); }
    uint32_t NodeCount() const { return m_nodeCount; }

    // Reads `length` bytes from the start of physical sector `sector`.
    bool ReadBytes(uint32_t sector, void* out, uint32_t length);

  private:
    bool Run(); // recognition, mount and tree build on m_device
    bool Recognize();
    bool MountVolume();
    bool ParseLogicalVolume(const uint8_t* lvd);
    bool LoadMetadataPartition(PartitionMapEntry* map);
    bool LoadVirtualTable(PartitionMapEntry* map, uint16_t physical);
    // Last addressable sector as READ CAPACITY reports it; false when unknown or empty.
    bool LastSector(uint32_t* last);
    bool MapBlock(uint16_t partitionRef, uint32_t block, uint32_t* sector) const;
    bool ReadEntrySector(uint32_t sector, uint8_t* out);
    bool InCache(uint32_t sector, uint32_t count) const;
    void LoadCache(uint32_t sector);
    bool ReadSectors(uint32_t first, uint32_t count, uint8_t* out, uint32_t* got);
    bool ReadRange(uint32_t sector, uint32_t length, std::vector<uint8_t>* out);
    bool DirectoryFromEntry(const uint8_t* entry, uint32_t entrySector, uint16_t icbPartition,
                            DirectoryNode* dir);
    bool FileFromEntry(const uint8_t* entry, uint16_t icbPartition, DirectoryNode* node);
    bool CollectExtents(const uint8_t* ads, uint32_t length, uint8_t form, uint16_t icbPartition,
                        std::vector<FileExtent>* out);
    bool ReadDirectoryData(const DirectoryNode* dir, std::vector<uint8_t>* out);
    void BuildChildren(DirectoryNode* dir, uint32_t depth);
    bool Charge(uint64_t bytes);

    BlockCommandDevice* m_device = nullptr;
    bool m_ownsDevice = false;
    NodeArena m_arena;
    ReaderLimits m_limits;
    uint32_t m_flags = 0;
    PartitionDescriptorRecord m_partitions[2] = {};
    uint32_t m_partitionCount = 0;
    PartitionMapEntry* m_maps = nullptr;
    uint32_t m_mapCount = 0;
    uint16_t m_defaultPartition = 0;
    uint32_t m_fileSetBlock = 0;
    std::vector<std::vector<MapExtent>> m_tables; // extents of type 2 maps
    std::vector<uint8_t> m_scratch;               // descriptor sequence, directory data
    std::vector<uint8_t> m_scratchEntry;          // single-sector reads
    std::vector<uint8_t> m_entry;                 // one file entry
    std::vector<uint8_t> m_continuation;          // descriptors of a continuation block
    std::vector<uint8_t> m_cache;                 // one contiguous run of sectors
    uint32_t m_cacheFirst = 0;
    uint32_t m_cacheCount = 0;
    uint32_t m_lastSector = 0xFFFFFFFF;
    DirectoryNode* m_root = nullptr;
    uint32_t m_nodeCount = 0;
    uint32_t m_extentTotal = 0;
    uint64_t m_bytesRead = 0;      // charged against maxBytesRead
    uint64_t m_requestedBytes = 0; // asked of ReadRange
    uint64_t m_deviceBytes = 0;    // transferred by the device
    bool m_truncated = false;
};

// The probe's classification on any device: MediumKind or 0, and the DVD region byte.
// May throw on memory exhaustion; ProbeVolume wraps it.
uint8_t ClassifyVolume(BlockCommandDevice* device, uint8_t* regionByte);

} // namespace vostrale
