// LPC restoration of a FLAC subframe: s[i] += (sum of coefs[j] * s[i-1-j]) >> shift for i from
// `order` on, the warm-up samples s[0..order) and the residual s[order..n) given. Two forms
// that agree bit for bit on every stream whose samples fit their width: the scalar one (the
// reference; sums in 64 bits, any width) and the SSE2 one for samples of up to 17 bits (16-bit
// streams, side channels included). A build with VOSTRALE_SCALAR_CODECS=1 uses only the scalar
// form.
#pragma once

#include "codecs/ape/ape_nn_kernels.h" // VOSTRALE_HAVE_SSE2, VOSTRALE_CODECS_SSE2
#include "common/kstd.h"

namespace vostrale::flac {

constexpr uint32_t kMaxLpcOrder = 32;

template <uint32_t kOrder>
inline void RestoreLpcScalarOrder(int32_t* s, uint32_t n, const int32_t* coefs, uint32_t shift) {
    for (uint32_t i = kOrder; i < n; ++i) {
        int64_t sum = 0;
        for (uint32_t j = 0; j < kOrder; ++j)
            sum += int64_t(coefs[j]) * s[i - 1 - j];
        s[i] = int32_t(uint32_t(s[i]) + uint32_t(sum >> shift));
    }
}

// Sums are formed in 64 bits: precision + depth + log2(order) exceeds 32 bits even for
// 16-bit audio.
inline void RestoreLpcScalar(int32_t* s, uint32_t n, uint32_t order, const int32_t* coefs,
                             uint32_t shift) {
    switch (order) {
    case 1:
        return RestoreLpcScalarOrder<1>(s, n, coefs, shift);
    case 2:
        return RestoreLpcScalarOrder<2>(s, n, coefs, shift);
    case 4:
        return RestoreLpcScalarOrder<4>(s, n, coefs, shift);
    case 6:
        return RestoreLpcScalarOrder<6>(s, n, coefs, shift);
    case 8:
        return RestoreLpcScalarOrder<8>(s, n, coefs, shift);
    case 12:
        return RestoreLpcScalarOrder<12>(s, n, coefs, shift);
    default:
        break;
    }
    for (uint32_t i = order; i < n; ++i) {
        int64_t sum = 0;
        for (uint32_t j = 0; j < order; ++j)
            sum += int64_t(coefs[j]) * s[i - 1 - j];
        s[i] = int32_t(uint32_t(s[i]) + uint32_t(sum >> shift));
    }
}

// True when the SSE2 form gives the scalar form's result: samples of at most 17 bits,
// coefficients that fit its 16-bit lanes (doubled for 17-bit samples), and small enough that
// no sum of products can leave 32 bits.
inline bool LpcFitsSse2(uint32_t bits, uint32_t order, const int32_t* coefs) {
    if (bits == 0 || bits > 17 || order == 0 || order > kMaxLpcOrder)
        return false;
    const int32_t low = bits > 16 ? -16384 : -32768;
    const int32_t high = bits > 16 ? 16383 : 32767;
    uint64_t total = 0;
    for (uint32_t j = 0; j < order; ++j) {
        if (coefs[j] < low || coefs[j] > high)
            return false;
        total += uint64_t(coefs[j] < 0 ? -int64_t(coefs[j]) : int64_t(coefs[j]));
    }
    return (total << (bits - 1)) < (uint64_t(1) << 31);
}

#if VOSTRALE_HAVE_SSE2
// Four outputs at a time. pmaddwd multiplies 16-bit halves, so each 32-bit lane holds a sample
// as (low half, high half) against (coefficient, 0) for 16-bit samples, or as (s & 1, s >> 1)
// against (coefficient, 2 x coefficient) for 17-bit ones: either way the lane's sum is the
// exact product. Lane k of the block takes the taps whose sample is already restored (tap
// j >= k); the rest (a triangle of six products) follows in scalar order. Only called when
// LpcFitsSse2 holds, so the 32-bit sums are the 64-bit ones. kOrder: the order when known at
// compile time (the usual ones, so the taps unroll), else 0.
template <bool kWide, uint32_t kOrder>
__attribute__((noinline)) void RestoreLpcSse2Order(int32_t* s, uint32_t n, uint32_t runtimeOrder,
                                                   const int32_t* coefs, uint32_t shift) {
    const uint32_t order = kOrder ? kOrder : runtimeOrder;
    __m128i lanes[kMaxLpcOrder];
    for (uint32_t j = 0; j < order; ++j) {
        uint32_t c = uint32_t(coefs[j]);
        uint32_t packed = kWide ? (c & 0xFFFF) | (c << 17) : (c & 0xFFFF);
        // Lanes whose sample is not restored yet take no part.
        uint32_t lane[4];
        for (uint32_t k = 0; k < 4; ++k)
            lane[k] = k <= j ? packed : 0;
        lanes[j] = _mm_setr_epi32(int32_t(lane[0]), int32_t(lane[1]), int32_t(lane[2]),
                                  int32_t(lane[3]));
    }
    const uint32_t c0 = uint32_t(coefs[0]);
    const uint32_t c1 = order > 1 ? uint32_t(coefs[1]) : 0;
    const uint32_t c2 = order > 2 ? uint32_t(coefs[2]) : 0;
    const __m128i one = _mm_set1_epi32(1);
    uint32_t i = order;
    for (; i + 4 <= n; i += 4) {
        __m128i acc0 = _mm_setzero_si128();
        __m128i acc1 = _mm_setzero_si128();
        uint32_t j = 0;
        for (; j < order; ++j) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i - 1 - j));
            if (kWide)
                v = _mm_or_si128(_mm_slli_epi32(_mm_srai_epi32(v, 1), 16), _mm_and_si128(v, one));
            if (j & 1)
                acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(v, lanes[j]));
            else
                acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(v, lanes[j]));
        }
        alignas(16) uint32_t a[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(a), _mm_add_epi32(acc0, acc1));
        uint32_t* x = reinterpret_cast<uint32_t*>(s + i);
        const uint32_t x0 = x[0] + uint32_t(int32_t(a[0]) >> shift);
        const uint32_t x1 = x[1] + uint32_t(int32_t(a[1] + c0 * x0) >> shift);
        const uint32_t x2 = x[2] + uint32_t(int32_t(a[2] + c0 * x1 + c1 * x0) >> shift);
        const uint32_t x3 = x[3] + uint32_t(int32_t(a[3] + c0 * x2 + c1 * x1 + c2 * x0) >> shift);
        x[0] = x0;
        x[1] = x1;
        x[2] = x2;
        x[3] = x3;
    }
    for (; i < n; ++i) {
        int64_t sum = 0;
        for (uint32_t j = 0; j < order; ++j)
            sum += int64_t(coefs[j]) * s[i - 1 - j];
        s[i] = int32_t(uint32_t(s[i]) + uint32_t(sum >> shift));
    }
}

