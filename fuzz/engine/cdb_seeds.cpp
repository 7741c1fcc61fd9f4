// Seeds for the CDB fuzzer: the commands a class driver sends to a new drive, and raw reads.
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    std::vector<std::vector<int>> cdbs = {
        {0x00},
        {0x12, 0, 0, 0, 96},
        {0x25},
        {0x46, 0, 0, 0, 0, 0, 0, 1, 0},
        {0x5A, 8, 0x2A, 0, 0, 0, 0, 0, 40},
        {0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8},
        {0x43, 2, 0, 0, 0, 0, 0, 4, 0},
        {0x43, 0, 2, 0, 0, 0, 0, 4, 0},
        {0x43, 0, 5, 0, 0, 0, 0, 4, 0},
        {0x28, 0, 0, 0, 0, 14, 0, 0, 4},
        {0xBE, 0, 0, 0, 0, 18, 0, 0, 4, 0xF8, 1},
        {0xBE, 4, 0, 0, 0, 40, 0, 0, 10, 0xFC, 2},
        {0x42, 2, 0x40, 1, 0, 0, 0, 0, 16},
        {0x51, 0, 0, 0, 0, 0, 0, 0, 34},
        {0x52, 1, 0, 0, 0, 2, 0, 0, 36},
        {0x1B, 0, 0, 0, 2},
        {0x03, 0, 0, 0, 18},
        {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 8},
        {0xAD, 0, 0, 0, 0, 0, 0, 0, 8, 4},
        {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0x40},
        {0x42, 0, 0x40, 3, 0, 0, 1, 0, 24},
        {0xBE, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2},
        {0x15, 0x10, 0, 0, 12},
        {0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0},
    };
    std::vector<unsigned char> all;
    for (size_t i = 0; i < cdbs.size(); ++i) {
        std::vector<unsigned char> record(19, 0);
        for (size_t j = 0; j < cdbs[i].size() && j < 16; ++j)
            record[j] = (unsigned char)cdbs[i][j];
        unsigned length = 12 * 2448;
        record[16] = (unsigned char)length;
        record[17] = (unsigned char)(length >> 8);
        all.insert(all.end(), record.begin(), record.end());
        FILE* f = std::fopen((std::string(argv[1]) + "/cdb" + std::to_string(i)).c_str(), "wb");
        if (f) {
            std::fwrite(record.data(), 1, record.size(), f);
            std::fclose(f);
        }
    }
    FILE* f = std::fopen((std::string(argv[1]) + "/all").c_str(), "wb");
    if (f) {
        std::fwrite(all.data(), 1, all.size(), f);
        std::fclose(f);
    }
    return 0;
}
