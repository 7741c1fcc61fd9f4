// "vostrale-img scsi|read|rip": an image mounted in an in-process host adapter and driven
// through its SCSI door, as a freshly mounted drive.
#pragma once

#include <string>
#include <vector>

namespace vostrale {

// True for the subcommands handled here.
bool IsEngineCommand(const std::string& name);

// args excludes the program name. Returns the exit status (0 ok, 1 refused or failed,
// 2 usage); *out is the report, *err messages and usage text.
int RunEngineCommand(const std::vector<std::string>& args, std::string* out, std::string* err);

} // namespace vostrale
