// FLAC files in CUE sheets: STREAMINFO, the frame seek list (from the .ids cache or decoded
// once), and the thinned seek table the driver's decoder works from.
#include "formats/audio_source.h"
#include "formats/flac_seek_cache.h"
#include "formats/layout.h"

#include "codecs/flac.h"
#include "common/bytes.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

namespace vostrale {
namespace {

constexpr uint64_t kMaxFileSize = 0x100000000ull; // offsets in the seek table are 32-bit
constexpr uint32_t kMetadataHeaderSize = 4;
constexpr uint32_t kStreamInfoType = 0;
constexpr uint32_t kStreamInfoSize = 34;
constexpr uint32_t kCdSampleRate = 44100;
constexpr uint32_t kMinBlockSize = 16;
constexpr size_t kInitialSeekPoints = 3000;
// Frames are decoded from a window of the file; the margin exceeds the largest possible
// 16-bit stereo frame (65535 samples verbatim, side channel at 17 bits, plus headers).
constexpr size_t kWindowSize = 1u << 20;
constexpr size_t kWindowMargin = 512u * 1024;

struct StreamInfo {
    uint32_t minBlock = 0;
    uint32_t maxBlock = 0;
    uint32_t minFrame = 0;
    uint32_t maxFrame = 0;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
    uint64_t totalSamples = 0;
    uint8_t md5[16] = {};
};

void ParseStreamInfo(const uint8_t* b, StreamInfo* si) {
    si->minBlock = LoadBe16(b);
    si->maxBlock = LoadBe16(b + 2);
    si->minFrame = LoadBe24(b + 4);
    si->maxFrame = LoadBe24(b + 7);
    uint64_t packed = LoadBe64(b + 10); // rate 20, channels-1 3, bits-1 5, total 36
    si->sampleRate = uint32_t(packed >> 44);
    si->channels = uint32_t((packed >> 41) & 0x7) + 1;
    si->bitsPerSample = uint32_t((packed >> 36) & 0x1F) + 1;
    si->totalSamples = packed & ((uint64_t(1) << 36) - 1);
    std::memcpy(si->md5, b + 18, sizeof(si->md5));
}

enum class Metadata { kOk, kNotFlac, kBroken };

// Walks the metadata blocks; *firstFrame is where the frames begin and *found tells whether
// STREAMINFO was there.
Metadata ReadMetadata(platform::NativeFile file, uint64_t fileSize, StreamInfo* si, bool* found,
                      uint64_t* firstFrame) {
    uint8_t magic[4];
    if (!platform::ReadExactlyAt(file, 0, magic, sizeof(magic)) ||
        std::memcmp(magic, "fLaC", 4) != 0)
        return Metadata::kNotFlac;
    *found = false;
    uint64_t pos = sizeof(magic);
    for (;;) {
        uint8_t header[kMetadataHeaderSize];
        if (fileSize - pos < kMetadataHeaderSize ||
            !platform::ReadExactlyAt(file, pos, header, sizeof(header)))
            return Metadata::kBroken;
        bool last = (header[0] & 0x80) != 0;
        uint32_t type = header[0] & 0x7F;
        uint32_t length = LoadBe24(header + 1);
        pos += kMetadataHeaderSize;
        if (fileSize - pos < length)
            return Metadata::kBroken;
        if (type == kStreamInfoType && !*found && length >= kStreamInfoSize) {
            uint8_t body[kStreamInfoSize];
            if (!platform::ReadExactlyAt(file, pos, body, sizeof(body)))
                return Metadata::kBroken;
            ParseStreamInfo(body, si);
            *found = true;
        }
        pos += length;
        if (last)
            break;
    }
    *firstFrame = pos;
    return Metadata::kOk;
}

enum class Generation { kOk, kFailed, kCancelled };

// Decodes every frame once, recording (first sample, offset) before each. Stops at the end of
// the file or at bytes that do not start a frame (a trailing tag); a frame that starts like one
// but does not decode fails.
Generation GenerateSeekList(platform::NativeFile file, uint64_t fileSize, uint64_t firstFrame,
                            uint32_t blockSize, const ParserIo& io, std::vector<SeekPoint>* points,
                            uint64_t* totalSamples, uint64_t* failedAt) {
    std::vector<uint8_t> window(kWindowSize);
    std::vector<int32_t> left(blockSize), right(blockSize);
    int32_t* buffers[2] = {left.data(), right.data()};
    uint64_t windowStart = firstFrame;
    size_t windowFill = 0;
    size_t cursor = 0;
    uint64_t sample = 0;
    bool shortFrameSeen = false;
    points->clear();
    points->reserve(kInitialSeekPoints);
    if (io.progress) {
        io.progress->total = fileSize;
        io.progress->done = firstFrame;
    }
    for (;;) {
        if (io.progress && io.progress->cancel.load())
            return Generation::kCancelled;
        uint64_t offset = windowStart + cursor;
        if (offset >= fileSize)
            break;
        // Keep at least the margin (or the rest of the file) ahead of the cursor.
        if (windowFill - cursor < kWindowMargin && windowStart + windowFill < fileSize) {
            std::memmove(window.data(), window.data() + cursor, windowFill - cursor);
            windowStart += cursor;
            windowFill -= cursor;
            cursor = 0;
            size_t want = size_t(std::min<uint64_t>(window.size() - windowFill,
                                                    fileSize - (windowStart + windowFill)));
            size_t got = 0;
            if (!platform::ReadAt(file, windowStart + windowFill, window.data() + windowFill, want,
                                  &got) ||
                got != want) {
                *failedAt = windowStart + windowFill;
                return Generation::kFailed;
            }
            windowFill += got;
        }
        const uint8_t* frame = window.data() + cursor;
        size_t available = windowFill - cursor;
        // Anything that does not begin with a frame sync ends the audio (tags after the stream).
        if (available < 2 || frame[0] != 0xFF || (frame[1] & 0xFE) != 0xF8)
            break;
        FlacFrameInfo info;
        size_t used = DecodeFlacFrame(frame, available, 16, buffers, 2, blockSize, &info);
        // Every frame must match the stream; only the last may be shorter.
        if (used == 0 || info.channels != 2 || info.bitsPerSample != 16 || shortFrameSeen) {
            *failedAt = offset;
            return Generation::kFailed;
        }
        if (info.blockSize != blockSize)
            shortFrameSeen = true;
        points->push_back(SeekPoint{uint32_t(sample), uint32_t(offset)});
        sample += info.blockSize;
        if (sample > UINT32_MAX) {
            *failedAt = offset;
            return Generation::kFailed;
        }
        cursor += used;
        if (io.progress)
            io.progress->done = windowStart + cursor;
    }
    if (points->empty()) {
        *failedAt = firstFrame;
        return Generation::kFailed;
    }
    points->push_back(SeekPoint{uint32_t(sample), uint32_t(fileSize)});
    *totalSamples = sample;
    return Generation::kOk;
}

bool LoadCache(const FlacCacheKey& key, FlacCacheContents* contents) {
    std::filesystem::path path = FlacSeekCachePath(key);
    if (path.empty())
        return false;
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (!file)
        return false;
    uint64_t size = 0;
    bool ok = platform::FileSize(file, &size) &&
              size <= kSeekCacheHeaderSize + uint64_t(key.fileSize) * 8;
    std::vector<uint8_t> data;
    if (ok) {
        data.resize(size_t(size));
        ok = platform::ReadExactlyAt(file, 0, data.data(), data.size());
    }
    platform::CloseFile(file);
    return ok && ParseFlacSeekCache(data.data(), data.size(), key, contents);
}

void StoreCache(const FlacCacheKey& key, const FlacCacheContents& contents, ActivityLog* log) {
    std::filesystem::path path = FlacSeekCachePath(key);
    if (path.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::vector<uint8_t> data = BuildFlacSeekCache(key, contents);
    bool ok;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        out.close();
        ok = !out.fail();
    }
    if (!ok) {
        LogLine(log, kLogWarning, "Cannot write seektable cache %s",
                platform::NarrowPath(path).c_str());
        std::filesystem::remove(path, ec);
    }
}

} // namespace

int OpenFlacSource(platform::NativeFile file, MountRecord* record,
                   const std::filesystem::path& path, const ParserIo& io) {
    (void)path;
    uint64_t fileSize = 0;
    if (!platform::FileSize(file, &fileSize)) {
        ReportError(io, "Cannot read the FLAC file");
        return kParseFailed;
    }
    if (fileSize >= kMaxFileSize) {
        ReportError(io, "File size is too big, abort");
        return kParseFailed;
    }
    StreamInfo si;
    bool found = false;
    uint64_t firstFrame = 0;
    Metadata metadata = ReadMetadata(file, fileSize, &si, &found, &firstFrame);
    if (metadata == Metadata::kNotFlac)
        return kParseFailed;
    if (metadata == Metadata::kBroken) {
        ReportError(io, "The FLAC metadata runs past the end of the file");
        return kParseFailed;
    }
    if (found) {
        LogLine(io.log, kLogInfo, "min_blocksize=%d", int(si.minBlock));
        LogLine(io.log, kLogInfo, "max_blocksize=%d", int(si.maxBlock));
        LogLine(io.log, kLogInfo, "min_framesize=%d", int(si.minFrame));
        LogLine(io.log, kLogInfo, "max_framesize=%d", int(si.maxFrame));
        LogLine(io.log, kLogInfo, "samplerate=%d", int(si.sampleRate));
        LogLine(io.log, kLogInfo, "channels=%d", int(si.channels));
        LogLine(io.log, kLogInfo, "bps=%d", int(si.bitsPerSample));
        LogLine(io.log, kLogInfo, "samples=%" PRIu64, si.totalSamples);
    }
    if (!found) {
        ReportError(io, "No STREAMINFO in the FLAC file");
        return kParseFailed;
    }
    if (si.minBlock != si.maxBlock) {
        ReportError(io, "Only support fixed-blocksize flac stream");
        return kParseFailed;
    }
    if (si.channels != 2 || si.sampleRate != kCdSampleRate || si.bitsPerSample != 16) {
        ReportError(io, "Unsupported format: channels=%d samplerate=%d bps=%d", int(si.channels),
                    int(si.sampleRate), int(si.bitsPerSample));
        return kParseFailed;
    }
    if (si.maxBlock < kMinBlockSize) {
        ReportError(io, "Invalid FLAC block size %d", int(si.maxBlock));
        return kParseFailed;
    }
    const uint32_t blockSize = si.maxBlock;

    FlacCacheKey key;
    std::memcpy(key.md5, si.md5, sizeof(key.md5));
    key.blockSize = blockSize;
    key.fileSize = uint32_t(fileSize);
    key.firstFrame = uint32_t(firstFrame);

    FlacCacheContents contents;
    if (LoadCache(key, &contents)) {
        LogLine(io.log, kLogInfo, "Seektable from cache");
    } else {
        LogLine(io.log, kLogInfo, "Generate seektable");
        uint64_t total = 0;
        uint64_t failedAt = 0;
        Generation g = GenerateSeekList(file, fileSize, firstFrame, blockSize, io, &contents.points,
                                        &total, &failedAt);
        if (g == Generation::kCancelled)
            return kParseCancelled;
        if (g == Generation::kFailed) {
            ReportError(io, "Cannot decode the FLAC frame at offset %" PRIu64, failedAt);
            return kParseFailed;
        }
        if (si.totalSamples != 0 && si.totalSamples != total)
            LogLine(io.log, kLogWarning,
                    "STREAMINFO gives %" PRIu64 " samples, the stream holds %" PRIu64,
                    si.totalSamples, total);
        contents.totalSamples = uint32_t(total);
        contents.maxFrameSize = si.maxFrame;
        StoreCache(key, contents, io.log);
    }

    // Thin to about one entry per second of audio; the driver decodes a group of `step`
    // frames per seek entry.
    const std::vector<SeekPoint>& full = contents.points;
    const size_t n = full.size();
    const uint32_t step = blockSize < kCdSampleRate ? kCdSampleRate / blockSize : 1;
    size_t entries = step == 1 ? n : (step + n - 2) / step + 1;
    auto* table = static_cast<SeekPoint*>(AllocLayoutBlock(entries * sizeof(SeekPoint)));
    if (!table) {
        ReportError(io, "Out of memory for the seek table");
        return kParseFailed;
    }
    size_t k = 0;
    for (size_t i = 0; i + 1 < n; i += step)
        table[k++] = full[i];
    table[k++] = full[n - 1];

    // The largest frame bounds the driver's group buffer (largest frame x step): take the
    // real frame spans, since STREAMINFO may give 0 ("unknown") or too little.
    uint32_t largest = si.maxFrame;
    for (size_t i = 1; i < n; ++i)
        largest = std::max(largest, full[i].fileOffset - full[i - 1].fileOffset);

    record->readerKind = kReaderFlac;
    record->kindPointer = FieldOf(table);
    record->kindCount = uint32_t(k);
    record->param80 = step;
    record->param84 = kCdSampleRate;
    record->param88 = 2;
    record->param92 = 16;
    record->param96 = blockSize;
    record->param100 = largest;
    record->param104 = contents.totalSamples;
    return kParseOk;
}

} // namespace vostrale
