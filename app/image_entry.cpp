#include "app/image_entry.h"

namespace vostrale::app {

// The image parsers are not part of this build yet: every image fails with a clear message.
// This is where their entry is called once they are.
int OpenImageFile(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                  ImageOpenFailure* failure) {
    ReportError(io, "%s", "This build has no image parsers");
    if (failure)
        failure->kind = ImageOpenFailure::kParser;
    return kParseFailed;
}

} // namespace vostrale::app
