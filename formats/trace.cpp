#include "formats/trace.h"

#include <atomic>
#include <cstdarg>

namespace vostrale {

static std::atomic<std::FILE*> g_traceStream{stdout};

void SetParserTraceStream(std::FILE* stream) {
    g_traceStream = stream;
}

void ParserTrace(const char* format, ...) {
    std::FILE* stream = g_traceStream;
    if (!stream)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
}

} // namespace vostrale
