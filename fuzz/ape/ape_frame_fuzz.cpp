// One APE frame under mutated stream parameters. Input: version selector, level index,
// channels and bits, blocks (u16 LE), skip, then the frame's words.
#include "codecs/ape/ape_decoder.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {
constexpr uint16_t kVersions[] = {3930, 3950, 3980, 3990};
constexpr uint16_t kBits[] = {8, 16, 24};
constexpr size_t kParamBytes = 6;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    if (size < kParamBytes)
        return 0;
    ApeStreamInfo info{};
    info.version = kVersions[data[0] % 4];
    info.levelIndex = uint16_t(data[1] % (kApeMaxLevelIndex + 1));
    info.channels = uint16_t(1 + (data[2] & 1));
    info.bitsPerSample = kBits[(data[2] >> 1) % 3];
    const uint32_t blocks = 1 + (uint32_t(data[3]) | (uint32_t(data[4]) << 8));
    const uint32_t skip = data[5] & 3;
    static ApeDecoder decoder;
    if (!ApeInitDecoder(&decoder, info))
        __builtin_trap();
    // Exactly sized buffers, so ASan sees any write or read outside them.
    std::vector<uint8_t> input(data + kParamBytes, data + size);
    std::vector<uint8_t> pcm(size_t(ApePcmBytes(info, blocks)));
    uint32_t decoded =
        ApeDecodeFrame(&decoder, input.data(), input.size(), skip, blocks, pcm.data(), pcm.size());
    if (decoded != 0 && decoded != blocks)
        __builtin_trap();
    return 0;
}
