// The limiter core: geometry from the lookahead, styles and release coefficients, gain laws,
// step response, true-peak ceiling (checked by an independent 16x measure), mix, bypass,
// delta, unity gain, link, hold, smoothing, block-size invariance and a sample-by-sample model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <vector>

#include "dsp/limiter.h"
#include "dsp/truepeak.h"
#include "tests/dsp_signals.h"

namespace {

using dsp_test::PI;

double gain_of(double db) { return std::pow(10.0, db / 20.0); }

// A limiter on the heap (the record is large), freed with the object.
struct Lim {
    std::unique_ptr<Limiter> p{new Limiter()};
    Lim(double rate = 48000, double lookahead_ms = 1.5) { EXPECT_EQ(limiter_init(p.get(), rate, lookahead_ms), 1); }
    ~Lim() { limiter_free(p.get()); }
    Limiter *operator->() { return p.get(); }
    Limiter *get() { return p.get(); }
    // Parameters as the pipeline passes them: threshold = -Gain.
    void set(double input_db, double gain_db, double ceiling_db, bool tp = true, bool adaptive = true,
             double release_ms = 100, double link = 1.0, double mix = 1.0) {
        limiter_set(p.get(), tp, adaptive, input_db, -gain_db, ceiling_db, release_ms, link, mix);
    }
    void run(std::vector<float> &l, std::vector<float> &r, uint32_t block = 256) {
        for (size_t i = 0; i < l.size(); i += block) {
            const uint32_t n = (uint32_t)std::min<size_t>(block, l.size() - i);
            limiter_process(p.get(), &l[i], &r[i], n);
        }
    }
    // One sample per call; returns the shown gain of every sample.
    std::vector<float> run_gains(std::vector<float> &l, std::vector<float> &r) {
        std::vector<float> g(l.size());
        for (size_t i = 0; i < l.size(); i++) {
            limiter_process(p.get(), &l[i], &r[i], 1);
            g[i] = p->meters.min_gain;
        }
        return g;
    }
};

TEST(LimiterGeometry, LookaheadLatencyWindowAndRingsFollowTheLookahead) {
    {
        Lim l(48000, 1.5);
        EXPECT_EQ(l->lookahead, 72);
        EXPECT_EQ(l->delay_len, 80);
        EXPECT_EQ(limiter_latency(l.get()), 80);
        EXPECT_EQ(l->chan[0].window, 73);
        EXPECT_EQ(l->chan[0].cap, 128);
        EXPECT_EQ(l->chan[1].mask, 127);
        EXPECT_EQ(l->chan[0].cap1, 72);
    }
    {
        Lim l(44100, 0.1);
        EXPECT_EQ(l->lookahead, 4);
        EXPECT_EQ(limiter_latency(l.get()), 12);
    }
    {
        Lim l(48000, 0.0625); // 3 samples: window 4, rings of 8
        EXPECT_EQ(l->lookahead, 3);
        EXPECT_EQ(l->chan[0].window, 4);
        EXPECT_EQ(l->chan[0].cap, 8);
    }
    for (double ms : {0.01, 0.0, -5.0, std::nan("")}) {
        Lim l(48000, ms);
        EXPECT_EQ(l->lookahead, 2) << ms;
        EXPECT_EQ(limiter_latency(l.get()), 10) << ms;
    }
}

TEST(LimiterGeometry, UnusableSampleRateFailsToInitialise) {
    for (double rate : {0.0, -48000.0, std::nan(""), (double)INFINITY}) {
        std::unique_ptr<Limiter> l(new Limiter());
        EXPECT_EQ(limiter_init(l.get(), rate, 1.5), 0) << rate;
        EXPECT_EQ(l->wet_l, nullptr);
        float x[4] = {1, 1, 1, 1}, y[4] = {1, 1, 1, 1};
        limiter_process(l.get(), x, y, 4); // no buffers: nothing happens
        limiter_reset(l.get());
        limiter_free(l.get());
        EXPECT_EQ(x[0], 1.0f);
    }
}

TEST(LimiterStyles, AttackAveragesHoldAndReleaseCoefficients) {
    Lim l(48000, 1.5);
    EXPECT_STREQ(STYLE_NAMES[0], "Transparent");
    EXPECT_STREQ(STYLE_NAMES[3], "Aggressive");
    EXPECT_STREQ(STYLE_NAMES[5], "Safe");
    EXPECT_EQ(l->style, 0);
    EXPECT_EQ(l->chan[0].len1, 36);
    EXPECT_EQ(l->chan[0].len2, 36);
    const struct {
        int style, len1, len2, hold;
    } rows[] = {{1, 29, 29, 96}, {2, 18, 18, 0}, {3, 12, 13, 0}, {4, 36, 36, 480}, {5, 36, 36, 1440}, {0, 36, 36, 0}};
    for (const auto &r : rows) {
        limiter_set_style(l.get(), r.style);
        EXPECT_EQ(l->style, r.style);
        for (int c = 0; c < 2; c++) {
            EXPECT_EQ(l->chan[c].len1, r.len1) << STYLE_NAMES[r.style];
            EXPECT_EQ(l->chan[c].len2, r.len2) << STYLE_NAMES[r.style];
        }
        EXPECT_EQ(l->hold, r.hold) << STYLE_NAMES[r.style];
    }
    limiter_set_style(l.get(), 99);
    EXPECT_EQ(l->style, 5);
    limiter_set_style(l.get(), -3);
    EXPECT_EQ(l->style, 0);

    // Release 100 ms, Transparent: 100 ms fast, 500 ms slow, slow attack 80 ms.
    EXPECT_NEAR(l->rel_fast, 1 - std::exp(-1.0 / 4800), 1e-15);
    EXPECT_NEAR(l->rel_slow, 1 - std::exp(-1.0 / 24000), 1e-15);
    EXPECT_NEAR(l->att_slow, 1 - std::exp(-1.0 / 3840), 1e-15);
    // Release 5 ms, Bus: the slow attack stays at 20 ms.
    limiter_set_style(l.get(), 4);
    l.set(0, 0, 0, true, true, 5.0);
    EXPECT_NEAR(l->att_slow, 1 - std::exp(-1.0 / 960), 1e-15);
    EXPECT_NEAR(l->rel_fast, 1 - std::exp(-1.0 / 360), 1e-15);
    EXPECT_NEAR(l->rel_slow, 1 - std::exp(-1.0 / 1920), 1e-15);
    // Below one sample: exp(-1).
    l.set(0, 0, 0, true, true, 0.01);
    EXPECT_NEAR(l->rel_fast, 1 - std::exp(-1.0), 1e-15);
    EXPECT_NEAR(l->smooth_coef, 1 - std::exp(-1.0 / 240), 1e-15);
    EXPECT_NEAR(l->fade_coef, 1 - std::exp(-1.0 / 720), 1e-15);
}

TEST(LimiterGainLaws, ConstantSignalBelowThresholdPassesWithUnityGain) {
    Lim l;
    l.set(3.0, 6.0, -1.0); // threshold -6 dB, output gain +5 dB, input +3 dB
    limiter_reset(l.get());
    const size_t n = 3000;
    std::vector<float> dc(n, 0.2f), sl = dsp_test::sine(1000, 0.3, 48000, n);
    std::vector<float> a = dc, b = sl;
    for (size_t i = 0; i < n; i += 100) {
        limiter_process(l.get(), &a[i], &b[i], 100);
        EXPECT_EQ(l->meters.min_gain, 1.0f);
    }
    const double k = gain_of(3.0 - 1.0 + 6.0);
    for (size_t i = 0; i < n; i++) {
        if (i < 80) {
            EXPECT_EQ(a[i], 0.0f);
            EXPECT_EQ(b[i], 0.0f);
            continue;
        }
        EXPECT_NEAR(a[i], 0.2 * k, 0.2 * k * 3e-7) << i;
        EXPECT_NEAR(b[i], sl[i - 80] * k, 3e-7) << i;
    }
}

TEST(LimiterGainLaws, StepToTwiceTheThresholdLeavesAtTheCeilingInBothReleaseModes) {
    const int S = 100, D = 80, A = 72;
    std::vector<float> g_by_mode[2];
    for (int adaptive = 0; adaptive < 2; adaptive++) {
        Lim l;
        l.set(0.0, 6.0, 0.0, false, adaptive == 1);
        limiter_reset(l.get());
        const double thr = gain_of(-6.0);
        std::vector<float> x(600, 0.0f);
        for (size_t i = S; i < x.size(); i++)
            x[i] = (float)(2 * thr);
        std::vector<float> y = x;
        const auto g = l.run_gains(x, y);
        for (int n = 0; n < S + 7; n++)
            ASSERT_EQ(g[(size_t)n], 1.0f) << n;
        EXPECT_LT(g[S + 7], 1.0f);
        for (int n = S + 8; n <= S + 7 + A - 2; n++)
            EXPECT_LT(g[(size_t)n], g[(size_t)n - 1]) << n;
        EXPECT_NEAR(g[S + 7 + A - 2], 0.5, 1e-6); // the ramp spans A - 1 samples
        EXPECT_EQ(x[S + D - 1], 0.0f);
        if (adaptive == 0) {
            // Lookahead + 1 samples after it started to fall the step arrives at 0.5 and leaves
            // at threshold times output gain: the ceiling.
            EXPECT_NEAR(g[S + D], 0.5, 1e-6);
            for (int n = S + D; n < 600; n++)
                EXPECT_NEAR(x[(size_t)n], 1.0, 2e-6) << n;
        } else {
            // The adaptive release's slow envelope keeps rising for the 3 samples between the
            // end of the ramp and the arrival, so its gain is a little lower by then.
            EXPECT_NEAR(g[S + D], 0.5, 5e-4);
            EXPECT_NEAR(x[S + D], 1.0, 1e-3);
            EXPECT_LE(x[S + D], 1.0f);
        }
        g_by_mode[adaptive] = g;
    }
    // Until the ramp has ended both release modes give the same gain.
    for (size_t n = 0; n <= S + 7 + A - 2; n++)
        EXPECT_NEAR(g_by_mode[0][n], g_by_mode[1][n], 1e-7) << n;
}

struct Program {
    const char *name;
    std::vector<float> l, r;
};

std::vector<Program> programs() {
    std::vector<Program> p;
    Program m{"music", {}, {}};
    dsp_test::music(48000, 1.0, 0.9, 0.2, m.l, m.r, 32);
    p.push_back(m);
    Program pk{"pink noise", {}, {}};
    pk.l = dsp_test::pink(0.7, 24000, 41);
    pk.r = dsp_test::pink(0.7, 24000, 42);
    p.push_back(pk);
    Program sw{"sweep", {}, {}};
    const size_t n = 48000;
    sw.l.resize(n);
    sw.r.resize(n);
    double ph = 0;
    for (size_t i = 0; i < n; i++) {
        const double f = 30.0 * std::pow(400.0, (double)i / n); // 30 Hz .. 12 kHz
        ph += 2 * PI * f / 48000;
        sw.l[i] = (float)(0.8 * std::sin(ph));
        sw.r[i] = (float)(0.8 * std::sin(ph + 0.7));
    }
    p.push_back(sw);
    return p;
}

TEST(LimiterCeiling, TruePeakOutputStaysAtTheCeilingForRealSignals) {
    // The detector and the output meter see the signal on a 4x grid: on that grid the output
    // never exceeds the ceiling. Between the grid points a peak can hide by up to
    // 1 - cos(pi f / 4 fs) (0.69 dB at the base Nyquist frequency, below 0.2 dB for
    // material with a record-like spectrum), which the independent 16x measure sees.
    const double ceiling_db = -1.0;
    const double ceiling = gain_of(ceiling_db);
    const double allowance_db[] = {0.25, 0.7, 0.25}; // music, pink noise, sweep to 12 kHz
    int p = 0;
    for (const auto &prog : programs()) {
        for (int style : {0, 3}) {
            double tp16[2];
            for (int tp = 1; tp >= (style == 0 ? 0 : 1); tp--) {
                Lim l;
                limiter_set_style(l.get(), style);
                l.set(0.0, 12.0, ceiling_db, tp == 1, true, 50.0, 1.0);
                limiter_reset(l.get());
                std::vector<float> a = prog.l, b = prog.r;
                float meter = 0;
                for (size_t i = 0; i < a.size(); i += 128) {
                    limiter_process(l.get(), &a[i], &b[i], (uint32_t)std::min<size_t>(128, a.size() - i));
                    meter = std::max(meter, l->meters.tp_out);
                }
                tp16[tp] =
                    std::max(dsp_test::true_peak_16x(a, 0.5 * ceiling), dsp_test::true_peak_16x(b, 0.5 * ceiling));
                if (tp == 1) {
                    EXPECT_LE(meter, ceiling * (1 + 1e-5)) << prog.name << ", " << STYLE_NAMES[style];
                    EXPECT_LE(dsp_test::db(tp16[1]), ceiling_db + allowance_db[p])
                        << prog.name << ", " << STYLE_NAMES[style];
                    EXPECT_GT(dsp_test::db(tp16[1]), ceiling_db - 0.5) << prog.name; // limiting, not just quiet
                }
            }
            // Sample-peak detection lets clearly more through between the samples.
            if (style == 0) {
                EXPECT_LT(tp16[1], tp16[0]) << prog.name;
            }
        }
        p++;
    }
}

TEST(LimiterCeiling, SamplePeakModeKeepsEverySampleAtTheCeiling) {
    const double ceiling = gain_of(-0.3);
    for (const auto &prog : programs()) {
        Lim l;
        l.set(2.0, 9.0, -0.3, false, false, 20.0, 0.7);
        limiter_reset(l.get());
        std::vector<float> a = prog.l, b = prog.r;
        l.run(a, b, 100);
        float peak = 0;
        for (size_t i = 0; i < a.size(); i++)
            peak = std::max({peak, std::fabs(a[i]), std::fabs(b[i])});
        EXPECT_LE(peak, ceiling * (1 + 1e-6)) << prog.name;
        EXPECT_GT(peak, ceiling * 0.97) << prog.name;
    }
}

TEST(LimiterCeiling, AnyFiniteInputLeavesAtOrUnderTheCeiling) {
    // Levels far beyond any reduction a real signal needs, up to the end of the f32 range
    // (where input gain alone overflows an f32), in both detection and release modes.
    const size_t n = 24000;
    Program cases[5] = {{"sine at +160 dBFS", {}, {}},
                        {"single 1e30 sample", {}, {}},
                        {"sine at 3e38, input +24 dB", {}, {}},
                        {"full-range Nyquist at FLT_MAX", {}, {}},
                        {"noise over every exponent", {}, {}}};
    cases[0].l = dsp_test::sine(1000, 1e8, 48000, n);
    cases[1].l.assign(n, 0.0f);
    cases[1].l[9000] = 1e30f;
    cases[2].l = dsp_test::sine(997, 3e38, 48000, n, 0.3);
    cases[3].l.resize(n);
    for (size_t i = 0; i < n; i++)
        cases[3].l[i] = i % 2 ? FLT_MAX : -FLT_MAX;
    dsp_test::Noise w(17);
    cases[4].l.resize(n);
    for (size_t i = 0; i < n; i++)
        cases[4].l[i] = (float)(w.next() * std::pow(10.0, 38.5 * (w.next() + 1) / 2));
    for (Program &c : cases)
        c.r = c.l;
    cases[4].r.assign(n, 0.25f);
    const double input_db[5] = {0.0, 0.0, 24.0, 24.0, 0.0};
    const float ceiling = (float)gain_of(-1.0);
    for (int i = 0; i < 5; i++)
        for (int tp = 0; tp < 2; tp++)
            for (int adaptive = 0; adaptive < 2; adaptive++) {
                Lim l;
                l.set(input_db[i], 6.0, -1.0, tp == 1, adaptive == 1);
                std::vector<float> a = cases[i].l, b = cases[i].r;
                float min_gain = 1;
                for (size_t j = 0; j < n; j += 500) {
                    limiter_process(l.get(), &a[j], &b[j], 500);
                    min_gain = std::min(min_gain, l->meters.min_gain);
                }
                for (size_t j = 0; j < n; j++) {
                    ASSERT_TRUE(std::isfinite(a[j]) && std::isfinite(b[j])) << cases[i].name << " at " << j;
                    ASSERT_LE(std::max(std::fabs(a[j]), std::fabs(b[j])), ceiling)
                        << cases[i].name << ", true peak " << tp << ", adaptive " << adaptive << " at " << j;
                }
                // 166 dB of reduction is the gain computer's own work, not a clip.
                if (i == 0) {
                    EXPECT_LT(min_gain, gain_of(-160.0)) << tp;
                }
            }
}

TEST(LimiterCeiling, NaNInputSampleDoesNotHideTheSamplesAroundItFromTheDetector) {
    // A NaN just before a short loud burst: the burst is still limited and the output stays
    // a number (the NaN leaves as silence).
    for (int tp = 0; tp < 2; tp++) {
        Lim l;
        l.set(0.0, 12.0, -1.0, tp == 1, true);
        std::vector<float> a = dsp_test::sine(997, 0.1, 48000, 4000);
        a[2000] = std::nanf("");
        for (size_t j = 2003; j < 2011; j++)
            a[j] = 1.0f;
        std::vector<float> b = a;
        l.run(a, b, 128);
        for (size_t j = 0; j < a.size(); j++) {
            ASSERT_TRUE(std::isfinite(a[j])) << j;
            ASSERT_LE(std::fabs(a[j]), gain_of(-1.0) * (1 + 1e-6)) << "true peak " << tp << " at " << j;
        }
    }
}

TEST(LimiterCeiling, MovingGainOrCeilingNeverLiftsTheOutputOverTheCeiling) {
    // Gain jumps up and down (automation, a preset) and ceiling moves, on a loud sine and on
    // music; in sample-peak mode every sample must stay at or under the smoothed ceiling.
    const auto &progs = programs();
    for (const auto &prog : progs) {
        for (double jump : {6.0, 12.0, 24.0}) {
            Lim l;
            l.set(0.0, 0.0, -0.3, false);
            std::vector<float> a = prog.l, b = prog.r;
            const double ceiling = gain_of(-0.3);
            float peak = 0;
            for (size_t i = 0; i < a.size(); i += 128) {
                const size_t k = i / 128;
                if (k % 40 == 10) l.set(0.0, jump, -0.3, false);
                if (k % 40 == 30) l.set(0.0, 0.0, -0.3, false);
                const uint32_t n = (uint32_t)std::min<size_t>(128, a.size() - i);
                limiter_process(l.get(), &a[i], &b[i], n);
                for (size_t j = i; j < i + n; j++)
                    peak = std::max({peak, std::fabs(a[j]), std::fabs(b[j])});
            }
            EXPECT_LE(peak, ceiling * (1 + 1e-6)) << prog.name << " jump " << jump;
        }
    }
}

TEST(LimiterCeiling, FirstSettingAfterConstructionAppliesAtOnce) {
    // A fresh limiter driven hard from its first sample: no glide from the construction
    // placeholders (0 dB threshold and output gain), so no overshoot at the start.
    for (const auto &prog : programs()) {
        Lim l;
        l.set(0.0, 18.0, -1.0, false);
        std::vector<float> a = prog.l, b = prog.r;
        l.run(a, b, 64);
        float peak = 0;
        for (size_t i = 0; i < a.size(); i++)
            peak = std::max({peak, std::fabs(a[i]), std::fabs(b[i])});
        EXPECT_LE(peak, gain_of(-1.0) * (1 + 1e-6)) << prog.name;
    }
}

TEST(LimiterMix, MixZeroIsExactlyTheDelayedDryInputAndMixBlends) {
    std::vector<float> l0, r0;
    dsp_test::music(48000, 0.5, 0.9, 0.0, l0, r0, 3);
    auto render = [&](double mix) {
        Lim l;
        l.set(6.0, 10.0, -2.0, true, true, 100, 1.0, mix);
        limiter_reset(l.get());
        std::vector<float> a = l0, b = r0;
        l.run(a, b, 97);
        return std::make_pair(a, b);
    };
    const auto dry = render(0.0);
    for (size_t i = 0; i < l0.size(); i++) {
        ASSERT_EQ(dry.first[i], i < 80 ? 0.0f : l0[i - 80]) << i;
        ASSERT_EQ(dry.second[i], i < 80 ? 0.0f : r0[i - 80]) << i;
    }
    const auto wet = render(1.0);
    const auto almost = render(0.99995);
    EXPECT_EQ(wet.first, almost.first); // at or above 0.9999 the wet path is used alone
    const auto half = render(0.5);
    for (size_t i = 80; i < l0.size(); i++)
        ASSERT_NEAR(half.first[i], 0.5 * wet.first[i] + 0.5 * l0[i - 80], 2e-7) << i;
}

// A DC input that stays below the threshold; the wet output is dc * output gain.
struct Monitor : ::testing::Test {
    Lim l;
    std::vector<float> a, b;
    const double dc = 0.3, wet = 0.3 * gain_of(-6.0);
    const double c = 1 - std::exp(-1.0 / 720);
    void SetUp() override {
        l.set(0.0, 0.0, -6.0);
        limiter_reset(l.get());
        a.assign(2000, (float)dc);
        b = a;
        l.run(a, b);
        ASSERT_NEAR(a.back(), wet, 1e-7);
    }
    // n samples of the DC, one per call; returns the left output.
    std::vector<float> step(size_t n) {
        std::vector<float> x(n, (float)dc), y(n, (float)dc);
        for (size_t i = 0; i < n; i++)
            limiter_process(l.get(), &x[i], &y[i], 1);
        return x;
    }
};

TEST_F(Monitor, BypassFadesAlongTheOnePoleThenGivesExactlyTheDelayedDryInput) {
    limiter_set_monitor(l.get(), true, false, false);
    const auto y = step(48000);
    for (size_t n = 0; n < 3000; n += 37) {
        const double f = 1 - std::pow(1 - c, (double)(n + 1));
        EXPECT_NEAR(y[n], wet + (dc - wet) * f, 1e-6) << n;
    }
    EXPECT_EQ(y.back(), (float)dc);
    EXPECT_EQ(l->meters.min_gain, 1.0f);
    // From a reset with bypass on, the output is the delayed dry input from the start.
    limiter_reset(l.get());
    std::vector<float> m, r;
    dsp_test::music(48000, 0.3, 0.9, 0.0, m, r);
    std::vector<float> x = m, z = r;
    l.set(6.0, 12.0, -3.0);
    l.run(x, z, 64);
    for (size_t i = 80; i < m.size(); i++)
        ASSERT_EQ(x[i], m[i - 80]) << i;
}

TEST_F(Monitor, DeltaWithoutReductionDecaysToSilence) {
    limiter_set_monitor(l.get(), false, true, false);
    const auto y = step(24000);
    EXPECT_NEAR(y[719], wet * std::exp(-1.0), wet * 1e-3); // 15 ms
    for (size_t n = 1; n < y.size(); n++)
        ASSERT_LE(std::fabs(y[n]), std::fabs(y[n - 1])) << n;
    EXPECT_LT(std::fabs(y.back()), 1e-9);
}

TEST_F(Monitor, DeltaWithReductionGivesWhatTheLimiterRemoved) {
    l.set(0.0, 12.0, -6.0, true, false); // threshold 0.25: the DC is reduced to 0.25
    step(20000);
    limiter_set_monitor(l.get(), false, true, false);
    const auto y = step(20000);
    const double out = gain_of(6.0); // ceiling - threshold
    const double g = gain_of(-12.0) / dc;
    EXPECT_NEAR(y.back(), dc * out * (1 - g), 1e-5);
}

TEST_F(Monitor, UnityGainApproachesTheDelayedInputTimesTheLimiterGain) {
    limiter_set_monitor(l.get(), false, false, true);
    // Below the threshold the output is the input itself, whatever the gains.
    l.set(-3.0, 2.0, -6.0, true, false);
    auto y = step(30000);
    EXPECT_NEAR(y.back(), dc, 1e-6);
    // With reduction: the input times the limiter gain.
    l.set(4.0, 8.0, -3.0, true, false); // 0.3 * 1.58 = 0.475 > threshold 0.398
    y = step(30000);
    const double g = gain_of(-8.0) / (dc * gain_of(4.0));
    EXPECT_NEAR(l->meters.min_gain, g, 1e-6);
    EXPECT_NEAR(y.back(), dc * g, 1e-5);
    EXPECT_NEAR(l->out_gain, 1.0 / gain_of(4.0), 1e-6);
    // Off again: the fade stops once below 0.0001, so out_gain settles within 1e-4 of the
    // output gain.
    limiter_set_monitor(l.get(), false, false, false);
    step(30000);
    EXPECT_LT(l->fade_unity, 0.0001);
    EXPECT_NEAR(l->out_gain, gain_of(-3.0 + 8.0), 2e-4);
}

TEST(LimiterStyles, ChangingTheStyleWhileLimitingDoesNotJumpTheGain) {
    Lim l;
    l.set(0.0, 6.0, 0.0, true, false);
    const size_t n = 6000;
    std::vector<float> x(n), y(n);
    for (size_t i = 0; i < n; i++)
        x[i] = y[i] = (float)(0.6 + 0.35 * std::sin(2 * PI * 3 * (double)i / 48000));
    std::vector<float> g;
    for (size_t i = 0; i < n; i++) {
        if (i == 3000) limiter_set_style(l.get(), 3);
        if (i == 4500) limiter_set_style(l.get(), 5);
        limiter_process(l.get(), &x[i], &y[i], 1);
        g.push_back(l->meters.min_gain);
    }
    ASSERT_LT(g[2999], 0.95f);
    float typical = 0;
    for (size_t i = 2000; i < 3000; i++)
        typical = std::max(typical, std::fabs(g[i] - g[i - 1]));
    for (size_t i : {3000, 3001, 4500, 4501})
        EXPECT_LE(std::fabs(g[i] - g[i - 1]), 2 * typical + 1e-7) << i;
    EXPECT_EQ(l->chan[0].len1 + l->chan[0].len2, 72);
}

TEST(LimiterLink, LinkActsOnlyWhenTheRequiredGainsDiffer) {
    std::vector<float> m, r;
    dsp_test::music(48000, 0.5, 0.9, 0.0, m, r, 5);
    auto render = [&](double link, const std::vector<float> &left, const std::vector<float> &right) {
        Lim l;
        l.set(0.0, 8.0, -1.0, true, true, 100, link);
        limiter_reset(l.get());
        std::vector<float> a = left, b = right;
        l.run(a, b);
        return std::make_pair(a, b);
    };
    // The same signal in both channels: identical outputs whatever the link.
    const auto l0 = render(0.0, m, m), l1 = render(1.0, m, m), lh = render(0.5, m, m);
    EXPECT_EQ(l0.first, l1.first);
    EXPECT_EQ(l0.second, l1.second);
    EXPECT_EQ(lh.first, l1.first);
    // A quiet right channel: untouched without link, reduced like the left with full link.
    std::vector<float> quiet(m.size());
    for (size_t i = 0; i < m.size(); i++)
        quiet[i] = m[i] * 0.1f;
    const auto u0 = render(0.0, m, quiet), u1 = render(1.0, m, quiet);
    const double out = gain_of(-1.0 + 8.0);
    double worst_free = 0, worst_linked = 0;
    for (size_t i = 80; i < m.size(); i++) {
        worst_free = std::max(worst_free, std::fabs(u0.second[i] - quiet[i - 80] * out));
        if (std::fabs(m[i - 80]) > 0.05)
            worst_linked = std::max(worst_linked,
                                    std::fabs(u1.second[i] / (quiet[i - 80] * out) - u1.first[i] / (m[i - 80] * out)));
    }
    EXPECT_LT(worst_free, 1e-6);
    EXPECT_LT(worst_linked, 1e-4);
    float min_ratio = 1;
    for (size_t i = 80; i < m.size(); i++)
        if (std::fabs(quiet[i - 80]) > 0.01)
            min_ratio = std::min(min_ratio, (float)(u1.second[i] / (quiet[i - 80] * out)));
    EXPECT_LT(min_ratio, 0.7f);
}

TEST(LimiterRelease, HoldKeepsTheReductionAfterTheLastNewPeak) {
    const int S = 100, peak_end = S + 7 + 72 - 2; // the ramp of a 200-sample burst ends here
    std::vector<float> g[2];
    int k = 0;
    for (int style : {5, 0}) {
        Lim l;
        limiter_set_style(l.get(), style);
        l.set(0.0, 6.0, 0.0, false, false);
        limiter_reset(l.get());
        std::vector<float> x(4000, 0.0f);
        for (int i = S; i < S + 200; i++)
            x[(size_t)i] = (float)(2 * gain_of(-6.0));
        std::vector<float> y = x;
        g[k++] = l.run_gains(x, y);
    }
    // Safe: 1440 samples of hold at 48 kHz.
    EXPECT_NEAR(g[0][peak_end], 0.5, 1e-6);
    EXPECT_NEAR(g[0][peak_end + 1439], 0.5, 1e-6);
    EXPECT_GT(g[0][peak_end + 1445], g[0][peak_end + 1439]);
    EXPECT_GT(g[0][peak_end + 2000], 0.52f);
    // Transparent (no hold) has released long before.
    EXPECT_GT(g[1][peak_end + 1400], 0.55f);
}

TEST(LimiterRelease, ReleaseTimeFollowsTheReleaseParameter) {
    for (double release : {50.0, 200.0}) {
        Lim l;
        l.set(0.0, 6.0, 0.0, false, false, release);
        std::vector<float> x(48000, 0.0f);
        for (int i = 0; i < 2000; i++)
            x[(size_t)i] = (float)(2 * gain_of(-6.0));
        std::vector<float> y = x;
        const auto g = l.run_gains(x, y);
        // After the window clears, the reduction decays with the release time constant.
        const size_t t0 = 2000 + 7 + 72 + 72;
        const double r0 = -dsp_test::db(g[t0]);
        const size_t tc = (size_t)(release * 48);
        const double r1 = -dsp_test::db(g[t0 + tc]);
        EXPECT_NEAR(r1 / r0, std::exp(-1.0), 0.01) << release;
    }
}

TEST(LimiterRelease, AdaptiveReleaseIsSlowerAfterLongLimitingThanAfterAShortPeak) {
    auto recovery = [](int burst) {
        Lim l;
        l.set(0.0, 6.0, 0.0, false, true, 50.0);
        std::vector<float> x((size_t)burst + 96000, 0.0f);
        for (int i = 0; i < burst; i++)
            x[(size_t)i] = (float)(2 * gain_of(-6.0) * (0.9 + 0.1 * std::sin(i * 0.01)));
        std::vector<float> y = x;
        const auto g = l.run_gains(x, y);
        size_t n = (size_t)burst + 160;
        while (n < g.size() && g[n] < gain_of(-0.5))
            n++;
        return (double)(n - (size_t)burst);
    };
    const double short_peak = recovery(480), long_run = recovery(96000);
    EXPECT_GT(long_run, 1.5 * short_peak) << short_peak << " vs " << long_run;
}

TEST(LimiterSmoothing, GainChangesMoveAlongA5msOnePole) {
    Lim l;
    l.set(0.0, 0.0, 0.0);
    limiter_reset(l.get());
    std::vector<float> a(1000, 0.1f), b = a;
    l.run(a, b);
    l.set(6.0, 0.0, 0.0); // input gain 1 -> 2 (still below the threshold of 1.0)
    std::vector<float> x(2000, 0.1f), y = x;
    l.run(x, y, 1);
    const double target = 0.1 * gain_of(6.0);
    // The output follows the smoothed input gain, delayed by the latency.
    const double c = 1 - std::exp(-1.0 / 240);
    for (size_t k : {0, 100, 239, 600}) {
        const double cur = 1 + (gain_of(6.0) - 1) * (1 - std::pow(1 - c, (double)(k + 1)));
        EXPECT_NEAR(x[80 + k], 0.1 * cur, 1e-6) << k;
    }
    EXPECT_EQ(x[79], 0.1f);
    EXPECT_NEAR(x.back(), target, target * std::exp(-1900.0 / 240));
}

TEST(LimiterMeters, MetersDescribeTheCall) {
    Lim l;
    l.set(3.0, 6.0, -1.0, false);
    limiter_reset(l.get());
    std::vector<float> m, r;
    dsp_test::music(48000, 0.2, 0.8, 0.0, m, r);
    std::vector<float> a = m, b = r;
    limiter_process(l.get(), a.data(), b.data(), 2000); // let the smoothers settle a little
    limiter_process(l.get(), &a[2000], &b[2000], 4000);
    const LimiterMeters &mt = l->meters;
    const double in = l->cur_in;
    float peak_in = 0, peak_l = 0, peak_r = 0, peak_out = 0;
    for (size_t i = 2000; i < 6000; i++) {
        peak_in = std::max({peak_in, std::fabs((float)(m[i] * in)), std::fabs((float)(r[i] * in))});
        peak_out = std::max({peak_out, std::fabs(a[i]), std::fabs(b[i])});
    }
    for (size_t i = 1993; i < 5993; i++) { // the sample-peak detector runs 7 samples late
        peak_l = std::max(peak_l, std::fabs((float)(m[i] * in)));
        peak_r = std::max(peak_r, std::fabs((float)(r[i] * in)));
    }
    EXPECT_NEAR(mt.peak_in, peak_in, 1e-6);
    EXPECT_NEAR(mt.det_l, peak_l, 1e-6);
    EXPECT_NEAR(mt.det_r, peak_r, 1e-6);
    EXPECT_EQ(mt.det_peak, std::max(mt.det_l, mt.det_r));
    EXPECT_EQ(mt.peak_out, peak_out);
    EXPECT_GE(mt.tp_out, mt.peak_out * 0.999f);
    EXPECT_EQ(mt.tp_out, std::max(mt.tp_l, mt.tp_r));
    EXPECT_LT(mt.min_gain, 1.0f);
    EXPECT_NEAR(l->out_gain, l->cur_out, 0);
    // True-peak detection reads at least the sample peak.
    l.set(3.0, 6.0, -1.0, true);
    limiter_process(l.get(), &a[6000], &b[6000], 3000);
    EXPECT_GE(l->meters.det_peak, l->meters.peak_in * 0.999f);
}

TEST(LimiterProcessing, OutputDoesNotDependOnTheBlockSize) {
    std::vector<float> m, r;
    dsp_test::music(48000, 0.6, 1.0, 0.1, m, r, 77);
    std::vector<float> ref_l, ref_r;
    for (uint32_t block : {1u, 5u, 63u, 64u, 65u, 256u, 1000u, 40000u}) {
        Lim l;
        l.set(2.0, 9.0, -0.5, true, true, 60, 0.8, 1.0);
        std::vector<float> a = m, b = r;
        size_t i = 0;
        int piece = 0;
        while (i < a.size()) {
            // Parameter changes at fixed sample positions, whatever the block size.
            if (i == 0 || (i / 7000 != (i - 1) / 7000)) {
                ++piece;
                l.set(2.0 + piece % 3, 9.0 - piece % 2, -0.5, piece % 4 != 1, piece % 3 != 2, 60 + 10 * piece, 0.8,
                      piece == 4 ? 0.7 : 1.0);
                limiter_set_style(l.get(), piece % 6);
                limiter_set_monitor(l.get(), piece == 2, piece == 3, piece == 5);
            }
            const size_t next = (i / 7000 + 1) * 7000;
            const uint32_t n = (uint32_t)std::min({(size_t)block, a.size() - i, next - i});
            limiter_process(l.get(), &a[i], &b[i], n);
            i += n;
        }
        if (ref_l.empty()) {
            ref_l = a;
            ref_r = b;
            continue;
        }
        for (size_t j = 0; j < a.size(); j++) {
            ASSERT_EQ(a[j], ref_l[j]) << "block " << block << " at " << j;
            ASSERT_EQ(b[j], ref_r[j]) << "block " << block << " at " << j;
        }
    }
}

TEST(LimiterProcessing, SeparateInputBuffersGiveTheSameOutputAndStayUntouched) {
    std::vector<float> m, r;
    dsp_test::music(48000, 0.3, 1.0, 0.0, m, r, 8);
    Lim a, b;
    a.set(1.0, 9.0, -1.0);
    b.set(1.0, 9.0, -1.0);
    std::vector<float> al = m, ar = r, bl(m.size()), br(m.size());
    for (size_t i = 0; i < m.size(); i += 300) {
        const uint32_t n = (uint32_t)std::min<size_t>(300, m.size() - i);
        limiter_process(a.get(), &al[i], &ar[i], n);
        limiter_process_into(b.get(), &m[i], &r[i], &bl[i], &br[i], n);
    }
    EXPECT_EQ(al, bl);
    EXPECT_EQ(ar, br);
    std::vector<float> m2, r2;
    dsp_test::music(48000, 0.3, 1.0, 0.0, m2, r2, 8);
    EXPECT_EQ(m, m2);
    EXPECT_EQ(r, r2);
}

TEST(LimiterProcessing, ResetGivesTheSameOutputAsAFreshLimiter) {
    std::vector<float> m, r;
    dsp_test::music(48000, 0.4, 0.9, 0.0, m, r);
    Lim l;
    l.set(1.0, 8.0, -1.0);
    limiter_reset(l.get());
    std::vector<float> a1 = m, b1 = r, a2 = m, b2 = r;
    l.run(a1, b1);
    limiter_reset(l.get());
    EXPECT_EQ(l->meters.min_gain, 1.0f);
    EXPECT_EQ(l->meters.tp_out, 0.0f);
    l.run(a2, b2);
    EXPECT_EQ(a1, a2);
    EXPECT_EQ(b1, b2);
}

TEST(LimiterProcessing, NonFiniteInputIsTakenAsSilenceOrTheEndOfTheF32Range) {
    // NaN as 0 and infinities as +-FLT_MAX, in whole vectors and in a block's last samples,
    // with and without input gain and true peak: the output is that of the mended input.
    std::vector<float> m, r;
    dsp_test::music(48000, 0.25, 0.9, 0.0, m, r);
    std::vector<float> mended_m = m, mended_r = r;
    const size_t at[4] = {1000, 3007, 5000 + 255, 7100};
    const float bad[4] = {std::nanf(""), INFINITY, -INFINITY, -std::nanf("")};
    for (int k = 0; k < 4; k++) {
        (k % 2 ? r : m)[at[k]] = bad[k];
        (k % 2 ? mended_r : mended_m)[at[k]] = std::isnan(bad[k]) ? 0.0f : bad[k] > 0 ? FLT_MAX : -FLT_MAX;
    }
    for (double input_db : {0.0, 3.0})
        for (int tp = 0; tp < 2; tp++) {
            Lim a, b;
            a.set(input_db, 6.0, -1.0, tp == 1);
            b.set(input_db, 6.0, -1.0, tp == 1);
            std::vector<float> al = m, ar = r, bl = mended_m, br = mended_r;
            a.run(al, ar);
            b.run(bl, br);
            for (size_t i = 0; i < al.size(); i++) {
                ASSERT_EQ(al[i], bl[i]) << "input " << input_db << " dB, true peak " << tp << " at " << i;
                ASSERT_EQ(ar[i], br[i]) << "input " << input_db << " dB, true peak " << tp << " at " << i;
            }
        }
}

TEST(LimiterProcessing, NonFiniteInputOrArgumentsDoNotStopTheLimiter) {
    Lim l;
    l.set(0.0, 6.0, -1.0);
    std::vector<float> m, r;
    dsp_test::music(48000, 0.5, 0.9, 0.0, m, r);
    m[5000] = std::nanf("");
    r[6000] = INFINITY;
    std::vector<float> a = m, b = r;
    l.run(a, b);
    const double ceiling = gain_of(-1.0);
    for (size_t i = 6000 + 80 + 40; i < a.size(); i++) {
        ASSERT_TRUE(std::isfinite(a[i]) && std::isfinite(b[i])) << i;
        ASSERT_LE(std::fabs(a[i]), ceiling * 1.02) << i;
    }
    // Arguments that are not numbers keep the previous values.
    const double in = l->tgt_in, thr = l->tgt_thr, out = l->tgt_out, rel = l->release_ms;
    limiter_set(l.get(), true, true, std::nan(""), INFINITY, 0.0, std::nan(""), std::nan(""), std::nan(""));
    EXPECT_EQ(l->tgt_in, in);
    EXPECT_EQ(l->tgt_thr, thr);
    EXPECT_EQ(l->tgt_out, out);
    EXPECT_EQ(l->release_ms, rel);
    EXPECT_EQ(l->link, 0.0);
    EXPECT_EQ(l->tgt_mix, 0.0);
    limiter_set(l.get(), true, true, 1e6, -1e6, 1e6, 100, 5.0, -2.0);
    EXPECT_TRUE(std::isfinite(l->tgt_in) && std::isfinite(l->tgt_thr) && std::isfinite(l->tgt_out));
    EXPECT_EQ(l->link, 1.0);
    EXPECT_EQ(l->tgt_mix, 0.0);
}

// ---- The per-sample definition, written out plainly, as a model of the chunked kernel ----

struct Model {
    struct Chan {
        std::vector<float> vals, box1, box2;
        std::vector<uint32_t> wp;
        uint32_t mask = 0, window = 0, head = 0, tail = 0;
        uint64_t pos = 0;
        int len1 = 0, pos1 = 0, len2 = 0, pos2 = 0;
        double sum1 = 0, sum2 = 0, es = 0, ef = 0, eh = 0;
        int hl = 0;
        TpDetector det{};
        Os4 out{};
    } ch[2];
    std::vector<float> wet[2], dry[2];
    int dp = 0, la = 0;
    double cur_in = 1, cur_thr = 1, cur_out = 1, cur_mix = 1, cur_ceil = 1, fb = 0, fd = 0, fu = 0;
    double attack = -1;
    // Thresholds each sample was detected with, read back lookahead + 1 samples later.
    std::vector<double> thr_ring;
    size_t thr_pos = 0;
    bool started = false;
    LimiterMeters meters{};

