#include "formats/wav.h"

#include "common/bytes.h"

#include <cstring>

namespace vostrale {

namespace {
constexpr uint32_t kRiffHeaderSize = 12;
constexpr uint32_t kChunkHeaderSize = 8;
constexpr uint32_t kFmtMinSize = 16;
constexpr uint32_t kFmtChannels = 2;
constexpr uint32_t kFmtRate = 4;
constexpr uint32_t kFmtBits = 14;
constexpr uint32_t kMaxChunks = 4096; // a real file has a handful; bounds the walk
} // namespace

WavResult ReadWavInfo(platform::NativeFile file, uint64_t fileSize, WavInfo* info) {
    *info = WavInfo{};
    uint8_t riff[kRiffHeaderSize];
    if (!platform::ReadExactlyAt(file, 0, riff, sizeof(riff)) ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return WavResult::kNotWave;
    uint64_t at = kRiffHeaderSize;
    for (uint32_t n = 0; n < kMaxChunks && fileSize - at >= kChunkHeaderSize; ++n) {
        uint8_t header[kChunkHeaderSize];
        if (!platform::ReadExactlyAt(file, at, header, sizeof(header)))
            break;
        const uint64_t size = LoadLe32(header + 4);
        const uint64_t body = at + kChunkHeaderSize;
        if (std::memcmp(header, "fmt ", 4) == 0 && !info->hasFormat && size >= kFmtMinSize) {
            uint8_t fmt[kFmtMinSize];
            if (!platform::ReadExactlyAt(file, body, fmt, sizeof(fmt)))
                break;
            info->formatTag = LoadLe16(fmt);
            info->channels = LoadLe16(fmt + kFmtChannels);
            info->sampleRate = LoadLe32(fmt + kFmtRate);
            info->bitsPerSample = LoadLe16(fmt + kFmtBits);
            info->hasFormat = true;
        } else if (std::memcmp(header, "data", 4) == 0 && !info->hasData) {
            info->dataOffset = body;
            info->dataSize = fileSize - body < size ? fileSize - body : size;
            info->hasData = true;
        }
        if (info->hasFormat && info->hasData)
            break;
        // Chunks are padded to an even length.
        const uint64_t next = body + size + (size & 1);
        if (next > fileSize)
            break;
        at = next;
    }
    return info->hasFormat && info->hasData ? WavResult::kOk : WavResult::kIncomplete;
}

} // namespace vostrale
