// Files that an image description names (the BIN of a CUE sheet, an MDF, a CCD's .img/.sub).
#pragma once

#include "platform/platform.h"

#include <filesystem>
#include <string>

namespace vostrale {

// Joins a name from an image description to the description's folder. The name is always
// taken as relative: leading separators are dropped, and on POSIX hosts backslashes count as
// separators (descriptions written on Windows).
std::filesystem::path JoinDescribedName(const std::filesystem::path& folder,
                                        const std::string& name);

// Opens a companion file for reading. On POSIX hosts a name that does not exist with its exact
// spelling is looked up case-insensitively (ASCII) in its folder, since images made on Windows
// write "CDDA.BIN" for "cdda.bin". *error gets the system error of the exact-name open.
platform::NativeFile OpenCompanion(const std::filesystem::path& path, uint32_t* error);

} // namespace vostrale
