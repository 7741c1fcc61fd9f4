#include "codecs/ape/ape_decoder.h"
#include "codecs/ape/ape_nn_filter.h"

#include "common/crc.h"

namespace vostrale {

namespace {

constexpr uint16_t kFlagsFromVersion = 3820; // frames carry flags after a CRC with bit 31
constexpr uint16_t kNewAdaptVersion = 3980;  // NN adaptation codes scaled by the average
constexpr uint16_t kPivotCoderVersion = 3990;
constexpr uint16_t kCrossChannelVersion =
    3950; // predictor with the other channel's part // newer symbol table and pivot-coded values
constexpr uint32_t kCrcFlagsBit = 0x80000000u;
constexpr uint32_t kFlagLeftSilence = 1;
constexpr uint32_t kFlagRightSilence = 2;
constexpr uint32_t kFlagPseudoStereo = 4;
constexpr uint32_t kRangeBottom = 0x800000;
constexpr uint32_t kOverflowSymbol = 63;
constexpr uint32_t kTableDirectStart = 65493; // totals[21]; every later symbol has width 1
constexpr uint32_t kTableDirectBias = 65472;  // symbol = x - bias from there on
constexpr uint32_t kTableSum = 65536;
constexpr uint32_t kInitialK = 10;
constexpr uint32_t kInitialKSum = 16384;
constexpr int32_t kInitialA[4] = {360, 317, -109, 98};

// Cumulative frequencies of symbols 0..21; symbols 21..63 follow with width 1.
constexpr uint32_t kTotalsOld[22] = {0,     14824, 28224, 39348, 47855, 53994, 58171, 60926,
                                     62682, 63786, 64463, 64878, 65126, 65276, 65365, 65419,
                                     65450, 65469, 65480, 65487, 65491, 65493};
constexpr uint32_t kTotalsNew[22] = {0,     19578, 36160, 48417, 56323, 60899, 63265, 64435,
                                     64971, 65232, 65351, 65416, 65447, 65466, 65476, 65482,
                                     65485, 65488, 65490, 65491, 65492, 65493};

struct NnShape {
    uint16_t order;
    uint16_t shift;
};
constexpr NnShape kNnShapes[kApeMaxLevelIndex + 1][kApeNnSlots] = {
    {{0, 0}, {0, 0}, {0, 0}},      {{16, 11}, {0, 0}, {0, 0}},        {{64, 11}, {0, 0}, {0, 0}},
    {{32, 10}, {256, 13}, {0, 0}}, {{16, 11}, {256, 13}, {1280, 15}},
};

// The bitstream is a sequence of little-endian 32-bit words, each consumed from its most
// significant byte down; `pos` counts consumed bytes from the start of the first word.
struct RangeDecoder {
    const uint8_t* data;
    size_t size;
    size_t pos;
    uint32_t low;
    uint32_t range;
    uint32_t current;
    bool corrupt;

    uint32_t NextByte() {
        size_t at = pos ^ 3;
        ++pos;
        if (at < size)
            return data[at];
        // A whole frame never reaches this far past its buffer: stop decoding garbage.
        if (pos > size + kApeReadMargin)
            corrupt = true;
        return 0;
    }

    void Normalize() {
        while (range <= kRangeBottom) {
            uint32_t b = NextByte();
            low = (low << 8) | ((((current << 8) | b) >> 1) & 0xFF);
            current = b;
            range <<= 8;
        }
    }

    // A value below `divisor` (at most 65536).
    uint32_t DecodeDivisor(uint32_t divisor) {
        Normalize();
        uint32_t r = range / divisor;
        uint32_t x = low / r;
        low -= x * r;
        range = r;
        return x;
    }

    uint32_t DecodeBits(uint32_t bits) {
        Normalize();
        uint32_t r = range >> bits;
        uint32_t x = low / r;
        low -= x * r;
        range = r;
        return x;
    }