    explicit Model(const Limiter *lim) {
        la = lim->lookahead;
        for (int c = 0; c < 2; c++) {
            wet[c].assign((size_t)lim->delay_len, 0.0f);
            dry[c].assign((size_t)lim->delay_len, 0.0f);
            Chan &h = ch[c];
            h.vals.assign((size_t)lim->chan[c].cap, 0.0f);
            h.wp.assign((size_t)lim->chan[c].cap, 0);
            h.mask = (uint32_t)lim->chan[c].mask;
            h.window = (uint32_t)lim->chan[c].window;
            h.box1.assign((size_t)la, 1.0f);
            h.box2.assign((size_t)la, 1.0f);
            h.len1 = h.len2 = la;
            h.sum1 = h.sum2 = la;
            tpdet_reset(&h.det);
            os4_reset(&h.out);
        }
        cur_in = lim->cur_in;
        cur_thr = lim->cur_thr;
        cur_out = lim->cur_out;
        cur_mix = lim->cur_mix;
        fb = lim->fade_bypass;
        fd = lim->fade_delta;
        fu = lim->fade_unity;
    }
    static void resize(std::vector<float> &box, int &len, int &pos, double &sum, int n) {
        if (n == len) return;
        const float v = (float)(sum / len);
        for (int i = 0; i < n; i++)
            box[(size_t)i] = v;
        pos = 0;
        sum = (double)v * n;
        len = n;
    }
    void follow_style(const Limiter *lim) {
        if (lim->style_attack == attack) return;
        attack = lim->style_attack;
        int a = (int)std::trunc(la * attack + 0.5);
        a = std::min(std::max(a, 2), la);
        for (Chan &h : ch) {
            resize(h.box1, h.len1, h.pos1, h.sum1, std::max(a / 2, 1));
            resize(h.box2, h.len2, h.pos2, h.sum2, std::max(a - a / 2, 1));
        }
    }
    float push(Chan &h, float g) {
        h.vals[h.pos & h.mask] = g;
        while (h.tail != h.head && h.vals[h.wp[(h.tail - 1) & h.mask]] >= g)
            h.tail--;
        h.wp[h.tail & h.mask] = (uint32_t)(h.pos & h.mask);
        h.tail++;
        if (h.wp[h.head & h.mask] == ((h.pos - h.window) & h.mask)) h.head++;
        h.pos++;
        return h.vals[h.wp[h.head & h.mask]];
    }
    void process(const Limiter *lim, float *left, float *right, uint32_t n) {
        follow_style(lim);
        if (!started) { // the first setting applies at once, as the limiter's does
            cur_in = lim->cur_in;
            cur_thr = lim->cur_thr;
            cur_mix = lim->cur_mix;
            cur_ceil = lim->cur_ceil;
            thr_ring.assign((size_t)la + 1, cur_thr);
            started = true;
        }
        meters = LimiterMeters{1.0f, 0, 0, 0, 0, 0, 0, 0, 0};
        double min_gain = 1;
        const double link = lim->link;
        const bool running = lim->bypass || lim->delta || lim->unity || fb > 0.0001 || fd > 0.0001 || fu > 0.0001;
        const double sc = lim->smooth_coef, fc = lim->fade_coef;
        for (uint32_t i = 0; i < n; i++) {
            cur_in += (lim->tgt_in - cur_in) * sc;
            cur_thr += (lim->tgt_thr - cur_thr) * sc;
            const double thr_d = thr_ring[thr_pos];
            thr_ring[thr_pos] = cur_thr;
            thr_pos = (thr_pos + 1) % thr_ring.size();
            cur_ceil += (lim->tgt_ceil - cur_ceil) * sc;
            cur_out = cur_ceil / thr_d;
            cur_mix += (lim->tgt_mix - cur_mix) * sc;
            const float L = left[i], R = right[i];
            const float w[2] = {(float)(L * cur_in), (float)(R * cur_in)};
            meters.peak_in = std::max({meters.peak_in, std::fabs(w[0]), std::fabs(w[1])});
            // The detector has its own tests (dsp_truepeak_test.cpp); here it runs a sample at a
            // time. Without true peak it is the input 7 samples late.
            float d[2];
            for (int c = 0; c < 2; c++)
                tpdet_block(&ch[c].det, &w[c], 1, &d[c], lim->true_peak, &cur_thr);
            meters.det_l = std::max(meters.det_l, d[0]);
            meters.det_r = std::max(meters.det_r, d[1]);
            double g[2];
            for (int c = 0; c < 2; c++)
                g[c] = d[c] > cur_thr ? cur_thr / d[c] : 1.0;
            const double m = std::min(g[0], g[1]);
            for (double &gc : g)
                gc = gc + link * (m - gc);
            double gain[2];
            for (int c = 0; c < 2; c++) {
                Chan &h = ch[c];
                const float mn = push(h, (float)g[c]);
                h.sum1 += (double)mn - (double)h.box1[(size_t)h.pos1];
                h.box1[(size_t)h.pos1] = mn;
                h.pos1 = h.pos1 + 1 == h.len1 ? 0 : h.pos1 + 1;
                const float a1 = (float)(h.sum1 / h.len1);
                h.sum2 += (double)a1 - (double)h.box2[(size_t)h.pos2];
                h.box2[(size_t)h.pos2] = a1;
                h.pos2 = h.pos2 + 1 == h.len2 ? 0 : h.pos2 + 1;
                const float a2 = (float)(h.sum2 / h.len2);
                const double gr = a2 >= 1 ? 0.0 : -20 * std::log10(std::max((double)a2, 0.000001));
                double res;
                if (lim->adaptive) {
                    h.es += (gr - h.es) * (gr > h.es ? lim->att_slow : lim->rel_slow);
                    const double over = std::max(0.0, gr - h.es);
                    if (over > h.ef) {
                        h.ef = over;
                        h.hl = lim->hold;
                    } else if (h.hl < 1) {
                        h.ef += (over - h.ef) * lim->rel_fast;
                    } else {
                        h.hl -= 1;
                    }
                    res = std::max(gr, h.es + h.ef);
                } else if (gr > h.eh) {
                    h.eh = gr;
                    h.hl = lim->hold;
                    res = gr;
                } else {
                    if (h.hl < 1)
                        h.eh += (gr - h.eh) * lim->rel_fast;
                    else
                        h.hl -= 1;
                    res = std::max(gr, h.eh);
                }
                gain[c] = std::exp(-res * 0.11512925464970229);
            }
            const double dwl = wet[0][(size_t)dp], dwr = wet[1][(size_t)dp], ddl = dry[0][(size_t)dp],
                         ddr = dry[1][(size_t)dp];
            wet[0][(size_t)dp] = w[0];
            wet[1][(size_t)dp] = w[1];
            dry[0][(size_t)dp] = L;
            dry[1][(size_t)dp] = R;
            dp = dp + 1 == (int)wet[0].size() ? 0 : dp + 1;
            // The wet output never passes the (smoothed) ceiling.
            double yl = std::clamp(gain[0] * dwl * cur_out, -cur_ceil, cur_ceil);
            double yr = std::clamp(gain[1] * dwr * cur_out, -cur_ceil, cur_ceil);
            double sg = std::min(gain[0], gain[1]);
            if (cur_mix < 0.9999) {
                yl = (yl - ddl) * cur_mix + ddl;
                yr = (yr - ddr) * cur_mix + ddr;
                sg = (sg - 1) * cur_mix + 1;
            }
            if (running) {
                fb += ((lim->bypass ? 1.0 : 0.0) - fb) * fc;
                fd += ((lim->delta ? 1.0 : 0.0) - fd) * fc;
                fu += ((lim->unity ? 1.0 : 0.0) - fu) * fc;
                if (fd > 0.0001) {
                    yl += fd * ((dwl * cur_out - gain[0] * dwl * cur_out) - yl);
                    yr += fd * ((dwr * cur_out - gain[1] * dwr * cur_out) - yr);
                }
                if (fu > 0.0001) {
                    const double k = 1 + fu * (1 / (cur_out * cur_in) - 1);
                    yl *= k;
                    yr *= k;
                }
                if (fb > 0.0001) {
                    yl += (ddl - yl) * fb;
                    yr += (ddr - yr) * fb;
                    sg += fb * (1 - sg);
                }
            }
            left[i] = (float)yl;
            right[i] = (float)yr;
            meters.peak_out = std::max({meters.peak_out, std::fabs(left[i]), std::fabs(right[i])});
            meters.tp_l = std::max(meters.tp_l, os4_peak(&ch[0].out, left[i]));
            meters.tp_r = std::max(meters.tp_r, os4_peak(&ch[1].out, right[i]));
            min_gain = std::min(min_gain, sg);
        }
        meters.min_gain = (float)min_gain;
    }
};

TEST(LimiterProcessing, FollowsTheSampleBySampleDefinition) {
    std::vector<float> m, r;
    dsp_test::music(48000, 1.2, 1.2, 0.15, m, r, 123);
    Lim l;
    Model model(l.get());
    std::vector<float> a = m, b = r, ma = m, mb = r;
    dsp_test::Noise pick(9);
    size_t i = 0;
    int piece = 0;
    double worst = 0, worst_gain = 0;
    while (i < a.size()) {
        const uint32_t n = (uint32_t)std::min<size_t>(a.size() - i, 1 + (size_t)((pick.next() + 1) * 300));
        if (piece % 7 == 0) {
            const int s = piece / 7;
            l.set(s % 3 - 1.0, 4.0 + 3 * (s % 4), -0.1 - s % 2, s % 5 != 3, s % 4 != 1, 20.0 + 40 * (s % 3),
                  s % 3 * 0.5, s % 6 == 4 ? 0.4 : 1.0);
            limiter_set_style(l.get(), s % 6);
            limiter_set_monitor(l.get(), s % 9 == 5, s % 9 == 7, s % 9 == 8);
        }
        limiter_process(l.get(), &a[i], &b[i], n);
        model.process(l.get(), &ma[i], &mb[i], n);
        for (size_t j = i; j < i + n; j++) {
            worst = std::max({worst, (double)std::fabs(a[j] - ma[j]), (double)std::fabs(b[j] - mb[j])});
        }
        worst_gain = std::max(worst_gain, (double)std::fabs(l->meters.min_gain - model.meters.min_gain));
        EXPECT_EQ(l->meters.peak_in, model.meters.peak_in) << piece;
        EXPECT_EQ(l->meters.det_l, model.meters.det_l) << piece;
        EXPECT_EQ(l->meters.det_r, model.meters.det_r) << piece;
        EXPECT_NEAR(l->meters.peak_out, model.meters.peak_out, 1e-6) << piece;
        EXPECT_NEAR(l->meters.tp_l, model.meters.tp_l, 1e-6) << piece;
        EXPECT_NEAR(l->meters.tp_r, model.meters.tp_r, 1e-6) << piece;
        i += n;
        piece++;
        // The output meter keeps the last 15 outputs in both copies of its mirrored ring.
        const Os4 &o = l->chan[0].out;
        for (uint32_t k = 1; k <= 15 && k <= i; k++) {
            const uint32_t at = (o.count - k) & 31;
            ASSERT_EQ(o.hist[at], a[i - k]) << piece;
            ASSERT_EQ(o.hist[at + 32], a[i - k]) << piece;
        }
    }
    // The kernel evaluates log10 and exp with its own two-lane routines (within about one
    // unit in the last place of libm's); the outputs agree to the last bits of an f32.
    EXPECT_LT(worst, 5e-7);
    EXPECT_LT(worst_gain, 1e-6);
    EXPECT_EQ(l->cur_in, model.cur_in);
    EXPECT_EQ(l->cur_out, model.cur_out);
    EXPECT_EQ(l->fade_bypass, model.fb);
    EXPECT_EQ(l->chan[0].pos, model.ch[0].pos);
    EXPECT_EQ(l->chan[1].head, model.ch[1].head);
    EXPECT_EQ(l->chan[1].tail, model.ch[1].tail);
    EXPECT_EQ(l->chan[0].sum1, model.ch[0].sum1);
    EXPECT_EQ(l->chan[1].sum2, model.ch[1].sum2);
    EXPECT_EQ(l->chan[0].hold_left, model.ch[0].hl);
}

TEST(LimiterProcessing, PortableKernelsFollowTheDefinitionToo) {
    // The SSE2 kernels, which run where the processor lacks AVX2, through styles, link, both
    // detection modes and mix.
    tpdet_global_init();
    const int32_t avx2 = g_tp_avx2, avx512 = g_tp_avx512;
    g_tp_avx2 = g_tp_avx512 = 0;
    std::vector<float> m, r;
    dsp_test::music(48000, 0.8, 1.2, 0.1, m, r, 31);
    Lim l;
    Model model(l.get());
    std::vector<float> a = m, b = r, ma = m, mb = r;
    double worst = 0;
    size_t i = 0;
    for (int piece = 0; i < a.size(); piece++) {
        const uint32_t n = (uint32_t)std::min<size_t>(a.size() - i, 61 + 97 * (piece % 6));
        if (piece % 5 == 0) {
            const int s = piece / 5;
            l.set(0.0, 6.0 + 2 * (s % 4), -0.5, s % 2 == 0, s % 3 != 2, 50.0, s % 3 * 0.5, s % 4 == 3 ? 0.6 : 1.0);
            limiter_set_style(l.get(), s % 6);
        }
        limiter_process(l.get(), &a[i], &b[i], n);
        model.process(l.get(), &ma[i], &mb[i], n);
        for (size_t j = i; j < i + n; j++)
            worst = std::max({worst, (double)std::fabs(a[j] - ma[j]), (double)std::fabs(b[j] - mb[j])});
        EXPECT_NEAR(l->meters.tp_l, model.meters.tp_l, 1e-6) << piece;
        i += n;
    }
    g_tp_avx2 = avx2;
    g_tp_avx512 = avx512;
    EXPECT_LT(worst, 5e-7);
    EXPECT_EQ(l->chan[1].head, model.ch[1].head);
    EXPECT_EQ(l->chan[0].sum2, model.ch[0].sum2);
}

TEST(LimiterProcessing, ShortestLookaheadFollowsTheDefinitionInLongBlocks) {
    // A window of 4 values in a ring of 8, far shorter than the blocks: through silence (where
    // the window only takes ones) and limiting alike, the output is the model's.
    std::vector<float> m, r;
    dsp_test::music(48000, 1.0, 1.2, 0.2, m, r, 77);
    Lim l(48000, 0.0625);
    Model model(l.get());
    l.set(0.0, 8.0, -1.0, true, true, 40.0, 0.5);
    std::vector<float> a = m, b = r, ma = m, mb = r;
    double worst = 0;
    size_t i = 0;
    for (int piece = 0; i < a.size(); piece++) {
        const uint32_t n = (uint32_t)std::min<size_t>(a.size() - i, piece % 3 ? 512 : 301);
        limiter_process(l.get(), &a[i], &b[i], n);
        model.process(l.get(), &ma[i], &mb[i], n);
        for (size_t j = i; j < i + n; j++)
            worst = std::max({worst, (double)std::fabs(a[j] - ma[j]), (double)std::fabs(b[j] - mb[j])});
        i += n;
    }
    EXPECT_LT(worst, 5e-7);
    for (int c = 0; c < 2; c++) {
        EXPECT_EQ(l->chan[c].pos, model.ch[c].pos) << c;
        EXPECT_EQ(l->chan[c].head, model.ch[c].head) << c;
        EXPECT_EQ(l->chan[c].tail, model.ch[c].tail) << c;
    }
}

TEST(LimiterProcessing, LinkedChannelsFollowTheDefinitionBeforeAndAfterTheyPart) {
    // Full link: both channels need the same gains, and the limiter computes them once; then
    // the link drops and the channels part. Both stretches follow the model, in every style.
    std::vector<float> m, r;
    dsp_test::music(48000, 1.0, 1.2, 0.1, m, r, 45);
    Lim l;
    Model model(l.get());
    std::vector<float> a = m, b = r, ma = m, mb = r;
    double worst = 0;
    size_t i = 0;
    for (int piece = 0; i < a.size(); piece++) {
        const uint32_t n = (uint32_t)std::min<size_t>(a.size() - i, 97 + 31 * (piece % 5));
        if (piece % 20 == 0) {
            const int s = piece / 20;
            l.set(0.0, 9.0, -1.0, s % 2 == 0, s != 3, 80.0, i < a.size() * 2 / 3 ? 1.0 : 0.5);
            limiter_set_style(l.get(), s % 6);
        }
        limiter_process(l.get(), &a[i], &b[i], n);
        model.process(l.get(), &ma[i], &mb[i], n);
        for (size_t j = i; j < i + n; j++)
            worst = std::max({worst, (double)std::fabs(a[j] - ma[j]), (double)std::fabs(b[j] - mb[j])});
        EXPECT_NEAR(l->meters.min_gain, model.meters.min_gain, 1e-6) << piece;
        EXPECT_EQ(l->meters.det_l, model.meters.det_l) << piece;
        i += n;
    }
    EXPECT_LT(worst, 5e-7);
    for (int c = 0; c < 2; c++) {
        EXPECT_EQ(l->chan[c].pos, model.ch[c].pos) << c;
        EXPECT_EQ(l->chan[c].head, model.ch[c].head) << c;
        EXPECT_EQ(l->chan[c].tail, model.ch[c].tail) << c;
        EXPECT_EQ(l->chan[c].sum1, model.ch[c].sum1) << c;
        EXPECT_EQ(l->chan[c].sum2, model.ch[c].sum2) << c;
        EXPECT_EQ(l->chan[c].hold_left, model.ch[c].hl) << c;
    }
}

} // namespace
