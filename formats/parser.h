// The contract every image parser follows:
//   (MountRecord, image path, mount log, message buffer) -> 1 complete, 0 failed, 2 cancelled.
// A parser that fails releases what it put into the layout before it returns.
#pragma once

#include "common/wire.h"
#include "formats/activity_log.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace vostrale {

enum ParseResult : int {
    kParseFailed = 0,
    kParseOk = 1,
    kParseCancelled = 2,
};

// Shared with a progress window while a FLAC stream is being indexed.
struct ProgressRecord {
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> total{0};
    std::atomic<bool> cancel{false};
};

// What a parser gets besides the record and the path. message is the caller's buffer (cleared
// before the mount); progress may be null.
struct ParserIo {
    ActivityLog* log = nullptr;
    std::wstring* message = nullptr;
    ProgressRecord* progress = nullptr;
};

// A parser's error: the text goes to the message buffer and, at level 3, to the log. Its
// 8-bit text (paths from the image's own files among it) is in the ANSI code page.
void ReportError(const ParserIo& io, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The mount error text holds at most this many characters, terminator included.
constexpr size_t kMessageChars = 256;

} // namespace vostrale
