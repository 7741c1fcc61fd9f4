#include "reporter/handover.h"

#include "common/handover_layout.h"

#include <cstring>

namespace vostrale {

static bool ReadString(const uint8_t* block, size_t size, size_t* pos, std::string* out) {
    if (*pos >= size)
        return false;
    const void* end = std::memchr(block + *pos, 0, size - *pos);
    if (!end)
        return false;
    size_t len = static_cast<const uint8_t*>(end) - (block + *pos);
    out->assign(reinterpret_cast<const char*>(block + *pos), len);
    *pos += len + 1;
    return true;
}

bool ParseHandover(const uint8_t* block, size_t size, Handover* out) {
    // The flags occupy bytes 4..7, so a block needs 8 bytes before they can be read.
    if (!block || size < handover::kStringsOffset)
        return false;
    const uint8_t* f = block + handover::kFlagsOffset;
    uint32_t flags = uint32_t(f[0]) | (uint32_t(f[1]) << 8) | (uint32_t(f[2]) << 16) |
                     (uint32_t(f[3]) << 24);
    if ((flags & handover::kMagicMask) != handover::kMagic)
        return false;
    *out = Handover{};
    out->flags = flags;
    size_t pos = handover::kStringsOffset;
    for (std::string& s : out->strings) {
        if (!ReadString(block, size, &pos, &s))
            return true;
    }
    if (pos < size && block[pos] != 0)
        out->hasArchive = ReadString(block, size, &pos, &out->archivePath);
    return true;
}

} // namespace vostrale
