// User-mode operating-system layer: files, folders, text conversion, clock.
// One header, two implementations (posix/ and win32/), chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vostrale::platform {

// A file as the mount record carries it: a HANDLE value on Windows, a descriptor on POSIX.
// 0 means "no file".
using NativeFile = uint64_t;

// Opens an existing file for reading, shared for reading. Returns 0 and sets *error
// (GetLastError / errno) on failure.
NativeFile OpenForRead(const std::filesystem::path& path, uint32_t* error);

// Reads up to `length` bytes at `offset`; *got is what arrived (short at end of file).
bool ReadAt(NativeFile file, uint64_t offset, void* buffer, size_t length, size_t* got);

// Reads exactly `length` bytes at `offset`.
bool ReadExactlyAt(NativeFile file, uint64_t offset, void* buffer, size_t length);

bool FileSize(NativeFile file, uint64_t* size);

void CloseFile(NativeFile file);

// The user's documents folder (Windows: the shell's Documents, created if missing; Linux:
// $XDG_DOCUMENTS_DIR or ~/Documents). Empty when it cannot be had: callers then do without,
// never falling back to the current folder.
std::filesystem::path DocumentsFolder();

// Where seek-table caches live (Windows: common application data; Linux: $XDG_CACHE_HOME or
// ~/.cache). Empty when it cannot be had, as above.
std::filesystem::path CacheFolder();

// 8-bit text of a path: the ANSI code page on Windows (unmappable characters become '?'),
// UTF-8 on Linux.
std::string NarrowPath(const std::filesystem::path& path);

// Path from 8-bit text in the same encoding.
std::filesystem::path PathFromNarrow(const std::string& text);

// 8-bit text for display (parser messages, names from files): the ANSI code page on Windows;
// elsewhere UTF-8, decoded here without the C library's locale, each invalid sequence shown as
// U+FFFD. Writes at most outChars - 1 characters and a terminator (nothing when outChars is 0),
// never half of a surrogate pair; returns the characters written. Never throws.
size_t WidenText(std::string_view text, wchar_t* out, size_t outChars);
std::wstring WidenText(std::string_view text);

// The way back, for 8-bit output (logs, a host tool's report, POSIX paths): the ANSI code page
// on Windows, UTF-8 elsewhere (encoded here, without the locale); what cannot be encoded
// becomes '?'. Never throws but for memory.
std::string NarrowText(std::wstring_view text);

// The running program's file, full path; empty when it cannot be had.
std::filesystem::path ProgramFile();

// Monotonic milliseconds.
uint64_t MonotonicMs();

} // namespace vostrale::platform
