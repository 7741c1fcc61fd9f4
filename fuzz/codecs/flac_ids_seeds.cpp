// Seeds for the .ids fuzzer: valid cache images for the fuzzer's key.
#include "formats/flac_seek_cache.h"

#include <fstream>
#include <string>

int main(int argc, char** argv) {
    using namespace vostrale;
    if (argc < 2)
        return 1;
    FlacCacheKey key{};
    for (int i = 0; i < 16; ++i)
        key.md5[i] = uint8_t(i);
    key.blockSize = 4096;
    key.fileSize = 1000000;
    key.firstFrame = 8192;
    for (uint32_t frames : {1u, 10u, 200u}) {
        FlacCacheContents contents;
        uint32_t span = (key.fileSize - key.firstFrame) / frames;
        for (uint32_t i = 0; i < frames; ++i)
            contents.points.push_back(SeekPoint{i * 4096, key.firstFrame + i * span});
        contents.totalSamples = frames * 4096 - 100;
        contents.points.push_back(SeekPoint{contents.totalSamples, key.fileSize});
        contents.maxFrameSize = span;
        std::vector<uint8_t> image = BuildFlacSeekCache(key, contents);
        std::ofstream out(std::string(argv[1]) + "/ids" + std::to_string(frames), std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }
    return 0;
}
