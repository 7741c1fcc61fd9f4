// APE discs: one frame per seek point, decoded on demand into CD-DA sectors; the last decoded
// frame stays cached.
#include "codecs/ape/ape_decoder.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"

namespace vostrale {

struct ApeState {
    SeekPoint* seek; // count entries, the last one marks the end
    uint32_t count;
    ApeStreamInfo info;
    ApeDecoder* decoder;
    uint8_t* input;
    uint32_t inputSize;
    uint8_t* pcm;
    uint32_t pcmCapacity; // sample frames
    uint32_t cachedFrame; // valid when cachedCount > 0
    uint32_t cachedCount;
    uint32_t lastFrame;
};

namespace {

constexpr uint32_t kBytesPerSampleFrame = 4; // 16-bit stereo
constexpr uint32_t kMaxFrameSamples = 4u << 20;

ReadResult Result(uint8_t status, uint32_t bytes, uint32_t failedLba) {
    return ReadResult{status, bytes, failedLba, 0};
}

bool FrameHolds(const ApeState* s, uint32_t f, uint64_t sample) {
    return f + 1 < s->count && s->seek[f].sample <= sample && sample < s->seek[f + 1].sample;
}

uint32_t FindFrame(ApeState* s, uint64_t sample) {
    if (FrameHolds(s, s->lastFrame, sample))
        return s->lastFrame;
    if (FrameHolds(s, s->lastFrame + 1, sample))
        return s->lastFrame + 1;
    uint32_t low = 0;
    uint32_t high = s->count - 1;
    while (low < high) {
        uint32_t mid = low + (high - low) / 2;
        if (sample < s->seek[mid].sample)
            high = mid;
        else if (sample >= s->seek[mid + 1].sample)
            low = mid + 1;
        else
            return mid;
    }
    return s->count;
}

bool DecodeFrame(Disc* disc, ApeState* s, uint32_t f) {
    s->cachedCount = 0;
    ApeFrameSpan span;
    if (!ApeGetFrameSpan(s->seek, s->count, f, &span) || span.readBytes > s->inputSize ||
        span.blocks > s->pcmCapacity)
        return false;
    uint32_t got = ps::FileRead(disc->main, span.readOffset, s->input, span.readBytes);
    if (got == 0)
        return false;
    // The decoder may look a few bytes past the last frame: those read as zeros.
    ZeroBytes(s->input + got, span.readBytes - got);
    uint32_t blocks = ApeDecodeFrame(s->decoder, s->input, span.readBytes, span.skip, span.blocks,
                                     s->pcm, size_t(s->pcmCapacity) * kBytesPerSampleFrame);
    if (blocks != span.blocks)
        return false;
    s->cachedFrame = f;
    s->cachedCount = blocks;
    s->lastFrame = f;
    return true;
}

} // namespace

bool PrepareApeDecoder(Disc* disc, const MountRecord& r) {
    uint64_t tableAddress = r.kindPointer;
    uint32_t count = r.kindCount;
    ApeStreamInfo info;
    info.version = uint16_t(r.param96);
    info.bitsPerSample = uint16_t(r.param96 >> 16);
    info.channels = uint16_t(r.param100);
    info.levelIndex = uint16_t(r.param100 >> 16);
    // CD sectors are 16-bit stereo; other streams would play as noise.
    if (!tableAddress || count < 2 || count > kMaxSeekPoints || !ApeStreamSupported(info) ||
        info.bitsPerSample != 16 || info.channels != 2)
        return false;
    ApeState* s = static_cast<ApeState*>(Allocate(ps::kPoolPaged, sizeof(ApeState)));
    if (!s)
        return false;
    ZeroBytes(s, sizeof(*s));
    disc->ape = s;
    s->count = count;
    s->info = info;
    uint64_t bytes = uint64_t(count) * sizeof(SeekPoint);
    s->seek = static_cast<SeekPoint*>(Allocate(ps::kPoolPaged, bytes));
    if (!s->seek || !ps::CopyFromSender(s->seek, tableAddress, size_t(bytes)))
        return false;
    // Buffers sized from the table: the largest frame span, not the record's size fields.
    uint32_t longest = 0;
    for (uint32_t i = 0; i + 1 < count; ++i) {
        if (s->seek[i + 1].sample <= s->seek[i].sample ||
            s->seek[i + 1].fileOffset < s->seek[i].fileOffset)
            return false;
        longest = Max(longest, s->seek[i + 1].sample - s->seek[i].sample);
    }
    s->inputSize = ApeMaxReadBytes(s->seek, count);
    if (s->inputSize == 0 || s->inputSize > (64u << 20) || longest > kMaxFrameSamples)
        return false;
    s->pcmCapacity = longest;
    s->decoder = static_cast<ApeDecoder*>(Allocate(ps::kPoolPaged, sizeof(ApeDecoder)));
    s->input = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, s->inputSize));
    s->pcm =
        static_cast<uint8_t*>(Allocate(ps::kPoolPaged, uint64_t(longest) * kBytesPerSampleFrame));
    return s->decoder && s->input && s->pcm && ApeInitDecoder(s->decoder, info);
}

void FreeApeDecoder(ApeState* s) {
    if (!s)
        return;
    Release(s->seek);
    Release(s->decoder);
    Release(s->input);
    Release(s->pcm);
    Release(s);
}

ReadResult ReadApeSectors(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba) {
    ApeState* s = disc->ape;
    uint64_t first = uint64_t(lba) * kSamplesPerSector;
    uint64_t wanted = uint64_t(count) * kSamplesPerSector;
    uint64_t end = s->seek[s->count - 1].sample;
    if (lba >= disc->totalSectors || count > disc->totalSectors - lba || first >= end)
        return Result(kReadMediumError, 0, lba);
    uint64_t copied = 0;
    while (copied < wanted) {
        uint64_t sample = first + copied;
        if (sample >= end) {
            // The stream ends inside the disc's last sector: the rest is silence.
            ZeroBytes(buffer + copied * kBytesPerSampleFrame,
                      size_t((wanted - copied) * kBytesPerSampleFrame));
            break;
        }
        uint32_t f = s->cachedCount && FrameHolds(s, s->cachedFrame, sample) ? s->cachedFrame
                                                                             : FindFrame(s, sample);
        bool cached = s->cachedCount && s->cachedFrame == f;
        if (f >= s->count - 1 || (!cached && !DecodeFrame(disc, s, f))) {
            uint32_t failed = uint32_t(sample / kSamplesPerSector);
            return Result(kReadMediumError, (failed - lba) * kCdSectorSize, failed);
        }
        uint64_t offset = sample - s->seek[f].sample;
        uint64_t n = Min<uint64_t>(s->cachedCount - offset, wanted - copied);
        CopyBytes(buffer + copied * kBytesPerSampleFrame, s->pcm + offset * kBytesPerSampleFrame,
                  size_t(n * kBytesPerSampleFrame));
        copied += n;
    }
    return Result(kReadOk, count * kCdSectorSize, 0);
}

} // namespace vostrale
