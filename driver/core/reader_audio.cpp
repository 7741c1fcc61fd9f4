// FLAC discs: groups of frames between seek points, decoded on demand into CD-DA sectors.
#include "codecs/flac.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"

namespace vostrale {

struct AudioDecoder {
    DecodedSpans spans; // one span per group of frames
    uint32_t blockSize;
    uint32_t bitsPerSample;
    uint8_t* group;
    int32_t* left;
    int32_t* right;
    uint32_t pcmCapacity; // sample frames
};

namespace {

constexpr uint32_t kBytesPerSampleFrame = 4; // 16-bit stereo
constexpr uint32_t kMaxGroupBytes = 16u << 20;
constexpr uint32_t kMaxGroupSamples = 4u << 20;

bool DecodeGroup(Disc* disc, uint32_t g) {
    AudioDecoder* d = disc->audio;
    const SeekPoint* seek = d->spans.seek;
    uint32_t size = seek[g + 1].fileOffset - seek[g].fileOffset;
    uint32_t span = seek[g + 1].sample - seek[g].sample;
    if (ps::FileRead(disc->main, seek[g].fileOffset, d->group, size) != size)
        return false;
    uint32_t frames = (span + d->blockSize - 1) / d->blockSize;
    FlacStreamParams params{d->blockSize, d->bitsPerSample, 2};
    uint32_t produced = DecodeFlacGroup(d->group, size, frames, params, d->left, d->right,
                                        d->spans.pcm, d->pcmCapacity);
    return produced >= span;
}

} // namespace

bool PrepareAudioDecoder(Disc* disc, const MountRecord& r) {
    if (r.readerKind != kReaderFlac)
        return false; // APE discs need their frame decoder
    uint64_t tableAddress = r.kindPointer;
    uint32_t count = r.kindCount;
    uint32_t blockSize = r.param96;
    if (!tableAddress || count < 2 || count > kMaxSeekPoints || blockSize == 0 ||
        blockSize > kFlacMaxBlockSize)
        return false;
    AudioDecoder* d = static_cast<AudioDecoder*>(Allocate(ps::kPoolPaged, sizeof(AudioDecoder)));
    if (!d)
        return false;
    ZeroBytes(d, sizeof(*d));
    disc->audio = d;
    d->spans.count = count;
    d->blockSize = blockSize;
    d->bitsPerSample = r.param92;
    uint64_t bytes = uint64_t(count) * sizeof(SeekPoint);
    d->spans.seek = static_cast<SeekPoint*>(Allocate(ps::kPoolPaged, bytes));
    if (!d->spans.seek || !ps::CopyFromSender(d->spans.seek, tableAddress, size_t(bytes)))
        return false;
    // Buffers sized from the table itself: the stream's "largest frame" may be unknown (0).
    uint32_t longestSpan = 0;
    if (!CheckSeekTable(d->spans.seek, count, true, &longestSpan))
        return false;
    uint32_t largestGroup = 0;
    for (uint32_t i = 0; i + 1 < count; ++i)
        largestGroup =
            Max(largestGroup, d->spans.seek[i + 1].fileOffset - d->spans.seek[i].fileOffset);
    if (largestGroup > kMaxGroupBytes || longestSpan > kMaxGroupSamples)
        return false;
    // Whole frames: the last frame of a group may run to a full block.
    uint32_t frames = (longestSpan + blockSize - 1) / blockSize;
    d->pcmCapacity = frames * blockSize;
    d->group = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, largestGroup));
    d->spans.pcm = static_cast<uint8_t*>(
        Allocate(ps::kPoolPaged, uint64_t(d->pcmCapacity) * kBytesPerSampleFrame));
    d->left = static_cast<int32_t*>(Allocate(ps::kPoolPaged, uint64_t(blockSize) * 4));
    d->right = static_cast<int32_t*>(Allocate(ps::kPoolPaged, uint64_t(blockSize) * 4));
    return d->group && d->spans.pcm && d->left && d->right;
}

void FreeAudioDecoder(AudioDecoder* d) {
    if (!d)
        return;
    Release(d->spans.seek);
    Release(d->spans.pcm);
    Release(d->group);
    Release(d->left);
    Release(d->right);
    Release(d);
}

ReadResult ReadAudioSectors(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba) {
    return ReadDecodedSectors(disc, &disc->audio->spans, DecodeGroup, buffer, count, lba);
}

} // namespace vostrale
