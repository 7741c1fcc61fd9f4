// The .ids seek-table cache reader over arbitrary files: it must accept only images whose
// every entry lies inside the file and increases.
#include "formats/flac_seek_cache.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    FlacCacheKey key{};
    for (int i = 0; i < 16; ++i)
        key.md5[i] = uint8_t(i);
    key.blockSize = 4096;
    key.fileSize = 1000000;
    key.firstFrame = 8192;
    FlacCacheContents contents;
    if (!ParseFlacSeekCache(data, size, key, &contents))
        return 0;
    if (contents.points.size() < 2 || contents.points.front().fileOffset != key.firstFrame ||
        contents.points.back().fileOffset != key.fileSize)
        __builtin_trap();
    for (size_t i = 1; i < contents.points.size(); ++i) {
        if (contents.points[i].fileOffset <= contents.points[i - 1].fileOffset)
            __builtin_trap();
    }
    return 0;
}