    uint32_t DecodeSymbol(const uint32_t* totals) {
        Normalize();
        uint32_t r = range >> 16;
        // Below the direct region the symbol is the last whose start, times r, is not above
        // low: multiplications find it (r * 65536 <= range, so none wraps) where a division
        // would cost more.
        if (low < r * kTableDirectStart) {
            uint32_t e = 0;
            while (r * totals[e + 1] <= low)
                ++e;
            low -= r * totals[e];
            range = r * (totals[e + 1] - totals[e]);
            return e;
        }
        uint32_t x = low / r;
        if (x >= kTableSum) {
            corrupt = true;
            x = kTableSum - 1;
        }
        low -= r * x;
        range = r;
        return x - kTableDirectBias;
    }
};

__attribute__((always_inline)) inline void UpdateRice(ApeRiceState* rice, uint32_t value) {
    rice->kSum += (value + 1) / 2 - ((rice->kSum + 16) >> 5);
    // Boundary for k is 2^(k+4), and 0 for k = 0 (so k leaves 0 only once kSum reaches 32).
    uint64_t lower = rice->k ? (uint64_t(1) << (rice->k + 4)) : 0;
    if (rice->kSum < lower)
        --rice->k;
    else if (rice->kSum >= (uint64_t(1) << (rice->k + 5)))
        ++rice->k;
}

int32_t ToSigned(uint32_t value) {
    return (value & 1) ? int32_t((value >> 1) + 1) : -int32_t(value >> 1);
}

__attribute__((always_inline)) inline int32_t DecodeValuePivot(RangeDecoder* rc,
                                                               ApeRiceState* rice) {
    uint32_t pivot = Max<uint32_t>(rice->kSum >> 5, 1);
    uint32_t overflow = rc->DecodeSymbol(kTotalsNew);
    if (overflow == kOverflowSymbol) {
        uint32_t high = rc->DecodeBits(16);
        overflow = (high << 16) | rc->DecodeBits(16);
    }
    uint32_t base;
    if (pivot < 0x10000) {
        base = rc->DecodeDivisor(pivot);
    } else {
        uint32_t shift = 32 - uint32_t(__builtin_clz(pivot)) - 16;
        uint32_t high = rc->DecodeDivisor((pivot >> shift) + 1);
        base = (high << shift) + rc->DecodeDivisor(uint32_t(1) << shift);
    }
    uint32_t value = base + overflow * pivot;
    UpdateRice(rice, value);
    return ToSigned(value);
}

__attribute__((always_inline)) inline int32_t DecodeValueK(RangeDecoder* rc, ApeRiceState* rice) {
    uint32_t overflow = rc->DecodeSymbol(kTotalsOld);
    uint32_t bits;
    if (overflow == kOverflowSymbol) {
        bits = rc->DecodeBits(5);
        overflow = 0;
        // Only a damaged stream decodes a 5-bit count above 31.
        if (bits > 31) {
            rc->corrupt = true;
            bits = 31;
        }
    } else {
        bits = rice->k ? rice->k - 1 : 0;
    }
    uint32_t base;
    if (bits <= 16) {
        base = rc->DecodeBits(bits);
    } else {
        base = rc->DecodeBits(16);
        base |= rc->DecodeBits(bits - 16) << 16;
    }
    uint32_t value = base + (overflow << bits);
    UpdateRice(rice, value);
    return ToSigned(value);
}

int32_t Sign(int32_t v) {
    return (v > 0) - (v < 0);
}

int32_t WrapAdd(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
int32_t WrapSub(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}
int32_t WrapMul(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) * uint32_t(b));
}
int32_t Decay31(int32_t v) {
    return WrapMul(v, 31) >> 5;
}

void ResetFilter(ApeNnFilter* f, int16_t* pool) {
    ZeroBytes(pool + f->coeffs, f->order * sizeof(int16_t));
    ZeroBytes(pool + f->history, f->order * sizeof(int16_t));
    ZeroBytes(pool + f->adapt, f->order * sizeof(int16_t));
    f->pos = f->order;
    f->average = 0;
}

// Calls run.template operator()<kOrder, kNewRule>() with the slot's order and the stream's
// adaptation rule as constants: the filter loops are compiled for each.
template <typename Run> void WithFilterShape(uint32_t order, bool newRule, Run&& run) {
    auto withRule = [&]<uint32_t kOrder>() {
        if (newRule)
            run.template operator()<kOrder, true>();
        else
            run.template operator()<kOrder, false>();
    };
    switch (order) {
    case 16:
        return withRule.template operator()<16>();
    case 32:
        return withRule.template operator()<32>();
    case 64:
        return withRule.template operator()<64>();
    case 256:
        return withRule.template operator()<256>();
    default:
        return withRule.template operator()<1280>();
    }
}

// Both channels' filters, slot by slot, each over the whole stretch.
void ApplyFiltersBoth(ApeDecoder* d, int32_t* v0, int32_t* v1, uint32_t n) {
    for (uint32_t i = 0; i < d->filterCount; ++i) {
        ApeNnFilter* f0 = &d->filters[0][i];
        ApeNnFilter* f1 = &d->filters[1][i];
        WithFilterShape(f0->order, d->newAdaptation, [&]<uint32_t kOrder, bool kNewRule>() {
            ape::FilterRunBoth<kOrder, kNewRule>(f0, f1, d->pool, v0, v1, n, d->wideFilters);
        });
    }
}

// Runs a channel's filters, smallest first, each over the whole stretch.
void ApplyFilters(ApeDecoder* d, uint32_t channel, int32_t* v, uint32_t n) {
    for (uint32_t i = 0; i < d->filterCount; ++i) {
        ApeNnFilter* f = &d->filters[channel][i];
        WithFilterShape(f->order, d->newAdaptation, [&]<uint32_t kOrder, bool kNewRule>() {
            ape::FilterRun<kOrder, kNewRule>(f, d->pool, v, n, d->wideFilters);
        });
    }
}

void ResetStage(ApeStage* s) {
    ZeroBytes(s, sizeof(*s));
    for (int i = 0; i < 4; ++i)
        s->a[i] = kInitialA[i];
}

// Decoder generations, picked once per frame from the file version.
enum Generation : int {
    kGen3930 = 0, // k-coded values, predictor from the channel's own past only
    kGen3950 = 1, // k-coded values, predictor with the other channel's part
    kGen3990 = 2, // pivot-coded values, predictor as kGen3950
};

// A stage's state in locals for the length of a stretch: kept in the decoder, every step would
// load what the previous step just stored (partly through wider loads that cannot take the
// stored values directly), and each PCM byte store could alias it.
struct StageRegs {
    uint32_t a0, a1, a2, a3;
    uint32_t b0, b1, b2, b3, b4;
    int32_t hA0, hA1, hA2, hA3;
    int32_t hB0, hB1, hB2, hB3, hB4;
    int32_t lastP, lastR, lastOther;

