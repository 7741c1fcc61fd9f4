// Compressed and decoded kinds whose decoders are not part of the engine yet: such discs are
// refused at mount with nothing attached.
#include "driver/core/reader_kinds.h"

namespace vostrale {

bool PrepareIszState(Disc*, const MountRecord&) {
    return false;
}
void FreeIszState(IszState*) {}
ReadResult ReadIszSectors(Disc*, uint8_t*, uint32_t, uint32_t lba) {
    return {kReadMediumError, 0, lba, 0};
}

bool PrepareAudioDecoder(Disc*, const MountRecord&) {
    return false;
}
void FreeAudioDecoder(AudioDecoder*) {}
ReadResult ReadAudioSectors(Disc*, uint8_t*, uint32_t, uint32_t lba) {
    return {kReadMediumError, 0, lba, 0};
}

} // namespace vostrale
