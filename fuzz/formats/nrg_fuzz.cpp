// The NRG chunk list (the bytes between the list offset and the footer) and the layout built
// from it.
#include "formats/layout.h"
#include "formats/nrg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vostrale::NrgDisc disc;
    if (!vostrale::ParseNrgChunkList(data, size, &disc, nullptr) || disc.totalSectors <= 0)
        return 0;
    vostrale::MountRecord record{};
    vostrale::BuildNrgLayout(disc, &record);
    vostrale::ReleaseLayout(&record);
    return 0;
}