    explicit StageRegs(const ApeStage& s)
        : a0(uint32_t(s.a[0])), a1(uint32_t(s.a[1])), a2(uint32_t(s.a[2])), a3(uint32_t(s.a[3])),
          b0(uint32_t(s.b[0])), b1(uint32_t(s.b[1])), b2(uint32_t(s.b[2])), b3(uint32_t(s.b[3])),
          b4(uint32_t(s.b[4])), hA0(s.hA[0]), hA1(s.hA[1]), hA2(s.hA[2]), hA3(s.hA[3]),
          hB0(s.hB[0]), hB1(s.hB[1]), hB2(s.hB[2]), hB3(s.hB[3]), hB4(s.hB[4]), lastP(s.lastP),
          lastR(s.lastR), lastOther(s.lastOther) {}

    void Save(ApeStage* s) const {
        s->a[0] = int32_t(a0);
        s->a[1] = int32_t(a1);
        s->a[2] = int32_t(a2);
        s->a[3] = int32_t(a3);
        s->b[0] = int32_t(b0);
        s->b[1] = int32_t(b1);
        s->b[2] = int32_t(b2);
        s->b[3] = int32_t(b3);
        s->b[4] = int32_t(b4);
        s->hA[0] = hA0;
        s->hA[1] = hA1;
        s->hA[2] = hA2;
        s->hA[3] = hA3;
        s->hB[0] = hB0;
        s->hB[1] = hB1;
        s->hB[2] = hB2;
        s->hB[3] = hB3;
        s->hB[4] = hB4;
        s->lastP = lastP;
        s->lastR = lastR;
        s->lastOther = lastOther;
    }
};

// Sign(h) * sv for sv in -1..1, without a branch.
__attribute__((always_inline)) inline uint32_t SignTimes(int32_t h, int32_t sv) {
    return uint32_t(((h > 0) - (h < 0)) * sv);
}

// One prediction step for input v with the other channel's value `other` (0 for one channel).
// The older stage has no other-channel part, scales by 2^9 and moves a coefficient up for a
// zero history entry as for a positive one. Sums wrap at 32 bits; the terms that wait for the
// previous output are added last.
template <bool kWithOther, bool kOlder = false>
__attribute__((always_inline)) inline int32_t StageStep(StageRegs& s, int32_t v, int32_t other) {
    s.hA3 = s.hA2;
    s.hA2 = s.hA1;
    s.hA1 = WrapSub(s.lastP, s.hA0);
    s.hA0 = s.lastP;
    const uint32_t early = uint32_t(s.hA2) * s.a2 + uint32_t(s.hA3) * s.a3;
    const uint32_t predA = early + (uint32_t(s.hA0) * s.a0 + uint32_t(s.hA1) * s.a1);
    const int32_t sv = Sign(v);
    if (kOlder) {
        int32_t p = WrapAdd(v, int32_t(predA) >> 9);
        const uint32_t m = uint32_t(sv);
        s.a0 += s.hA0 < 0 ? 0u - m : m;
        s.a1 += s.hA1 < 0 ? 0u - m : m;
        s.a2 += s.hA2 < 0 ? 0u - m : m;
        s.a3 += s.hA3 < 0 ? 0u - m : m;
        s.lastP = p;
        s.lastR = WrapAdd(p, Decay31(s.lastR));
        return s.lastR;
    }
    uint32_t predB = 0;
    if (kWithOther) {
        const int32_t filtered = WrapSub(other, Decay31(s.lastOther));
        s.lastOther = other;
        s.hB4 = s.hB3;
        s.hB3 = s.hB2;
        s.hB2 = s.hB1;
        s.hB1 = WrapSub(filtered, s.hB0);
        s.hB0 = filtered;
        const uint32_t earlyB =
            uint32_t(s.hB2) * s.b2 + uint32_t(s.hB3) * s.b3 + uint32_t(s.hB4) * s.b4;
        predB = earlyB + (uint32_t(s.hB0) * s.b0 + uint32_t(s.hB1) * s.b1);
    }
    const int32_t p = WrapAdd(v, int32_t(predA + uint32_t(int32_t(predB) >> 1)) >> 10);
    // Each coefficient moves by the sign of its history entry times the sign of the input.
    s.a0 += SignTimes(s.hA0, sv);
    s.a1 += SignTimes(s.hA1, sv);
    s.a2 += SignTimes(s.hA2, sv);
    s.a3 += SignTimes(s.hA3, sv);
    if (kWithOther) {
        s.b0 += SignTimes(s.hB0, sv);
        s.b1 += SignTimes(s.hB1, sv);
        s.b2 += SignTimes(s.hB2, sv);
        s.b3 += SignTimes(s.hB3, sv);
        s.b4 += SignTimes(s.hB4, sv);
    }
    s.lastP = p;
    s.lastR = WrapAdd(p, Decay31(s.lastR));
    return s.lastR;
}

template <uint32_t kBytes> void StoreSample(uint8_t* out, int32_t v) {
    if (kBytes == 2) {
        out[0] = uint8_t(v);
        out[1] = uint8_t(uint32_t(v) >> 8);
    } else if (kBytes == 1) {
        out[0] = uint8_t(uint32_t(v) + 0x80);
    } else {
        out[0] = uint8_t(v);
        out[1] = uint8_t(uint32_t(v) >> 8);
        out[2] = uint8_t(uint32_t(v) >> 16);
    }
}

template <int kGen>
__attribute__((always_inline)) inline int32_t DecodeValue(RangeDecoder* rc, ApeRiceState* rice) {
    return kGen == kGen3990 ? DecodeValuePivot(rc, rice) : DecodeValueK(rc, rice);
}

// Entropy decoding does not depend on the filters or the predictor, so a frame goes through
// in stretches of kApeStretch blocks: the values of a stretch, then each filter over it, then
// the predictor and the output. The coder and the Rice states sit in locals meanwhile: each
// value's decoding starts from what the last one left.
template <int kGen, uint32_t kBytes>
bool DecodeMono(ApeDecoder* d, RangeDecoder* coder, uint32_t blocks, uint32_t outChannels,
                uint8_t* pcm) {
    const uint32_t step = kBytes * outChannels;
    RangeDecoder rc = *coder;
    ApeRiceState rice = d->rice[0];
    int32_t* v = d->stretch[0];
    bool ok = true;
    for (uint32_t done = 0; done < blocks;) {
        const uint32_t n = Min(kApeStretch, blocks - done);
        for (uint32_t i = 0; i < n; ++i)
            v[i] = DecodeValue<kGen>(&rc, &rice);
        if (rc.corrupt) {
            ok = false;
            break;
        }
        ApplyFilters(d, 0, v, n);
        uint8_t* out = pcm + size_t(done) * step;
        StageRegs s(d->stage[0]);
        for (uint32_t i = 0; i < n; ++i) {
            int32_t x = StageStep<false, kGen == kGen3930>(s, v[i], 0);
            StoreSample<kBytes>(out, x);
            if (outChannels == 2)
                StoreSample<kBytes>(out + kBytes, x);
            out += step;
        }
        s.Save(&d->stage[0]);
        done += n;
    }
    *coder = rc;
    d->rice[0] = rice;
    return ok;
}

template <int kGen, uint32_t kBytes>
bool DecodeStereo(ApeDecoder* d, RangeDecoder* coder, uint32_t blocks, uint8_t* pcm) {
    RangeDecoder rc = *coder;
    ApeRiceState rice0 = d->rice[0];
    ApeRiceState rice1 = d->rice[1];
    int32_t* x = d->stretch[0];
    int32_t* y = d->stretch[1];
    bool ok = true;
    for (uint32_t done = 0; done < blocks;) {
        const uint32_t n = Min(kApeStretch, blocks - done);
        // The difference channel comes first, then the mid channel.
        for (uint32_t i = 0; i < n; ++i) {
            x[i] = DecodeValue<kGen>(&rc, &rice0);
            y[i] = DecodeValue<kGen>(&rc, &rice1);
        }
        if (rc.corrupt) {
            ok = false;
            break;
        }
        ApplyFiltersBoth(d, x, y, n);
        uint8_t* out = pcm + size_t(done) * 2 * kBytes;
        StageRegs s0(d->stage[0]);
        StageRegs s1(d->stage[1]);
        for (uint32_t i = 0; i < n; ++i) {
            int32_t side, mid;
            if (kGen == kGen3930) {
                // These streams store the mid value of a block first.
                mid = StageStep<false, true>(s0, x[i], 0);
                side = StageStep<false, true>(s1, y[i], 0);
            } else {
                side = StageStep<true>(s0, x[i], s1.lastR);
                mid = StageStep<true>(s1, y[i], side);
            }
            int32_t left = WrapSub(mid, side / 2);
            int32_t right = WrapAdd(left, side);
            StoreSample<kBytes>(out, left);
            StoreSample<kBytes>(out + kBytes, right);
            out += 2 * kBytes;
        }
        s0.Save(&d->stage[0]);
        s1.Save(&d->stage[1]);
        done += n;
    }
    *coder = rc;
    d->rice[0] = rice0;
    d->rice[1] = rice1;
    return ok;
}

template <int kGen>
bool DecodeChannels(ApeDecoder* d, RangeDecoder* rc, uint32_t blocks, bool pseudoStereo,
                    uint8_t* pcm) {
    const uint32_t channels = d->info.channels;
    const uint32_t bits = d->info.bitsPerSample;
    if (channels == 2 && !pseudoStereo)
        return bits == 16  ? DecodeStereo<kGen, 2>(d, rc, blocks, pcm)
               : bits == 8 ? DecodeStereo<kGen, 1>(d, rc, blocks, pcm)
                           : DecodeStereo<kGen, 3>(d, rc, blocks, pcm);
    return bits == 16  ? DecodeMono<kGen, 2>(d, rc, blocks, channels, pcm)
           : bits == 8 ? DecodeMono<kGen, 1>(d, rc, blocks, channels, pcm)
                       : DecodeMono<kGen, 3>(d, rc, blocks, channels, pcm);
}

uint32_t ReadBe32(RangeDecoder* rc) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | rc->NextByte();
    return v;
}

} // namespace

