// Decoded audio discs (FLAC groups, APE frames): the seek table cut into spans, each decoded
// on demand into 16-bit stereo samples; the last decoded span stays cached for the
// sequential reads of a player.
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"

namespace vostrale {
namespace {

constexpr uint32_t kBytesPerSampleFrame = 4; // 16-bit stereo

bool SpanHolds(const DecodedSpans* s, uint32_t i, uint64_t sample) {
    return i + 1 < s->count && s->seek[i].sample <= sample && sample < s->seek[i + 1].sample;
}

// Index of the span holding `sample`; count when none.
uint32_t FindSpan(const DecodedSpans* s, uint64_t sample) {
    if (SpanHolds(s, s->last, sample))
        return s->last;
    if (SpanHolds(s, s->last + 1, sample))
        return s->last + 1;
    uint32_t low = 0;
    uint32_t high = s->count - 1; // spans 0 .. count - 2
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

} // namespace

bool CheckSeekTable(const SeekPoint* seek, uint32_t count, bool strictOffsets,
                    uint32_t* longestSpan) {
    *longestSpan = 0;
    for (uint32_t i = 0; i + 1 < count; ++i) {
        const SeekPoint& a = seek[i];
        const SeekPoint& b = seek[i + 1];
        if (b.sample <= a.sample || b.fileOffset < a.fileOffset ||
            (strictOffsets && b.fileOffset == a.fileOffset))
            return false;
        *longestSpan = Max(*longestSpan, b.sample - a.sample);
    }
    return true;
}

ReadResult ReadDecodedSectors(Disc* disc, DecodedSpans* s, DecodeSpan decode, uint8_t* buffer,
                              uint32_t count, uint32_t lba) {
    uint64_t first = uint64_t(lba) * kSamplesPerSector;
    uint64_t wanted = uint64_t(count) * kSamplesPerSector;
    uint64_t end = s->seek[s->count - 1].sample;
    if (lba >= disc->totalSectors || count > disc->totalSectors - lba || first >= end)
        return ReadResult{kReadMediumError, 0, lba, 0};
    uint64_t copied = 0;
    while (copied < wanted) {
        uint64_t sample = first + copied;
        if (sample >= end) {
            // The stream ends inside the disc's last sector: the rest is silence.
            ZeroBytes(buffer + copied * kBytesPerSampleFrame,
                      size_t((wanted - copied) * kBytesPerSampleFrame));
            break;
        }
        bool cached = s->cachedValid && SpanHolds(s, s->cached, sample);
        uint32_t i = cached ? s->cached : FindSpan(s, sample);
        if (!cached) {
            s->cachedValid = false;
            if (i >= s->count - 1 || !decode(disc, i)) {
                uint32_t failed = uint32_t(sample / kSamplesPerSector);
                return ReadResult{kReadMediumError, (failed - lba) * kCdSectorSize, failed, 0};
            }
            s->cached = i;
            s->cachedValid = true;
            s->last = i;
        }
        // A decoder delivers the whole span (checked by each), so the copy stays inside it.
        uint64_t offset = sample - s->seek[i].sample;
        uint64_t n = Min<uint64_t>(s->seek[i + 1].sample - sample, wanted - copied);
        CopyBytes(buffer + copied * kBytesPerSampleFrame, s->pcm + offset * kBytesPerSampleFrame,
                  size_t(n * kBytesPerSampleFrame));
        copied += n;
    }
    return ReadResult{kReadOk, count * kCdSectorSize, 0, 0};
}

} // namespace vostrale
