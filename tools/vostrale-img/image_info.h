// "vostrale-img info [--json] IMAGE": runs the image parsers as a mount would and prints the
// disc layout they built.
#pragma once

#include <string>
#include <vector>

namespace vostrale {

constexpr int kImgToolOk = 0;
constexpr int kImgToolRefused = 1;
constexpr int kImgToolUsage = 2;

// args excludes the program name. Returns the exit status; *out is the report, *err usage text.
int RunImgTool(const std::vector<std::string>& args, std::string* out, std::string* err);

} // namespace vostrale
