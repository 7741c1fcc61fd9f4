#include "formats/parser.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>

namespace vostrale {

void ReportError(const ParserIo& io, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0)
        text[0] = 0;
    if (io.message) {
        wchar_t wide[kMessageChars];
        *io.message = std::wstring(wide, platform::WidenText(text, wide, kMessageChars));
    }
    LogLine(io.log, kLogError, "%s", text);
}

} // namespace vostrale
