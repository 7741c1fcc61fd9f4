// One NN filter of the APE decoder run over a stretch of samples of one channel. The
// single-sample step is the reference. The SSE2 form takes two samples per pass over the
// coefficients: the filter's inputs (and so both directions of adaptation) are known before
// the filter runs, so the second sample's dot product is taken with the once-adapted
// coefficients in the same pass, and the only values not known during the pass (the first
// output, its adaptation code and the codes it ages) sit in the top lanes and are put right
// afterwards. It halves the coefficient loads and stores, which bound the long filters.
#pragma once

#include "codecs/ape/ape_decoder.h"
#include "codecs/ape/ape_nn_kernels.h"

namespace vostrale::ape {

inline int16_t Saturate16(int32_t v) {
    return int16_t(Max(Min(v, 32767), -32768));
}

inline int32_t RoundedAdd(const ApeNnFilter* f, int32_t v, uint32_t dot) {
    int32_t rounded = int32_t(dot + (uint32_t(1) << (f->shift - 1))) >> f->shift;
    return int32_t(uint32_t(v) + uint32_t(rounded));
}

// The adaptation code for output `out`; the newer rule scales it by the running magnitude.
// Counted rather than branched on (the output's size is not predictable): the average never
// goes below zero, so a magnitude above 3 * average is also above 4 * average / 3 and above 0.
template <bool kNewRule>
__attribute__((always_inline)) inline int16_t AdaptCode(ApeNnFilter* f, int32_t out) {
    if (!kNewRule)
        return int16_t(((out < 0) - (out > 0)) * 4);
    const int64_t magnitude = out < 0 ? -int64_t(out) : int64_t(out);
    const int64_t average = f->average;
    const uint64_t m = uint64_t(magnitude);
    const uint64_t a = uint64_t(average);
    int32_t code = 8 * int32_t(m > 0) + 8 * int32_t(m > (4 * a) / 3) + 16 * int32_t(m > 3 * a);
    f->average = int32_t(average + (magnitude - average) / 16);
    return int16_t(out > 0 ? -code : code);
}

// Codes fade as they age; `adapt` is the window the step just used.
template <uint32_t kOrder, bool kNewRule> inline void AgeCodes(int16_t* adapt) {
    if (kNewRule) {
        adapt[kOrder - 1] >>= 1;
        adapt[kOrder - 2] >>= 1;
        adapt[kOrder - 8] >>= 1;
    } else {
        adapt[kOrder - 4] >>= 1;
        adapt[kOrder - 8] >>= 1;
    }
}

template <uint32_t kOrder> inline void Advance(ApeNnFilter* f, int16_t* pool, uint32_t steps) {
    f->pos += steps;
    if (f->pos == kOrder + kApeNnWindow) {
        MoveBytes(pool + f->history, pool + f->history + kApeNnWindow, kOrder * sizeof(int16_t));
        MoveBytes(pool + f->adapt, pool + f->adapt + kApeNnWindow, kOrder * sizeof(int16_t));
        f->pos = kOrder;
    }
}

// One sample. kReference: always the scalar inner step, whatever the build.
template <uint32_t kOrder, bool kNewRule, bool kReference = false>
inline int32_t FilterStep(ApeNnFilter* f, int16_t* pool, int32_t v) {
    int16_t* coeffs = pool + f->coeffs;
    int16_t* history = pool + f->history + f->pos - kOrder;
    int16_t* adapt = pool + f->adapt + f->pos - kOrder;
    uint32_t dot;
    if (kReference)
        dot = v < 0   ? DotAdaptScalar<kOrder, 1>(coeffs, history, adapt)
              : v > 0 ? DotAdaptScalar<kOrder, -1>(coeffs, history, adapt)
                      : DotAdaptScalar<kOrder, 0>(coeffs, history, adapt);
    else
        dot = v < 0   ? DotAdapt<kOrder, 1>(coeffs, history, adapt)
              : v > 0 ? DotAdapt<kOrder, -1>(coeffs, history, adapt)
                      : DotAdapt<kOrder, 0>(coeffs, history, adapt);
    int32_t out = RoundedAdd(f, v, dot);
    history[kOrder] = Saturate16(out);
    adapt[kOrder] = AdaptCode<kNewRule>(f, out);
    AgeCodes<kOrder, kNewRule>(adapt);
    Advance<kOrder>(f, pool, 1);
    return out;
}

#if VOSTRALE_CODECS_SSE2
// Direction of adaptation for input v: +1 adds the codes, -1 subtracts them, 0 leaves them.
inline int Direction(int32_t v) {
    return v < 0 ? 1 : v > 0 ? -1 : 0;
}

template <int kDirection> inline __m128i Move(__m128i c, __m128i codes) {
    return kDirection > 0 ? _mm_add_epi16(c, codes) : kDirection < 0 ? _mm_sub_epi16(c, codes) : c;
}

inline __m128i Lanes16(int l0, int l1, int l2, int l3, int l4, int l5, int l6, int l7) {
    return _mm_setr_epi16(int16_t(l0), int16_t(l1), int16_t(l2), int16_t(l3), int16_t(l4),
                          int16_t(l5), int16_t(l6), int16_t(l7));
}

// After a pair's pass: the first output, then what the second sample's dot product still
// lacks (the top coefficient times the first output) and the top coefficient's second move.
template <uint32_t kOrder, bool kNewRule, int kD1>
inline void FinishPair(ApeNnFilter* f, int16_t* pool, int32_t* v, uint32_t dot0, uint32_t dot1) {
    int16_t* coeffs = pool + f->coeffs;
    int16_t* history = pool + f->history + f->pos - kOrder;
    int16_t* adapt = pool + f->adapt + f->pos - kOrder;
    const int32_t out0 = RoundedAdd(f, v[0], dot0);
    const int16_t first = Saturate16(out0);
    // The top coefficient took no code for the second move yet: it is the one the second
    // sample multiplies with the first output.
    dot1 += uint32_t(int32_t(coeffs[kOrder - 1]) * int32_t(first));
    const int16_t code0 = AdaptCode<kNewRule>(f, out0);
    if (kD1 != 0)
        coeffs[kOrder - 1] = int16_t(uint16_t(coeffs[kOrder - 1]) + uint16_t(kD1 * code0));
    const int32_t out1 = RoundedAdd(f, v[1], dot1);
    const int16_t code1 = AdaptCode<kNewRule>(f, out1);
    history[kOrder] = first;
    history[kOrder + 1] = Saturate16(out1);
    // Both samples' ageing at once (as AgeCodes on adapt, then on adapt + 1), each entry
    // read and written once, so no load here waits for a store just made.
    if (kNewRule) {
        adapt[kOrder - 8] = int16_t(adapt[kOrder - 8] >> 1);
        adapt[kOrder - 7] = int16_t(adapt[kOrder - 7] >> 1);
        adapt[kOrder - 2] = int16_t(adapt[kOrder - 2] >> 1);
        adapt[kOrder - 1] = int16_t(adapt[kOrder - 1] >> 2);
        adapt[kOrder] = int16_t(code0 >> 1);
    } else {
        adapt[kOrder - 8] = int16_t(adapt[kOrder - 8] >> 1);
        adapt[kOrder - 7] = int16_t(adapt[kOrder - 7] >> 1);
        adapt[kOrder - 4] = int16_t(adapt[kOrder - 4] >> 1);
        adapt[kOrder - 3] = int16_t(adapt[kOrder - 3] >> 1);
        adapt[kOrder] = code0;
    }
    adapt[kOrder + 1] = code1;
    Advance<kOrder>(f, pool, 2);
    v[0] = out0;
    v[1] = out1;
}

// Two samples, v[0] and v[1], with directions kD0 and kD1. The window must have room for
// both (pos + 1 below kOrder + kApeNnWindow).
template <uint32_t kOrder, bool kNewRule, int kD0, int kD1>
__attribute__((noinline)) void FilterPairSse2(ApeNnFilter* f, int16_t* pool, int32_t* v) {
    int16_t* coeffs = pool + f->coeffs;
    int16_t* history = pool + f->history + f->pos - kOrder;
    int16_t* adapt = pool + f->adapt + f->pos - kOrder;
    __m128i acc0 = _mm_setzero_si128();
    __m128i acc1 = _mm_setzero_si128();
    // c: coefficients as they are; after the first move, those the second sample uses; after
    // the second, those the next pair starts from.
    auto chunk = [&](uint32_t j, __m128i historyKeep, __m128i codesKeep,
                     __m128i codesHalve) __attribute__((always_inline)) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coeffs + j));
        __m128i h0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(history + j));
        __m128i h1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(history + j + 1));
        // The products go into the history registers: c lives on.
        acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(h0, c));
        if (kD0 != 0)
            c = Move<kD0>(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(adapt + j)));
        acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(_mm_and_si128(h1, historyKeep), c));
        if (kD1 != 0) {
            __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(adapt + j + 1));
            a1 = _mm_or_si128(_mm_and_si128(a1, codesKeep),
                              _mm_and_si128(_mm_srai_epi16(a1, 1), codesHalve));
            c = Move<kD1>(c, a1);
        }
        if (kD0 != 0 || kD1 != 0)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(coeffs + j), c);
    };
    const __m128i all = _mm_set1_epi32(-1);
    const __m128i none = _mm_setzero_si128();
    // (kOrder - 16) / 8 chunks, an even count: two a turn halve the loop's own steps. No
    // further unrolling: unrolled whole (-O3, the driver's build), the 256-tap pass spills
    // to a stack frame of a kilobyte.
