// The image parsers' entry as the mount flow calls it (the ImageOpener of the real program).
#pragma once

#include "app/interfaces.h"

namespace vostrale::app {

int OpenImageFile(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                  ImageOpenFailure* failure);

} // namespace vostrale::app
