// An MDS description and the layout built from it.
#include "formats/layout.h"
#include "formats/mds.h"
#include "formats/trace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vostrale::SetParserTraceStream(nullptr);
    vostrale::MdsDisc disc;
    if (!vostrale::ParseMdsDescription(data, size, &disc, nullptr))
        return 0;
    vostrale::MountRecord record{};
    vostrale::BuildMdsLayout(disc, &record);
    vostrale::ReleaseLayout(&record);
    return 0;
}