#pragma GCC unroll 1
    for (uint32_t j = 0; j + 16 < kOrder; j += 16) {
        chunk(j, all, all, none);
        chunk(j + 8, all, all, none);
    }
    // The top 16 taps. The second sample's window ends in the first output (history) and
    // its code (adapt), both unknown here: those lanes count as zero. Its codes include the
    // ones the first sample ages.
    if (kNewRule) {
        chunk(kOrder - 16, all, Lanes16(-1, -1, -1, -1, -1, -1, -1, 0),
              Lanes16(0, 0, 0, 0, 0, 0, 0, -1));
        chunk(kOrder - 8, Lanes16(-1, -1, -1, -1, -1, -1, -1, 0),
              Lanes16(-1, -1, -1, -1, -1, 0, 0, 0), Lanes16(0, 0, 0, 0, 0, -1, -1, 0));
    } else {
        chunk(kOrder - 16, all, Lanes16(-1, -1, -1, -1, -1, -1, -1, 0),
              Lanes16(0, 0, 0, 0, 0, 0, 0, -1));
        chunk(kOrder - 8, Lanes16(-1, -1, -1, -1, -1, -1, -1, 0),
              Lanes16(-1, -1, -1, 0, -1, -1, -1, 0), Lanes16(0, 0, 0, -1, 0, 0, 0, 0));
    }
    (void)none;
    __m128i sum = _mm_add_epi32(_mm_unpacklo_epi64(acc0, acc1), _mm_unpackhi_epi64(acc0, acc1));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    const uint32_t dot0 = uint32_t(_mm_cvtsi128_si32(sum));
    const uint32_t dot1 = uint32_t(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sum, sum)));
    FinishPair<kOrder, kNewRule, kD1>(f, pool, v, dot0, dot1);
}

