// The 4x true-peak interpolator: its designed phase coefficients, its responses to DC, the
// base Nyquist frequency, a quarter-rate sine and an impulse, and block/sample agreement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/os4.h"
#include "tests/dsp_signals.h"

namespace {

using dsp_test::PI;

class Os4Test : public ::testing::Test {
  protected:
    void SetUp() override {
        os4_global_init();
        os4_reset(&s);
    }
    Os4 s;
    float out[4];
};

TEST_F(Os4Test, DesignIsReadyAndIdempotent) {
    EXPECT_EQ(g_ready, 1);
    float before[4][16];
    std::memcpy(before, g_coef, sizeof before);
    os4_global_init();
    EXPECT_EQ(std::memcmp(before, g_coef, sizeof before), 0);
    EXPECT_EQ(g_ntaps[0], 16);
    EXPECT_EQ(g_ntaps[1], 16);
    EXPECT_EQ(g_ntaps[2], 16);
    EXPECT_EQ(g_ntaps[3], 15);
}

TEST_F(Os4Test, PhaseCoefficientsHaveTheDesignedValues) {
    EXPECT_NEAR(g_coef[1][7], 0.625448, 5e-7);
    EXPECT_NEAR(g_coef[1][8], 0.625448, 5e-7);
    EXPECT_NEAR(g_coef[0][7], 0.288387, 5e-7);
    EXPECT_NEAR(g_coef[0][8], 0.896336, 5e-7);
    for (int k = 0; k < 16; k++) {
        EXPECT_FLOAT_EQ(g_coef[1][k], g_coef[1][15 - k]) << "phase 1 symmetric at " << k;
        EXPECT_FLOAT_EQ(g_coef[2][k], g_coef[0][15 - k]) << "phase 2 = phase 0 reversed at " << k;
    }
    EXPECT_FLOAT_EQ(g_coef[3][7], 1.0f);
    for (int k = 0; k < 15; k++) {
        if (k != 7) {
            EXPECT_LT(std::fabs(g_coef[3][k]), 1e-7) << k;
        }
    }
    for (int p = 0; p < 4; p++) {
        double sum = 0;
        for (int k = 0; k < g_ntaps[p]; k++)
            sum += g_coef[p][k];
        EXPECT_NEAR(sum, 1.0, 1e-6) << "phase " << p;
    }
}

TEST_F(Os4Test, ConstantInputGivesUnityOnEveryPhaseFromThe16thSample) {
    for (int i = 0; i < 40; i++) {
        os4_push(&s, out, 1.0f);
        if (i < 15) continue;
        for (int p = 0; p < 4; p++)
            EXPECT_NEAR(out[p], 1.0, 1e-7) << "sample " << i << " phase " << p;
    }
}

TEST_F(Os4Test, BaseNyquistSettlesAtItsInterpolatedMagnitudes) {
    Os4 peak_filter;
    os4_reset(&peak_filter);
    float peak = 0;
    for (int i = 0; i < 64; i++) {
        const float x = i % 2 ? -1.0f : 1.0f;
        os4_push(&s, out, x);
        peak = os4_peak(&peak_filter, x);
    }
    EXPECT_NEAR(std::fabs(out[0]), 0.7071, 1e-4);
    EXPECT_NEAR(std::fabs(out[1]), 0.0, 1e-4);
    EXPECT_NEAR(std::fabs(out[2]), 0.7071, 1e-4);
    EXPECT_NEAR(std::fabs(out[3]), 1.0, 1e-7);
    EXPECT_NEAR(peak, 1.0f, 1e-6);
}

TEST_F(Os4Test, QuarterRateSineBetweenSamplesReadsItsTruePeak) {
    // Samples at 45, 135, 225, 315 degrees: every sample is +-0.7071, the peak lies between.
    float largest = 0, sample_peak = 0;
    for (int i = 0; i < 200; i++) {
        const float x = (float)std::sin(PI / 2 * i + PI / 4);
        sample_peak = std::fmax(sample_peak, std::fabs(x));
        const float p = os4_peak(&s, x);
        if (i > 32) largest = std::fmax(largest, p);
    }
    EXPECT_LT(sample_peak, 0.70711f);
    EXPECT_NEAR(largest, 0.99999, 5e-6);
}

TEST_F(Os4Test, ImpulseResponseIsTheNormalisedTaps) {
    // Interleaving phase outputs sample by sample gives the 63-tap filter, normalised per phase.
    std::vector<float> response;
    for (int i = 0; i < 16; i++) {
        os4_push(&s, out, i == 0 ? 1.0f : 0.0f);
        for (int p = 0; p < 4; p++) {
            if (i < g_ntaps[p]) {
                EXPECT_EQ(out[p], g_coef[p][i]) << "sample " << i << " phase " << p;
                response.push_back(out[p]);
            } else {
                EXPECT_EQ(out[p], 0.0f);
            }
        }
    }
    ASSERT_EQ(response.size(), 63u);
    // The taps form a symmetric low-pass kernel centred on tap 31 (phase 3, sample 7).
    EXPECT_FLOAT_EQ(response[31], 1.0f);
    for (int n = 0; n < 63; n++)
        EXPECT_NEAR(response[(size_t)n], response[(size_t)(62 - n)], 2e-7) << n;
}

TEST_F(Os4Test, PhasesInterpolateBandLimitedSignalsAtTheirFractionalDelays) {
    // Phase p is the signal (31 - p) / 4 base samples ago; compare with the analytic sine.
    const double freqs[] = {0.02, 0.1, 0.3};
    const double tol[] = {1e-4, 1e-4, 2e-3};
    for (int f = 0; f < 3; f++) {
        os4_reset(&s);
        double worst = 0;
        for (int i = 0; i < 400; i++) {
            os4_push(&s, out, (float)std::sin(2 * PI * freqs[f] * i));
            if (i < 40) continue;
            for (int p = 0; p < 4; p++) {
                const double t = i - (31 - p) / 4.0;
                worst = std::fmax(worst, std::fabs(out[p] - std::sin(2 * PI * freqs[f] * t)));
            }
        }
        EXPECT_LT(worst, tol[f]) << "frequency " << freqs[f];
    }
}

TEST_F(Os4Test, BlockPeaksEqualSampleBySamplePeaksForAnySplit) {
    dsp_test::Noise w(3);
    std::vector<float> x(1000);
    for (size_t i = 0; i < x.size(); i++)
        x[i] = (float)(w.next() * (i % 97 < 50 ? 1.0 : 1e-3));
    Os4 ref;
    os4_reset(&ref);
    std::vector<float> tp(x.size()), p3(x.size());
    for (size_t i = 0; i < x.size(); i++) {
        float o[4];
        os4_push(&ref, o, x[i]);
        tp[i] = std::fmax(std::fmax(std::fmax(std::fmax(0.0f, std::fabs(o[0])), std::fabs(o[1])), std::fabs(o[2])),
                          std::fabs(o[3]));
        p3[i] = std::fabs(o[3]);
    }
    // The SSE2 kernel, then (where the processor has it) the AVX one.
    struct Restore {
        int32_t v = g_avx;
        ~Restore() { g_avx = v; }
    } restore;
    const uint32_t splits[] = {1, 3, 8, 31, 64, 65, 200, 1000};
    for (int32_t kernel = 0; kernel <= restore.v; kernel++) {
        g_avx = kernel;
        for (uint32_t split : splits) {
            for (int mode = 0; mode < 2; mode++) {
                Os4 b;
                os4_reset(&b);
                std::vector<float> got(x.size());
                for (size_t i = 0; i < x.size(); i += split) {
                    const uint32_t n = (uint32_t)std::min<size_t>(split, x.size() - i);
                    os4_peak_block(&b, &x[i], n, &got[i], mode == 1);
                }
                for (size_t i = 0; i < x.size(); i++)
                    ASSERT_EQ(got[i], mode ? tp[i] : p3[i])
                        << "kernel " << kernel << " split " << split << " mode " << mode << " at " << i;
                EXPECT_EQ(b.count, ref.count);
                // The block call leaves the same history behind as the per-sample calls.
                float o1[4], o2[4];
                Os4 r2 = ref;
                os4_push(&b, o1, 0.5f);
                os4_push(&r2, o2, 0.5f);
                for (int p = 0; p < 4; p++)
                    EXPECT_EQ(o1[p], o2[p]);
            }
        }
    }
    // os4_peak is the per-sample peak.
    Os4 c;
    os4_reset(&c);
    for (size_t i = 0; i < x.size(); i++)
        ASSERT_EQ(os4_peak(&c, x[i]), tp[i]) << i;
}

TEST_F(Os4Test, ResetClearsHistoryAndCounter) {
    for (int i = 0; i < 20; i++)
        os4_push(&s, out, 0.9f);
    os4_reset(&s);
    EXPECT_EQ(s.count, 0u);
    os4_push(&s, out, 0.0f);
    for (int p = 0; p < 4; p++)
        EXPECT_EQ(out[p], 0.0f);
}

} // namespace
