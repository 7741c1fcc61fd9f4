// APE source: reads the descriptor and header of a Monkey's Audio file and its seek table, and
// fills the record for the driver's frame decoder. Every number is checked against the file
// size before anything is allocated, so a hostile header fails quickly.
#include "formats/audio_source.h"

#include "codecs/ape/ape_decoder.h"
#include "common/bytes.h"
#include "formats/layout.h"

#include <cstring>
#include <vector>

namespace vostrale {

namespace {

constexpr char kApeMagic[4] = {'M', 'A', 'C', ' '};
constexpr char kId3Magic[3] = {'I', 'D', '3'};
constexpr char kApeTagMagic[8] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X'};
constexpr char kId3v1Magic[3] = {'T', 'A', 'G'};
constexpr uint32_t kId3HeaderSize = 10;
constexpr uint32_t kId3SizeOffset = 6;
constexpr uint32_t kId3FlagsOffset = 5;
constexpr uint8_t kId3FooterFlag = 0x10;
constexpr uint32_t kMaxId3Tags = 4;

constexpr uint32_t kVersionOffset = 4;
constexpr uint16_t kDescriptorVersion = 3980; // descriptor + header layout from here on

// Descriptor (version 3980 and later), offsets from "MAC ".
constexpr uint32_t kDescriptorSize = 52;
constexpr uint32_t kDescDescriptorBytes = 8;
constexpr uint32_t kDescHeaderBytes = 12;
constexpr uint32_t kDescSeekTableBytes = 16;
constexpr uint32_t kDescWavHeaderBytes = 20;
constexpr uint32_t kDescFrameDataBytes = 24;
constexpr uint32_t kDescFrameDataBytesHigh = 28;
// Header that follows the descriptor.
constexpr uint32_t kHeaderSize = 24;
constexpr uint32_t kHdrLevel = 0;
constexpr uint32_t kHdrBlocksPerFrame = 4;
constexpr uint32_t kHdrFinalFrameBlocks = 8;
constexpr uint32_t kHdrTotalFrames = 12;
constexpr uint32_t kHdrBits = 16;
constexpr uint32_t kHdrChannels = 18;
constexpr uint32_t kHdrSampleRate = 20;

// Older header (below 3980), offsets from "MAC ": the fields follow the version directly.
constexpr uint32_t kOldHeaderSize = 32;
constexpr uint32_t kOldLevel = 6;
constexpr uint32_t kOldFlags = 8;
constexpr uint32_t kOldChannels = 10;
constexpr uint32_t kOldSampleRate = 12;
constexpr uint32_t kOldWavHeaderBytes = 16;
constexpr uint32_t kOldTotalFrames = 24;
constexpr uint32_t kOldFinalFrameBlocks = 28;
constexpr uint16_t kOldFlag8Bit = 0x01;
constexpr uint16_t kOldFlagPeakLevel = 0x04;
constexpr uint16_t kOldFlag24Bit = 0x08;
constexpr uint16_t kOldFlagSeekElements = 0x10;
constexpr uint16_t kOldFlagCreateWavHeader = 0x20;
constexpr uint16_t kLongFrameVersion = 3950;
constexpr uint32_t kLongFrameBlocks = 294912; // from version 3950 on
constexpr uint32_t kShortFrameBlocks = 73728; // every older version the decoder takes

// Four times the largest frame any encoder writes (compression 5000): bounds the driver's
// buffers, which it sizes from this.
constexpr uint32_t kMaxBlocksPerFrame = 4 * 1179648;
constexpr uint32_t kCdChannels = 2;
constexpr uint32_t kCdSampleRate = 44100;
constexpr uint32_t kCdBits = 16;

struct ApeHeader {
    uint16_t version = 0;
    uint32_t level = 0;
    uint32_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t bits = 0;
    uint32_t blocksPerFrame = 0;
    uint32_t finalFrameBlocks = 0;
    uint32_t totalFrames = 0;
    uint64_t seekTableOffset = 0; // absolute
    uint64_t seekTableBytes = 0;
    uint64_t firstFrame = 0;     // absolute
    uint64_t frameDataBytes = 0; // 0 when the header does not say
};

bool ReadBytes(platform::NativeFile file, uint64_t offset, void* buffer, size_t length) {
    return platform::ReadExactlyAt(file, offset, buffer, length);
}

// Leading ID3v2 tags are skipped; returns the offset of "MAC " or false.
bool FindApeStart(platform::NativeFile file, uint64_t fileSize, uint64_t* start) {
    uint64_t offset = 0;
    for (uint32_t tags = 0; tags <= kMaxId3Tags; ++tags) {
        uint8_t head[kId3HeaderSize];
        if (!RangeFits(offset, sizeof(head), fileSize) ||
            !ReadBytes(file, offset, head, sizeof(head)))
            return false;
        if (std::memcmp(head, kApeMagic, sizeof(kApeMagic)) == 0) {
            *start = offset;
            return true;
        }
        if (std::memcmp(head, kId3Magic, sizeof(kId3Magic)) != 0)
            return false;
        const uint8_t* s = head + kId3SizeOffset;
        uint32_t size = (uint32_t(s[0] & 0x7F) << 21) | (uint32_t(s[1] & 0x7F) << 14) |
                        (uint32_t(s[2] & 0x7F) << 7) | uint32_t(s[3] & 0x7F);
        offset +=
            kId3HeaderSize + size + ((head[kId3FlagsOffset] & kId3FooterFlag) ? kId3HeaderSize : 0);
    }
    return false;
}

bool ReadNewHeader(platform::NativeFile file, uint64_t start, uint64_t fileSize, ApeHeader* h) {
    uint8_t desc[kDescriptorSize];
    if (!RangeFits(start, sizeof(desc), fileSize) || !ReadBytes(file, start, desc, sizeof(desc)))
        return false;
    const uint32_t descriptorBytes = LoadLe32(desc + kDescDescriptorBytes);
    const uint32_t headerBytes = LoadLe32(desc + kDescHeaderBytes);
    h->seekTableBytes = LoadLe32(desc + kDescSeekTableBytes);
    const uint32_t wavHeaderBytes = LoadLe32(desc + kDescWavHeaderBytes);
    h->frameDataBytes = LoadLe32(desc + kDescFrameDataBytes) |
                        (uint64_t(LoadLe32(desc + kDescFrameDataBytesHigh)) << 32);
    if (descriptorBytes < kDescriptorSize || headerBytes < kHeaderSize)
        return false;
    // A longer descriptor is skipped as a whole: the header starts descriptorBytes in.
    uint8_t hdr[kHeaderSize];
    const uint64_t headerAt = start + descriptorBytes;
    if (!RangeFits(headerAt, sizeof(hdr), fileSize) || !ReadBytes(file, headerAt, hdr, sizeof(hdr)))
        return false;
    h->level = LoadLe16(hdr + kHdrLevel);
    h->blocksPerFrame = LoadLe32(hdr + kHdrBlocksPerFrame);
    h->finalFrameBlocks = LoadLe32(hdr + kHdrFinalFrameBlocks);
    h->totalFrames = LoadLe32(hdr + kHdrTotalFrames);
    h->bits = LoadLe16(hdr + kHdrBits);
    h->channels = LoadLe16(hdr + kHdrChannels);
    h->sampleRate = LoadLe32(hdr + kHdrSampleRate);
    h->seekTableOffset = headerAt + headerBytes;
    h->firstFrame = h->seekTableOffset + h->seekTableBytes + wavHeaderBytes;
    return true;
}

bool ReadOldHeader(platform::NativeFile file, uint64_t start, uint64_t fileSize, ApeHeader* h) {
    uint8_t hdr[kOldHeaderSize];
    if (!RangeFits(start, sizeof(hdr), fileSize) || !ReadBytes(file, start, hdr, sizeof(hdr)))
        return false;
    h->level = LoadLe16(hdr + kOldLevel);
    const uint16_t flags = LoadLe16(hdr + kOldFlags);
    h->channels = LoadLe16(hdr + kOldChannels);
    h->sampleRate = LoadLe32(hdr + kOldSampleRate);
    const uint32_t wavHeaderBytes = LoadLe32(hdr + kOldWavHeaderBytes);
    h->totalFrames = LoadLe32(hdr + kOldTotalFrames);
    h->finalFrameBlocks = LoadLe32(hdr + kOldFinalFrameBlocks);
    uint64_t offset = start + kOldHeaderSize;
    if (flags & kOldFlagPeakLevel)
        offset += 4;
    if (flags & kOldFlagSeekElements) {
        uint8_t count[4];
        if (!RangeFits(offset, sizeof(count), fileSize) ||
            !ReadBytes(file, offset, count, sizeof(count)))
            return false;
        h->seekTableBytes = uint64_t(LoadLe32(count)) * 4;
        offset += 4;
    } else {
        h->seekTableBytes = uint64_t(h->totalFrames) * 4;
    }
    h->bits = (flags & kOldFlag8Bit) ? 8 : (flags & kOldFlag24Bit) ? 24 : 16;
    h->blocksPerFrame = h->version >= kLongFrameVersion ? kLongFrameBlocks : kShortFrameBlocks;
    // The stored WAV header comes before the seek table unless the decoder is to make one.
    if (!(flags & kOldFlagCreateWavHeader))
        offset += wavHeaderBytes;
    h->seekTableOffset = offset;
    h->firstFrame = offset + h->seekTableBytes;
    return true;
}

} // namespace

int OpenApeSource(platform::NativeFile file, MountRecord* record, const std::filesystem::path& path,
                  const ParserIo& io) {
    uint64_t fileSize = 0;
    if (!platform::FileSize(file, &fileSize)) {
        ReportError(io, "Cannot read .ape file, abort");
        return kParseFailed;
    }
    // Seek points hold 32-bit offsets, the last one the file size.
    if (fileSize > 0xFFFFFFFFu) {
        ReportError(io, "File size is too big, abort");
        return kParseFailed;
    }
    uint64_t start = 0;
    uint8_t magic[8];
    if (!FindApeStart(file, fileSize, &start) || !RangeFits(start, sizeof(magic), fileSize) ||
        !ReadBytes(file, start, magic, sizeof(magic))) {
        ReportError(io, "Not an .ape file, abort");
        return kParseFailed;
    }
    ApeHeader h;
    h.version = LoadLe16(magic + kVersionOffset);
    if (h.version < kApeMinVersion || h.version > kApeMaxVersion) {
        ReportError(io, "Unsupported .ape file version %d, abort", int(h.version));
        return kParseFailed;
    }
    bool read = h.version >= kDescriptorVersion ? ReadNewHeader(file, start, fileSize, &h)
                                                : ReadOldHeader(file, start, fileSize, &h);
    if (!read) {
        ReportError(io, "Corrupt .ape header, abort");
        return kParseFailed;
    }

    if (h.channels != kCdChannels || h.sampleRate != kCdSampleRate || h.bits != kCdBits)
        ReportError(io, "Unsupported format: channels=%d samplerate=%d bps=%d", int(h.channels),
                    int(h.sampleRate), int(h.bits));

    ApeStreamInfo info{};
    info.version = h.version;
    info.bitsPerSample = uint16_t(h.bits);
    info.channels = uint16_t(h.channels);
    info.levelIndex = uint16_t(h.level / 1000 - 1);
    const bool levelValid =
        h.level >= 1000 && h.level % 1000 == 0 && h.level / 1000 - 1 <= kApeMaxLevelIndex;
    if (!levelValid || h.channels > 0xFFFF || h.bits > 0xFFFF || !ApeStreamSupported(info) ||
        h.blocksPerFrame == 0 || h.blocksPerFrame > kMaxBlocksPerFrame || h.totalFrames == 0 ||
        h.finalFrameBlocks == 0 || h.finalFrameBlocks > h.blocksPerFrame) {
        ReportError(io, "Corrupt .ape header, abort");
        return kParseFailed;
    }

    const uint64_t totalSamples =
        uint64_t(h.totalFrames - 1) * h.blocksPerFrame + h.finalFrameBlocks;
    if (totalSamples > 0xFFFFFFFFu) {
        ReportError(io, "Corrupt .ape header, abort");
        return kParseFailed;
    }
    LogLine(io.log, kLogInfo, "SamplesPerFrame=%d", int(h.blocksPerFrame));
    LogLine(io.log, kLogInfo, "TotalSamples=%d", int(totalSamples));

    const uint64_t entries = Min<uint64_t>(h.seekTableBytes / 4, h.totalFrames);
    LogLine(io.log, kLogInfo, "SeekTableCount=%d", int(entries));
    if (h.seekTableBytes == 0) {
        ReportError(io, "No seek table in .ape file, abort");
        return kParseFailed;
    }
    // Every frame needs its own entry, and the table and frames must lie inside the file.
    if (entries < h.totalFrames || !RangeFits(h.seekTableOffset, h.seekTableBytes, fileSize) ||
        h.firstFrame >= fileSize) {
        ReportError(io, "Truncated .ape file, abort");
        return kParseFailed;
    }

    std::vector<uint8_t> stored(size_t(entries) * 4);
    if (!ReadBytes(file, h.seekTableOffset, stored.data(), stored.size())) {
        ReportError(io, "Truncated .ape file, abort");
        return kParseFailed;
    }

    auto* table =
        static_cast<SeekPoint*>(AllocLayoutBlock((size_t(entries) + 1) * sizeof(SeekPoint)));
    if (!table)
        return kParseFailed;
    for (uint64_t i = 0; i < entries; ++i) {
        // Stored offsets count from "MAC ", so leading tags move them.
        const uint64_t offset = uint64_t(LoadLe32(stored.data() + i * 4)) + start;
        const uint64_t previous = i ? table[i - 1].fileOffset : h.firstFrame - 1;
        if (LoadLe32(stored.data() + i * 4) == 0 || offset <= previous || offset >= fileSize) {
            FreeLayoutBlock(table);
            if (offset >= fileSize)
                ReportError(io, "Truncated .ape file, abort");
            else
                ReportError(io, "Corrupt .ape seek table, abort");
            return kParseFailed;
        }
        table[i].sample = uint32_t(i * h.blocksPerFrame);
        table[i].fileOffset = uint32_t(offset);
    }
    // The audio ends at the end of the file, or earlier where the descriptor says the frame data
    // ends and a tag starts there, so that a large tag does not count as frame bytes.
    uint64_t audioEnd = fileSize;
    const uint64_t dataEnd = h.firstFrame + h.frameDataBytes;
    uint8_t tag[sizeof(kApeTagMagic)];
    if (h.frameDataBytes != 0 && dataEnd > table[entries - 1].fileOffset &&
        RangeFits(dataEnd, sizeof(tag), fileSize) && ReadBytes(file, dataEnd, tag, sizeof(tag)) &&
        (std::memcmp(tag, kApeTagMagic, sizeof(tag)) == 0 ||
         std::memcmp(tag, kId3v1Magic, sizeof(kId3v1Magic)) == 0))
        audioEnd = dataEnd;
    table[entries].sample = uint32_t(totalSamples);
    table[entries].fileOffset = uint32_t(audioEnd);

    record->readerKind = kReaderApe;
    record->kindPointer = FieldOf(table);
    record->kindCount = uint32_t(entries + 1);
    record->param80 = uint32_t(totalSamples);
    record->param84 = uint32_t(h.firstFrame);
    record->param88 = h.blocksPerFrame;
    // Room for a frame as 16-bit stereo and as the stream's own PCM, whichever is larger.
    record->param92 = uint32_t(
        Max<uint64_t>(uint64_t(h.blocksPerFrame) * 4, ApePcmBytes(info, h.blocksPerFrame)));
    record->param96 = uint32_t(h.version) | (uint32_t(h.bits) << 16);
    record->param100 = uint32_t(h.channels) | (uint32_t(info.levelIndex) << 16);
    (void)path;
    return kParseOk;
}

} // namespace vostrale
