// Seed archives as the tray program writes them.
#include "app/zip_builder.h"

#include <fstream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    vostrale::app::LocalTime t{2026, 12, 11, 10, 0, 0};
    std::vector<uint8_t> a(3000, 'A'), b = {'l', 'o', 'g'};
    for (int n = 0; n < 2; ++n) {
        vostrale::app::ZipBuilder zip;
        zip.Add(L"sc1.bin", a.data(), a.size(), t);
        zip.Add(L"log.txt", b.data(), b.size(), t);
        if (n)
            zip.Add(L"sy.bin", a.data(), 100, t);
        std::vector<uint8_t> out;
        zip.Build(&out);
        std::ofstream(std::string(argv[1]) + "/report" + std::to_string(n) + ".zip", std::ios::binary)
            .write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
    }
    return 0;
}
