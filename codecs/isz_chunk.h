// One chunk of a compressed (ISZ) image: zeros, stored, zlib or bzip2, decoded into the
// caller's chunk buffer. Whatever the chunk table claims, nothing is read beyond the input
// bytes given or written beyond the chunk buffer.
#pragma once

#include "codecs/allocator.h"
#include "common/kstd.h"

namespace vostrale {

struct IszChunkSource {
    uint32_t kind;         // ChunkStorage: 0 zeros, 1 stored, 2 zlib, 3 bzip2
    uint32_t storedLength; // from the chunk table (zeros: the uncompressed length)
    uint8_t* input;        // the stored bytes as read from the file (unused for zeros); bzip2
                           // chunks get their "BZh" magic written back in place
    uint32_t inputLength;  // bytes actually available at input
};

// Decodes into chunk[0..chunkCapacity). On success *produced is the number of bytes
// uncompressed (the last chunk of an image is shorter). Fails on a stored length beyond the
// input or the chunk buffer, on corrupt or truncated compressed data, on data that would
// overflow the chunk buffer, and when the allocator fails. For stored chunks input may equal
// chunk (read straight into the chunk buffer).
bool DecodeIszChunk(const IszChunkSource& source, uint8_t* chunk, uint32_t chunkCapacity,
                    const CodecAllocator& allocator, uint32_t* produced);

} // namespace vostrale
