// The activity log "log.txt": a dated header per mount and lines with a time stamp and a level
// letter. Every write to a log without a file is skipped, so callers never check.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace vostrale {

enum LogLevel : int {
    kLogPlain = 0,  // no time stamp, the message alone
    kLogInfo = 1,   // "I"
    kLogWarning = 2,  // "W"
    kLogError = 3,  // "E"
};

constexpr uint64_t kLogSizeCap = 0xA00001;  // 10 MiB + 1 byte: emptied at open when reached

class ActivityLog {
public:
    ActivityLog() = default;
    ~ActivityLog() { Close(); }
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;

    // Opens `path` for appending (text mode: CR LF line ends on Windows). The size is taken
    // from the file itself before deciding on the cap. An empty path gives no file.
    bool Open(const std::filesystem::path& path);
    void Close();
    bool IsOpen() const { return m_file != nullptr; }

    void WriteDateHeader();
    // printf-style; the formatted message is cut to 511 bytes and always terminated. User text
    // (paths, parser messages) must go through "%s", never as the format.
    void WriteLine(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void WriteLineV(int level, const char* format, va_list args);

private:
    std::FILE* m_file = nullptr;
};

// "<documents>/Vostrale/log.txt", creating the folder; empty (no log) when the documents
// folder cannot be had or the folder cannot be made.
std::filesystem::path DefaultLogPath();

// Writes to a log that may be null.
void LogLine(ActivityLog* log, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

} // namespace vostrale