#if VOSTRALE_CODECS_AVX2
// The same pair step sixteen lanes wide, on CPUs that have AVX2 (the driver runs it only while
// the kernel has saved the wider registers).
template <int kDirection>
__attribute__((target("avx2"), always_inline)) inline __m256i Move256(__m256i c, __m256i codes) {
    return kDirection > 0   ? _mm256_add_epi16(c, codes)
           : kDirection < 0 ? _mm256_sub_epi16(c, codes)
                            : c;
}

template <int kD0, int kD1>
__attribute__((target("avx2"), always_inline)) inline void
ChunkAvx2(int16_t* coeffs, const int16_t* history, const int16_t* adapt, __m256i* acc0,
          __m256i* acc1, __m256i historyKeep, __m256i codesKeep, __m256i codesHalve) {
    __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coeffs));
    __m256i h0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(history));
    __m256i h1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(history + 1));
    *acc0 = _mm256_add_epi32(*acc0, _mm256_madd_epi16(c, h0));
    if (kD0 != 0)
        c = Move256<kD0>(c, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(adapt)));
    *acc1 = _mm256_add_epi32(*acc1, _mm256_madd_epi16(c, _mm256_and_si256(h1, historyKeep)));
    if (kD1 != 0) {
        __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(adapt + 1));
        a1 = _mm256_or_si256(_mm256_and_si256(a1, codesKeep),
                             _mm256_and_si256(_mm256_srai_epi16(a1, 1), codesHalve));
        c = Move256<kD1>(c, a1);
    }
    if (kD0 != 0 || kD1 != 0)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(coeffs), c);
}

