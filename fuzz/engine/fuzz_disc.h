// A small sample disc for the engine fuzz targets: a raw 2352-byte image file written once
// per process, with a track table, a full TOC and a CD-Text block built around it.
#pragma once

#include "common/bytes.h"
#include "common/disc.h"
#include "common/wire.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace vostrale::fuzz {

constexpr uint32_t kDiscSectors = 48;

// Opens (creating once) a file of kDiscSectors raw sectors with a recognisable pattern.
inline uint64_t SampleImage() {
    static uint64_t handle = 0;
    if (handle)
        return handle;
    char path[] = "/tmp/vostrale-engine-fuzz-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0)
        std::abort();
    std::vector<uint8_t> sector(kCdSectorSize);
    for (uint32_t lba = 0; lba < kDiscSectors; ++lba) {
        for (uint32_t i = 0; i < kCdSectorSize; ++i)
            sector[i] = uint8_t(lba * 31 + i);
        if (lba < 16) { // sync and a Mode 1 header so that raw reads detect data sectors
            std::memset(sector.data(), 0xFF, 12);
            sector[0] = sector[11] = 0;
            sector[15] = 1;
        }
        if (::write(fd, sector.data(), sector.size()) != ssize_t(sector.size()))
            std::abort();
    }
    ::unlink(path);
    handle = uint64_t(fd);
    return handle;
}

} // namespace vostrale::fuzz
