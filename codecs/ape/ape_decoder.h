// APE (Monkey's Audio) frame decoder for file versions 3930 and later: range-coded residuals,
// NN filters, the two-stage predictor and channel reconstruction, checked by the frame CRC.
// Kernel-safe: the caller owns every byte of memory. One ApeDecoder per stream; it is not
// thread-safe, and it holds no pointers, so it may be copied or moved between frames.
//
// Reading frame i (seek table as the mount record carries it: one point per frame plus the end
// point, count = entries including the end point):
//   1. ApeGetFrameSpan(table, count, i, &span) -> where to read and how many blocks it holds.
//   2. Read span.readBytes bytes from span.readOffset into an input buffer; bytes past the end
//      of the file read as zero. ApeMaxReadBytes(table, count) sizes that buffer for every frame.
//   3. ApeDecodeFrame(decoder, input, span.readBytes, span.skip, span.blocks, pcm, pcmBytes);
//      the PCM needs ApePcmBytes(info, span.blocks) bytes (at most ApePcmBytes(info, samples per
//      frame)).
#pragma once

#include "common/kstd.h"
#include "common/wire.h"

namespace vostrale {

constexpr uint16_t kApeMinVersion = 3930; // older streams use other coders and predictors
constexpr uint16_t kApeMaxVersion = 3990; // newest bitstream known
constexpr uint16_t kApeMaxLevelIndex = 4; // compression 5000
// The range decoder looks a few bytes past a frame's last byte (into the next frame).
constexpr uint32_t kApeReadMargin = 8;

// Stream parameters, as the mount record carries them (offsets 96..102).
struct ApeStreamInfo {
    uint16_t version;       // file version, e.g. 3990
    uint16_t bitsPerSample; // 8, 16 or 24
    uint16_t channels;      // 1 or 2
    uint16_t levelIndex;    // compression level / 1000 - 1: 0..4
};

// True when ApeInitDecoder accepts these parameters.
bool ApeStreamSupported(const ApeStreamInfo& info);

// PCM bytes of `blocks` decoded blocks: interleaved per channel in the stream's own sample
// format (8-bit unsigned, 16- or 24-bit signed little-endian). For CD audio this is 4 x blocks,
// 16-bit stereo. 0 when the parameters are unsupported.
uint64_t ApePcmBytes(const ApeStreamInfo& info, uint64_t blocks);

// Where frame `frame` lies. Frame bytes are aligned to 32-bit words counted from the first
// frame's offset; readBytes includes the alignment, the margin and rounding to whole words.
struct ApeFrameSpan {
    uint64_t readOffset; // file offset to read from
    uint32_t readBytes;  // bytes to read (a multiple of 4); zero-fill beyond the end of file
    uint32_t skip;       // 0..3: bytes of the first word before the frame
    uint32_t blocks;     // samples per channel in the frame
};

// False when `frame` is not below count - 1 or its points run backwards or hold no blocks.
bool ApeGetFrameSpan(const SeekPoint* table, uint32_t count, uint32_t frame, ApeFrameSpan* span);

// Largest readBytes over all frames of the table, or 0 when a frame is invalid.
uint32_t ApeMaxReadBytes(const SeekPoint* table, uint32_t count);

// ---- decoder state (fields are internal; callers only allocate it) ----

constexpr uint32_t kApeStretch = 512;  // blocks decoded before the filters run over them
constexpr uint32_t kApeNnWindow = 512;                             // history entries between slides
constexpr uint32_t kApeNnSlots = 3;                                // filters per channel, at most
constexpr uint32_t kApeNnSlotOrder[kApeNnSlots] = {64, 256, 1280}; // largest order per slot
constexpr uint32_t kApeNnPoolEntries =
    2 * ((64 + 2 * (kApeNnWindow + 64)) + (256 + 2 * (kApeNnWindow + 256)) +
         (1280 + 2 * (kApeNnWindow + 1280)));

struct ApeRiceState {
    uint32_t k;
    uint32_t kSum;
};

struct ApeNnFilter {
    uint32_t order;
    uint32_t shift;
    uint32_t coeffs;  // pool index of `order` coefficients
    uint32_t history; // pool index of kApeNnWindow + order saturated outputs
    uint32_t adapt;   // pool index of kApeNnWindow + order adaptation codes
    uint32_t pos;     // next history index, order .. order + kApeNnWindow
    int32_t average;
};

// One prediction stage. hA: last output, then the last three differences of it; hB: the
// filtered other channel, then its last four differences.
struct ApeStage {
    int32_t a[4];
    int32_t b[5];
    int32_t hA[4];
    int32_t hB[5];
    int32_t lastP;     // previous raw prediction output
    int32_t lastR;     // previous returned value
    int32_t lastOther; // previous other-channel value
};

struct ApeDecoder {
    ApeStreamInfo info;
    uint32_t filterCount;
    bool newAdaptation;
    bool wideFilters; // the AVX2 filter form (checked CPU; in the driver, saved registers)
    ApeRiceState rice[2];
    ApeStage stage[2];
    ApeNnFilter filters[2][kApeNnSlots];
    int32_t stretch[2][kApeStretch];
    int16_t pool[kApeNnPoolEntries];
};

// Prepares `decoder` for the stream; false (decoder unusable) when not ApeStreamSupported.
bool ApeInitDecoder(ApeDecoder* decoder, const ApeStreamInfo& info);

// On CPUs with AVX2 the filters run sixteen lanes wide: by default in user mode
// (ApeInitDecoder checks), and in the driver only between the kernel's save and restore of the
// wide registers, which its caller brackets with this call. false keeps them at SSE2, for
// comparisons; without the wider form in the build or the CPU the call changes nothing.
bool ApeWideFiltersAvailable();
void ApeAllowWideFilters(ApeDecoder* decoder, bool allow);

// Decodes one frame. `input` holds `inputBytes` bytes read as ApeGetFrameSpan says (the words
// of the frame; missing bytes count as zero); the frame starts `skip` bytes into it. Writes
// ApePcmBytes(info, blocks) bytes to `pcm`. Returns `blocks` when the frame's CRC matches,
// 0 for a bad frame, a CRC mismatch or a buffer that is too small.
uint32_t ApeDecodeFrame(ApeDecoder* decoder, const uint8_t* input, size_t inputBytes, uint32_t skip,
                        uint32_t blocks, uint8_t* pcm, size_t pcmBytes);

} // namespace vostrale
