#include "codecs/isz_chunk.h"
#include "common/wire.h"

#include <gtest/gtest.h>

#include <bzlib.h>
#include <zlib.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace vostrale {
namespace {

constexpr uint32_t kChunkSize = 128 * 1024;

// Counts what the decoders take and give back; can be told to refuse after n allocations.
struct CountingHeap {
    int live = 0;
    int total = 0;
    int failAfter = -1;
    static void* Allocate(void* context, size_t bytes) {
        auto* heap = static_cast<CountingHeap*>(context);
        if (heap->failAfter >= 0 && heap->total >= heap->failAfter)
            return nullptr;
        ++heap->total;
        ++heap->live;
        return std::malloc(bytes);
    }
    static void Release(void* context, void* block) {
        --static_cast<CountingHeap*>(context)->live;
        std::free(block);
    }
    CodecAllocator Allocator() { return CodecAllocator{this, Allocate, Release}; }
};

// Compressible content: text-like runs with some noise.
std::vector<uint8_t> SampleData(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = (rng() % 8 == 0) ? uint8_t(rng()) : uint8_t('a' + (i / 7) % 26);
    return data;
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(uLong(data.size()));
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress2(out.data(), &size, data.data(), uLong(data.size()), 6), Z_OK);
    out.resize(size);
    return out;
}

std::vector<uint8_t> Bzip(const std::vector<uint8_t>& data, bool stripMagic) {
    unsigned int size = unsigned(data.size() + data.size() / 100 + 600);
    std::vector<uint8_t> out(size);
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size,
                                       reinterpret_cast<char*>(const_cast<uint8_t*>(data.data())),
                                       unsigned(data.size()), 9, 0, 0),
              BZ_OK);
    out.resize(size);
    if (stripMagic) {
        out[0] = 0;
        out[1] = 0;
        out[2] = 0;
    }
    return out;
}

struct Decoded {
    bool ok;
    std::vector<uint8_t> bytes;
};

Decoded Decode(uint32_t kind, std::vector<uint8_t> input, uint32_t storedLength, uint32_t capacity,
               CountingHeap* heap) {
    // The chunk buffer is followed by guard bytes that must stay untouched.
    std::vector<uint8_t> chunk(capacity + 64, 0xCD);
    IszChunkSource source{kind, storedLength, input.empty() ? nullptr : input.data(),
                          uint32_t(input.size())};
    uint32_t produced = 0xFFFFFFFF;
    bool ok = DecodeIszChunk(source, chunk.data(), capacity, heap->Allocator(), &produced);
    for (size_t i = capacity; i < chunk.size(); ++i)
        EXPECT_EQ(chunk[i], 0xCD) << "write past the chunk buffer at " << i;
    EXPECT_EQ(heap->live, 0) << "leaked allocation";
    if (!ok) {
        EXPECT_EQ(produced, 0u);
        return {false, {}};
    }
    EXPECT_LE(produced, capacity);
    chunk.resize(produced);
    return {true, chunk};
}

TEST(IszChunk, DecodesEveryKind) {
    std::vector<uint8_t> full = SampleData(kChunkSize, 1);
    std::vector<uint8_t> lastChunk = SampleData(50000, 2);
    std::vector<uint8_t> zlibFull = Deflate(full);
    std::vector<uint8_t> bzipStripped = Bzip(full, true);
    std::vector<uint8_t> bzipIntact = Bzip(lastChunk, false);
    struct Case {
        const char* name;
        uint32_t kind;
        std::vector<uint8_t> input;
        const std::vector<uint8_t>* expect;
    } cases[] = {
        {"stored", kChunkStored, full, &full},
        {"zlib full chunk", kChunkZlib, zlibFull, &full},
        {"zlib short last chunk", kChunkZlib, Deflate(lastChunk), &lastChunk},
        {"bzip2 with magic overwritten", kChunkBzip2, bzipStripped, &full},
        {"bzip2 with magic intact", kChunkBzip2, bzipIntact, &lastChunk},
    };
    for (const Case& c : cases) {
        CountingHeap heap;
        // The input buffer is larger than the stored bytes, as the largest-chunk buffer is.
        std::vector<uint8_t> input = c.input;
        input.resize(input.size() + 100, 0x77);
        Decoded d = Decode(c.kind, input, uint32_t(c.input.size()), kChunkSize, &heap);
        ASSERT_TRUE(d.ok) << c.name;
        EXPECT_EQ(d.bytes, *c.expect) << c.name;
    }
}

