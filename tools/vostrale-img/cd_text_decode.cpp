#include "tools/vostrale-img/cd_text_decode.h"

#include "common/bytes.h"
#include "formats/cdtext.h"

#include <algorithm>

namespace vostrale {
namespace {

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2)
                return false;
        }
        i += n;
    }
    return true;
}

// The strings of one pack type, in block 0: each pack names the track its first character
// belongs to, and a zero byte ends a string and moves on to the next track.
void DecodeStrings(const uint8_t* packs, uint32_t count, uint8_t type, std::string* album,
                   std::vector<std::string>* tracks) {
    uint32_t track = 0;
    bool started = false;
    std::string current;
    auto finish = [&]() {
        if (track == 0) {
            *album = current;
        } else if (track <= 99) {
            if (tracks->size() < track)
                tracks->resize(track);
            (*tracks)[track - 1] = current;
        }
        current.clear();
        ++track;
    };
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = packs + i * kCdTextPackSize;
        if (p[0] != type || (p[3] & 0x70) != 0)
            continue;
        if (!started || current.empty()) {
            track = p[1];
            started = true;
        }
        for (int k = 4; k < 16; ++k) {
            if (p[k] == 0)
                finish();
            else
                current.push_back(char(p[k]));
        }
    }
}

} // namespace

bool DecodeCdTextBlock(const uint8_t* block, size_t size, CdTextDecoded* out) {
    if (!block || size < kCdTextHeaderSize)
        return false;
    const size_t length = LoadBe16(block);
    const size_t available = std::min(length >= 2 ? length - 2 : 0, size - kCdTextHeaderSize);
    const uint32_t count = uint32_t(available / kCdTextPackSize);
    if (count == 0)
        return false;
    const uint8_t* packs = block + kCdTextHeaderSize;
    DecodeStrings(packs, count, kPackTitle, &out->albumTitle, &out->titles);
    DecodeStrings(packs, count, kPackPerformer, &out->albumPerformer, &out->performers);
    size_t n = std::max(out->titles.size(), out->performers.size());
    // The last pack is padded with zeros; the size information says how many tracks there are.
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = packs + i * kCdTextPackSize;
        if (p[0] == kPackSizeInfo && p[1] == 0)
            n = p[4 + 2];
    }
    out->titles.resize(n);
    out->performers.resize(n);
    return true;
}

std::string Latin1ToUtf8(const std::string& s) {
    if (ValidUtf8(s))
        return s;
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out.push_back(char(c));
        } else {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

} // namespace vostrale
