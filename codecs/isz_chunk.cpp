#include "codecs/isz_chunk.h"

#include "common/wire.h"

#include <zlib.h>

#if defined(VOSTRALE_KERNEL) && defined(_WIN32)
// On Windows bzlib.h includes windows.h, which the driver's freestanding build does not have.
// These are the library's stable public declarations for the stream decompressor.
extern "C" {
typedef struct {
    char* next_in;
    unsigned int avail_in;
    unsigned int total_in_lo32;
    unsigned int total_in_hi32;
    char* next_out;
    unsigned int avail_out;
    unsigned int total_out_lo32;
    unsigned int total_out_hi32;
    void* state;
    void* (*bzalloc)(void*, int, int);
    void (*bzfree)(void*, void*);
    void* opaque;
} bz_stream;
int BZ2_bzDecompressInit(bz_stream* strm, int verbosity, int small);
int BZ2_bzDecompress(bz_stream* strm);
int BZ2_bzDecompressEnd(bz_stream* strm);
}
#define BZ_OK 0
#define BZ_STREAM_END 4
#else
#include <bzlib.h>
#endif

namespace vostrale {
namespace {

constexpr uint32_t kBzipMagicSize = 3; // "BZh"; byte 3 (the block-size digit) is kept

voidpf ZlibAllocate(voidpf opaque, uInt items, uInt size) {
    const CodecAllocator* allocator = static_cast<const CodecAllocator*>(opaque);
    if (size != 0 && items > ~size_t(0) / size)
        return nullptr;
    return allocator->allocate(allocator->context, size_t(items) * size);
}

void ZlibRelease(voidpf opaque, voidpf block) {
    const CodecAllocator* allocator = static_cast<const CodecAllocator*>(opaque);
    if (block)
        allocator->release(allocator->context, block);
}

void* BzipAllocate(void* opaque, int items, int size) {
    const CodecAllocator* allocator = static_cast<const CodecAllocator*>(opaque);
    if (items < 0 || size < 0)
        return nullptr;
    return allocator->allocate(allocator->context, size_t(items) * size_t(size));
}

void BzipRelease(void* opaque, void* block) {
    const CodecAllocator* allocator = static_cast<const CodecAllocator*>(opaque);
    if (block)
        allocator->release(allocator->context, block);
}

bool Inflate(uint8_t* input, uint32_t length, uint8_t* chunk, uint32_t capacity,
             const CodecAllocator& allocator, uint32_t* produced) {
    z_stream stream;
    ZeroBytes(&stream, sizeof(stream));
    stream.zalloc = ZlibAllocate;
    stream.zfree = ZlibRelease;
    stream.opaque = const_cast<CodecAllocator*>(&allocator);
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_in = input;
    stream.avail_in = length;
    stream.next_out = chunk;
    stream.avail_out = capacity;
    int result = inflate(&stream, Z_FINISH);
    uint32_t left = stream.avail_out;
    inflateEnd(&stream);
    // Only a complete stream counts: a truncated chunk or one larger than the chunk buffer is
    // damage, not a short chunk.
    if (result != Z_STREAM_END)
        return false;
    *produced = capacity - left;
    return true;
}

bool Bunzip(uint8_t* input, uint32_t length, uint8_t* chunk, uint32_t capacity,
            const CodecAllocator& allocator, uint32_t* produced) {
    if (length <= kBzipMagicSize)
        return false;
    // Some writers overwrite the stream's magic; it is always "BZh", so put it back.
    input[0] = 'B';
    input[1] = 'Z';
    input[2] = 'h';
    bz_stream stream;
    ZeroBytes(&stream, sizeof(stream));
    stream.bzalloc = BzipAllocate;
    stream.bzfree = BzipRelease;
    stream.opaque = const_cast<CodecAllocator*>(&allocator);
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK)
        return false;
    stream.next_in = reinterpret_cast<char*>(input);
    stream.avail_in = length;
    stream.next_out = reinterpret_cast<char*>(chunk);
    stream.avail_out = capacity;
    int result = BZ2_bzDecompress(&stream);
    uint32_t left = stream.avail_out;
    BZ2_bzDecompressEnd(&stream);
    if (result != BZ_STREAM_END)
        return false;
    *produced = capacity - left;
    return true;
}

} // namespace

bool DecodeIszChunk(const IszChunkSource& source, uint8_t* chunk, uint32_t chunkCapacity,
                    const CodecAllocator& allocator, uint32_t* produced) {
    *produced = 0;
    const uint32_t length = source.storedLength;
    if (source.kind == kChunkZeros) {
        if (length == 0 || length > chunkCapacity)
            return false;
        ZeroBytes(chunk, length);
        *produced = length;
        return true;
    }
    if (length == 0 || source.input == nullptr || length > source.inputLength)
        return false;
    switch (source.kind) {
    case kChunkStored:
        if (length > chunkCapacity)
            return false;
        if (source.input != chunk)
            MoveBytes(chunk, source.input, length);
        *produced = length;
        return true;
    case kChunkZlib:
        return Inflate(source.input, length, chunk, chunkCapacity, allocator, produced);
    case kChunkBzip2:
        return Bunzip(source.input, length, chunk, chunkCapacity, allocator, produced);
    default:
        return false;
    }
}

} // namespace vostrale
