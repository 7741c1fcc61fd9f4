#include "formats/activity_log.h"

#include "platform/platform.h"

#include <ctime>
#include <system_error>

namespace vostrale {

bool ActivityLog::Open(const std::filesystem::path& path) {
    Close();
    if (path.empty())
        return false;
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size >= kLogSizeCap)
        std::filesystem::resize_file(path, 0, ec);
#ifdef _WIN32
    m_file = _wfopen(path.c_str(), L"a");
#else
    m_file = std::fopen(path.c_str(), "a");
#endif
    return m_file != nullptr;
}

void ActivityLog::Close() {
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

static std::tm LocalNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    return tm;
}

void ActivityLog::WriteDateHeader() {
    if (!m_file)
        return;
    std::tm t = LocalNow();
    std::fprintf(m_file, "\n%04d-%02d-%02d %02d:%02d:%02d---------------------------------------------------------\n",
                 t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    std::fflush(m_file);
}

void ActivityLog::WriteLineV(int level, const char* format, va_list args) {
    if (!m_file)
        return;
    char message[512];
    int n = std::vsnprintf(message, sizeof(message), format, args);
    if (n < 0)
        message[0] = 0;
    message[sizeof(message) - 1] = 0;
    if (level != kLogPlain) {
        const char* letter = level == kLogWarning ? "W" : level == kLogError ? "E" : "I";
        std::tm t = LocalNow();
        std::fprintf(m_file, "\t%02d:%02d:%02d %s ", t.tm_hour, t.tm_min, t.tm_sec, letter);
    }
    std::fputs(message, m_file);
    std::fputs("\n", m_file);
    std::fflush(m_file);
}

void ActivityLog::WriteLine(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLineV(level, format, args);
    va_end(args);
}

std::filesystem::path DefaultLogPath() {
    std::error_code ec;
    std::filesystem::path documents = platform::DocumentsFolder();
    if (documents.empty())
        return {}; // no log rather than one in the current folder
    std::filesystem::path folder = documents / "Vostrale";
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec))
        return {};
    return folder / "log.txt";
}

void LogLine(ActivityLog* log, int level, const char* format, ...) {
    if (!log)
        return;
    va_list args;
    va_start(args, format);
    log->WriteLineV(level, format, args);
    va_end(args);
}

} // namespace vostrale
