// The inner step of an NN filter, in two forms that must agree bit for bit: the dot product of
// the coefficients (as they were) with the input history, then every coefficient moved by its
// adaptation code against the input's sign. Sums wrap at 32 bits, coefficients at 16 bits.
// kDirection: +1 (negative input: add the codes), -1 (positive input: subtract), 0 (zero input:
// no change). Orders are compile-time multiples of 16.
//
// The SSE2 form is the default wherever the target has SSE2 (the x86-64 baseline, which the
// driver's worker may use at passive level without saving state); a build with
// VOSTRALE_SCALAR_CODECS=1 uses the scalar form, which stays the reference.
#pragma once

#include "common/kstd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define VOSTRALE_HAVE_SSE2 1
#else
#define VOSTRALE_HAVE_SSE2 0
#endif

#if VOSTRALE_HAVE_SSE2 && !(defined(VOSTRALE_SCALAR_CODECS) && VOSTRALE_SCALAR_CODECS)
#define VOSTRALE_CODECS_SSE2 1
#else
#define VOSTRALE_CODECS_SSE2 0
#endif

// x86-64 builds also carry an AVX2 form, used only where the CPU has it and the system keeps
// the wider registers: user mode always does; the driver asks the kernel to save them around
// each decode (ApeAllowWideFilters).
#if VOSTRALE_CODECS_SSE2 && defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define VOSTRALE_CODECS_AVX2 1
#else
#define VOSTRALE_CODECS_AVX2 0
#endif

namespace vostrale::ape {

// True when this build has the AVX2 form, the CPU has AVX2 and the operating system has
// enabled the 256-bit register state. Asked once: CPUID is slow under a hypervisor.
inline bool CpuHasAvx2() {
#if VOSTRALE_CODECS_AVX2
    static int known; // 0: not asked yet, 1: yes, 2: no (a race only asks twice)
    int answer = __atomic_load_n(&known, __ATOMIC_RELAXED);
    if (answer == 0) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        bool avx2 = false;
        if (__get_cpuid(1, &a, &b, &c, &d) && (c & bit_OSXSAVE) && (c & bit_AVX)) {
            unsigned low = 0, high = 0;
            __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
            if ((low & 6) == 6 && __get_cpuid_max(0, nullptr) >= 7) {
                __cpuid_count(7, 0, a, b, c, d);
                avx2 = (b & bit_AVX2) != 0;
            }
        }
        answer = avx2 ? 1 : 2;
        __atomic_store_n(&known, answer, __ATOMIC_RELAXED);
    }
    return answer == 1;
#else
    return false;
#endif
}

template <uint32_t kOrder, int kDirection>
inline uint32_t DotAdaptScalar(int16_t* __restrict coeffs, const int16_t* __restrict history,
                               const int16_t* __restrict adapt) {
    static_assert(kOrder % 16 == 0, "orders are multiples of 16");
    uint32_t dot = 0;
    for (uint32_t j = 0; j < kOrder; ++j) {
        dot += uint32_t(int32_t(coeffs[j]) * int32_t(history[j]));
        if (kDirection > 0)
            coeffs[j] = int16_t(uint16_t(coeffs[j]) + uint16_t(adapt[j]));
        else if (kDirection < 0)
            coeffs[j] = int16_t(uint16_t(coeffs[j]) - uint16_t(adapt[j]));
    }
    return dot;
}

#if VOSTRALE_HAVE_SSE2
// pmaddwd sums two 16 x 16 products per 32-bit lane; the one case that leaves the signed range
// (all four -32768) wraps to the same value as the scalar sum modulo 2^32. Two accumulators
// keep the long filters from waiting on one add chain. History and adaptation codes move by
// one entry per sample, so every load is unaligned.
template <uint32_t kOrder, int kDirection>
inline uint32_t DotAdaptSse2(int16_t* __restrict coeffs, const int16_t* __restrict history,
                             const int16_t* __restrict adapt) {
    static_assert(kOrder % 16 == 0, "orders are multiples of 16");
    __m128i sum0 = _mm_setzero_si128();
    __m128i sum1 = _mm_setzero_si128();
    for (uint32_t j = 0; j < kOrder; j += 16) {
        __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coeffs + j));
        __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coeffs + j + 8));
        __m128i h0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(history + j));
        __m128i h1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(history + j + 8));
        sum0 = _mm_add_epi32(sum0, _mm_madd_epi16(c0, h0));
        sum1 = _mm_add_epi32(sum1, _mm_madd_epi16(c1, h1));
        if (kDirection != 0) {
            __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(adapt + j));
            __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(adapt + j + 8));
            c0 = kDirection > 0 ? _mm_add_epi16(c0, a0) : _mm_sub_epi16(c0, a0);
            c1 = kDirection > 0 ? _mm_add_epi16(c1, a1) : _mm_sub_epi16(c1, a1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(coeffs + j), c0);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(coeffs + j + 8), c1);
        }
    }
    __m128i sum = _mm_add_epi32(sum0, sum1);
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    return uint32_t(_mm_cvtsi128_si32(sum));
}
#endif

// The form this build decodes with.
template <uint32_t kOrder, int kDirection>
inline uint32_t DotAdapt(int16_t* __restrict coeffs, const int16_t* __restrict history,
                         const int16_t* __restrict adapt) {
#if VOSTRALE_CODECS_SSE2
    return DotAdaptSse2<kOrder, kDirection>(coeffs, history, adapt);
#else
    return DotAdaptScalar<kOrder, kDirection>(coeffs, history, adapt);
#endif
}

} // namespace vostrale::ape
