// The two forms of an NN filter's inner step: the SSE2 form must give the scalar reference's
// dot product and adapted coefficients bit for bit, for every order the levels use and every
// direction, including the 16- and 32-bit wrap-arounds.
#include "codecs/ape/ape_nn_kernels.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace vostrale
