#include "formats/udf_reader.h"

#include "common/bytes.h"

#include <cstring>
#include <string>

namespace vostrale {

namespace {

constexpr uint32_t kArenaChunk = 1u << 20;
constexpr uint32_t kMaxSectorsPerCommand = 32;
constexpr uint32_t kRawSectorSize = 2352;
constexpr uint32_t kRawModeOffset = 15;
constexpr uint32_t kMode1DataOffset = 16;
constexpr uint32_t kMode2DataOffset = 24;

// Volume recognition sequence.
constexpr uint32_t kRecognitionFirst = 16;
constexpr uint32_t kRecognitionCount = 10;
constexpr uint32_t kVsdType = 0;
constexpr uint32_t kVsdIdentifier = 1;
constexpr uint32_t kVsdVersion = 6;

// Descriptor tags.
constexpr uint16_t kTagPrimaryVolume = 1;
constexpr uint16_t kTagAnchor = 2;
constexpr uint16_t kTagImplementationUse = 4;
constexpr uint16_t kTagPartition = 5;
constexpr uint16_t kTagLogicalVolume = 6;
constexpr uint16_t kTagUnallocatedSpace = 7;
constexpr uint16_t kTagFileSet = 256;
constexpr uint16_t kTagFileIdentifier = 257;
constexpr uint16_t kTagAllocationExtent = 258;
constexpr uint16_t kTagFileEntry = 261;
constexpr uint16_t kTagExtendedFileEntry = 266;

constexpr uint32_t kAnchorSector = 256;
constexpr uint32_t kAnchorMainLength = 16;
constexpr uint32_t kAnchorMainLocation = 20;
constexpr uint32_t kMaxSequenceDescriptors = 256;
constexpr uint32_t kSequenceBatch = 16;

constexpr uint32_t kPartitionNumber = 22;
constexpr uint32_t kPartitionStart = 188;
constexpr uint32_t kPartitionLength = 192;

constexpr uint32_t kLvdFileSetLocation = 248; // long allocation descriptor
constexpr uint32_t kLvdMapCount = 268;
constexpr uint32_t kLvdMaps = 440;
constexpr uint32_t kMaxMaps = 64;
constexpr uint32_t kMapType1Length = 6;
constexpr uint32_t kMapType1Number = 4;
constexpr uint32_t kMapType2Length = 64;
constexpr uint32_t kMapType2Identifier = 5;
constexpr uint32_t kMapType2IdentifierLength = 23;
constexpr uint32_t kMapType2Number = 38;
constexpr uint32_t kMapMetadataFile = 40;
constexpr uint32_t kMapMetadataMirror = 44;

constexpr uint32_t kFsdRootIcb = 400;

// Long allocation descriptor.
constexpr uint32_t kLongAdSize = 16;
constexpr uint32_t kLongAdLength = 0;
constexpr uint32_t kLongAdBlock = 4;
constexpr uint32_t kLongAdPartition = 8;
constexpr uint32_t kShortAdSize = 8;

constexpr uint32_t kExtentLengthMask = 0x3FFFFFFF;
constexpr uint32_t kExtentTypeShift = 30;
constexpr uint32_t kExtentRecorded = 0;
constexpr uint32_t kExtentContinuation = 3;

// File entries.
constexpr uint32_t kIcbFileType = 27;
constexpr uint32_t kIcbFlags = 34;
constexpr uint8_t kIcbFormMask = 7;
constexpr uint8_t kFormShort = 0;
constexpr uint8_t kFormLong = 1;
constexpr uint8_t kFormEmbedded = 3;
constexpr uint32_t kEntryInformationLength = 56;
constexpr uint32_t kFeLengths = 168;
constexpr uint32_t kEfeLengths = 208;
constexpr uint8_t kFileTypeVat = 248;

constexpr uint32_t kAedLength = 20;
constexpr uint32_t kAedDescriptors = 24;

// File identifier descriptors.
constexpr uint32_t kFidCharacteristics = 18;
constexpr uint32_t kFidIdentifierLength = 19;
constexpr uint32_t kFidIcb = 20;
constexpr uint32_t kFidImplementationLength = 36;
constexpr uint32_t kFidFixedSize = 38;
constexpr uint8_t kFidDirectory = 1u << 1;
constexpr uint8_t kFidDeleted = 1u << 2;
constexpr uint8_t kNameUtf16 = 16;

constexpr uint32_t kVatLookBack = 3; // blocks before the last one that may hold the table
constexpr uint32_t kMaxVatBytes = 16u << 20;
constexpr uint32_t kUnusedVatEntry = 0xFFFFFFFF;
constexpr uint32_t kMaxMetadataExtents = 4096;

constexpr uint64_t kReadAheadAllowance = 64u << 20;

constexpr uint32_t kCapacityNone = 0xFFFFFF6A; // some drives report -150 for an empty disc

uint32_t SectorsFor(uint64_t bytes) {
    return uint32_t((bytes + kUdfSectorSize - 1) / kUdfSectorSize);
}

struct EntryLayout {
    uint32_t adOffset;
    uint32_t adLength;
    uint8_t form;
    uint8_t fileType;
    uint64_t informationLength;
};

// Where a file entry keeps its allocation descriptors; false for any other descriptor or when
// the lengths do not fit the block.
bool ParseEntry(const uint8_t* entry, EntryLayout* out) {
    uint16_t tag = LoadLe16(entry);
    uint32_t lengths;
    if (tag == kTagFileEntry)
        lengths = kFeLengths;
    else if (tag == kTagExtendedFileEntry)
        lengths = kEfeLengths;
    else
        return false;
    uint64_t eaLength = LoadLe32(entry + lengths);
    uint64_t adLength = LoadLe32(entry + lengths + 4);
    uint64_t adOffset = lengths + 8 + eaLength;
    if (!RangeFits(adOffset, adLength, kUdfSectorSize))
        return false;
    out->adOffset = uint32_t(adOffset);
    out->adLength = uint32_t(adLength);
    out->form = entry[kIcbFlags] & kIcbFormMask;
    out->fileType = entry[kIcbFileType];
    out->informationLength = LoadLe64(entry + kEntryInformationLength);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------

ImageBlockDevice::ImageBlockDevice(platform::NativeFile file, uint64_t fileSize,
                                   uint32_t bytesPerSector)
    : m_file(file),
      m_bytesPerSector(bytesPerSector == kRawSectorSize ? kRawSectorSize : kUdfSectorSize) {
    m_sectorCount = fileSize / m_bytesPerSector;
}

bool ImageBlockDevice::ReadSectors(uint32_t first, uint32_t count, uint8_t* out) {
    if (uint64_t(first) + count > m_sectorCount)
        return false;
    if (m_bytesPerSector == kUdfSectorSize)
        return platform::ReadExactlyAt(m_file, uint64_t(first) * kUdfSectorSize, out,
                                       size_t(count) * kUdfSectorSize);
    m_raw.resize(size_t(count) * kRawSectorSize);
    if (!platform::ReadExactlyAt(m_file, uint64_t(first) * kRawSectorSize, m_raw.data(),
                                 m_raw.size()))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* raw = m_raw.data() + size_t(i) * kRawSectorSize;
        uint32_t offset = raw[kRawModeOffset] == 2 ? kMode2DataOffset : kMode1DataOffset;
        std::memcpy(out + size_t(i) * kUdfSectorSize, raw + offset, kUdfSectorSize);
    }
    return true;
}

bool ImageBlockDevice::Execute(DeviceCommand* command) {
    switch (command->cdb[0]) {
    case kScsiReadCapacity: {
        constexpr uint32_t kReplySize = 8;
        if (command->data == nullptr || command->transferLength < kReplySize || m_sectorCount == 0)
            return false;
        uint64_t last = m_sectorCount - 1;
        StoreBe32(command->data, last > 0xFFFFFFFF ? 0xFFFFFFFF : uint32_t(last));
        StoreBe32(static_cast<uint8_t*>(command->data) + 4, kUdfSectorSize);
        return true;
    }
    case kScsiRead10: {
        uint32_t lba = LoadBe32(command->cdb + 2);
        uint32_t count = LoadBe16(command->cdb + 7);
        if (command->data == nullptr || uint64_t(count) * kUdfSectorSize > command->transferLength)
            return false;
        return ReadSectors(lba, count, static_cast<uint8_t*>(command->data));
    }
    default:
        return true;
    }
}

// ---------------------------------------------------------------------------------------------

UdfReader::UdfReader() : m_arena(kArenaChunk) {}

UdfReader::~UdfReader() {
    Close();
}

void UdfReader::Close() {
    m_arena.Release();
    m_scratch = {};
    m_entry = {};
    m_cache = {};
    m_tables.clear();
    m_cacheFirst = m_cacheCount = 0;
    m_lastSector = 0xFFFFFFFF;
    if (m_device != nullptr) {
        m_device->Close();
        if (m_ownsDevice)
            delete m_device;
    }
    m_device = nullptr;
    m_ownsDevice = false;
    m_maps = nullptr;
    m_mapCount = 0;
    m_partitionCount = 0;
    m_root = nullptr;
    m_nodeCount = 0;
    m_extentTotal = 0;
    m_bytesRead = 0;
    m_requestedBytes = 0;
    m_deviceBytes = 0;
    m_truncated = false;
}

bool UdfReader::Open(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector) {
    Close();
    m_device = new ImageBlockDevice(file, fileSize, bytesPerSector);
    m_ownsDevice = true;
    return Run();
}

bool UdfReader::Open(BlockCommandDevice* device) {
    Close();
    m_device = device;
    return Run();
}

bool UdfReader::Run() {
    m_flags = 0;
    m_entry.resize(kUdfSectorSize);
    m_scratch.reserve(kSequenceBatch * kUdfSectorSize);
    if (!Recognize())
        return false;
    if (!LastSector(&m_lastSector))
        m_lastSector = 0xFFFFFFFF;
    if (!MountVolume())
        return false;
    if (m_root != nullptr)
        BuildChildren(m_root, 0);
    return true;
}

bool UdfReader::ReadSectors(uint32_t first, uint32_t count, uint8_t* out, uint32_t* got) {
    *got = 0;
    while (*got < count) {
        uint32_t run = Min(count - *got, kMaxSectorsPerCommand);
        DeviceCommand command;
        command.cdb[0] = kScsiRead10;
        StoreBe32(command.cdb + 2, first + *got);
        StoreBe16(command.cdb + 7, uint16_t(run));
        command.data = out + size_t(*got) * kUdfSectorSize;
        command.transferLength = run * kUdfSectorSize;
        if (uint64_t(first) + *got + run > 0x100000000ull || !m_device->Execute(&command))
            break;
        *got += run;
        m_deviceBytes += uint64_t(run) * kUdfSectorSize;
    }
    return *got == count;
}

bool UdfReader::InCache(uint32_t sector, uint32_t count) const {
    return sector >= m_cacheFirst && sector - m_cacheFirst < m_cacheCount &&
           count <= m_cacheCount - (sector - m_cacheFirst);
}

// File entries and folders of one disc lie close together (inside the metadata file where
// there is one), so a miss loads a run of sectors from the missing one onwards. One reused
// run keeps memory flat however large the file system is.
void UdfReader::LoadCache(uint32_t sector) {
    m_cacheCount = 0;
    if (sector > m_lastSector)
        return;
    uint32_t count =
        uint32_t(Min<uint64_t>(m_limits.cacheSectors, uint64_t(m_lastSector) - sector + 1));
    m_cache.resize(size_t(m_limits.cacheSectors) * kUdfSectorSize);
    uint32_t got = 0;
    ReadSectors(sector, count, m_cache.data(), &got);
    m_cacheFirst = sector;
    m_cacheCount = got;
}

bool UdfReader::ReadRange(uint32_t sector, uint32_t length, std::vector<uint8_t>* out) {
    uint32_t count = SectorsFor(length);
    size_t base = out->size();
    m_requestedBytes += length;
    // Read-ahead that keeps missing is wasted work: past a bound, read only what is asked.
    bool readAhead = m_deviceBytes <= 4 * m_requestedBytes + kReadAheadAllowance;
    if (count != 0 && count <= m_limits.cacheSectors) {
        if (!InCache(sector, count) && readAhead)
            LoadCache(sector);
        if (InCache(sector, count)) {
            const uint8_t* from = m_cache.data() + size_t(sector - m_cacheFirst) * kUdfSectorSize;
            out->insert(out->end(), from, from + length);
            return true;
        }
    }
    // A run past the end of the image is refused before any buffer is sized for it.
    if (count != 0 && (sector > m_lastSector || count - 1 > m_lastSector - sector))
        return false;
    out->resize(base + size_t(count) * kUdfSectorSize);
    uint32_t got = 0;
    bool ok = ReadSectors(sector, count, out->data() + base, &got);
    out->resize(ok ? base + length : base);
    return ok;
}

bool UdfReader::ReadBytes(uint32_t sector, void* out, uint32_t length) {
    if (m_device == nullptr)
        return false;
    std::vector<uint8_t> data;
    if (!ReadRange(sector, length, &data))
        return false;
    std::memcpy(out, data.data(), length);
    return true;
}

bool UdfReader::ReadEntrySector(uint32_t sector, uint8_t* out) {
    std::vector<uint8_t>& buffer = m_scratchEntry;
    buffer.clear();
    if (!ReadRange(sector, kUdfSectorSize, &buffer))
        return false;
    std::memcpy(out, buffer.data(), kUdfSectorSize);
    return true;
}

bool UdfReader::Charge(uint64_t bytes) {
    m_bytesRead += bytes;
    if (m_bytesRead <= m_limits.maxBytesRead)
        return true;
    m_truncated = true;
    return false;
}

// ---------------------------------------------------------------------------------------------

bool UdfReader::Recognize() {
    std::vector<uint8_t> sectors(size_t(kRecognitionCount) * kUdfSectorSize);
    uint32_t got = 0;
    if (!ReadSectors(kRecognitionFirst, kRecognitionCount, sectors.data(), &got))
        return false;
    for (uint32_t i = 0; i < kRecognitionCount; ++i) {
        const uint8_t* vsd = sectors.data() + size_t(i) * kUdfSectorSize;
        const uint8_t* id = vsd + kVsdIdentifier;
        if (std::memcmp(id, "CD001", 5) == 0) {
            if (vsd[kVsdType] == 1)
                m_flags |= kSeenIsoPrimary;
            else if (vsd[kVsdType] == 2)
                m_flags |= kSeenIsoSupplementary;
        } else if (std::memcmp(id, "NSR02", 5) == 0) {
            m_flags |= kSeenNsr02;
        } else if (std::memcmp(id, "NSR03", 5) == 0) {
            m_flags |= kSeenNsr03;
        }
        if (vsd[kVsdVersion] == 0)
            break;
    }
    return (m_flags & (kSeenNsr02 | kSeenNsr03)) != 0;
}

bool UdfReader::MountVolume() {
    uint8_t anchor[kUdfSectorSize];
    if (!ReadEntrySector(kAnchorSector, anchor) || LoadLe16(anchor) != kTagAnchor)
        return false;
    uint32_t sequenceLength = LoadLe32(anchor + kAnchorMainLength);
    uint32_t sequenceStart = LoadLe32(anchor + kAnchorMainLocation);
    uint32_t descriptors = Min(sequenceLength / kUdfSectorSize, kMaxSequenceDescriptors);

    bool haveVolume = false;
    bool ended = false;
    for (uint32_t done = 0; done < descriptors && !ended;) {
        uint32_t batch = Min(descriptors - done, kSequenceBatch);
        m_scratch.clear();
        if (!ReadRange(sequenceStart + done, batch * kUdfSectorSize, &m_scratch))
            return false;
        for (uint32_t i = 0; i < batch && !ended; ++i) {
            const uint8_t* d = m_scratch.data() + size_t(i) * kUdfSectorSize;
            switch (LoadLe16(d)) {
            case kTagPrimaryVolume:
            case kTagImplementationUse:
            case kTagUnallocatedSpace:
                break;
            case kTagPartition:
                // Room for two partitions; a further one is ignored.
                if (m_partitionCount < CountOf(m_partitions)) {
                    PartitionDescriptorRecord& p = m_partitions[m_partitionCount++];
                    p.number = LoadLe16(d + kPartitionNumber);
                    p.start = LoadLe32(d + kPartitionStart);
                    p.length = LoadLe32(d + kPartitionLength);
                }
                break;
            case kTagLogicalVolume:
                if (!ParseLogicalVolume(d))
                    return false;
                haveVolume = true;
                break;
            default:
                ended = true;
                break;
            }
        }
        done += batch;
    }
    if (!haveVolume)
        return false;

    for (uint32_t i = 0; i < m_mapCount; ++i) {
        PartitionMapEntry& map = m_maps[i];
        for (uint32_t p = 0; p < m_partitionCount; ++p)
            if (m_partitions[p].number == map.partitionNumber)
                map.descriptor = &m_partitions[p];
    }
    for (uint32_t i = 0; i < m_mapCount; ++i) {
        PartitionMapEntry& map = m_maps[i];
        if (map.type != 2)
            continue;
        // A type 2 map rides on the physical map of the same partition number, wherever that
        // map sits in the table.
        int32_t physical = -1;
        for (uint32_t k = 0; k < m_mapCount; ++k)
            if (m_maps[k].type == 1 && m_maps[k].partitionNumber == map.partitionNumber)
                physical = int32_t(k);
        if (map.kind != kMapSparable && map.kind != kMapOtherType2 && physical < 0)
            return false;
        if (map.kind == kMapMetadata && !LoadMetadataPartition(&map))
            return false;
        if (map.kind == kMapVirtual && !LoadVirtualTable(&map, uint16_t(physical)))
            return false;
    }

    uint32_t fsdSector = 0;
    uint8_t fsd[kUdfSectorSize];
    if (!MapBlock(m_defaultPartition, m_fileSetBlock, &fsdSector) ||
        !ReadEntrySector(fsdSector, fsd) || LoadLe16(fsd) != kTagFileSet)
        return false;

    m_root = m_arena.New<DirectoryNode>();
    if (m_root == nullptr)
        return false;
    m_root->parent = m_root;
    m_root->isDirectory = true;
    m_root->name = "";
    ++m_nodeCount;
    const uint8_t* icb = fsd + kFsdRootIcb;
    uint16_t rootPartition = LoadLe16(icb + kLongAdPartition);
    uint32_t rootSector = 0;
    if (MapBlock(rootPartition, LoadLe32(icb + kLongAdBlock), &rootSector) &&
        ReadEntrySector(rootSector, m_entry.data())) {
        m_root->entrySector = rootSector;
        m_root->entryLength = LoadLe32(icb + kLongAdLength) & kExtentLengthMask;
        DirectoryFromEntry(m_entry.data(), rootSector, rootPartition, m_root);
    }
    return true;
}

bool UdfReader::ParseLogicalVolume(const uint8_t* lvd) {
    uint32_t mapCount = LoadLe32(lvd + kLvdMapCount);
    const uint8_t* fsd = lvd + kLvdFileSetLocation;
    m_fileSetBlock = LoadLe32(fsd + kLongAdBlock);
    m_defaultPartition = LoadLe16(fsd + kLongAdPartition);
    if ((m_flags & kSeenNsr02) && mapCount == 2)
        return false;
    if (mapCount > kMaxMaps)
        return false;
    m_maps = mapCount == 0 ? nullptr
                           : static_cast<PartitionMapEntry*>(
                                 m_arena.Allocate(sizeof(PartitionMapEntry) * mapCount));
    if (mapCount != 0 && m_maps == nullptr)
        return false;
    m_mapCount = mapCount;
    uint32_t offset = kLvdMaps;
    for (uint32_t i = 0; i < mapCount; ++i) {
        if (kUdfSectorSize - offset < 2)
            return false;
        const uint8_t* map = lvd + offset;
        uint8_t type = map[0];
        uint8_t length = map[1];
        uint32_t need = type == 1 ? kMapType1Length : type == 2 ? kMapType2Length : 2;
        if (length < need || kUdfSectorSize - offset < length)
            return false;
        PartitionMapEntry& entry = m_maps[i];
        entry.type = type;
        entry.kind = kMapOtherType2;
        if (type == 1) {
            entry.kind = kMapPhysical;
            entry.partitionNumber = LoadLe16(map + kMapType1Number);
        } else if (type == 2) {
            const uint8_t* id = map + kMapType2Identifier;
            if (std::memcmp(id, "*UDF Metadata Partition", kMapType2IdentifierLength) == 0) {
                entry.kind = kMapMetadata;
                entry.partitionNumber = LoadLe16(map + kMapType2Number);
                entry.metadataFile = LoadLe32(map + kMapMetadataFile);
                entry.metadataMirror = LoadLe32(map + kMapMetadataMirror);
            } else if (std::memcmp(id, "*UDF Virtual Partition", 22) == 0) {
                entry.kind = kMapVirtual;
                entry.partitionNumber = LoadLe16(map + kMapType2Number);
            } else if (std::memcmp(id, "*UDF Sparable Partition", kMapType2IdentifierLength) == 0) {
                entry.kind = kMapSparable;
            }
        }
        offset += length;
    }
    return true;
}

bool UdfReader::LoadMetadataPartition(PartitionMapEntry* map) {
    if (map->descriptor == nullptr)
        return false;
    const uint32_t start = map->descriptor->start;
    std::vector<MapExtent> extents;
    // The mirror carries the same content and serves when the main file is unreadable.
    for (uint32_t file : {map->metadataFile, map->metadataMirror}) {
        extents.clear();
        uint8_t entry[kUdfSectorSize];
        EntryLayout layout;
        if (uint64_t(start) + file > 0xFFFFFFFF || !ReadEntrySector(start + file, entry) ||
            !ParseEntry(entry, &layout))
            continue;
        if (layout.form != kFormShort && layout.form != kFormLong)
            continue;
        uint32_t step = layout.form == kFormShort ? kShortAdSize : kLongAdSize;
        for (uint32_t off = 0; layout.adLength >= off + step; off += step) {
            const uint8_t* ad = entry + layout.adOffset + off;
            uint32_t length = LoadLe32(ad) & kExtentLengthMask;
            if (length == 0 || (LoadLe32(ad) >> kExtentTypeShift) == kExtentContinuation)
                break;
            if (extents.size() >= kMaxMetadataExtents)
                break;
            extents.push_back({map->partitionNumber, LoadLe32(ad + 4), SectorsFor(length)});
        }
        if (!extents.empty())
            break;
    }
    if (extents.empty())
        return false;
    m_tables.push_back(std::move(extents));
    map->extents = m_tables.back().data();
    map->extentCount = uint32_t(m_tables.back().size());

    return true;
}

bool UdfReader::LoadVirtualTable(PartitionMapEntry* map, uint16_t physical) {
    if (map->descriptor == nullptr)
        return false;
    uint32_t last = 0;
    if (!LastSector(&last))
        return false;

    // The table's file entry sits in the last recorded block, which on some discs lies a few
    // blocks before the end.
    uint8_t entry[kUdfSectorSize];
    EntryLayout layout{};
    bool found = false;
    for (uint32_t back = 0; back <= kVatLookBack && back <= last && !found; ++back) {
        found = ReadEntrySector(last - back, entry) && ParseEntry(entry, &layout) &&
                layout.fileType == kFileTypeVat;
    }
    if (!found)
        return false;

    std::vector<uint8_t> table;
    uint64_t wanted = Min<uint64_t>(layout.informationLength, kMaxVatBytes);
    if (layout.form == kFormEmbedded) {
        table.assign(entry + layout.adOffset, entry + layout.adOffset + layout.adLength);
    } else if (layout.form == kFormShort || layout.form == kFormLong) {
        uint32_t step = layout.form == kFormShort ? kShortAdSize : kLongAdSize;
        for (uint32_t off = 0; layout.adLength >= off + step && table.size() < wanted;
             off += step) {
            const uint8_t* ad = entry + layout.adOffset + off;
            uint32_t length = LoadLe32(ad) & kExtentLengthMask;
            if (length == 0 || (LoadLe32(ad) >> kExtentTypeShift) != kExtentRecorded)
                break;
            uint16_t part = layout.form == kFormShort ? physical : LoadLe16(ad + kLongAdPartition);
            uint32_t sector = 0;
            if (!MapBlock(part, LoadLe32(ad + 4), &sector))
                return false;
            length = uint32_t(Min<uint64_t>(length, wanted - table.size()));
            if (!ReadRange(sector, length, &table))
                return false;
        }
    } else {
        return false;
    }
    constexpr uint32_t kVatHeaderLength = 0;
    if (table.size() < 2)
        return false;
    uint64_t header = LoadLe16(table.data() + kVatHeaderLength);
    uint64_t used = Min<uint64_t>(layout.informationLength, table.size());
    if (header > used)
        return false;
    uint64_t count = (used - header) / 4;
    std::vector<MapExtent> extents(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i)
        extents[i] = {physical, LoadLe32(table.data() + header + i * 4), 1};
    m_tables.push_back(std::move(extents));
    map->extents = m_tables.back().data();
    map->extentCount = uint32_t(m_tables.back().size());
    return true;
}

bool UdfReader::LastSector(uint32_t* last) {
    DeviceCommand command;
    uint8_t reply[8] = {};
    command.cdb[0] = kScsiReadCapacity;
    command.data = reply;
    command.transferLength = sizeof(reply);
    if (!m_device->Execute(&command))
        return false;
    *last = LoadBe32(reply);
    if (*last == 0)
        *last = 0xFFFFFFFF;
    else if (*last == kCapacityNone)
        *last = 0;
    return *last != 0;
}

bool UdfReader::MapBlock(uint16_t partitionRef, uint32_t block, uint32_t* sector) const {
    if (partitionRef >= m_mapCount)
        return false;
    const PartitionMapEntry& map = m_maps[partitionRef];
    if (map.descriptor == nullptr)
        return false;
    uint64_t start = map.descriptor->start;
    uint64_t physical;
    if (map.type == 1) {
        physical = start + block;
    } else if (map.type == 2 && map.kind == kMapVirtual) {
        if (block >= map.extentCount || map.extents[block].start == kUnusedVatEntry)
            return false;
        physical = start + map.extents[block].start;
    } else if (map.type == 2 && map.extentCount != 0) {
        uint64_t rangeStart = 0;
        bool found = false;
        for (uint32_t i = 0; i < map.extentCount && !found; ++i) {
            const MapExtent& e = map.extents[i];
            if (block < rangeStart + e.blocks) {
                physical = start + e.start + (block - rangeStart);
                found = true;
            }
            rangeStart += e.blocks;
        }
        if (!found)
            return false;
    } else {
        return false;
    }
    if (physical > 0xFFFFFFFF)
        return false;
    *sector = uint32_t(physical);
    return true;
}

// ---------------------------------------------------------------------------------------------

bool UdfReader::DirectoryFromEntry(const uint8_t* entry, uint32_t entrySector,
                                   uint16_t icbPartition, DirectoryNode* dir) {
    EntryLayout layout;
    if (!ParseEntry(entry, &layout))
        return false;
    const uint8_t* ad = entry + layout.adOffset;
    ExtentRef& data = dir->data;
    if (layout.form == kFormEmbedded) {
        data.kind = kExtentEmbedded;
        data.partitionOrOffset = uint16_t(layout.adOffset);
        data.location = entrySector;
        data.length = layout.adLength;
        dir->dataSector = entrySector;
        return true;
    }
    uint32_t step = layout.form == kFormShort ? kShortAdSize : kLongAdSize;
    if ((layout.form != kFormShort && layout.form != kFormLong) || layout.adLength < step)
        return false;
    uint32_t lengthField = LoadLe32(ad);
    if ((lengthField >> kExtentTypeShift) != kExtentRecorded)
        return false;
    // Short descriptors address the partition that holds the entry itself.
    uint16_t partition = layout.form == kFormShort ? icbPartition : LoadLe16(ad + kLongAdPartition);
    uint32_t sector = 0;
    if (!MapBlock(partition, LoadLe32(ad + 4), &sector))
        return false;
    data.kind = kExtentInPartition;
    data.partitionOrOffset = partition;
    data.location = LoadLe32(ad + 4);
    data.length = lengthField & kExtentLengthMask;
    dir->dataSector = sector;
    return true;
}

bool UdfReader::CollectExtents(const uint8_t* ads, uint32_t length, uint8_t form,
                               uint16_t icbPartition, std::vector<FileExtent>* out) {
    uint32_t step = form == kFormShort ? kShortAdSize : kLongAdSize;
    std::vector<uint8_t> block;
    uint32_t continuations = 0;
    for (;;) {
        bool next = false;
        uint16_t nextPartition = 0;
        uint32_t nextBlock = 0;
        for (uint32_t off = 0; length >= off + step; off += step) {
            const uint8_t* ad = ads + off;
            uint32_t field = LoadLe32(ad);
            uint32_t type = field >> kExtentTypeShift;
            if ((field & kExtentLengthMask) == 0)
                break;
            uint16_t partition =
                form == kFormShort ? icbPartition : LoadLe16(ad + kLongAdPartition);
            if (type == kExtentContinuation) {
                // The list goes on in another block; nothing after this descriptor counts.
                next = true;
                nextPartition = partition;
                nextBlock = LoadLe32(ad + 4);
                break;
            }
            if (type != kExtentRecorded)
                continue;
            uint32_t sector = 0;
            if (!MapBlock(partition, LoadLe32(ad + 4), &sector))
                continue;
            if (m_extentTotal >= m_limits.maxExtents) {
                m_truncated = true;
                return true;
            }
            ++m_extentTotal;
            out->push_back({sector, field, partition});
        }
        if (!next)
            return true;
        if (continuations >= m_limits.maxContinuationsPerFile || !Charge(kUdfSectorSize)) {
            m_truncated = true;
            return true;
        }
        ++continuations;
        uint32_t sector = 0;
        block.clear();
        if (!MapBlock(nextPartition, nextBlock, &sector) ||
            !ReadRange(sector, kUdfSectorSize, &block) ||
            LoadLe16(block.data()) != kTagAllocationExtent)
            return true;
        uint32_t listLength = LoadLe32(block.data() + kAedLength);
        if (listLength > kUdfSectorSize - kAedDescriptors)
            return true;
        m_continuation.assign(block.begin() + kAedDescriptors,
                              block.begin() + kAedDescriptors + listLength);
        ads = m_continuation.data();
        length = listLength;
    }
}

bool UdfReader::FileFromEntry(const uint8_t* entry, uint16_t icbPartition, DirectoryNode* node) {
    EntryLayout layout;
    if (!ParseEntry(entry, &layout))
        return false;
    node->informationLength = layout.informationLength;
    if (layout.form != kFormShort && layout.form != kFormLong)
        return true; // embedded data or an unsupported form: no extents
    std::vector<FileExtent> extents;
    CollectExtents(entry + layout.adOffset, layout.adLength, layout.form, icbPartition, &extents);
    if (extents.empty())
        return true;
    auto* table = static_cast<FileExtent*>(m_arena.Allocate(sizeof(FileExtent) * extents.size()));
    if (table == nullptr) {
        m_truncated = true;
        return false;
    }
    std::memcpy(table, extents.data(), sizeof(FileExtent) * extents.size());
    node->extents = table;
    node->extentCount = uint32_t(extents.size());
    return true;
}

bool UdfReader::ReadDirectoryData(const DirectoryNode* dir, std::vector<uint8_t>* out) {
    out->clear();
    const ExtentRef& data = dir->data;
    if (data.length == 0)
        return true;
    if (data.kind == kExtentEmbedded) {
        if (!RangeFits(data.partitionOrOffset, data.length, kUdfSectorSize) ||
            !Charge(kUdfSectorSize) || !ReadRange(data.location, kUdfSectorSize, out))
            return false;
        out->erase(out->begin(), out->begin() + data.partitionOrOffset);
        out->resize(data.length);
        return true;
    }
    uint32_t length = data.length;
    if (length > m_limits.maxDirectoryBytes) {
        length = m_limits.maxDirectoryBytes;
        m_truncated = true;
    }
    if (!Charge(length))
        return false;
    // Consecutive blocks of a virtual or metadata partition need not be consecutive on disc:
    // map each block and read the runs that are.
    uint32_t blocks = SectorsFor(length);
    uint32_t runStart = 0, runLength = 0;
    for (uint32_t i = 0; i <= blocks; ++i) {
        uint32_t sector = 0;
        bool mapped = i < blocks && uint64_t(data.location) + i <= 0xFFFFFFFF &&
                      MapBlock(data.partitionOrOffset, data.location + i, &sector);
        if (mapped && runLength != 0 && sector == runStart + runLength) {
            ++runLength;
            continue;
        }
        if (runLength != 0) {
            uint32_t bytes =
                Min<uint32_t>(runLength * kUdfSectorSize, length - uint32_t(out->size()));
            if (!ReadRange(runStart, bytes, out))
                return !out->empty();
        }
        if (!mapped)
            return i == blocks || !out->empty();
        runStart = sector;
        runLength = 1;
    }
    return true;
}

namespace {

// The identifier's first byte says how the characters are stored; 16-bit characters keep
// their low byte only.
std::string DecodeName(const uint8_t* id, uint32_t length) {
    std::string name;
    if (length == 0)
        return name;
    if (id[0] == kNameUtf16) {
        for (uint32_t i = 1; i + 1 < length; i += 2)
            name.push_back(char(id[i + 1]));
    } else {
        name.assign(reinterpret_cast<const char*>(id + 1), length - 1);
    }
    return name;
}

bool IsAncestorOrSelf(const DirectoryNode* dir, const DirectoryNode* child) {
    for (const DirectoryNode* p = dir;; p = p->parent) {
        if (p->entrySector == child->entrySector ||
            (p->data.kind == child->data.kind && p->dataSector == child->dataSector &&
             p->data.length != 0))
            return true;
        if (p->parent == p)
            return false;
    }
}

} // namespace

void UdfReader::BuildChildren(DirectoryNode* dir, uint32_t depth) {
    if (!ReadDirectoryData(dir, &m_scratch))
        return;
    const uint8_t* data = m_scratch.data();
    const uint64_t size = m_scratch.size();
    DirectoryNode* tail = nullptr;
    for (uint64_t off = 0; size - off >= kFidFixedSize;) {
        const uint8_t* fid = data + off;
        if (LoadLe16(fid) != kTagFileIdentifier)
            break;
        uint32_t idLength = fid[kFidIdentifierLength];
        uint32_t iuLength = LoadLe16(fid + kFidImplementationLength);
        uint64_t used = uint64_t(kFidFixedSize) + iuLength + idLength;
        if (size - off < used)
            break;
        uint8_t characteristics = fid[kFidCharacteristics];
        off += (used + 3) & ~uint64_t(3);
        if (idLength == 0 || (characteristics & kFidDeleted))
            continue;
        if (m_nodeCount >= m_limits.maxNodes || !Charge(kUdfSectorSize)) {
            m_truncated = true;
            break;
        }
        std::string name = DecodeName(fid + kFidFixedSize + iuLength, idLength);
        auto* node = m_arena.New<DirectoryNode>();
        char* text = node == nullptr ? nullptr : m_arena.CopyString(name.data(), name.size());
        if (text == nullptr) {
            m_truncated = true;
            break;
        }
        ++m_nodeCount;
        node->name = text;
        node->parent = dir;
        node->isDirectory = (characteristics & kFidDirectory) != 0;
        const uint8_t* icb = fid + kFidIcb;
        uint16_t partition = LoadLe16(icb + kLongAdPartition);
        uint32_t sector = 0;
        if (MapBlock(partition, LoadLe32(icb + kLongAdBlock), &sector) &&
            ReadEntrySector(sector, m_entry.data())) {
            node->entrySector = sector;
            node->entryLength = LoadLe32(icb + kLongAdLength) & kExtentLengthMask;
            if (node->isDirectory)
                DirectoryFromEntry(m_entry.data(), sector, partition, node);
            else
                FileFromEntry(m_entry.data(), partition, node);
        }
        if (tail == nullptr)
            dir->firstChild = node;
        else
            tail->nextSibling = node;
        tail = node;
    }

    for (DirectoryNode* child = dir->firstChild; child != nullptr; child = child->nextSibling) {
        if (!child->isDirectory || child->data.length == 0)
            continue;
        // A damaged tree may lead back to a folder above: such an entry stays empty.
        if (IsAncestorOrSelf(dir, child))
            continue;
        if (depth + 1 >= m_limits.maxDepth) {
            m_truncated = true;
            continue;
        }
        BuildChildren(child, depth + 1);
    }
}

} // namespace vostrale
