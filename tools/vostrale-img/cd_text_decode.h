// CD-Text packs (as a mount record stores them and READ TOC format 5 returns them) back into
// the album's and the tracks' titles and performers, for the tool's reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale {

struct CdTextDecoded {
    std::string albumTitle, albumPerformer;
    std::vector<std::string> titles, performers; // index 0 = track 1
};

// `block` starts with the 4-byte header (big-endian length of what follows + 2, two reserved
// bytes); only whole packs inside `size` are read. False when there is no pack.
bool DecodeCdTextBlock(const uint8_t* block, size_t size, CdTextDecoded* out);

// CD-Text is ISO 8859-1; reports are UTF-8 (text that already is valid UTF-8 is kept).
std::string Latin1ToUtf8(const std::string& s);

} // namespace vostrale
