// Parsers echo what they read (CUE lines, MDS file names) as a trace on standard output.
// Tools that print machine-readable output send the trace elsewhere or switch it off.
#pragma once

#include <cstdio>

namespace vostrale {

// nullptr switches the trace off.
void SetParserTraceStream(std::FILE* stream);
void ParserTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace vostrale
