// Minimal freestanding helpers for the kernel-safe modules (common, codecs, driver/core).
// These modules are also compiled without any C or C++ runtime headers for the driver, so
// they include only <stddef.h> and <stdint.h> and take everything else from here.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vostrale {

inline void CopyBytes(void* dst, const void* src, size_t n) { __builtin_memcpy(dst, src, n); }
inline void MoveBytes(void* dst, const void* src, size_t n) { __builtin_memmove(dst, src, n); }
inline void FillBytes(void* dst, int value, size_t n) { __builtin_memset(dst, value, n); }
inline void ZeroBytes(void* dst, size_t n) { __builtin_memset(dst, 0, n); }
inline int CompareBytes(const void* a, const void* b, size_t n) { return __builtin_memcmp(a, b, n); }

template <typename T> constexpr T Min(T a, T b) { return b < a ? b : a; }
template <typename T> constexpr T Max(T a, T b) { return a < b ? b : a; }

// True when [offset, offset + length) lies inside a buffer of `size` bytes, without overflow.
constexpr bool RangeFits(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

template <typename T, size_t N> constexpr size_t CountOf(const T (&)[N]) { return N; }

} // namespace vostrale
