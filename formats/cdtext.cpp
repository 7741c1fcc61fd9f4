#include "formats/cdtext.h"

#include "common/bytes.h"
#include "common/crc.h"
#include "formats/layout.h"
#include "formats/trace.h"

#include <cstring>

namespace vostrale {

namespace {

constexpr uint32_t kPackTextBytes = 12;
constexpr uint32_t kPackTextOffset = 4;
constexpr uint32_t kPackCrcOffset = 16;
constexpr uint32_t kMaxCharPosition = 15;
constexpr uint32_t kSizeInfoBytes = 36;
constexpr uint32_t kSizeInfoPacks = 3;
constexpr uint8_t kLanguageEnglish = 0x09;

// Size information layout.
constexpr uint32_t kInfoFirstTrack = 1;
constexpr uint32_t kInfoLastTrack = 2;
constexpr uint32_t kInfoPackCounts = 4;
constexpr uint32_t kInfoLastSequence = 20;
constexpr uint32_t kInfoLanguage = 28;

class PackWriter {
  public:
    PackWriter(uint8_t* block, uint32_t blockSize, uint8_t* sizeInfo)
        : m_end(block + blockSize), m_next(block + kCdTextHeaderSize), m_sizeInfo(sizeInfo) {}

    void WriteString(uint8_t type, uint8_t track, const std::string& text) {
        uint32_t written = 0;
        for (size_t i = 0; i <= text.size(); ++i) {
            if (!m_open && !Open(type, track, written))
                return;
            m_open[kPackTextOffset + m_fill++] = i < text.size() ? uint8_t(text[i]) : 0;
            ++written;
            if (m_fill == kPackTextBytes)
                Close();
        }
    }

    // Ends a run of strings of one type: a partly filled pack is closed as it stands.
    void Flush() {
        if (m_open)
            Close();
    }

    bool WriteRawPack(uint8_t type, uint8_t track, const uint8_t* text12) {
        if (!Open(type, track, 0))
            return false;
        std::memcpy(m_open + kPackTextOffset, text12, kPackTextBytes);
        m_fill = kPackTextBytes;
        Close();
        return true;
    }

    uint8_t LastSequence() const { return uint8_t(m_sequence - 1); }
    uint8_t NextSequence() const { return uint8_t(m_sequence); }

  private:
    bool Open(uint8_t type, uint8_t track, uint32_t charsWritten) {
        if (m_end - m_next < ptrdiff_t(kCdTextPackSize)) {
            ParserTrace("CD-Text size overflow in track %d.\n", track);
            return false;
        }
        m_open = m_next;
        m_next += kCdTextPackSize;
        m_open[0] = type;
        m_open[1] = track;
        m_open[2] = uint8_t(m_sequence++);
        m_open[3] = uint8_t(charsWritten < kMaxCharPosition ? charsWritten : kMaxCharPosition);
        m_fill = 0;
        // Size-information packs are counted by the caller, which knows there are three.
        if (type >= kPackTitle && type < kPackSizeInfo &&
            m_sizeInfo[kInfoPackCounts + (type - kPackTitle)] < 0xFF)
            ++m_sizeInfo[kInfoPackCounts + (type - kPackTitle)];
        return true;
    }

    void Close() {
        SetPackCrc(m_open);
        m_open = nullptr;
        m_fill = 0;
    }

    uint8_t* m_end;
    uint8_t* m_next;
    uint8_t* m_sizeInfo;
    uint8_t* m_open = nullptr;
    uint32_t m_fill = 0;
    uint32_t m_sequence = 0;
};

} // namespace

void SetPackCrc(uint8_t* pack) {
    const uint16_t crc = uint16_t(~Crc16Xmodem(pack, kPackCrcOffset));
    StoreBe16(pack + kPackCrcOffset, crc);
}

uint8_t* BuildCdTextBlock(const CdTextStrings& album, const std::vector<CdTextStrings>& tracks,
                          uint32_t* size) {
    uint64_t titles = album.title.size() + 1;
    uint64_t performers = album.performer.size() + 1;
    for (const auto& t : tracks) {
        titles += t.title.size() + 1;
        performers += t.performer.size() + 1;
    }
    titles = (titles + kPackTextBytes - 1) / kPackTextBytes * kPackTextBytes;
    const uint64_t text = titles + performers;
    const uint64_t packs = (text + kPackTextBytes - 1) / kPackTextBytes + kSizeInfoPacks;
    // The reply length field is 16 bits; more text than that cannot be described.
    if (kCdTextHeaderSize + kCdTextPackSize * packs > 0xFFFF + 2u)
        return nullptr;
    const uint32_t blockSize = uint32_t(kCdTextHeaderSize + kCdTextPackSize * packs);
    auto* block = static_cast<uint8_t*>(AllocLayoutBlock(blockSize));
    if (!block)
        return nullptr;
    StoreBe16(block, uint16_t(blockSize - 2));

    uint8_t info[kSizeInfoBytes] = {};
    info[kInfoFirstTrack] = 1;
    info[kInfoLastTrack] = uint8_t(tracks.size());
    info[kInfoLanguage] = kLanguageEnglish;

    PackWriter writer(block, blockSize, info);
    writer.WriteString(kPackTitle, 0, album.title);
    for (size_t i = 0; i < tracks.size(); ++i)
        writer.WriteString(kPackTitle, uint8_t(i + 1), tracks[i].title);
    writer.Flush();
    writer.WriteString(kPackPerformer, 0, album.performer);
    for (size_t i = 0; i < tracks.size(); ++i)
        writer.WriteString(kPackPerformer, uint8_t(i + 1), tracks[i].performer);
    writer.Flush();

    info[kInfoPackCounts + (kPackSizeInfo - kPackTitle)] = kSizeInfoPacks;
    info[kInfoLastSequence] = uint8_t(writer.NextSequence() + kSizeInfoPacks - 1);
    for (uint32_t i = 0; i < kSizeInfoPacks; ++i)
        writer.WriteRawPack(kPackSizeInfo, uint8_t(i), info + kPackTextBytes * i);
    *size = blockSize;
    return block;
}

uint8_t* WrapCdTextPacks(const uint8_t* packs, uint32_t packBytes, bool setCrc) {
    if (packBytes % kCdTextPackSize != 0 || packBytes > 0xFFFF - 2u)
        return nullptr;
    auto* block = static_cast<uint8_t*>(AllocLayoutBlock(kCdTextHeaderSize + packBytes));
    if (!block)
        return nullptr;
    StoreBe16(block, uint16_t(packBytes + 2));
    if (packBytes != 0)
        std::memcpy(block + kCdTextHeaderSize, packs, packBytes);
    if (setCrc) {
        for (uint32_t off = 0; off < packBytes; off += kCdTextPackSize)
            SetPackCrc(block + kCdTextHeaderSize + off);
    }
    return block;
}

} // namespace vostrale
