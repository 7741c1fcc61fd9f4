// An ISZ header followed by its chunk table; the input's length stands for the file size.
#include "formats/isz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < vostrale::kIszHeaderSize)
        return 0;
    const vostrale::IszHeader h = vostrale::ReadIszHeader(data);
    if (!vostrale::CheckIszHeader(h).empty())
        return 0;
    const uint8_t* table = nullptr;
    if (h.tableOffset != 0) {
        const uint64_t need = uint64_t(h.chunks) * 3;
        if (h.tableOffset > size || size - h.tableOffset < need)
            return 0;
        table = data + h.tableOffset;
    }
    std::vector<vostrale::ChunkEntry> chunks;
    uint32_t largest = 0;
    std::string problem;
    vostrale::BuildIszChunks(h, table, size, &chunks, &largest, &problem);
    return 0;
}
