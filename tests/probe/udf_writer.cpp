#include "tests/probe/udf_writer.h"

#include "common/bytes.h"
#include "common/crc.h"

#include <cstring>

namespace vostrale::testing {

namespace {

constexpr uint32_t kSector = 2048;
constexpr uint32_t kPartitionStart = 272;
constexpr uint32_t kSequenceStart = 32;
constexpr uint32_t kSequenceLength = 16;

constexpr uint16_t kTagPrimary = 1, kTagAnchor = 2, kTagPartition = 5, kTagLogical = 6,
                   kTagTerminator = 8, kTagFileSet = 256, kTagFid = 257, kTagAed = 258,
                   kTagFe = 261, kTagEfe = 266;
constexpr uint8_t kFileTypeFolder = 4, kFileTypeFile = 5, kFileTypeVat = 248,
                  kFileTypeMetadata = 250, kFileTypeMirror = 251;
constexpr uint32_t kFidFixed = 38;
constexpr uint32_t kVatHeader = 152;

uint32_t Blocks(uint64_t bytes) {
    return uint32_t((bytes + kSector - 1) / kSector);
}
uint32_t Align4(uint32_t n) {
    return (n + 3) & ~3u;
}

void FinishTag(uint8_t* d, uint16_t id, uint16_t version, uint32_t location, uint32_t length) {
    StoreLe16(d, id);
    StoreLe16(d + 2, version);
    uint32_t crcLength = length > 16 ? length - 16 : 0;
    StoreLe16(d + 8, Crc16Xmodem(d + 16, crcLength));
    StoreLe16(d + 10, uint16_t(crcLength));
    StoreLe32(d + 12, location);
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
        if (i != 4)
            sum = uint8_t(sum + d[i]);
    d[4] = sum;
}

void ShortAd(uint8_t* p, uint32_t lengthField, uint32_t block) {
    StoreLe32(p, lengthField);
    StoreLe32(p + 4, block);
}

void LongAd(uint8_t* p, uint32_t lengthField, uint32_t block, uint16_t ref) {
    StoreLe32(p, lengthField);
    StoreLe32(p + 4, block);
    StoreLe16(p + 8, ref);
}

uint32_t IdentifierLength(const std::string& name, bool utf16) {
    return 1 + uint32_t(name.size()) * (utf16 ? 2 : 1);
}

void WriteVsd(uint8_t* d, uint8_t type, const char* id) {
    d[0] = type;
    std::memcpy(d + 1, id, 5);
    d[6] = 1;
}

} // namespace

int UdfImageWriter::AddFolder(int parent, const std::string& name) {
    m_nodes.push_back({name, parent, true, {}, {}});
    return int(m_nodes.size() - 1);
}

int UdfImageWriter::AddFile(int parent, const std::string& name, std::vector<uint8_t> data) {
    m_nodes.push_back({name, parent, false, std::move(data), {}});
    return int(m_nodes.size() - 1);
}

uint32_t UdfImageWriter::FolderSize(const Node& node) const {
    uint32_t size = Align4(kFidFixed); // parent entry
    for (int c : node.children) {
        const Node& child = m_nodes[size_t(c)];
        size += Align4(kFidFixed + IdentifierLength(child.name, child.options.utf16));
    }
    return size;
}

uint32_t UdfImageWriter::FsLbn(uint32_t block) const {
    return m_options.partition == UdfPartition::Physical ? m_fsRegion + block : block;
}

uint32_t UdfImageWriter::FsSector(uint32_t block) const {
    return kPartitionStart + m_fsPhysical[block];
}

void UdfImageWriter::WriteFolderData(const Node& node, uint8_t* out) const {
    auto writeFid = [&](uint8_t* fid, uint8_t characteristics, const Node* name,
                        uint32_t targetEntry) {
        uint32_t idLength = name ? IdentifierLength(name->name, name->options.utf16) : 0;
        StoreLe16(fid + 16, 1);
        fid[18] = characteristics;
        fid[19] = uint8_t(idLength);
        LongAd(fid + 20, kSector, FsLbn(targetEntry), uint16_t(m_fsRef));
        if (name != nullptr) {
            uint8_t* id = fid + kFidFixed;
            id[0] = name->options.utf16 ? 16 : 8;
            for (size_t i = 0; i < name->name.size(); ++i) {
                if (name->options.utf16) {
                    id[1 + 2 * i] = 0;
                    id[2 + 2 * i] = uint8_t(name->name[i]);
                } else {
                    id[1 + i] = uint8_t(name->name[i]);
                }
            }
        }
        uint32_t length = Align4(kFidFixed + idLength);
        FinishTag(fid, kTagFid, m_options.nsr03 ? 3 : 2, FsLbn(node.dataBlock),
                  kFidFixed + idLength);
        return length;
    };
    const Node& parent = node.parent < 0 ? node : m_nodes[size_t(node.parent)];
    uint32_t off = writeFid(out, 0x0A, nullptr, parent.entryBlock);
    for (int c : node.children) {
        const Node& child = m_nodes[size_t(c)];
        uint8_t characteristics = (child.folder ? 0x02 : 0) | (child.options.deleted ? 0x04 : 0);
        const Node& target =
            child.options.linkTo >= 0 ? m_nodes[size_t(child.options.linkTo)] : child;
        off += writeFid(out + off, characteristics, &child, target.entryBlock);
    }
}

void UdfImageWriter::WriteEntry(Node& node) {
    uint8_t* e = Sector(FsSector(node.entryBlock));
    node.entrySector = FsSector(node.entryBlock);
    const bool extended = m_options.extendedEntries;
    const uint32_t lengths = extended ? 208 : 168;
    const uint32_t adStart = lengths + 8;
    const uint16_t version = m_options.nsr03 ? 3 : 2;
    StoreLe16(e + 20, 4);
    StoreLe16(e + 24, 1);
    e[27] = node.folder ? kFileTypeFolder : kFileTypeFile;
    StoreLe32(e + 36, 0xFFFFFFFF);
    StoreLe32(e + 40, 0xFFFFFFFF);
    StoreLe16(e + 48, 1);
    uint32_t adLength = 0;
    uint8_t form = 0;
    uint64_t information = 0;
    if (node.folder) {
        uint32_t size = FolderSize(node);
        information = size;
        if (node.options.embedded) {
            form = 3;
            WriteFolderData(node, e + adStart);
            adLength = size;
            node.dataSector = node.entrySector;
        } else {
            ShortAd(e + adStart, size, FsLbn(node.dataBlock));
            adLength = 8;
            node.dataSector = FsSector(node.dataBlock);
            std::vector<uint8_t> data(size_t(node.dataBlocks) * kSector);
            WriteFolderData(node, data.data());
            for (uint32_t b = 0; b < node.dataBlocks; ++b)
                std::memcpy(Sector(FsSector(node.dataBlock + b)), data.data() + b * kSector,
                            kSector);
        }
    } else {
        information = node.data.size();
        if (node.options.embedded) {
            form = 3;
            if (!node.data.empty())
                std::memcpy(e + adStart, node.data.data(), node.data.size());
            adLength = uint32_t(node.data.size());
        } else {
            const bool shortForm = m_fsRef == m_physRef;
            form = shortForm ? 0 : 1;
            const uint32_t step = shortForm ? 8 : 16;
            auto put = [&](uint8_t* at, uint32_t field, uint32_t block, uint16_t ref) {
                if (shortForm)
                    ShortAd(at, field, block);
                else
                    LongAd(at, field, block, ref);
            };
            // Descriptor lists: the entry's, then one per continuation block; each list but
            // the last ends in a pointer to the next block.
            const uint32_t pieces = uint32_t(node.pieceBlocks.size());
            const uint32_t perBlock =
                node.options.piecesPerBlock ? node.options.piecesPerBlock : pieces + 1;
            const size_t lists = node.continuationBlocks.size() + 1;
            uint32_t next = 0;
            for (size_t list = 0; list < lists; ++list) {
                std::vector<uint8_t> ads;
                auto add = [&](uint32_t field, uint32_t block, uint16_t ref) {
                    ads.resize(ads.size() + step);
                    put(ads.data() + ads.size() - step, field, block, ref);
                };
                for (uint32_t k = 0; k < perBlock && next < pieces; ++k, ++next)
                    add(node.pieceLengths[next], node.pieceBlocks[next], uint16_t(m_physRef));
                if (list + 1 < lists)
                    add((3u << 30) | kSector, FsLbn(node.continuationBlocks[list]),
                        uint16_t(m_fsRef));
                else if (list > 0 && node.options.cyclicContinuation)
                    add((3u << 30) | kSector, FsLbn(node.continuationBlocks[list - 1]),
                        uint16_t(m_fsRef));
                if (list == 0) {
                    if (!ads.empty())
                        std::memcpy(e + adStart, ads.data(), ads.size());
                    adLength = uint32_t(ads.size());
                    continue;
                }
                uint32_t block = node.continuationBlocks[list - 1];
                uint8_t* aed = Sector(FsSector(block));
                std::memcpy(aed + 24, ads.data(), ads.size());
                StoreLe32(aed + 20, uint32_t(ads.size()));
                FinishTag(aed, kTagAed, version, FsLbn(block), 24 + uint32_t(ads.size()));
            }
        }
    }
    StoreLe64(e + 56, information);
    StoreLe32(e + lengths, 0);
    StoreLe32(e + lengths + 4, adLength);
    StoreLe16(e + 34, form);
    FinishTag(e, extended ? kTagEfe : kTagFe, version, FsLbn(node.entryBlock), adStart + adLength);
}

std::vector<uint8_t> UdfImageWriter::Build() {
    const UdfWriterOptions& o = m_options;
    const uint16_t version = o.nsr03 ? 3 : 2;
    const bool physicalOnly = o.partition == UdfPartition::Physical;
    m_physRef = physicalOnly ? 0 : (o.type2MapFirst ? 1 : 0);
    m_fsRef = physicalOnly ? 0 : (o.type2MapFirst ? 0 : 1);
    for (Node& n : m_nodes)
        n.children.clear();
    for (size_t i = 1; i < m_nodes.size(); ++i)
        m_nodes[size_t(m_nodes[i].parent)].children.push_back(int(i));

    // File-set space: file set descriptor, entries, folder data, continuation blocks.
    uint32_t fsNext = 1;
    for (Node& n : m_nodes) {
        n.entryBlock = fsNext++;
        if (n.folder && !n.options.embedded) {
            n.dataBlocks = Blocks(FolderSize(n));
            n.dataBlock = fsNext;
            fsNext += n.dataBlocks;
        }
        n.continuationBlocks.clear();
        if (!n.folder && !n.options.embedded && n.options.piecesPerBlock != 0) {
            uint32_t pieces = Min<uint32_t>(n.options.extentPieces, uint32_t(n.data.size()));
            uint32_t per = n.options.piecesPerBlock;
            uint32_t count = pieces > per ? (pieces - 1) / per : 0;
            if (count == 0 && n.options.cyclicContinuation)
                count = 1;
            for (uint32_t c = 0; c < count; ++c)
                n.continuationBlocks.push_back(fsNext++);
        }
    }

    // Physical partition.
    uint32_t physNext = 0;
    uint32_t metadataMain = 0, metadataMirror = 0;
    std::vector<std::pair<uint32_t, uint32_t>> metadataExtents; // block, count
    m_fsPhysical.assign(fsNext, 0);
    if (o.partition == UdfPartition::Physical) {
        m_fsRegion = physNext;
        for (uint32_t k = 0; k < fsNext; ++k)
            m_fsPhysical[k] = physNext++;
    } else if (o.partition == UdfPartition::Metadata) {
        metadataMain = physNext++;
        metadataMirror = physNext++;
        uint32_t first = o.splitMetadata ? fsNext / 2 : fsNext;
        metadataExtents.push_back({physNext, first});
        for (uint32_t k = 0; k < first; ++k)
            m_fsPhysical[k] = physNext++;
        if (first < fsNext) {
            physNext += 3; // a gap between the two halves
            metadataExtents.push_back({physNext, fsNext - first});
            for (uint32_t k = first; k < fsNext; ++k)
                m_fsPhysical[k] = physNext++;
        }
    } else {
        // Virtual blocks land on every other physical block, so neighbours never touch.
        for (uint32_t k = 0; k < fsNext; ++k) {
            m_fsPhysical[k] = physNext;
            physNext += 2;
        }
    }
    for (Node& n : m_nodes) {
        n.pieceBlocks.clear();
        n.pieceLengths.clear();
        if (n.folder || n.options.embedded || n.data.empty())
            continue;
        uint32_t size = uint32_t(n.data.size());
        uint32_t pieces = Max<uint32_t>(1, Min(n.options.extentPieces, size));
        uint32_t each = size / pieces;
        for (uint32_t p = 0; p < pieces; ++p) {
            uint32_t length = p + 1 == pieces ? size - each * p : each;
            n.pieceBlocks.push_back(physNext);
            n.pieceLengths.push_back(length);
            physNext += Blocks(length) + 1;
        }
    }
    uint32_t vatSize = kVatHeader + 4 * fsNext;
    bool vatEmbedded = 176 + vatSize <= kSector;
    uint32_t vatData = 0, vatEntry = 0;
    if (o.partition == UdfPartition::Virtual) {
        // The table must end the image: no padding may follow it.
        physNext = Max<uint32_t>(physNext, 300 - kPartitionStart);
        if (!vatEmbedded) {
            vatData = physNext;
            physNext += Blocks(vatSize);
        }
        vatEntry = physNext++;
        physNext += o.sectorsAfterVat;
    }
    uint32_t totalSectors = Max<uint32_t>(kPartitionStart + physNext, 300);
    m_image.assign(size_t(totalSectors) * kSector, 0);

    // Volume recognition sequence.
    uint32_t vrs = 16;
    if (o.isoBridge) {
        WriteVsd(Sector(vrs++), 1, "CD001");
        WriteVsd(Sector(vrs++), 255, "CD001");
    }
    WriteVsd(Sector(vrs++), 0, "BEA01");
    WriteVsd(Sector(vrs++), 0, o.nsr03 ? "NSR03" : "NSR02");
    WriteVsd(Sector(vrs++), 0, "TEA01");

    uint8_t* anchor = Sector(kAnchorSector);
    StoreLe32(anchor + 16, kSequenceLength * kSector);
    StoreLe32(anchor + 20, kSequenceStart);
    FinishTag(anchor, kTagAnchor, version, kAnchorSector, 512);

    uint8_t* pvd = Sector(kSequenceStart);
    FinishTag(pvd, kTagPrimary, version, kSequenceStart, 512);
    uint8_t* pd = Sector(kSequenceStart + 1);
    StoreLe16(pd + 22, o.partitionNumber);
    StoreLe32(pd + 188, kPartitionStart);
    StoreLe32(pd + 192, totalSectors - kPartitionStart);
    FinishTag(pd, kTagPartition, version, kSequenceStart + 1, 512);

    uint8_t* lvd = Sector(kLogicalVolumeSector);
    StoreLe32(lvd + 212, kSector);
    std::memcpy(lvd + 217, "*OSTA UDF Compliant", 19);
    LongAd(lvd + 248, kSector, FsLbn(0), uint16_t(m_fsRef));
    uint8_t* maps = lvd + 440;
    uint32_t mapBytes = 0;
    auto type1 = [&](uint8_t* m) {
        m[0] = 1;
        m[1] = 6;
        StoreLe16(m + 2, 1);
        StoreLe16(m + 4, o.partitionNumber);
        return 6u;
    };
    auto type2 = [&](uint8_t* m) {
        m[0] = 2;
        m[1] = 64;
        const char* id = o.partition == UdfPartition::Metadata ? "*UDF Metadata Partition"
                                                               : "*UDF Virtual Partition";
        std::memcpy(m + 5, id, std::strlen(id));
        StoreLe16(m + 28, o.partition == UdfPartition::Metadata ? 0x0250 : 0x0201);
        StoreLe16(m + 36, 1);
        StoreLe16(m + 38, o.partitionNumber);
        if (o.partition == UdfPartition::Metadata) {
            StoreLe32(m + 40, metadataMain);
            StoreLe32(m + 44, metadataMirror);
            StoreLe32(m + 48, 0xFFFFFFFF);
            StoreLe32(m + 52, 32);
            StoreLe16(m + 56, 1);
        }
        return 64u;
    };
    if (physicalOnly) {
        mapBytes += type1(maps);
    } else if (o.type2MapFirst) {
        mapBytes += type2(maps);
        mapBytes += type1(maps + mapBytes);
    } else {
        mapBytes += type1(maps);
        mapBytes += type2(maps + mapBytes);
    }
    StoreLe32(lvd + 264, mapBytes);
    StoreLe32(lvd + 268, physicalOnly ? 1 : 2);
    FinishTag(lvd, kTagLogical, version, kLogicalVolumeSector, 440 + mapBytes);
    FinishTag(Sector(kSequenceStart + 3), kTagTerminator, version, kSequenceStart + 3, 512);

    // Metadata file and its mirror: the same short extents over the file-set space.
    if (o.partition == UdfPartition::Metadata) {
        for (int copy = 0; copy < 2; ++copy) {
            uint32_t block = copy == 0 ? metadataMain : metadataMirror;
            if (copy == 0 && o.brokenMetadataMain)
                continue;
            uint8_t* e = Sector(kPartitionStart + block);
            e[27] = copy == 0 ? kFileTypeMetadata : kFileTypeMirror;
            StoreLe64(e + 56, uint64_t(fsNext) * kSector);
            uint32_t lengths = o.extendedEntries ? 208 : 168;
            uint32_t off = 0;
            for (auto& [start, count] : metadataExtents) {
                ShortAd(e + lengths + 8 + off, count * kSector, start);
                off += 8;
            }
            StoreLe32(e + lengths + 4, off);
            FinishTag(e, o.extendedEntries ? kTagEfe : kTagFe, version, block, lengths + 8 + off);
        }
    }

    uint8_t* fsd = Sector(FsSector(0));
    LongAd(fsd + 400, kSector, FsLbn(m_nodes[0].entryBlock), uint16_t(m_fsRef));
    FinishTag(fsd, kTagFileSet, version, FsLbn(0), 512);
    for (Node& n : m_nodes)
        WriteEntry(n);
    for (Node& n : m_nodes)
        for (size_t p = 0; p < n.pieceBlocks.size(); ++p) {
            uint32_t done = 0;
            for (size_t q = 0; q < p; ++q)
                done += n.pieceLengths[q];
            std::memcpy(Sector(kPartitionStart + n.pieceBlocks[p]), n.data.data() + done,
                        n.pieceLengths[p]);
        }

    if (o.partition == UdfPartition::Virtual) {
        std::vector<uint8_t> table(vatSize, 0);
        StoreLe16(table.data(), kVatHeader);
        for (uint32_t k = 0; k < fsNext; ++k)
            StoreLe32(table.data() + kVatHeader + 4 * k, m_fsPhysical[k]);
        uint8_t* e = Sector(kPartitionStart + vatEntry);
        uint32_t lengths = o.extendedEntries ? 208 : 168;
        e[27] = kFileTypeVat;
        StoreLe64(e + 56, vatSize);
        uint32_t adLength;
        if (vatEmbedded) {
            StoreLe16(e + 34, 3);
            std::memcpy(e + lengths + 8, table.data(), vatSize);
            adLength = vatSize;
        } else {
            ShortAd(e + lengths + 8, vatSize, vatData);
            std::memcpy(Sector(kPartitionStart + vatData), table.data(), vatSize);
            adLength = 8;
        }
        StoreLe32(e + lengths + 4, adLength);
        FinishTag(e, o.extendedEntries ? kTagEfe : kTagFe, version, vatEntry,
                  lengths + 8 + adLength);
    }
    return m_image;
}

std::vector<uint8_t> ToRaw(const std::vector<uint8_t>& image, uint8_t mode) {
    constexpr uint32_t kRaw = 2352;
    size_t sectors = image.size() / kSector;
    std::vector<uint8_t> raw(sectors * kRaw, 0);
    auto bcd = [](uint32_t v) { return uint8_t(((v / 10) << 4) | (v % 10)); };
    for (size_t s = 0; s < sectors; ++s) {
        uint8_t* r = raw.data() + s * kRaw;
        std::memset(r + 1, 0xFF, 10);
        uint32_t lba = uint32_t(s) + 150;
        r[12] = bcd(lba / 4500);
        r[13] = bcd(lba / 75 % 60);
        r[14] = bcd(lba % 75);
        r[15] = mode;
        std::memcpy(r + (mode == 2 ? 24 : 16), image.data() + s * kSector, kSector);
    }
    return raw;
}

} // namespace vostrale::testing
