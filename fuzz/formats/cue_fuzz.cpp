// The CUE sheet reader over arbitrary text.
#include "formats/cue.h"
#include "formats/trace.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vostrale::SetParserTraceStream(nullptr);
    vostrale::CueSheet sheet;
    vostrale::ParseCueSheet(reinterpret_cast<const char*>(data), size, &sheet);
    return 0;
}
