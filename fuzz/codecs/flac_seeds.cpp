// Seeds for the FLAC frame fuzzer: the first frames of the real samples, with the parameter
// bytes the fuzzer expects in front.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    const char* names[] = {"subset-01-blocksize-4096.flac",
                           "subset-03-blocksize-16.flac",
                           "subset-14-wasted-bits.flac",
                           "subset-16-partition-order-8-containing-escaped-partitions.flac",
                           "subset-17-all-fixed-orders.flac",
                           "subset-64-rice-partitions-with-escape-code-zero.flac"};
    const uint8_t selectors[] = {8, 0, 5, 8, 7, 8}; // blockSize = 16 << selector
    int index = 0;
    for (const char* name : names) {
        std::ifstream in(std::string(VOSTRALE_SHARED_DIR) + "/testdata/flac/" + name,
                         std::ios::binary);
        std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        // Skip the metadata blocks.
        size_t pos = 4;
        while (file.size() >= pos + 4) {
            bool last = file[pos] & 0x80;
            pos += 4 + (size_t(file[pos + 1]) << 16 | size_t(file[pos + 2]) << 8 | file[pos + 3]);
            if (last)
                break;
        }
        if (pos >= file.size())
            continue;
        size_t take = std::min<size_t>(file.size() - pos, 24000);
        std::vector<uint8_t> seed = {selectors[index], 1};
        seed.insert(seed.end(), file.begin() + pos, file.begin() + pos + take);
        std::ofstream out(std::string(argv[1]) + "/flac" + std::to_string(index), std::ios::binary);
        out.write(reinterpret_cast<const char*>(seed.data()), std::streamsize(seed.size()));
        ++index;
    }
    return 0;
}
