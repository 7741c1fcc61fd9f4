// The hand-over block the tray program passes to the uploader in its start-up information.
#pragma once

#include "common/handover_layout.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vostrale {

struct Handover {
    uint32_t flags = 0;
    std::string strings[handover::kFixedStrings]; // in block order
    std::string archivePath; // empty when no archive was packed
    bool hasArchive = false;
};

constexpr uint32_t kHandoverFlagsMagic = handover::kMagic;

// Reads the block. Fails (uploader exits with code 1) when there is no block, it is too short
// to hold the flags, or the flags do not carry the magic. Strings are read only within the
// block; a string that runs off its end ends the list.
bool ParseHandover(const uint8_t* block, size_t size, Handover* out);

} // namespace vostrale
