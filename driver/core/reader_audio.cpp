// Decoded audio discs (FLAC): groups of frames between seek points, decoded on demand into
// CD-DA sectors; the last decoded group stays cached for the sequential reads of a player.
#include "codecs/flac.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"

namespace vostrale {

struct AudioDecoder {
    SeekPoint* seek; // count entries, the last one marks the end
    uint32_t count;
    uint32_t blockSize;
    uint32_t bitsPerSample;
    uint8_t* group;
    uint32_t groupCapacity;
    int32_t* left;
    int32_t* right;
    uint8_t* pcm;
    uint32_t pcmCapacity; // sample frames
    uint32_t cachedGroup; // valid when cachedCount > 0
    uint32_t cachedCount; // sample frames in pcm
    uint32_t lastGroup;
};

namespace {

constexpr uint32_t kBytesPerSampleFrame = 4; // 16-bit stereo
constexpr uint32_t kMaxGroupBytes = 16u << 20;
constexpr uint32_t kMaxGroupSamples = 4u << 20;

ReadResult Result(uint8_t status, uint32_t bytes, uint32_t failedLba) {
    return ReadResult{status, bytes, failedLba, 0};
}

bool GroupHolds(const AudioDecoder* d, uint32_t g, uint64_t sample) {
    return g + 1 < d->count && d->seek[g].sample <= sample && sample < d->seek[g + 1].sample;
}

// Index of the group holding `sample`; count when none.
uint32_t FindGroup(AudioDecoder* d, uint64_t sample) {
    if (GroupHolds(d, d->lastGroup, sample))
        return d->lastGroup;
    if (GroupHolds(d, d->lastGroup + 1, sample))
        return d->lastGroup + 1;
    uint32_t low = 0;
    uint32_t high = d->count - 1; // groups 0 .. count - 2
    while (low < high) {
        uint32_t mid = low + (high - low) / 2;
        if (sample < d->seek[mid].sample)
            high = mid;
        else if (sample >= d->seek[mid + 1].sample)
            low = mid + 1;
        else
            return mid;
    }
    return d->count;
}

bool DecodeGroup(Disc* disc, AudioDecoder* d, uint32_t g) {
    d->cachedCount = 0;
    uint32_t size = d->seek[g + 1].fileOffset - d->seek[g].fileOffset;
    uint32_t span = d->seek[g + 1].sample - d->seek[g].sample;
    if (ps::FileRead(disc->main, d->seek[g].fileOffset, d->group, size) != size)
        return false;
    uint32_t frames = (span + d->blockSize - 1) / d->blockSize;
    FlacStreamParams params{d->blockSize, d->bitsPerSample, 2};
    uint32_t produced =
        DecodeFlacGroup(d->group, size, frames, params, d->left, d->right, d->pcm, d->pcmCapacity);
    if (produced < span)
        return false;
    d->cachedGroup = g;
    d->cachedCount = span;
    d->lastGroup = g;
    return true;
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
    d->count = count;
    d->blockSize = blockSize;
    d->bitsPerSample = r.param92;
    uint64_t bytes = uint64_t(count) * sizeof(SeekPoint);
    d->seek = static_cast<SeekPoint*>(Allocate(ps::kPoolPaged, bytes));
    if (!d->seek || !ps::CopyFromSender(d->seek, tableAddress, size_t(bytes)))
        return false;
    // Buffers sized from the table itself: the stream's "largest frame" may be unknown (0).
    uint32_t largestGroup = 0;
    uint32_t longestSpan = 0;
    for (uint32_t i = 0; i + 1 < count; ++i) {
        const SeekPoint& a = d->seek[i];
        const SeekPoint& b = d->seek[i + 1];
        if (b.sample <= a.sample || b.fileOffset <= a.fileOffset)
            return false;
        largestGroup = Max(largestGroup, b.fileOffset - a.fileOffset);
        longestSpan = Max(longestSpan, b.sample - a.sample);
    }
    if (largestGroup > kMaxGroupBytes || longestSpan > kMaxGroupSamples)
        return false;
    // Whole frames: the last frame of a group may run to a full block.
    uint32_t frames = (longestSpan + blockSize - 1) / blockSize;
    d->groupCapacity = largestGroup;
    d->pcmCapacity = frames * blockSize;
    d->group = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, largestGroup));
    d->pcm = static_cast<uint8_t*>(
        Allocate(ps::kPoolPaged, uint64_t(d->pcmCapacity) * kBytesPerSampleFrame));
    d->left = static_cast<int32_t*>(Allocate(ps::kPoolPaged, uint64_t(blockSize) * 4));
    d->right = static_cast<int32_t*>(Allocate(ps::kPoolPaged, uint64_t(blockSize) * 4));
    return d->group && d->pcm && d->left && d->right;
}

void FreeAudioDecoder(AudioDecoder* d) {
    if (!d)
        return;
    Release(d->seek);
    Release(d->group);
    Release(d->pcm);
    Release(d->left);
    Release(d->right);
    Release(d);
}

ReadResult ReadAudioSectors(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba) {
    AudioDecoder* d = disc->audio;
    uint64_t first = uint64_t(lba) * kSamplesPerSector;
    uint64_t wanted = uint64_t(count) * kSamplesPerSector;
    uint64_t end = d->seek[d->count - 1].sample;
    if (lba >= disc->totalSectors || count > disc->totalSectors - lba || first >= end)
        return Result(kReadMediumError, 0, lba);
    uint64_t copied = 0;
    while (copied < wanted) {
        uint64_t sample = first + copied;
        if (sample >= end) {
            // The stream ends inside the disc's last sector: the rest is silence.
            ZeroBytes(buffer + copied * kBytesPerSampleFrame,
                      size_t((wanted - copied) * kBytesPerSampleFrame));
            copied = wanted;
            break;
        }
        uint32_t g = d->cachedCount && GroupHolds(d, d->cachedGroup, sample) ? d->cachedGroup
                                                                             : FindGroup(d, sample);
        bool cached = d->cachedCount && d->cachedGroup == g;
        if (g >= d->count - 1 || (!cached && !DecodeGroup(disc, d, g))) {
            uint32_t failed = uint32_t(sample / kSamplesPerSector);
            return Result(kReadMediumError, (failed - lba) * kCdSectorSize, failed);
        }
        uint64_t offset = sample - d->seek[g].sample;
        uint64_t n = Min<uint64_t>(d->cachedCount - offset, wanted - copied);
        CopyBytes(buffer + copied * kBytesPerSampleFrame, d->pcm + offset * kBytesPerSampleFrame,
                  size_t(n * kBytesPerSampleFrame));
        copied += n;
    }
    return Result(kReadOk, count * kCdSectorSize, 0);
}

} // namespace vostrale
