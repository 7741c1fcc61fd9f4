#include "app/image_entry.h"

namespace vostrale::app {

void ToImageOpenFailure(const OpenFailure& why, ImageOpenFailure* failure) {
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

int OpenImageFile(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                  ImageOpenFailure* failure) {
    OpenFailure why;
    int result = OpenImage(record, path, io, &why);
    if (failure)
        ToImageOpenFailure(why, failure);
    return result;
}

} // namespace vostrale::app
