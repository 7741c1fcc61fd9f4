#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vostrale::platform {

NativeFile OpenForRead(const std::filesystem::path& path, uint32_t* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = uint32_t(errno);
        return 0;
    }
    if (fd == 0) {
        // 0 means "no file" in the record: move the descriptor out of the way.
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        if (moved < 0) {
            if (error)
                *error = uint32_t(errno);
            return 0;
        }
        fd = moved;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        if (error)
            *error = EISDIR;
        return 0;
    }
    return NativeFile(fd);
}

bool ReadAt(NativeFile file, uint64_t offset, void* buffer, size_t length, size_t* got) {
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < length) {
        ssize_t n = ::pread(int(file), out + done, length - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *got = done;
            return false;
        }
        if (n == 0)
            break;
        done += size_t(n);
    }
    *got = done;
    return true;
}

bool ReadExactlyAt(NativeFile file, uint64_t offset, void* buffer, size_t length) {
    size_t got = 0;
    return ReadAt(file, offset, buffer, length, &got) && got == length;
}

bool FileSize(NativeFile file, uint64_t* size) {
    struct stat st;
    if (::fstat(int(file), &st) != 0)
        return false;
    *size = uint64_t(st.st_size);
    return true;
}

void CloseFile(NativeFile file) {
    if (file != 0)
        ::close(int(file));
}

// A folder from the environment, only when absolute: a relative one would put files into
// whatever the current folder happens to be.
static std::filesystem::path FolderFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/')
        return {};
    return std::filesystem::path(value);
}

std::filesystem::path DocumentsFolder() {
    std::filesystem::path folder = FolderFromEnvironment("XDG_DOCUMENTS_DIR");
    if (!folder.empty())
        return folder;
    folder = FolderFromEnvironment("HOME");
    return folder.empty() ? folder : folder / "Documents";
}

std::filesystem::path CacheFolder() {
    std::filesystem::path folder = FolderFromEnvironment("XDG_CACHE_HOME");
    if (!folder.empty())
        return folder;
    folder = FolderFromEnvironment("HOME");
    return folder.empty() ? folder : folder / ".cache";
}

std::string NarrowPath(const std::filesystem::path& path) { return path.string(); }

std::filesystem::path PathFromNarrow(const std::string& text) { return std::filesystem::path(text); }

// UTF-8 by hand: the C library's conversions follow the locale, which is "C" in a service or a
// test and would refuse every byte above 0x7F. Each maximal invalid sequence becomes one U+FFFD.
size_t WidenText(std::string_view text, wchar_t* out, size_t outChars) {
    if (outChars == 0)
        return 0;
    const size_t limit = outChars - 1;
    size_t written = 0;
    size_t at = 0;
    while (at < text.size() && written < limit) {
        uint8_t lead = uint8_t(text[at++]);
        if (lead < 0x80) {
            out[written++] = wchar_t(lead);
            continue;
        }
        size_t need = 0;
        uint32_t code = 0;
        uint8_t low = 0x80, high = 0xBF; // allowed range of the next byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            code = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
            high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            code = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
        } else {
            out[written++] = wchar_t(0xFFFD);
            continue;
        }
        size_t got = 0;
        while (got < need && at < text.size()) {
            uint8_t next = uint8_t(text[at]);
            if (next < low || next > high)
                break;
            code = (code << 6) | (next & 0x3F);
            low = 0x80;
            high = 0xBF;
            ++at;
            ++got;
        }
        out[written++] = got == need ? wchar_t(code) : wchar_t(0xFFFD);
    }
    out[written] = 0;
    return written;
}

std::string NarrowText(std::wstring_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (wchar_t c : text) {
        uint32_t u = uint32_t(c);
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF))
            u = '?';
        if (u < 0x80) {
            utf8.push_back(char(u));
        } else if (u < 0x800) {
            utf8.push_back(char(0xC0 | (u >> 6)));
            utf8.push_back(char(0x80 | (u & 0x3F)));
        } else if (u < 0x10000) {
            utf8.push_back(char(0xE0 | (u >> 12)));
            utf8.push_back(char(0x80 | ((u >> 6) & 0x3F)));
            utf8.push_back(char(0x80 | (u & 0x3F)));
        } else {
            utf8.push_back(char(0xF0 | (u >> 18)));
            utf8.push_back(char(0x80 | ((u >> 12) & 0x3F)));
            utf8.push_back(char(0x80 | ((u >> 6) & 0x3F)));
            utf8.push_back(char(0x80 | (u & 0x3F)));
        }
    }
    return utf8;
}

uint64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

std::filesystem::path ProgramFile() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

} // namespace vostrale::platform
