#include "app/image_entry.h"

#include "formats/image_parsers.h"

namespace vostrale::app {

int OpenImageFile(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                  ImageOpenFailure* failure) {
    OpenFailure why;
    int result = OpenImage(record, path, io, &why);
    if (failure) {
        switch (why.kind) {
        case OpenFailure::kOpenError:
            failure->kind = ImageOpenFailure::kOpenError;
            break;
        case OpenFailure::kUnsupportedFormat:
            failure->kind = ImageOpenFailure::kUnsupportedFormat;
            break;
        case OpenFailure::kParser:
            failure->kind = ImageOpenFailure::kParser;
            break;
        case OpenFailure::kNone:
            failure->kind = ImageOpenFailure::kNone;
            break;
        }
        failure->systemError = why.systemError;
    }
    return result;
}

} // namespace vostrale::app
