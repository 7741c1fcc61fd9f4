#include "formats/audio_source.h"

namespace vostrale {

uint64_t AudioSourceTotalSamples(const MountRecord& record) {
    if (record.readerKind == kReaderFlac)
        return record.param104;
    if (record.readerKind == kReaderApe)
        return record.param80;
    return 0;
}

} // namespace vostrale
