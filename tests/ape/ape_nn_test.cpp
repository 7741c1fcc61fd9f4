// The two forms of an NN filter's inner step: the SSE2 form must give the scalar reference's
// dot product and adapted coefficients bit for bit, for every order the levels use and every
// direction, including the 16- and 32-bit wrap-arounds.
#include "codecs/ape/ape_nn_filter.h"
#include "codecs/ape/ape_nn_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace vostrale {
namespace {

#if VOSTRALE_HAVE_SSE2
template <uint32_t kOrder, int kDirection>
void CompareForms(const std::vector<int16_t>& coeffs, const std::vector<int16_t>& history,
                  const std::vector<int16_t>& adapt, uint32_t offset) {
    std::vector<int16_t> scalarCoeffs(coeffs), vectorCoeffs(coeffs);
    // Offsets move the history and codes off any alignment, as the sliding windows do.
    uint32_t scalar = ape::DotAdaptScalar<kOrder, kDirection>(
        scalarCoeffs.data(), history.data() + offset, adapt.data() + offset);
    uint32_t vector = ape::DotAdaptSse2<kOrder, kDirection>(
        vectorCoeffs.data(), history.data() + offset, adapt.data() + offset);
    ASSERT_EQ(vector, scalar) << "order " << kOrder << " direction " << kDirection;
    ASSERT_EQ(vectorCoeffs, scalarCoeffs) << "order " << kOrder << " direction " << kDirection;
}

template <uint32_t kOrder> void CompareOrder(std::mt19937* rng) {
    // Random, extreme (every value -32768: the dot's one 32-bit wrap, coefficients wrapping
    // at 16 bits) and the small codes real streams carry.
    for (int pattern = 0; pattern < 3; ++pattern) {
        std::vector<int16_t> coeffs(kOrder), history(kOrder + 8), adapt(kOrder + 8);
        for (uint32_t i = 0; i < kOrder + 8; ++i) {
            int16_t h = int16_t((*rng)());
            int16_t a = int16_t((*rng)());
            if (pattern == 1) {
                h = -32768;
                a = i % 2 ? -32768 : 32767;
            } else if (pattern == 2) {
                static const int16_t codes[] = {-32, -16, -8, -4, 0, 4, 8, 16, 32};
                a = codes[(*rng)() % 9];
            }
            history[i] = h;
            adapt[i] = a;
            if (i < kOrder)
                coeffs[i] = pattern == 1 ? int16_t(-32768) : int16_t((*rng)());
        }
        for (uint32_t offset = 0; offset < 8; offset += 3) {
            CompareForms<kOrder, 1>(coeffs, history, adapt, offset);
            CompareForms<kOrder, -1>(coeffs, history, adapt, offset);
            CompareForms<kOrder, 0>(coeffs, history, adapt, offset);
        }
    }
}
#endif

TEST(ApeFilterForms, VectorStepMatchesTheScalarReferenceBitForBit) {
#if !VOSTRALE_HAVE_SSE2
    GTEST_SKIP() << "no SSE2 on this target";
#else
    std::mt19937 rng(3990);
    for (int round = 0; round < 20; ++round) {
        CompareOrder<16>(&rng);
        CompareOrder<32>(&rng);
        CompareOrder<64>(&rng);
        CompareOrder<256>(&rng);
        CompareOrder<1280>(&rng);
    }
#endif
}

// A whole filter over stretches of samples: the build's forms (two samples per pass, SSE2 and,
// where the CPU has it, AVX2) against the scalar one-sample reference, outputs and every byte of
// state, across window slides, odd stretch lengths, zero inputs and outputs that saturate.
template <uint32_t kOrder, bool kNewRule> void CompareFilterRuns(std::mt19937* rng) {
    const uint32_t entries = kOrder + 2 * (kApeNnWindow + kOrder);
    for (int pattern = 0; pattern < 3; ++pattern) {
        std::vector<int16_t> poolRef(entries, 0);
        ApeNnFilter ref{kOrder,
                        kOrder == 1280  ? 15u
                        : kOrder == 256 ? 13u
                                        : 11u,
                        0,
                        kOrder,
                        kOrder + kApeNnWindow + kOrder,
                        kOrder,
                        0};
        // The build's form at SSE2 width, and sixteen lanes wide where the CPU has AVX2.
        std::vector<int16_t> pools[2] = {poolRef, poolRef};
        ApeNnFilter runs[2] = {ref, ref};
        const bool wide[2] = {false, ape::CpuHasAvx2()};
        std::vector<int32_t> values(1900);
        for (size_t i = 0; i < values.size(); ++i) {
            const uint32_t r = (*rng)();
            if (pattern == 0) // audio-like residuals with runs of zeros
                values[i] = r % 7 == 0 ? 0 : int32_t(r % 4001) - 2000;
            else if (pattern == 1) // large values: saturated history, wrapping coefficients
                values[i] = int32_t(r);
            else // signs only
                values[i] = int32_t(r % 3) - 1;
        }
        std::vector<int32_t> expected(values);
        std::vector<int32_t> got[2] = {values, values};
        size_t done = 0;
        while (done < values.size()) {
            const uint32_t n = uint32_t(std::min<size_t>(values.size() - done, 1 + (*rng)() % 300));
            ape::FilterRun<kOrder, kNewRule, true>(&ref, poolRef.data(), expected.data() + done, n);
            for (int form = 0; form < 2; ++form)
                ape::FilterRun<kOrder, kNewRule>(&runs[form], pools[form].data(),
                                                 got[form].data() + done, n, wide[form]);
            done += n;
        }
        for (int form = 0; form < 2; ++form) {
            SCOPED_TRACE(wide[form] ? "AVX2" : "SSE2");
            ASSERT_EQ(got[form], expected) << "order " << kOrder << " pattern " << pattern;
            ASSERT_EQ(pools[form], poolRef) << "order " << kOrder << " pattern " << pattern;
            ASSERT_EQ(runs[form].pos, ref.pos);
            ASSERT_EQ(runs[form].average, ref.average);
        }
    }
}

TEST(ApeFilterForms, FilterRunsMatchTheOneSampleScalarReference) {
    std::mt19937 rng(3950);
    for (int round = 0; round < 4; ++round) {
        CompareFilterRuns<16, true>(&rng);
        CompareFilterRuns<16, false>(&rng);
        CompareFilterRuns<32, true>(&rng);
        CompareFilterRuns<64, false>(&rng);
        CompareFilterRuns<64, true>(&rng);
        CompareFilterRuns<256, true>(&rng);
        CompareFilterRuns<256, false>(&rng);
        CompareFilterRuns<1280, true>(&rng);
    }
}

} // namespace
} // namespace vostrale
