#include "formats/audio_source.h"

namespace vostrale {

int OpenFlacSource(platform::NativeFile, MountRecord*, const std::filesystem::path&, const ParserIo& io) {
    ReportError(io, "FLAC audio files are not supported yet");
    return kParseFailed;
}

} // namespace vostrale
