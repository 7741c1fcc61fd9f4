// CCD images: an INI description holding the raw TOC (and CD-Text packs) beside .img and .sub.
#pragma once

#include "common/wire.h"
#include "formats/ini.h"
#include "platform/platform.h"

#include <cstdint>
#include <vector>

namespace vostrale {

struct CcdDisc {
    int version = 0;
    uint8_t sessions = 0;
    uint8_t scrambled = 0;
    std::vector<uint8_t> toc;         // full TOC block; TNO bytes carry sector-type hints
    std::vector<uint8_t> cdTextPacks; // CRCs set
    DiscIdentity codes{};                // [Disc] CATALOG and [TRACK n] ISRC, where valid
};

// False when a key is missing or a value is out of range (TocEntries, Sessions, CD-Text).
bool ParseCcdDescription(const IniFile& ini, CcdDisc* disc);

// Fills record offsets 24..60 from a parsed description; the .img (may be 0) is read for the
// sector type of groups without a hint. False when the TOC gives no usable layout.
bool BuildCcdLayout(CcdDisc* disc, platform::NativeFile img, MountRecord* record);

} // namespace vostrale