bool ApeStreamSupported(const ApeStreamInfo& info) {
    return info.version >= kApeMinVersion && info.version <= kApeMaxVersion &&
           (info.channels == 1 || info.channels == 2) &&
           (info.bitsPerSample == 8 || info.bitsPerSample == 16 || info.bitsPerSample == 24) &&
           info.levelIndex <= kApeMaxLevelIndex;
}

uint64_t ApePcmBytes(const ApeStreamInfo& info, uint64_t blocks) {
    if (!ApeStreamSupported(info))
        return 0;
    return blocks * info.channels * (info.bitsPerSample / 8);
}

bool ApeGetFrameSpan(const SeekPoint* table, uint32_t count, uint32_t frame, ApeFrameSpan* span) {
    if (!table || count < 2 || frame >= count - 1)
        return false;
    const uint32_t base = table[0].fileOffset;
    const uint32_t start = table[frame].fileOffset;
    const uint32_t end = table[frame + 1].fileOffset;
    const uint32_t first = table[frame].sample;
    const uint32_t next = table[frame + 1].sample;
    if (start < base || end <= start || next <= first)
        return false;
    const uint32_t skip = (start - base) & 3;
    uint64_t bytes = uint64_t(end - start) + skip + 3;
    bytes = (bytes & ~uint64_t(3)) + kApeReadMargin;
    if (bytes > 0xFFFFFFFFu)
        return false;
    span->readOffset = start - skip;
    span->readBytes = uint32_t(bytes);
    span->skip = skip;
    span->blocks = next - first;
    return true;
}

