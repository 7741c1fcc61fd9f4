// Seed blocks: crash with archive, silent feedback without one, a cut block.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

static void Write(const std::string& dir, const char* name, uint32_t flags,
                  const std::vector<std::string>& strings, size_t cut = 0) {
    std::vector<char> b(8, 0);
    for (int i = 0; i < 4; ++i)
        b[4 + i] = char(flags >> (8 * i));
    for (const std::string& s : strings) {
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
    }
    b.push_back(0);
    b.resize(b.size() - cut);
    std::ofstream(dir + "/" + name, std::ios::binary).write(b.data(), std::streamsize(b.size()));
}

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    std::string dir = argv[1];
    Write(dir, "crash", 0xB91E0000u, {"Vostrale", "Vostrale", "vostrale.exe", "127.0.0.1:8080", "C:\\r.zip"});
    Write(dir, "silent", 0xB91E0011u, {"Vostrale", "me@example.org", "message text", "report.example.org"});
    Write(dir, "cut", 0xB91E0001u, {"Vostrale", "Vostrale", "vostrale.exe", "h:1"}, 3);
    return 0;
}
