// Little- and big-endian access to unaligned bytes. Wire records are read field by field
// through these, never by casting a buffer to a struct.
#pragma once

#include "common/kstd.h"

namespace vostrale {

inline uint16_t LoadLe16(const void* p) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t LoadLe32(const void* p) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}
inline uint64_t LoadLe64(const void* p) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return uint64_t(LoadLe32(b)) | (uint64_t(LoadLe32(b + 4)) << 32);
}
inline uint16_t LoadBe16(const void* p) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t LoadBe24(const void* p) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return (uint32_t(b[0]) << 16) | (uint32_t(b[1]) << 8) | uint32_t(b[2]);
}
inline uint32_t LoadBe32(const void* p) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}
inline uint64_t LoadBe64(const void* p) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return (uint64_t(LoadBe32(b)) << 32) | uint64_t(LoadBe32(b + 4));
}

inline void StoreLe16(void* p, uint16_t v) {
    uint8_t* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
}
inline void StoreLe32(void* p, uint32_t v) {
    uint8_t* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
    b[2] = uint8_t(v >> 16);
    b[3] = uint8_t(v >> 24);
}
inline void StoreLe64(void* p, uint64_t v) {
    uint8_t* b = static_cast<uint8_t*>(p);
    StoreLe32(b, uint32_t(v));
    StoreLe32(b + 4, uint32_t(v >> 32));
}
inline void StoreBe16(void* p, uint16_t v) {
    uint8_t* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v >> 8);
    b[1] = uint8_t(v);
}
inline void StoreBe24(void* p, uint32_t v) {
    uint8_t* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v >> 16);
    b[1] = uint8_t(v >> 8);
    b[2] = uint8_t(v);
}
inline void StoreBe32(void* p, uint32_t v) {
    uint8_t* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v >> 24);
    b[1] = uint8_t(v >> 16);
    b[2] = uint8_t(v >> 8);
    b[3] = uint8_t(v);
}

} // namespace vostrale
