#include "formats/parser.h"

#include <cstdarg>
#include <cstdio>

namespace vostrale {

std::wstring WidenMessage(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out.push_back(wchar_t(c));
    return out;
}

void ReportError(const ParserIo& io, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0)
        text[0] = 0;
    if (io.message)
        *io.message = WidenMessage(text);
    LogLine(io.log, kLogError, "%s", text);
}

} // namespace vostrale
