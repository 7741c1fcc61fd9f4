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

static std::filesystem::path HomeFolder() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::filesystem::path(home) : std::filesystem::path("/tmp");
}

std::filesystem::path DocumentsFolder() {
    const char* xdg = std::getenv("XDG_DOCUMENTS_DIR");
    if (xdg && *xdg)
        return xdg;
    return HomeFolder() / "Documents";
}

std::filesystem::path CacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && *xdg)
        return xdg;
    return HomeFolder() / ".cache";
}

std::string NarrowPath(const std::filesystem::path& path) { return path.string(); }

std::filesystem::path PathFromNarrow(const std::string& text) { return std::filesystem::path(text); }

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
