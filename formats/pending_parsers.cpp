#include "formats/image_parsers.h"

namespace vostrale {
int OpenIszImage(MountRecord*, const std::filesystem::path&, const ParserIo& io) {
    ReportError(io, "ISZ pending");
    return kParseFailed;
}
} // namespace vostrale
