// Seeds for the ISZ chunk fuzzer: a zlib and a bzip2 chunk (magic overwritten, as real files
// have it), a stored and a zero chunk, each behind the fuzzer's 6 parameter bytes.
#include <bzlib.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

static void WriteSeed(const std::string& path, uint32_t kind, const std::vector<uint8_t>& body,
                      uint32_t capacity) {
    uint32_t length = uint32_t(body.size());
    std::vector<uint8_t> seed = {uint8_t(kind),         uint8_t(length),
                                 uint8_t(length >> 8),  uint8_t(length >> 16),
                                 uint8_t(capacity - 1), uint8_t((capacity - 1) >> 8)};
    seed.insert(seed.end(), body.begin(), body.end());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(seed.data()), std::streamsize(seed.size()));
}

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    std::string dir = argv[1];
    const uint32_t capacity = 8192;
    std::vector<uint8_t> plain(capacity);
    for (uint32_t i = 0; i < capacity; ++i)
        plain[i] = uint8_t("vostrale chunk "[i % 15] ^ (i >> 9));
    uLongf zsize = compressBound(capacity);
    std::vector<uint8_t> z(zsize);
    compress2(z.data(), &zsize, plain.data(), capacity, 9);
    z.resize(zsize);
    WriteSeed(dir + "/zlib", 2, z, capacity);
    unsigned int bsize = capacity + 1000;
    std::vector<uint8_t> b(bsize);
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(b.data()), &bsize,
                             reinterpret_cast<char*>(plain.data()), capacity, 1, 0, 0);
    b.resize(bsize);
    b[0] = b[1] = b[2] = 0;
    WriteSeed(dir + "/bzip2", 3, b, capacity);
    WriteSeed(dir + "/stored", 1, std::vector<uint8_t>(plain.begin(), plain.begin() + 1000),
              capacity);
    WriteSeed(dir + "/zeros", 0, std::vector<uint8_t>(), capacity);
    return 0;
}
