#include "platform/platform.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace vostrale::platform {

NativeFile OpenForRead(const std::filesystem::path& path, uint32_t* error) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error)
            *error = GetLastError();
        return 0;
    }
    return NativeFile(reinterpret_cast<uintptr_t>(h));
}

static HANDLE AsHandle(NativeFile f) { return reinterpret_cast<HANDLE>(uintptr_t(f)); }

bool ReadAt(NativeFile file, uint64_t offset, void* buffer, size_t length, size_t* got) {
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < length) {
        OVERLAPPED ov{};
        uint64_t at = offset + done;
        ov.Offset = DWORD(at);
        ov.OffsetHigh = DWORD(at >> 32);
        DWORD chunk = DWORD(length - done > 0x40000000 ? 0x40000000 : length - done);
        DWORD n = 0;
        if (!ReadFile(AsHandle(file), out + done, chunk, &n, &ov)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            *got = done;
            return false;
        }
        if (n == 0)
            break;
        done += n;
    }
    *got = done;
    return true;
}

bool ReadExactlyAt(NativeFile file, uint64_t offset, void* buffer, size_t length) {
    size_t got = 0;
    return ReadAt(file, offset, buffer, length, &got) && got == length;
}

bool FileSize(NativeFile file, uint64_t* size) {
    LARGE_INTEGER li;
    if (!GetFileSizeEx(AsHandle(file), &li))
        return false;
    *size = uint64_t(li.QuadPart);
    return true;
}

void CloseFile(NativeFile file) {
    if (file != 0)
        CloseHandle(AsHandle(file));
}

// Created when missing; empty when the shell cannot give it, never the current folder.
static std::filesystem::path KnownFolder(int csidl) {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                         buffer) != S_OK)
        return {};
    buffer[MAX_PATH] = 0;
    std::filesystem::path folder(buffer);
    return folder.is_absolute() ? folder : std::filesystem::path();
}

std::filesystem::path DocumentsFolder() { return KnownFolder(CSIDL_PERSONAL); }

std::filesystem::path CacheFolder() { return KnownFolder(CSIDL_COMMON_APPDATA); }

std::string NarrowText(std::wstring_view w) {
    if (w.empty())
        return {};
    int length = int(std::min<size_t>(w.size(), INT_MAX));
    int n = WideCharToMultiByte(CP_ACP, 0, w.data(), length, nullptr, 0, "?", nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, w.data(), length, out.data(), n, "?", nullptr);
    return out;
}

std::string NarrowPath(const std::filesystem::path& path) { return NarrowText(path.native()); }

std::filesystem::path PathFromNarrow(const std::string& text) {
    return std::filesystem::path(WidenText(text));
}

size_t WidenText(std::string_view text, wchar_t* out, size_t outChars) {
    if (outChars == 0)
        return 0;
    out[0] = 0;
    if (text.empty())
        return 0;
    int length = int(std::min<size_t>(text.size(), INT_MAX));
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (n <= 0)
        return 0;
    size_t written = 0;
    if (size_t(n) < outChars) {
        written = size_t(MultiByteToWideChar(CP_ACP, 0, text.data(), length, out, n));
    } else {
        // The call converts all or nothing: convert the whole text and keep what fits.
        std::unique_ptr<wchar_t[]> whole(new (std::nothrow) wchar_t[size_t(n)]);
        if (whole && MultiByteToWideChar(CP_ACP, 0, text.data(), length, whole.get(), n) == n) {
            written = outChars - 1;
            if (written > 0 && IS_HIGH_SURROGATE(whole[written - 1]))
                --written;
            std::memcpy(out, whole.get(), written * sizeof(wchar_t));
        }
    }
    out[written] = 0;
    return written;
}

uint64_t MonotonicMs() { return GetTickCount64(); }

std::filesystem::path ProgramFile() {
    // Grown up to the longest path the system has (32767 characters).
    for (DWORD size = MAX_PATH + 1; size <= 32768; size *= 2) {
        std::wstring buffer(size, L'\0');
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (n == 0)
            return {};
        if (n < size)
            return std::filesystem::path(buffer.substr(0, n));
    }
    return {};
}

} // namespace vostrale::platform
