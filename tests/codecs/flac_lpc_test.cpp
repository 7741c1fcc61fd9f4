// The two forms of LPC restoration: the SSE2 form must give the scalar reference's samples bit
// for bit wherever it is used, and refuse the predictors whose sums could leave 32 bits.
#include "codecs/flac_lpc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vostrale {
namespace {

struct LpcCase {
    uint32_t bits;      // sample width: 16, or 17 for a side channel
    uint32_t precision; // coefficient width
    uint32_t shift;
    uint32_t n; // block length (not always a multiple of the four-sample step)
};

// A signal of the given width that the predictor follows loosely (so residuals stay small as
// an encoder's would) with full-scale excursions, and the coefficients it was predicted with.
// Returns the residual form: warm-up samples, then residuals computed by the 64-bit formula.
std::vector<int32_t> MakeResidual(const LpcCase& c, uint32_t order, std::mt19937* rng,
                                  std::vector<int32_t>* signal, std::vector<int32_t>* coefs) {
    const int32_t limit = int32_t(1) << (c.bits - 1);
    const int32_t coefLimit = int32_t(1) << (c.precision - 1);
    coefs->assign(order, 0);
    for (uint32_t j = 0; j < order; ++j)
        (*coefs)[j] = int32_t((*rng)() % uint32_t(2 * coefLimit)) - coefLimit;
    // The first coefficient of every case at its extreme.
    (*coefs)[0] = (*rng)() & 1 ? coefLimit - 1 : -coefLimit;
    signal->resize(c.n);
    double phase = 0;
    for (uint32_t i = 0; i < c.n; ++i) {
        phase += 0.01 + 0.001 * (i % 7);
        int64_t v = int64_t(double(limit - 1) * __builtin_sin(phase)) +
                    int64_t((*rng)() % 201) - 100;
        if (i % 97 == 5)
            v = -limit; // the most negative sample
        if (i % 89 == 7)
            v = limit - 1;
        (*signal)[i] = int32_t(v < -limit ? -limit : v > limit - 1 ? limit - 1 : v);
    }
    std::vector<int32_t> residual(*signal);
    for (uint32_t i = order; i < c.n; ++i) {
        int64_t sum = 0;
        for (uint32_t j = 0; j < order; ++j)
            sum += int64_t((*coefs)[j]) * (*signal)[i - 1 - j];
        residual[i] = int32_t(int64_t((*signal)[i]) - (sum >> c.shift));
    }
    return residual;
}

TEST(FlacLpcForms, VectorFormRestoresTheScalarSamplesBitForBit) {
#if !VOSTRALE_HAVE_SSE2
    GTEST_SKIP() << "no SSE2 on this target";
#else
    const LpcCase cases[] = {
        {16, 12, 11, 4096}, {16, 15, 14, 4095}, {17, 12, 11, 4096}, {17, 13, 9, 1153},
        {16, 8, 5, 35},     {17, 15, 15, 66},   {16, 12, 0, 4099},  {16, 5, 3, 4097},
    };
    std::mt19937 rng(21);
    uint32_t vectorRuns = 0;
    for (const LpcCase& c : cases) {
        for (uint32_t order = 1; order <= flac::kMaxLpcOrder; ++order) {
            if (order > c.n)
                continue;
            std::vector<int32_t> signal, coefs;
            std::vector<int32_t> residual = MakeResidual(c, order, &rng, &signal, &coefs);
            // Keep the predictor inside the vector form's limit, as encoders do for these
            // widths, by scaling coefficients down until it fits.
            while (!flac::LpcFitsSse2(c.bits, order, coefs.data())) {
                for (int32_t& k : coefs)
                    k /= 2;
                residual = signal;
                for (uint32_t i = order; i < c.n; ++i) {
                    int64_t sum = 0;
                    for (uint32_t j = 0; j < order; ++j)
                        sum += int64_t(coefs[j]) * signal[i - 1 - j];
                    residual[i] = int32_t(int64_t(signal[i]) - (sum >> c.shift));
                }
            }
            SCOPED_TRACE(testing::Message() << "bits " << c.bits << " precision " << c.precision
                                            << " shift " << c.shift << " n " << c.n
                                            << " order " << order);
            std::vector<int32_t> scalar(residual), vector(residual);
            flac::RestoreLpcScalar(scalar.data(), c.n, order, coefs.data(), c.shift);
            if (c.bits <= 16)
                flac::RestoreLpcSse2<false>(vector.data(), c.n, order, coefs.data(), c.shift);
            else
                flac::RestoreLpcSse2<true>(vector.data(), c.n, order, coefs.data(), c.shift);
            ASSERT_EQ(scalar, signal);
            ASSERT_EQ(vector, scalar);
            // The form the build picks agrees too.
            std::vector<int32_t> chosen(residual);
            flac::RestoreLpc(chosen.data(), c.n, order, coefs.data(), c.shift, c.bits);
            ASSERT_EQ(chosen, scalar);
            ++vectorRuns;
        }
    }
    EXPECT_GT(vectorRuns, 200u);
#endif
}

// The vector form is used only where no sum can wrap at 32 bits; wider samples and bigger
// predictors stay with the 64-bit scalar form.
TEST(FlacLpcForms, VectorFormRefusesSumsThatCouldWrap) {
    struct Fit {
        uint32_t bits;
        std::vector<int32_t> coefs;
        bool fits;
    };
    const Fit fits[] = {
        // 16-bit samples: the coefficients' magnitudes must sum below 2^16.
        {16, {32767}, true},
        {16, {32767, 32767}, true},
        {16, {32767, 32767, 2}, false},
        {16, {-32768}, true},
        {16, {40000}, false}, // does not fit a 16-bit lane
        {16, std::vector<int32_t>(32, 2047), true},
        {16, std::vector<int32_t>(32, 2048), false},
        // 17-bit samples: below 2^15, and twice each coefficient fits a 16-bit lane.
        {17, {16383, 16383}, true},
        {17, {16383, 16383, 2}, false},
        {17, {-16384}, true},
        {17, {16384}, false},
        {17, {-16385}, false},
        // Wider samples, or none: never.
        {18, {1}, false},
        {24, {1, 1}, false},
        {0, {1}, false},
    };
    for (const Fit& f : fits) {
        SCOPED_TRACE(testing::Message() << "bits " << f.bits << " first " << f.coefs[0] << " order "
                                        << f.coefs.size());
        EXPECT_EQ(flac::LpcFitsSse2(f.bits, uint32_t(f.coefs.size()), f.coefs.data()), f.fits);
    }
    std::vector<int32_t> tooMany(33, 1);
    EXPECT_FALSE(flac::LpcFitsSse2(16, 33, tooMany.data()));
}

} // namespace
} // namespace vostrale