TEST(IszChunk, ZeroChunkNeedsNoInput) {
    CountingHeap heap;
    Decoded d = Decode(kChunkZeros, {}, 4096, kChunkSize, &heap);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, std::vector<uint8_t>(4096, 0));
    EXPECT_EQ(heap.total, 0);
}

TEST(IszChunk, StoredChunkReadInPlace) {
    std::vector<uint8_t> chunk = SampleData(1000, 3);
    std::vector<uint8_t> expect = chunk;
    CountingHeap heap;
    IszChunkSource source{kChunkStored, 1000, chunk.data(), 1000};
    uint32_t produced = 0;
    ASSERT_TRUE(DecodeIszChunk(source, chunk.data(), 1000, heap.Allocator(), &produced));
    EXPECT_EQ(produced, 1000u);
    EXPECT_EQ(chunk, expect);
}

TEST(IszChunk, HostileChunksFailCleanly) {
    std::vector<uint8_t> full = SampleData(kChunkSize, 4);
    std::vector<uint8_t> zlibFull = Deflate(full);
    std::vector<uint8_t> bzipFull = Bzip(full, true);
    std::vector<uint8_t> zlibCorrupt = zlibFull;
    zlibCorrupt[zlibCorrupt.size() / 2] ^= 0x55;
    std::vector<uint8_t> bzipCorrupt = bzipFull;
    bzipCorrupt[bzipCorrupt.size() / 2] ^= 0x55;
    std::vector<uint8_t> bigger = SampleData(kChunkSize + 1, 5);
    struct Case {
        const char* name;
        uint32_t kind;
        std::vector<uint8_t> input;
        uint32_t storedLength;
        uint32_t capacity;
    } cases[] = {
        {"zero chunk longer than the buffer", kChunkZeros, {}, kChunkSize + 1, kChunkSize},
        {"zero chunk of length 0", kChunkZeros, {}, 0, kChunkSize},
        {"stored longer than the chunk", kChunkStored, bigger, kChunkSize + 1, kChunkSize},
        {"stored longer than the input", kChunkStored, std::vector<uint8_t>(100), 101, kChunkSize},
        {"zlib longer than the input", kChunkZlib, zlibFull, uint32_t(zlibFull.size() + 1),
         kChunkSize},
        {"zlib corrupt", kChunkZlib, zlibCorrupt, uint32_t(zlibCorrupt.size()), kChunkSize},
        {"zlib truncated", kChunkZlib, zlibFull, uint32_t(zlibFull.size() - 10), kChunkSize},
        {"zlib larger than the chunk", kChunkZlib, zlibFull, uint32_t(zlibFull.size()),
         kChunkSize - 1},
        {"zlib of random bytes", kChunkZlib, SampleData(500, 6), 500, kChunkSize},
        {"bzip2 corrupt", kChunkBzip2, bzipCorrupt, uint32_t(bzipCorrupt.size()), kChunkSize},
        {"bzip2 truncated", kChunkBzip2, bzipFull, uint32_t(bzipFull.size() - 10), kChunkSize},
        {"bzip2 larger than the chunk", kChunkBzip2, bzipFull, uint32_t(bzipFull.size()),
         kChunkSize - 1},
        {"bzip2 of 3 bytes", kChunkBzip2, std::vector<uint8_t>(3), 3, kChunkSize},
        {"unknown kind", 4, std::vector<uint8_t>(100), 100, kChunkSize},
    };
    for (const Case& c : cases) {
        CountingHeap heap;
        Decoded d = Decode(c.kind, c.input, c.storedLength, c.capacity, &heap);
        EXPECT_FALSE(d.ok) << c.name;
    }
}

TEST(IszChunk, AllocatorFailureIsAFailure) {
    std::vector<uint8_t> full = SampleData(kChunkSize, 7);
    for (uint32_t kind : {uint32_t(kChunkZlib), uint32_t(kChunkBzip2)}) {
        std::vector<uint8_t> input = kind == kChunkZlib ? Deflate(full) : Bzip(full, true);
        for (int failAfter = 0; failAfter < 3; ++failAfter) {
            CountingHeap heap;
            heap.failAfter = failAfter;
            Decoded d = Decode(kind, input, uint32_t(input.size()), kChunkSize, &heap);
            if (d.ok) {
                EXPECT_EQ(d.bytes, full);
            }
            if (failAfter == 0) {
                EXPECT_FALSE(d.ok) << kind;
            }
        }
    }
}

} // namespace
} // namespace vostrale