template <uint32_t kOrder, bool kNewRule, int kD0, int kD1>
__attribute__((target("avx2"), noinline)) void FilterPairAvx2(ApeNnFilter* f, int16_t* pool,
                                                              int32_t* v) {
    int16_t* coeffs = pool + f->coeffs;
    int16_t* history = pool + f->history + f->pos - kOrder;
    int16_t* adapt = pool + f->adapt + f->pos - kOrder;
    __m256i acc0 = _mm256_setzero_si256();
    __m256i acc1 = _mm256_setzero_si256();
    const __m256i all = _mm256_set1_epi32(-1);
    const __m256i none = _mm256_setzero_si256();
    for (uint32_t j = 0; j + 16 < kOrder; j += 16)
        ChunkAvx2<kD0, kD1>(coeffs + j, history + j, adapt + j, &acc0, &acc1, all, all, none);
    // The top 16 taps: lanes 0..15 of the second sample's window are entries kOrder - 15 ..
    // kOrder; the last is the unknown first output and its code.
    const __m256i lastUnknown =
        _mm256_setr_epi16(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0);
    if (kNewRule)
        ChunkAvx2<kD0, kD1>(
            coeffs + kOrder - 16, history + kOrder - 16, adapt + kOrder - 16, &acc0, &acc1,
            lastUnknown,
            _mm256_setr_epi16(-1, -1, -1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1, 0, 0, 0),
            _mm256_setr_epi16(0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, -1, -1, 0));
    else
        ChunkAvx2<kD0, kD1>(
            coeffs + kOrder - 16, history + kOrder - 16, adapt + kOrder - 16, &acc0, &acc1,
            lastUnknown,
            _mm256_setr_epi16(-1, -1, -1, -1, -1, -1, -1, 0, -1, -1, -1, 0, -1, -1, -1, 0),
            _mm256_setr_epi16(0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, 0));
    const __m128i s0 =
        _mm_add_epi32(_mm256_castsi256_si128(acc0), _mm256_extracti128_si256(acc0, 1));
    const __m128i s1 =
        _mm_add_epi32(_mm256_castsi256_si128(acc1), _mm256_extracti128_si256(acc1, 1));
    __m128i sum = _mm_add_epi32(_mm_unpacklo_epi64(s0, s1), _mm_unpackhi_epi64(s0, s1));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    const uint32_t dot0 = uint32_t(_mm_cvtsi128_si32(sum));
    const uint32_t dot1 = uint32_t(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sum, sum)));
    FinishPair<kOrder, kNewRule, kD1>(f, pool, v, dot0, dot1);
}
#endif

template <uint32_t kOrder, bool kNewRule, bool kWide, int kD0, int kD1>
inline void FilterPairAs(ApeNnFilter* f, int16_t* pool, int32_t* v) {
#if VOSTRALE_CODECS_AVX2
    if (kWide)
        return FilterPairAvx2<kOrder, kNewRule, kD0, kD1>(f, pool, v);
#endif
    FilterPairSse2<kOrder, kNewRule, kD0, kD1>(f, pool, v);
}

template <uint32_t kOrder, bool kNewRule, bool kWide, int kD0>
inline void FilterPairWith(ApeNnFilter* f, int16_t* pool, int32_t* v) {
    switch (Direction(v[1])) {
    case 1:
        return FilterPairAs<kOrder, kNewRule, kWide, kD0, 1>(f, pool, v);
    case -1:
        return FilterPairAs<kOrder, kNewRule, kWide, kD0, -1>(f, pool, v);
    default:
        return FilterPairAs<kOrder, kNewRule, kWide, kD0, 0>(f, pool, v);
    }
}

template <uint32_t kOrder, bool kNewRule, bool kWide>
inline void FilterPair(ApeNnFilter* f, int16_t* pool, int32_t* v) {
    switch (Direction(v[0])) {
    case 1:
        return FilterPairWith<kOrder, kNewRule, kWide, 1>(f, pool, v);
    case -1:
        return FilterPairWith<kOrder, kNewRule, kWide, -1>(f, pool, v);
    default:
        return FilterPairWith<kOrder, kNewRule, kWide, 0>(f, pool, v);
    }
}

