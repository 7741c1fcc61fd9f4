#include "formats/audio_source.h"

namespace vostrale {

int OpenApeSource(platform::NativeFile, MountRecord*, const std::filesystem::path&, const ParserIo& io) {
    ReportError(io, "APE audio files are not supported yet");
    return kParseFailed;
}

} // namespace vostrale
