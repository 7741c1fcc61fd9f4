// The FLAC frame decoder over arbitrary bytes: a single frame with generous buffers, and the
// 16-bit stereo group decode with tight ones (the group is copied into a block of its exact
// size so that any over-read is caught).
#include "codecs/flac.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    if (size < 2)
        return 0;
    const uint32_t blockSize = 16u << (data[0] % 9); // 16 .. 4096
    const uint32_t frames = 1 + data[1] % 4;
    std::vector<uint8_t> group(data + 2, data + size);

    static std::vector<int32_t> channels[kFlacMaxChannels];
    int32_t* buffers[kFlacMaxChannels];
    for (uint32_t c = 0; c < kFlacMaxChannels; ++c) {
        channels[c].resize(blockSize);
        buffers[c] = channels[c].data();
    }
    FlacFrameInfo info;
    size_t used = DecodeFlacFrame(group.data(), group.size(), 16, buffers, kFlacMaxChannels,
                                  blockSize, &info);
    if (used > group.size() || (used != 0 && info.blockSize > blockSize))
        __builtin_trap();

    std::vector<int32_t> left(blockSize), right(blockSize);
    std::vector<uint8_t> pcm(size_t(blockSize) * frames * 4);
    uint32_t got =
        DecodeFlacGroup(group.data(), group.size(), frames, FlacStreamParams{blockSize, 16, 2},
                        left.data(), right.data(), pcm.data(), blockSize * frames);
    if (got > blockSize * frames)
        __builtin_trap();
    return 0;
}