uint32_t ApeMaxReadBytes(const SeekPoint* table, uint32_t count) {
    if (!table || count < 2)
        return 0;
    uint32_t largest = 0;
    for (uint32_t i = 0; i + 1 < count; ++i) {
        ApeFrameSpan span;
        if (!ApeGetFrameSpan(table, count, i, &span))
            return 0;
        largest = Max(largest, span.readBytes);
    }
    return largest;
}

bool ApeInitDecoder(ApeDecoder* decoder, const ApeStreamInfo& info) {
    ZeroBytes(decoder, sizeof(*decoder) - sizeof(decoder->pool));
    if (!ApeStreamSupported(info))
        return false;
    decoder->info = info;
    // The highest level's filters always adapt by the newer rule, whatever the file version.
    decoder->newAdaptation =
        info.version >= kNewAdaptVersion || info.levelIndex == kApeMaxLevelIndex;
    uint32_t next = 0;
    uint32_t count = 0;
    for (uint32_t slot = 0; slot < kApeNnSlots; ++slot) {
        const NnShape& shape = kNnShapes[info.levelIndex][slot];
        if (shape.order == 0)
            break;
        count = slot + 1;
        for (uint32_t ch = 0; ch < 2; ++ch) {
            ApeNnFilter* f = &decoder->filters[ch][slot];
            f->order = shape.order;
            f->shift = shape.shift;
            f->coeffs = next;
            f->history = f->coeffs + kApeNnSlotOrder[slot];
            f->adapt = f->history + kApeNnWindow + kApeNnSlotOrder[slot];
            next = f->adapt + kApeNnWindow + kApeNnSlotOrder[slot];
        }
    }
    decoder->filterCount = count;
#if defined(VOSTRALE_KERNEL)
    decoder->wideFilters = false; // until the caller has the kernel save the wide registers
#else
    decoder->wideFilters = ape::CpuHasAvx2();
#endif
    return true;
}

