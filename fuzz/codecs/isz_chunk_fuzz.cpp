// ISZ chunk decoding over arbitrary chunk bytes and table claims: kind and stored length come
// from the input, the chunk buffer is small, and the input block has exactly the bytes given.
#include "codecs/isz_chunk.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
void* Allocate(void*, size_t bytes) {
    return std::malloc(bytes);
}
void Release(void*, void* block) {
    std::free(block);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    if (size < 7)
        return 0;
    uint32_t kind = data[0] & 3;
    uint32_t storedLength =
        uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3] & 0x3F) << 16;
    uint32_t capacity = 1 + (uint32_t(data[4]) | uint32_t(data[5]) << 8); // up to 64 KiB
    std::vector<uint8_t> input(data + 6, data + size);
    std::vector<uint8_t> chunk(capacity);
    CodecAllocator allocator{nullptr, Allocate, Release};
    IszChunkSource source{kind, storedLength, input.data(), uint32_t(input.size())};
    uint32_t produced = 0;
    if (DecodeIszChunk(source, chunk.data(), capacity, allocator, &produced) && produced > capacity)
        __builtin_trap();
    return 0;
}
