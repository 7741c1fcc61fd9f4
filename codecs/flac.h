// FLAC frame decoding (frame header, CONSTANT, VERBATIM, FIXED and LPC subframes, Rice and
// escaped residual partitions, wasted bits, stereo decorrelation) on caller buffers. The frame
// CRCs are not checked. Malformed input fails the frame; nothing is read or written outside
// the buffers given.
#pragma once

#include "common/kstd.h"

namespace vostrale {

constexpr uint32_t kFlacMaxChannels = 8;
constexpr uint32_t kFlacMaxBlockSize = 65536;
constexpr uint32_t kFlacMaxBitsPerSample = 32;

enum FlacChannelAssignment : uint8_t {
    kFlacIndependent = 0, // codes 0..7: that many + 1 independent channels
    kFlacLeftSide = 8,
    kFlacRightSide = 9,
    kFlacMidSide = 10,
};

struct FlacFrameInfo {
    uint32_t blockSize; // samples per channel in this frame
    uint32_t channels;
    uint32_t assignment; // channel assignment code (0..10)
    uint32_t bitsPerSample;
    uint32_t sampleRate;   // 0 when the header refers to the stream's rate
    bool variableBlocking; // number is a sample number rather than a frame number
    uint64_t number;
};

// Decodes the frame that starts at data[0]. Each of the `bufferCount` channel buffers holds
// `capacity` samples; the frame's channels come out decorrelated (left, right, ...) as 32-bit
// samples. streamBitsPerSample is used when the header defers to the stream. Returns the bytes
// the frame occupies (header to CRC-16 inclusive), or 0 when the frame is malformed, truncated,
// has more channels than buffers or a block larger than `capacity`.
size_t DecodeFlacFrame(const uint8_t* data, size_t size, uint32_t streamBitsPerSample,
                       int32_t* const* channelBuffers, uint32_t bufferCount, uint32_t capacity,
                       FlacFrameInfo* info);

// What a group decode checks every frame against.
struct FlacStreamParams {
    uint32_t blockSize;     // the stream's fixed block size
    uint32_t bitsPerSample; // must be 16
    uint32_t channels;      // must be 2
};

// Decodes up to `frameCount` consecutive frames from group[0..groupSize) into interleaved
// 16-bit little-endian stereo PCM (4 bytes per sample frame) at pcm, which holds
// pcmCapacity sample frames. left and right are scratch arrays of params.blockSize samples.
// Every frame must be 2-channel 16-bit with the stream's block size; only the final frame
// decoded may be shorter. Returns the sample frames written; 0 when any frame fails, when the
// stream parameters are not 16-bit stereo, or when the output would not fit.
uint32_t DecodeFlacGroup(const uint8_t* group, size_t groupSize, uint32_t frameCount,
                         const FlacStreamParams& params, int32_t* left, int32_t* right,
                         uint8_t* pcm, uint32_t pcmCapacity);

// Rice codes are decoded with LZCNT and BMI2 where the CPU has them; false keeps the baseline
// instructions that CPUs without them run (for comparisons; not thread-safe, set it before
// decoding).
void FlacAllowBitInstructions(bool allow);

} // namespace vostrale
