// APE discs: one frame per seek point, decoded on demand into CD-DA sectors.
#include "codecs/ape/ape_decoder.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"

namespace vostrale {

struct ApeState {
    DecodedSpans spans; // one span per frame
    ApeStreamInfo info;
    ApeDecoder* decoder;
    uint8_t* input;
    uint32_t inputSize;
    uint32_t pcmCapacity; // sample frames
};

namespace {

constexpr uint32_t kBytesPerSampleFrame = 4; // 16-bit stereo
constexpr uint32_t kMaxFrameSamples = 4u << 20;

bool DecodeFrame(Disc* disc, uint32_t f) {
    ApeState* s = disc->ape;
    return ReadApeFrame(disc->main, s->spans.seek, s->spans.count, f, s->decoder, s->input,
                        s->inputSize, s->spans.pcm, s->pcmCapacity);
}

} // namespace

bool ReadApeFrame(ps::FileRef file, const SeekPoint* seek, uint32_t seekCount, uint32_t index,
                  ApeDecoder* decoder, uint8_t* input, uint32_t inputSize, uint8_t* pcm,
                  uint32_t pcmCapacity) {
    ApeFrameSpan span;
    if (!ApeGetFrameSpan(seek, seekCount, index, &span) || span.readBytes > inputSize ||
        span.blocks > pcmCapacity)
        return false;
    uint32_t got = ps::FileRead(file, span.readOffset, input, span.readBytes);
    if (got == 0)
        return false;
    // The decoder may look a few bytes past the last frame: those read as zeros.
    ZeroBytes(input + got, span.readBytes - got);
    // The AVX2 filters run only while the system keeps the wide registers for this thread.
    ps::WideRegisters saved;
    bool wide = ApeWideFiltersAvailable() && ps::WideRegistersBegin(&saved);
    ApeAllowWideFilters(decoder, wide);
    uint32_t blocks = ApeDecodeFrame(decoder, input, span.readBytes, span.skip, span.blocks, pcm,
                                     size_t(pcmCapacity) * kBytesPerSampleFrame);
    if (wide)
        ps::WideRegistersEnd(&saved);
    return blocks == span.blocks;
}

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
    s->spans.count = count;
    s->info = info;
    uint64_t bytes = uint64_t(count) * sizeof(SeekPoint);
    s->spans.seek = static_cast<SeekPoint*>(Allocate(ps::kPoolPaged, bytes));
    if (!s->spans.seek || !ps::CopyFromSender(s->spans.seek, tableAddress, size_t(bytes)))
        return false;
    // Buffers sized from the table: the largest frame span, not the record's size fields.
    uint32_t longest = 0;
    if (!CheckSeekTable(s->spans.seek, count, false, &longest))
        return false;
    s->inputSize = ApeMaxReadBytes(s->spans.seek, count);
    if (s->inputSize == 0 || s->inputSize > (64u << 20) || longest > kMaxFrameSamples)
        return false;
    s->pcmCapacity = longest;
    s->decoder = static_cast<ApeDecoder*>(Allocate(ps::kPoolPaged, sizeof(ApeDecoder)));
    s->input = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, s->inputSize));
    s->spans.pcm =
        static_cast<uint8_t*>(Allocate(ps::kPoolPaged, uint64_t(longest) * kBytesPerSampleFrame));
    return s->decoder && s->input && s->spans.pcm && ApeInitDecoder(s->decoder, info);
}

void FreeApeDecoder(ApeState* s) {
    if (!s)
        return;
    Release(s->spans.seek);
    Release(s->spans.pcm);
    Release(s->decoder);
    Release(s->input);
    Release(s);
}

ReadResult ReadApeSectors(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba) {
    return ReadDecodedSectors(disc, &disc->ape->spans, DecodeFrame, buffer, count, lba);
}

} // namespace vostrale