bool ApeWideFiltersAvailable() {
    return ape::CpuHasAvx2();
}

void ApeAllowWideFilters(ApeDecoder* decoder, bool allow) {
    decoder->wideFilters = allow && ape::CpuHasAvx2();
}

uint32_t ApeDecodeFrame(ApeDecoder* d, const uint8_t* input, size_t inputBytes, uint32_t skip,
                        uint32_t blocks, uint8_t* pcm, size_t pcmBytes) {
    const ApeStreamInfo& info = d->info;
    const uint64_t needed = ApePcmBytes(info, blocks);
    if (needed == 0 || needed > pcmBytes || skip > 3 || !input)
        return 0;

    RangeDecoder rc{};
    rc.data = input;
    rc.size = inputBytes;
    rc.pos = skip;
    uint32_t crc = ReadBe32(&rc);
    uint32_t flags = 0;
    if (info.version > kFlagsFromVersion && (crc & kCrcFlagsBit)) {
        crc &= ~kCrcFlagsBit;
        flags = ReadBe32(&rc);
    }

    for (uint32_t ch = 0; ch < 2; ++ch) {
        d->rice[ch].k = kInitialK;
        d->rice[ch].kSum = kInitialKSum;
        ResetStage(&d->stage[ch]);
        for (uint32_t i = 0; i < d->filterCount; ++i)
            ResetFilter(&d->filters[ch][i], d->pool);
    }

    // The coder's first byte carries no information.
    rc.NextByte();
    rc.current = rc.NextByte();
    rc.range = 128;
    rc.low = rc.current >> 1;

    const int gen = info.version >= kPivotCoderVersion     ? kGen3990
                    : info.version >= kCrossChannelVersion ? kGen3950
                                                           : kGen3930;
    bool ok = true;
    const uint32_t silence =
        info.channels == 2 ? kFlagLeftSilence | kFlagRightSilence : kFlagLeftSilence;
    const bool silent = (flags & silence) == silence;
    const bool pseudoStereo = info.channels == 2 && (flags & kFlagPseudoStereo);
    if (silent)
        ZeroBytes(pcm, size_t(needed));
    else
        ok = gen == kGen3990   ? DecodeChannels<kGen3990>(d, &rc, blocks, pseudoStereo, pcm)
             : gen == kGen3950 ? DecodeChannels<kGen3950>(d, &rc, blocks, pseudoStereo, pcm)
                               : DecodeChannels<kGen3930>(d, &rc, blocks, pseudoStereo, pcm);
    if (!ok)
        return 0;
    // 8-bit silence is the unsigned midpoint.
    if (info.bitsPerSample == 8 && silent)
        FillBytes(pcm, 0x80, size_t(needed));

    uint32_t actual = Crc32(0, pcm, size_t(needed)) >> 1;
    return actual == crc ? blocks : 0;
}

} // namespace vostrale
