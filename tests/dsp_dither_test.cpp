// TPDF dither with noise shaping: quantisation to exact steps, the clamp at full scale,
// uncorrelated channels, the noise spectrum of each shaping filter, and the seeding rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/dither.h"
#include "tests/dsp_signals.h"

namespace {

constexpr double STEP24 = 1.1920928955078125e-07;
constexpr double STEP16 = 3.0517578125e-05;

struct Channel {
    uint32_t rng;
    double err[16] = {};
    uint32_t pos = 0;
    explicit Channel(uint32_t seed) : rng(seed) {}
    void run(std::vector<float> &x, bool bits16, int shape) {
        dither_process(x.data(), (uint32_t)x.size(), bits16, shape, &rng, err, &pos);
    }
};

bool is_multiple(double v, double step) {
    const double k = v / step;
    return k == std::floor(k);
}

// Power of x in a band [lo, hi) of normalised frequency (0..0.5), averaged over segments,
// by a plain DFT of Hann-windowed blocks.
double band_power(const std::vector<double> &x, double lo, double hi) {
    const size_t n = 512;
    double total = 0;
    int count = 0;
    for (size_t start = 0; start + n <= x.size(); start += n) {
        for (size_t bin = (size_t)(lo * n); bin < (size_t)(hi * n); bin++) {
            double re = 0, im = 0;
            for (size_t i = 0; i < n; i++) {
                const double w = 0.5 - 0.5 * std::cos(2 * dsp_test::PI * (double)i / n);
                const double a = 2 * dsp_test::PI * (double)bin * (double)i / n;
                re += w * x[start + i] * std::cos(a);
                im -= w * x[start + i] * std::sin(a);
            }
            total += re * re + im * im;
            count++;
        }
    }
    return total / count;
}

TEST(Dither, SilenceAt24BitGivesZeroOrOneStepAndWeightedStaysOnTheGrid) {
    const int shapes[] = {SHAPE_NONE, SHAPE_LIGHT, SHAPE_WEIGHTED};
    for (int shape : shapes) {
        Channel c(0x12345679u);
        std::vector<float> x(20000, 0.0f);
        c.run(x, false, shape);
        int beyond_one = 0, nonzero = 0;
        for (float v : x) {
            EXPECT_TRUE(is_multiple(v, STEP24)) << "shape " << shape << ": " << v;
            if (v != 0.0f) nonzero++;
            if (std::fabs(v) > 1.5 * STEP24) beyond_one++;
        }
        EXPECT_GT(nonzero, 1000) << shape;
        if (shape == SHAPE_NONE) {
            EXPECT_EQ(beyond_one, 0);
        }
        if (shape == SHAPE_WEIGHTED) {
            EXPECT_GT(beyond_one, 100);
        }
    }
}

TEST(Dither, ConstantHalfAt16BitStaysWithinOneStepAndAveragesToItself) {
    Channel c(0xdeadbeefu | 1);
    std::vector<float> x(200000, 0.5f);
    c.run(x, true, SHAPE_NONE);
    double sum = 0;
    for (float v : x) {
        const double d = v - 0.5;
        EXPECT_TRUE(d == 0 || d == STEP16 || d == -STEP16) << v;
        sum += v;
    }
    EXPECT_NEAR(sum / (double)x.size(), 0.5, STEP16 * 0.01);
}

TEST(Dither, FullScaleStaysAtMostOneAndRecordsTheClampedError) {
    const int shapes[] = {SHAPE_NONE, SHAPE_LIGHT, SHAPE_WEIGHTED};
    for (int shape : shapes) {
        Channel c(777u);
        std::vector<float> x(50000, 1.0f);
        c.run(x, true, shape);
        for (float v : x) {
            ASSERT_LE(v, 1.0f) << "shape " << shape;
            ASSERT_GE(v, 1.0f - 40 * STEP16) << "shape " << shape;
        }
        if (shape == SHAPE_NONE) {
            // v = 1.0, so the error is q - 1.0 with q clamped: 0 or one step below.
            for (double e : c.err)
                EXPECT_TRUE(e == 0.0 || e == -STEP16) << e;
        }
        for (double e : c.err)
            EXPECT_LT(std::fabs(e), 0.01) << "shape " << shape;
    }
    // Far beyond full scale the output is the clamp and the loop stays bounded.
    Channel c(99u);
    std::vector<float> x(20000, 4.0f);
    c.run(x, false, SHAPE_WEIGHTED);
    for (float v : x)
        ASSERT_EQ(v, 1.0f);
    for (double e : c.err)
        EXPECT_TRUE(std::isfinite(e));
    std::vector<float> y(2000, 0.25f);
    c.run(y, false, SHAPE_WEIGHTED);
    EXPECT_NEAR(y.back(), 0.25, 1e-5);
}

TEST(Dither, TheTwoChannelsAreUncorrelated) {
    uint32_t rng[2];
    dither_seed(rng, 0x0123456789abcdefULL);
    EXPECT_NE(rng[0], rng[1]);
    Channel l(rng[0]), r(rng[1]);
    std::vector<float> a(100000, 0.0f), b(100000, 0.0f);
    l.run(a, true, SHAPE_NONE);
    r.run(b, true, SHAPE_NONE);
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < a.size(); i++) {
        sab += (double)a[i] * b[i];
        saa += (double)a[i] * a[i];
        sbb += (double)b[i] * b[i];
    }
    EXPECT_LT(std::fabs(sab / std::sqrt(saa * sbb)), 0.02);
}

