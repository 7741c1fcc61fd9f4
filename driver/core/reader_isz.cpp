// Compressed (ISZ) images: chunks decoded on demand, the last one kept.
#include "codecs/isz_chunk.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"

namespace vostrale {

struct IszState {
    ChunkEntry* chunks;
    uint32_t count;
    uint32_t chunkSize;
    uint32_t inputSize;
    uint64_t imageSize;
    uint8_t* input;
    uint8_t* chunk;
    int64_t cached; // index of the chunk in `chunk`, -1 for none
    uint32_t cachedLength;
};

namespace {

void* PoolAllocate(void*, size_t bytes) {
    return Allocate(ps::kPoolPaged, bytes);
}
void PoolRelease(void*, void* block) {
    Release(block);
}
const CodecAllocator kPoolAllocator = {nullptr, PoolAllocate, PoolRelease};

// Uncompressed bytes chunk `index` must yield (the last one is shorter).
uint32_t ExpectedChunkBytes(const IszState* s, uint32_t index) {
    uint64_t start = uint64_t(index) * s->chunkSize;
    return uint32_t(Min<uint64_t>(s->chunkSize, s->imageSize - start));
}

bool DecodeChunk(Disc* disc, IszState* s, uint32_t index) {
    s->cached = -1;
    const ChunkEntry& e = s->chunks[index];
    IszChunkSource source;
    source.kind = ChunkKindOf(e);
    source.storedLength = ChunkLengthOf(e);
    source.input = nullptr;
    source.inputLength = 0;
    if (source.kind == kChunkStored) {
        source.input = s->chunk;
        source.inputLength = ps::FileRead(disc->main, e.fileOffset, s->chunk, source.storedLength);
    } else if (source.kind != kChunkZeros) {
        source.input = s->input;
        source.inputLength = ps::FileRead(disc->main, e.fileOffset, s->input, source.storedLength);
    }
    uint32_t produced = 0;
    if (!DecodeIszChunk(source, s->chunk, s->chunkSize, kPoolAllocator, &produced))
        return false;
    if (produced < ExpectedChunkBytes(s, index))
        return false; // a short chunk would leave part of the request unread
    s->cached = index;
    s->cachedLength = produced;
    return true;
}

} // namespace

bool PrepareIszState(Disc* disc, const MountRecord& r) {
    uint64_t tableAddress = r.kindPointer;
    uint32_t count = r.kindCount;
    uint32_t chunkSize = r.param80;
    uint32_t inputSize = r.param84;
    if (!tableAddress || count == 0 || count > kMaxChunks || chunkSize == 0 ||
        chunkSize > kMaxChunkSize || inputSize > kMaxChunkSize)
        return false;
    uint64_t imageSize = uint64_t(disc->totalSectors) * disc->bytesPerSector;
    // The chunks must cover the image exactly: no missing chunk, no chunk beyond it.
    if (uint64_t(count) * chunkSize < imageSize || uint64_t(count - 1) * chunkSize >= imageSize)
        return false;
    IszState* s = static_cast<IszState*>(Allocate(ps::kPoolPaged, sizeof(IszState)));
    if (!s)
        return false;
    ZeroBytes(s, sizeof(*s));
    disc->isz = s; // freed with the disc
    s->count = count;
    s->chunkSize = chunkSize;
    s->inputSize = inputSize;
    s->imageSize = imageSize;
    s->cached = -1;
    uint64_t tableBytes = uint64_t(count) * sizeof(ChunkEntry);
    s->chunks = static_cast<ChunkEntry*>(Allocate(ps::kPoolPaged, tableBytes));
    if (!s->chunks || !ps::CopyFromSender(s->chunks, tableAddress, size_t(tableBytes)))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        const ChunkEntry& e = s->chunks[i];
        uint32_t length = ChunkLengthOf(e);
        switch (ChunkKindOf(e)) {
        case kChunkZeros:
        case kChunkStored:
            if (length > chunkSize)
                return false;
            break;
        default:
            if (length == 0 || length > inputSize)
                return false;
            break;
        }
        if (e.fileOffset > UINT64_MAX - length)
            return false;
    }
    s->chunk = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, chunkSize));
    s->input = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, Max<uint32_t>(inputSize, 1)));
    return s->chunk && s->input;
}

void FreeIszState(IszState* s) {
    if (!s)
        return;
    Release(s->chunks);
    Release(s->chunk);
    Release(s->input);
    Release(s);
}

ReadResult ReadIszSectors(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba) {
    IszState* s = disc->isz;
    uint32_t sectorSize = disc->bytesPerSector;
    if (lba >= disc->totalSectors || count > disc->totalSectors - lba)
        return Result(kReadOutOfRange, 0, lba);
    uint64_t position = uint64_t(lba) * sectorSize;
    uint64_t end = position + uint64_t(count) * sectorSize;
    uint32_t done = 0;
    while (position < end) {
        uint32_t index = uint32_t(position / s->chunkSize);
        uint32_t offset = uint32_t(position % s->chunkSize);
        if (s->cached != int64_t(index) && !DecodeChunk(disc, s, index)) {
            uint32_t failed = uint32_t(position / sectorSize);
            uint32_t whole = (failed - lba) * sectorSize;
            return Result(kReadMediumError, whole, failed);
        }
        uint32_t n = uint32_t(Min<uint64_t>(s->cachedLength - offset, end - position));
        CopyBytes(buffer + done, s->chunk + offset, n);
        done += n;
        position += n;
    }
    return Result(kReadOk, done, 0);
}

} // namespace vostrale
