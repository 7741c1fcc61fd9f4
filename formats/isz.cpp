#include "formats/isz.h"

#include "common/bytes.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace vostrale {

namespace {

constexpr uint32_t kIszSignature = 0x215A7349; // "IsZ!"
constexpr uint8_t kPointerMask[4] = {0xB6, 0x8C, 0xA5, 0xDE};
constexpr uint32_t kPointerSize = 3;
constexpr uint32_t kLengthMask = 0x3FFFFF;
constexpr uint32_t kKindShift = 22;
constexpr uint32_t kMaxChunkSize = 0x400000; // a stored chunk's length must fit its 22 bits

std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

} // namespace

IszHeader ReadIszHeader(const uint8_t* p) {
    IszHeader h;
    h.signature = LoadLe32(p);
    h.sectorSize = LoadLe16(p + 10);
    h.totalSectors = LoadLe32(p + 12);
    h.encryption = p[16];
    h.chunks = LoadLe32(p + 25);
    h.chunkSize = LoadLe32(p + 29);
    h.pointerSize = p[33];
    h.tableOffset = LoadLe32(p + 35);
    h.segmentOffset = LoadLe32(p + 39);
    h.dataOffset = LoadLe32(p + 43);
    return h;
}

std::string CheckIszHeader(const IszHeader& h) {
    if (h.signature != kIszSignature)
        return Text("Unknown format, file signature=%08X", h.signature);
    if (h.encryption != 0)
        return "isz has password, abort";
    if (h.sectorSize != kUserDataSize && h.sectorSize != kCdSectorSize)
        return Text("Unsupported sector size: %d", h.sectorSize);
    if (h.pointerSize != kPointerSize)
        return Text("Unsupported chunk unit size: %d, expected 3", h.pointerSize);
    if (h.segmentOffset != 0)
        return "Unsupported multi-segement";
    return {};
}

bool BuildIszChunks(const IszHeader& h, const uint8_t* table, uint64_t fileSize,
                    std::vector<ChunkEntry>* chunks, uint32_t* largest, std::string* problem) {
    chunks->clear();
    *largest = 0;
    const uint64_t imageBytes = uint64_t(h.totalSectors) * h.sectorSize;
    // The chunks must cover the image exactly: every sector in a chunk, no chunk beyond.
    if (h.chunkSize == 0 || h.chunkSize > kMaxChunkSize ||
        uint64_t(h.chunks) * h.chunkSize < imageBytes ||
        (h.chunks != 0 && uint64_t(h.chunks - 1) * h.chunkSize >= imageBytes) ||
        (table == nullptr && h.chunks > fileSize / h.chunkSize + 1)) {
        *problem = Text("Invalid chunk table: %u chunks of %u bytes for %u sectors", h.chunks,
                        h.chunkSize, h.totalSectors);
        return false;
    }
    chunks->reserve(h.chunks);
    uint64_t offset = h.dataOffset;
    for (uint32_t i = 0; i < h.chunks; ++i) {
        uint32_t kind, length;
        if (table) {
            const uint8_t* p = table + size_t(i) * kPointerSize;
            const size_t at = size_t(i) * kPointerSize;
            const uint32_t v = uint32_t(p[0] ^ kPointerMask[at % 4]) |
                               (uint32_t(p[1] ^ kPointerMask[(at + 1) % 4]) << 8) |
                               (uint32_t(p[2] ^ kPointerMask[(at + 2) % 4]) << 16);
            kind = v >> kKindShift;
            length = v & kLengthMask;
        } else {
            kind = kChunkStored;
            length =
                uint32_t(std::min<uint64_t>(h.chunkSize, imageBytes - uint64_t(i) * h.chunkSize));
        }
        if (kind == kChunkZeros) {
            chunks->push_back(MakeChunkEntry(kChunkZeros, length, 0));
            continue;
        }
        if (offset > fileSize || fileSize - offset < length ||
            (kind == kChunkStored && length > h.chunkSize)) {
            *problem = Text("Chunk %u lies outside the file", i);
            return false;
        }
        chunks->push_back(MakeChunkEntry(ChunkStorage(kind), length, offset));
        offset += length;
        *largest = std::max(*largest, length);
    }
    return true;
}

int OpenIszImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io) {
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (file == 0)
        return kParseFailed;
    record->imageHandle = file;
    uint8_t raw[kIszHeaderSize];
    uint64_t fileSize = 0;
    if (!platform::ReadExactlyAt(file, 0, raw, sizeof(raw)) ||
        !platform::FileSize(file, &fileSize)) {
        ReleaseLayout(record);
        return kParseFailed;
    }
    const IszHeader h = ReadIszHeader(raw);
    auto fail = [&](const std::string& message) {
        ReleaseLayout(record);
        ReportError(io, "%s", message.c_str());
        return kParseFailed;
    };
    std::string problem = CheckIszHeader(h);
    if (!problem.empty())
        return fail(problem);
    LogLine(io.log, kLogInfo, "BlockCount=%d", int(h.chunks));
    LogLine(io.log, kLogInfo, "TotalSectors=%d", int(h.totalSectors));

    std::vector<uint8_t> table;
    if (h.tableOffset != 0) {
        // The table's length comes from the file; read only what the file can hold.
        const uint64_t expected = uint64_t(h.chunks) * kPointerSize;
        const uint64_t available = h.tableOffset < fileSize ? fileSize - h.tableOffset : 0;
        if (available < expected)
            return fail(Text("ReadFile failed: %d, expected: %d",
                             int(std::min(available, expected)), int(expected)));
        try {
            table.resize(size_t(expected));
        } catch (const std::bad_alloc&) {
            return fail(Text("malloc failed: %d", int(expected)));
        }
        if (!table.empty() &&
            !platform::ReadExactlyAt(file, h.tableOffset, table.data(), table.size()))
            return fail(Text("ReadFile failed: %d, expected: %d", 0, int(expected)));
    }
    std::vector<ChunkEntry> chunks;
    uint32_t largest = 0;
    if (!BuildIszChunks(h, h.tableOffset != 0 ? table.data() : nullptr, fileSize, &chunks, &largest,
                        &problem))
        return fail(problem);
    auto* block = static_cast<ChunkEntry*>(AllocLayoutBlock(chunks.size() * sizeof(ChunkEntry)));
    if (!block)
        return fail(Text("malloc failed: %d", int(chunks.size() * sizeof(ChunkEntry))));
    if (!chunks.empty())
        std::memcpy(static_cast<void*>(block), chunks.data(), chunks.size() * sizeof(ChunkEntry));
    record->readerKind = kReaderIsz;
    record->kindPointer = FieldOf(block);
    record->kindCount = uint32_t(chunks.size());
    record->param80 = h.chunkSize;
    record->param84 = largest;
    record->bytesPerSector = h.sectorSize;
    record->mediumKind = h.sectorSize == kCdSectorSize ? kMediumCd : kMediumDvd;
    record->totalSectors = h.totalSectors;
    return kParseOk;
}

} // namespace vostrale
