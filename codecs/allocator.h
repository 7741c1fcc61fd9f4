// Memory for the decoders' third-party parts (zlib's window, bzip2's tables). The codecs never
// allocate on their own: the caller passes this in (the driver's pool, or the C heap in tools).
#pragma once

#include "common/kstd.h"

namespace vostrale {

struct CodecAllocator {
    void* context;
    void* (*allocate)(void* context, size_t bytes); // null on failure
    void (*release)(void* context, void* block);
};

} // namespace vostrale