template <bool kWide>
inline void RestoreLpcSse2(int32_t* s, uint32_t n, uint32_t order, const int32_t* coefs,
                           uint32_t shift) {
    switch (order) {
#define VOSTRALE_LPC_ORDER(k)                                                                     \
    case k:                                                                                       \
        return RestoreLpcSse2Order<kWide, k>(s, n, order, coefs, shift);
        VOSTRALE_LPC_ORDER(1)
        VOSTRALE_LPC_ORDER(2)
        VOSTRALE_LPC_ORDER(3)
        VOSTRALE_LPC_ORDER(4)
        VOSTRALE_LPC_ORDER(5)
        VOSTRALE_LPC_ORDER(6)
        VOSTRALE_LPC_ORDER(7)
        VOSTRALE_LPC_ORDER(8)
        VOSTRALE_LPC_ORDER(9)
        VOSTRALE_LPC_ORDER(10)
        VOSTRALE_LPC_ORDER(11)
        VOSTRALE_LPC_ORDER(12)
#undef VOSTRALE_LPC_ORDER
    default:
        return RestoreLpcSse2Order<kWide, 0>(s, n, order, coefs, shift);
    }
}
#endif

// The form this build restores with; `bits` is the subframe's sample width.
inline void RestoreLpc(int32_t* s, uint32_t n, uint32_t order, const int32_t* coefs,
                       uint32_t shift, uint32_t bits) {
#if VOSTRALE_CODECS_SSE2
    if (LpcFitsSse2(bits, order, coefs)) {
        if (bits <= 16)
            RestoreLpcSse2<false>(s, n, order, coefs, shift);
        else
            RestoreLpcSse2<true>(s, n, order, coefs, shift);
        return;
    }
#endif
    (void)bits;
    RestoreLpcScalar(s, n, order, coefs, shift);
}

} // namespace vostrale::flac