// The next pair of v[*t..n) (one sample where the window has room for only one).
template <uint32_t kOrder, bool kNewRule, bool kWide>
inline void FilterNext(ApeNnFilter* f, int16_t* pool, int32_t* v, uint32_t* t) {
    if (f->pos + 1 == kOrder + kApeNnWindow) {
        v[*t] = FilterStep<kOrder, kNewRule>(f, pool, v[*t]);
        ++*t;
        return;
    }
    FilterPair<kOrder, kNewRule, kWide>(f, pool, v + *t);
    *t += 2;
}

template <uint32_t kOrder, bool kNewRule, bool kWide>
void FilterPairs(ApeNnFilter* f, int16_t* pool, int32_t* v, uint32_t n, uint32_t* t) {
    while (*t + 1 < n)
        FilterNext<kOrder, kNewRule, kWide>(f, pool, v, t);
}

// Two channels' filters of the same slot in turns: each pair ends in a chain (the first
// output, then the second, then the stores the next pair loads) that the other channel's
// pair can run beside.
template <uint32_t kOrder, bool kNewRule, bool kWide>
void FilterPairsBoth(ApeNnFilter* f0, ApeNnFilter* f1, int16_t* pool, int32_t* v0, int32_t* v1,
                     uint32_t n, uint32_t* t0, uint32_t* t1) {
    while (*t0 + 1 < n && *t1 + 1 < n) {
        FilterNext<kOrder, kNewRule, kWide>(f0, pool, v0, t0);
        FilterNext<kOrder, kNewRule, kWide>(f1, pool, v1, t1);
    }
    FilterPairs<kOrder, kNewRule, kWide>(f0, pool, v0, n, t0);
    FilterPairs<kOrder, kNewRule, kWide>(f1, pool, v1, n, t1);
}
#endif

// Filters v[0..n) in place. kReference: one sample at a time with the scalar inner step.
// wide: sixteen lanes where the build has that form (the caller checked the CPU).
template <uint32_t kOrder, bool kNewRule, bool kReference = false>
void FilterRun(ApeNnFilter* f, int16_t* pool, int32_t* v, uint32_t n, bool wide = false) {
    uint32_t t = 0;
#if VOSTRALE_CODECS_SSE2
    if (!kReference) {
#if VOSTRALE_CODECS_AVX2
        if (wide)
            FilterPairs<kOrder, kNewRule, true>(f, pool, v, n, &t);
#endif
        FilterPairs<kOrder, kNewRule, false>(f, pool, v, n, &t);
    }
#endif
    (void)wide;
    for (; t < n; ++t)
        v[t] = FilterStep<kOrder, kNewRule, kReference>(f, pool, v[t]);
}

// FilterRun over two channels' stretches v0 and v1 (filters f0 and f1 of the same slot).
template <uint32_t kOrder, bool kNewRule>
void FilterRunBoth(ApeNnFilter* f0, ApeNnFilter* f1, int16_t* pool, int32_t* v0, int32_t* v1,
                   uint32_t n, bool wide) {
#if VOSTRALE_CODECS_SSE2
    uint32_t t0 = 0;
    uint32_t t1 = 0;
#if VOSTRALE_CODECS_AVX2
    if (wide)
        FilterPairsBoth<kOrder, kNewRule, true>(f0, f1, pool, v0, v1, n, &t0, &t1);
#endif
    FilterPairsBoth<kOrder, kNewRule, false>(f0, f1, pool, v0, v1, n, &t0, &t1);
    for (; t0 < n; ++t0)
        v0[t0] = FilterStep<kOrder, kNewRule>(f0, pool, v0[t0]);
    for (; t1 < n; ++t1)
        v1[t1] = FilterStep<kOrder, kNewRule>(f1, pool, v1[t1]);
#else
    FilterRun<kOrder, kNewRule>(f0, pool, v0, n, wide);
    FilterRun<kOrder, kNewRule>(f1, pool, v1, n, wide);
#endif
}

} // namespace vostrale::ape
