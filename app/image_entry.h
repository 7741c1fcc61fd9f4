// The image parsers' entry as the mount flow calls it (the ImageOpener of the real program).
#pragma once

#include "app/interfaces.h"
#include "formats/image_parsers.h"

namespace vostrale::app {

int OpenImageFile(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                  ImageOpenFailure* failure);

// The parsers' failure as the mount flow reads it.
void ToImageOpenFailure(const OpenFailure& why, ImageOpenFailure* failure);

} // namespace vostrale::app