TEST(Dither, SeedFollowsTheActivateRuleAndNeverGivesEqualStates) {
    uint32_t rng[2];
    dither_seed(rng, 0xffffffff00000010ULL);
    EXPECT_EQ(rng[0], 0x11u);
    EXPECT_EQ(rng[1], (uint32_t)(0x10u * 0x9E3779B1u) | 1u);
    dither_seed(rng, 0x8000000000000000ULL + 0x1234);
    EXPECT_EQ(rng[0], 0x1235u);
    EXPECT_EQ(rng[1], (0x1234u * 0x9E3779B1u) | 1u);
    // Values whose rule would give the right channel the left channel's state.
    for (uint64_t m = 0; m < 16; m++) {
        const uint64_t r = m << 28;
        dither_seed(rng, r);
        EXPECT_EQ(rng[0], (uint32_t)r | 1u);
        EXPECT_NE(rng[0], rng[1]) << r;
        EXPECT_NE(rng[1], 0u);
    }
}

TEST(Dither, ShapingMovesTheNoiseToHighFrequencies) {
    // Quantisation noise of a low-level signal, measured as output minus input.
    const size_t n = 512 * 24;
    const auto in = dsp_test::sine(0.01 * 48000, 0.1, 48000, n);
    auto noise_of = [&](int shape) {
        Channel c(0x2468ace1u);
        std::vector<float> x = in;
        c.run(x, true, shape);
        std::vector<double> e(n);
        for (size_t i = 0; i < n; i++)
            e[i] = (double)x[i] - in[i];
        return e;
    };
    const auto none = noise_of(SHAPE_NONE);
    const auto light = noise_of(SHAPE_LIGHT);
    const auto weighted = noise_of(SHAPE_WEIGHTED);
    const double n_lo = band_power(none, 0.02, 0.06), n_hi = band_power(none, 0.40, 0.48);
    EXPECT_GT(n_hi / n_lo, 0.6);
    EXPECT_LT(n_hi / n_lo, 1.6);
    // Light: first-order high-pass, |1 - z^-1|^2 = 2 - 2 cos(w): about 30 times more at
    // 0.44 than at 0.04.
    const double l_lo = band_power(light, 0.02, 0.06), l_hi = band_power(light, 0.40, 0.48);
    EXPECT_GT(l_hi / l_lo, 10.0);
    EXPECT_GT(l_hi, 2.0 * n_hi);
    EXPECT_LT(l_lo, 0.2 * n_lo);
    // Weighted: least noise around 3-4 kHz (0.06-0.08 at 48 kHz), most near the top.
    const double w_mid = band_power(weighted, 0.06, 0.085), w_hi = band_power(weighted, 0.40, 0.48);
    EXPECT_LT(w_mid, 0.5 * n_lo);
    EXPECT_GT(w_hi / w_mid, 100.0);
}

// The steps of the dither pass, sample by sample, in sample units.
void reference(std::vector<float> &x, bool bits16, int shape, uint32_t &s, double err[16], uint32_t &pos) {
    static const double light[1] = {1.0};
    static const double weighted[9] = {2.412, -3.37, 3.937, -4.174, 3.353, -2.205, 1.281, -0.569, 0.0847};
    const double *coef = shape == SHAPE_LIGHT ? light : shape == SHAPE_WEIGHTED ? weighted : nullptr;
    const int taps = shape == SHAPE_LIGHT ? 1 : shape == SHAPE_WEIGHTED ? 9 : 0;
    const double scale = bits16 ? 32768.0 : 8388608.0;
    for (float &sample : x) {
        double fb = 0;
        for (int k = 1; k <= taps; k++)
            fb += coef[k - 1] * err[(pos - (uint32_t)k) & 15];
        const double v = sample - fb;
        uint32_t d2[2];
        for (uint32_t &d : d2) {
            s ^= s << 13;
            s ^= s >> 17;
            s ^= s << 5;
            d = s;
        }
        const double d = ((d2[0] >> 8) * (1.0 / 16777216) - 0.5) + ((d2[1] >> 8) * (1.0 / 16777216) - 0.5);
        double q = std::floor(scale * v + d + 0.5) / scale;
        q = q < -1 ? -1 : q > 1 ? 1 : q;
        err[pos] = q - v;
        pos = (pos + 1) & 15;
        sample = (float)q;
    }
}

