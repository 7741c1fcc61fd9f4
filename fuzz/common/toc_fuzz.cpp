// SectorTypeOf, the single-session TOC writer and the TOC length check over arbitrary bytes.
#include "common/disc.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    if (size >= 32)
        (void)SectorTypeOf(data);
    (void)FullTocDescriptorCount(data, uint32_t(size));
    if (size < 6)
        return 0;
    uint32_t count = data[0] % 100;
    uint32_t total = uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
    std::vector<uint32_t> starts(count);
    for (uint32_t i = 0; i < count; ++i)
        starts[i] = i < size ? uint32_t(data[i]) * 1000u : i;
    std::vector<uint8_t> block(FullTocSize(count + 3));
    WriteSingleSessionToc(starts.data(), count, total, data[4], data[5], block.data());
    if (FullTocDescriptorCount(block.data(), uint32_t(block.size())) != int32_t(count + 3))
        __builtin_trap();
    return 0;
}
