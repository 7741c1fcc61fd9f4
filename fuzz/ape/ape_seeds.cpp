// Writes seeds into argv[1]: small whole sample files (header target) or their first frames with
// matching stream parameters (frame target).
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kSmallFiles[] = {
    "encoded/short1000_s16_c2000.ape", "encoded/short1000_s16_c5000.ape",
    "encoded/silence3s_s16_c2000.ape", "real/mutagen-mac-399.ape",
    "real/taglib-mac-396.ape",         "real/taglib-longloop.ape",
    "real/taglib-zerodiv.ape",
};

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
           (uint32_t(b[at + 3]) << 24);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    const fs::path dir = argv[1];
    fs::create_directories(dir);
    const fs::path samples = fs::path(VOSTRALE_SHARED_DIR) / "testdata" / "ape";
    int index = 0;
    for (const char* name : kSmallFiles) {
        std::vector<uint8_t> file = ReadFile(samples / name);
        if (file.empty())
            continue;
#ifdef APE_SEEDS_FRAMES
        // Version 3990 layout: descriptor 52, header 24; frames start after table and WAV header.
        if (file.size() < 100 || Le32(file, 4) % 65536 != 3990 || Le32(file, 8) != 52)
            continue;
        const size_t first = 52 + 24 + Le32(file, 16) + Le32(file, 20);
        if (first >= file.size())
            continue;
        const uint32_t level = (Le32(file, 52) & 0xFFFF) / 1000 - 1;
        const uint32_t blocks = Le32(file, 52 + 8) - 1;
        // Parameter bytes: version 3990, level, stereo (bit 0) and 16-bit (index 1), blocks - 1,
        // skip.
        std::vector<uint8_t> seed = {
            3, uint8_t(level), 1 | (1 << 1), uint8_t(blocks), uint8_t(blocks >> 8), 0};
        seed.insert(seed.end(), file.begin() + std::ptrdiff_t(first), file.end());
        file = seed;
#endif
        std::ofstream out(dir / ("seed" + std::to_string(index++)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    }
    return 0;
}
