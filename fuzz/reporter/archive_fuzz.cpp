// The uploader's reading of a report archive: directory, extraction, the copy without
// screenshots and the detail-view names, over arbitrary bytes.
#include "reporter/report_archive.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    std::vector<uint8_t> zip(data, data + size);
    std::vector<ArchiveEntry> entries;
    if (!ReadArchiveDirectory(zip, &entries))
        return 0;
    std::vector<uint8_t> out;
    for (const ArchiveEntry& e : entries) {
        ExtractEntry(zip, e, 1 << 20, &out);
        bool scrambled = false;
        std::string name = DetailFileName(e.name, &scrambled);
        if (name.find_first_of("/\\") != std::string::npos)
            __builtin_trap();
    }
    std::vector<uint8_t> without;
    if (WithoutScreenshots(zip, &without) && !ReadArchiveDirectory(without, &entries))
        __builtin_trap(); // the copy must read back
    return 0;
}