TEST(Dither, MatchesTheStepByStepDefinitionInAnySplitAndModeSwitch) {
    dsp_test::Noise w(5);
    std::vector<float> x(30000);
    for (size_t i = 0; i < x.size(); i++)
        x[i] = (float)(w.next() * (i < 15000 ? 0.9 : 1.3)); // clips later
    Channel c(0x13579bdfu);
    uint32_t s = c.rng, pos = 0;
    double err[16] = {};
    size_t i = 0;
    int piece = 0;
    while (i < x.size()) {
        const size_t n = std::min<size_t>(x.size() - i, 1 + (size_t)(piece * 37 % 700));
        const bool bits16 = piece % 2 == 0;
        const int shape = piece % 3;
        std::vector<float> a(x.begin() + (long)i, x.begin() + (long)(i + n)), b = a;
        c.run(a, bits16, shape);
        reference(b, bits16, shape, s, err, pos);
        for (size_t j = 0; j < n; j++)
            ASSERT_EQ(a[j], b[j]) << "piece " << piece << " sample " << j;
        for (int k = 0; k < 16; k++)
            ASSERT_EQ(c.err[k], err[k]);
        ASSERT_EQ(c.rng, s);
        ASSERT_EQ(c.pos, pos);
        i += n;
        piece++;
    }
}

TEST(Dither, StereoCallEqualsTheTwoChannelPasses) {
    dsp_test::Noise w(17);
    for (int shape = 0; shape < 3; shape++) {
        uint32_t rng_a[2], rng_b[2];
        dither_seed(rng_a, 0xabcdef12345ULL + (uint64_t)shape);
        rng_b[0] = rng_a[0];
        rng_b[1] = rng_a[1];
        double err_a[2][16] = {}, err_b[2][16] = {};
        uint32_t pos_a[2] = {3, 9}, pos_b[2] = {3, 9};
        for (int piece = 0; piece < 5; piece++) {
            const size_t n = 1 + (size_t)piece * 333;
            std::vector<float> l(n), r(n);
            for (size_t i = 0; i < n; i++) {
                l[i] = (float)(w.next() * 1.1);
                r[i] = (float)(w.next() * 0.01);
            }
            std::vector<float> l2 = l, r2 = r;
            dither_process_stereo(l.data(), r.data(), (uint32_t)n, piece % 2 == 1, shape, rng_a, err_a, pos_a);
            dither_process(l2.data(), (uint32_t)n, piece % 2 == 1, shape, &rng_b[0], err_b[0], &pos_b[0]);
            dither_process(r2.data(), (uint32_t)n, piece % 2 == 1, shape, &rng_b[1], err_b[1], &pos_b[1]);
            ASSERT_EQ(l, l2) << shape;
            ASSERT_EQ(r, r2) << shape;
        }
        EXPECT_EQ(std::memcmp(err_a, err_b, sizeof err_a), 0);
        EXPECT_EQ(rng_a[0], rng_b[0]);
        EXPECT_EQ(rng_a[1], rng_b[1]);
        EXPECT_EQ(pos_a[1], pos_b[1]);
    }
    // One buffer for both: only the left pass runs, as in the pipeline.
    uint32_t rng[2] = {5, 7};
    double err[2][16] = {};
    uint32_t pos[2] = {0, 0};
    std::vector<float> x(100, 0.25f);
    dither_process_stereo(x.data(), x.data(), 100, true, SHAPE_LIGHT, rng, err, pos);
    EXPECT_EQ(rng[1], 7u);
    EXPECT_EQ(pos[1], 0u);
    EXPECT_EQ(pos[0], 100u % 16);
}

TEST(Dither, NonFiniteInputLeavesTheErrorRingUsable) {
    Channel c(4242u);
    std::vector<float> x(200, 0.3f);
    x[10] = std::nanf("");
    x[20] = INFINITY;
    x[30] = -INFINITY;
    c.run(x, true, SHAPE_WEIGHTED);
    EXPECT_EQ(x[10], 0.0f);
    EXPECT_EQ(x[20], 1.0f);
    EXPECT_EQ(x[30], -1.0f);
    for (double e : c.err)
        EXPECT_TRUE(std::isfinite(e));
    EXPECT_NEAR(x[199], 0.3, 1e-3);
    EXPECT_TRUE(is_multiple(x[199], STEP16));
}

} // namespace
