// The BS.1770 loudness meter against libebur128 (momentary, short-term, integrated) on
// sines, noise and music with silence, plus its reference levels, timing and gating edges.
#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "dsp/loudness.h"
#include "tests/dsp_signals.h"

namespace {

using dsp_test::PI;

struct Ebur {
    ebur128_state *st;
    Ebur(double rate) : st(ebur128_init(2, (unsigned long)rate, EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I)) {}
    ~Ebur() { ebur128_destroy(&st); }
    void add(const float *l, const float *r, size_t n) {
        std::vector<float> inter(2 * n);
        for (size_t i = 0; i < n; i++) {
            inter[2 * i] = l[i];
            inter[2 * i + 1] = r[i];
        }
        ebur128_add_frames_float(st, inter.data(), n);
    }
    double momentary() {
        double v;
        ebur128_loudness_momentary(st, &v);
        return v;
    }
    double shortterm() {
        double v;
        ebur128_loudness_shortterm(st, &v);
        return v;
    }
    double integrated() {
        double v;
        ebur128_loudness_global(st, &v);
        return v;
    }
};

// Feeds both meters 100 ms at a time and compares momentary (from 400 ms on), short-term
// (from 3 s on) and, at the end, integrated loudness.
void compare_with_libebur128(const std::vector<float> &l, const std::vector<float> &r, double rate, const char *what) {
    static Loudness m;
    loudness_init(&m, rate);
    Ebur ref(rate);
    const size_t hop = (size_t)m.hop;
    size_t blocks = 0;
    for (size_t i = 0; i + hop <= l.size(); i += hop) {
        loudness_process(&m, &l[i], &r[i], (uint32_t)hop);
        ref.add(&l[i], &r[i], hop);
        blocks++;
        const double rm = ref.momentary(), rs = ref.shortterm();
        if (blocks >= 4) {
            if (rm > -70.0) {
                EXPECT_NEAR(m.lufs_m, rm, 0.1) << what << ": momentary after block " << blocks;
            } else {
                EXPECT_TRUE(m.lufs_m == -100.0 || m.lufs_m < -69.0) << what << ": momentary after block " << blocks;
            }
        }
        if (blocks >= 30) {
            if (rs > -70.0) {
                EXPECT_NEAR(m.lufs_s, rs, 0.1) << what << ": short-term after block " << blocks;
            } else {
                EXPECT_TRUE(m.lufs_s == -100.0 || m.lufs_s < -69.0) << what << ": short-term after block " << blocks;
            }
        }
    }
    const double ri = ref.integrated();
    if (std::isfinite(ri) && ri > -70.0) {
        EXPECT_NEAR(m.lufs_i, ri, 0.1) << what << ": integrated";
    } else {
        EXPECT_EQ(m.lufs_i, -100.0) << what << ": integrated";
    }
}

TEST(LoudnessMeter, SinesMatchLibebur128AtSeveralFrequenciesAndLevels) {
    const double freqs[] = {60.0, 997.0, 3000.0, 12000.0};
    const double levels_db[] = {0.0, -12.0, -40.0};
    for (double f : freqs)
        for (double lv : levels_db) {
            const double a = std::pow(10.0, lv / 20.0);
            const auto l = dsp_test::sine(f, a, 48000, 48000 * 4);
            const auto r = dsp_test::sine(f, a * 0.5, 48000, 48000 * 4, 0.3);
            char what[64];
            std::snprintf(what, sizeof what, "%g Hz at %g dB", f, lv);
            compare_with_libebur128(l, r, 48000, what);
        }
}

TEST(LoudnessMeter, NoiseAndMusicWithSilenceMatchLibebur128) {
    const auto l = dsp_test::pink(0.5, 48000 * 5, 11);
    const auto r = dsp_test::pink(0.3, 48000 * 5, 12);
    compare_with_libebur128(l, r, 48000, "pink noise");

    std::vector<float> ml, mr;
    dsp_test::music(48000, 12.0, 0.7, 1.5, ml, mr);
    compare_with_libebur128(ml, mr, 48000, "music with silence");
}

TEST(LoudnessMeter, RelativeGateMatchesLibebur128OnLoudAndQuietPassages) {
    // 4 s loud, 4 s 25 dB quieter (below the relative gate), 4 s loud again.
    std::vector<float> l, r, ql, qr;
    dsp_test::music(48000, 4.0, 0.8, 0.0, l, r, 21);
    dsp_test::music(48000, 4.0, 0.8 * std::pow(10.0, -25.0 / 20), 0.0, ql, qr, 22);
    std::vector<float> L = l, R = r;
    L.insert(L.end(), ql.begin(), ql.end());
    R.insert(R.end(), qr.begin(), qr.end());
    L.insert(L.end(), l.begin(), l.end());
    R.insert(R.end(), r.begin(), r.end());
    compare_with_libebur128(L, R, 48000, "loud / quiet / loud");
}

TEST(LoudnessMeter, OtherSampleRatesMatchLibebur128AndUseTheirHop) {
    static Loudness m;
    loudness_init(&m, 48000);
    EXPECT_EQ(m.hop, 4800);
    loudness_init(&m, 44100);
    EXPECT_EQ(m.hop, 4410);
    loudness_init(&m, 8000);
    EXPECT_EQ(m.hop, 800);
    loudness_init(&m, 96000);
    EXPECT_EQ(m.hop, 9600);

    std::vector<float> l, r;
    dsp_test::music(44100, 5.0, 0.6, 0.3, l, r, 5);
    compare_with_libebur128(l, r, 44100, "music at 44.1 kHz");
    const auto s8l = dsp_test::sine(440, 0.5, 8000, 8000 * 4);
    const auto s8r = dsp_test::sine(1000, 0.25, 8000, 8000 * 4);
    compare_with_libebur128(s8l, s8r, 8000, "sines at 8 kHz");
}

TEST(LoudnessMeter, FullScale997HzReadsZeroLufsInBothChannelsAndMinus3InOne) {
    static Loudness m;
    loudness_init(&m, 48000);
    const auto s = dsp_test::sine(997, 1.0, 48000, 48000);
    const std::vector<float> silent(s.size(), 0.0f);
    loudness_process(&m, s.data(), s.data(), (uint32_t)s.size());
    EXPECT_NEAR(m.lufs_m, 0.0, 0.005);
    EXPECT_NEAR(m.lufs_i, 0.0, 0.005);
    loudness_init(&m, 48000);
    loudness_process(&m, s.data(), silent.data(), (uint32_t)s.size());
    EXPECT_NEAR(m.lufs_m, -3.01, 0.005);
}

TEST(LoudnessMeter, MomentaryWaitsFor400msWhileShortTermAveragesWhatItHas) {
    static Loudness m;
    loudness_init(&m, 48000);
    EXPECT_EQ(m.lufs_m, -100.0);
    EXPECT_EQ(m.lufs_s, -100.0);
    EXPECT_EQ(m.lufs_i, -100.0);
    const auto s = dsp_test::sine(997, 0.5, 48000, 4800 * 5);
    // Part of a block: nothing yet.
    loudness_process(&m, s.data(), s.data(), 4799);
    EXPECT_EQ(m.lufs_s, -100.0);
    loudness_process(&m, &s[4799], &s[4799], 1);
    EXPECT_EQ(m.lufs_m, -100.0);
    EXPECT_NEAR(m.lufs_s, 20 * std::log10(0.5), 0.05);
    for (int b = 1; b < 3; b++) {
        loudness_process(&m, &s[4800 * (size_t)b], &s[4800 * (size_t)b], 4800);
        EXPECT_EQ(m.lufs_m, -100.0) << "after block " << b + 1;
        EXPECT_EQ(m.lufs_i, -100.0);
        EXPECT_NEAR(m.lufs_s, 20 * std::log10(0.5), 0.05);
    }
    loudness_process(&m, &s[4800 * 3], &s[4800 * 3], 4800);
    EXPECT_NEAR(m.lufs_m, 20 * std::log10(0.5), 0.05);
    EXPECT_NEAR(m.lufs_i, m.lufs_m, 1e-9);
}

TEST(LoudnessMeter, SilenceAfterMusicKeepsIntegratedAndClearsTheWindows) {
    static Loudness m;
    loudness_init(&m, 48000);
    std::vector<float> l, r;
    dsp_test::music(48000, 4.0, 0.7, 0.0, l, r);
    loudness_process(&m, l.data(), r.data(), (uint32_t)l.size());
    ASSERT_GT(m.lufs_i, -30.0);
    // The first windows after the music still hold its end (and the filters' ring-out).
    const std::vector<float> silence(4800, 0.0f);
    for (int b = 0; b < 5; b++)
        loudness_process(&m, silence.data(), silence.data(), 4800);
    const double integrated = m.lufs_i;
    EXPECT_EQ(m.lufs_m, -100.0);
    EXPECT_GT(m.lufs_s, -30.0);
    for (int b = 0; b < 40; b++) {
        loudness_process(&m, silence.data(), silence.data(), 4800);
        EXPECT_EQ(m.lufs_i, integrated) << "after " << b + 6 << " silent blocks";
        EXPECT_EQ(m.lufs_m, -100.0);
    }
    EXPECT_EQ(m.lufs_s, -100.0);
}

TEST(LoudnessMeter, ResetClearsEverythingAndTheFirstBlockSetsShortTermOnly) {
    static Loudness m;
    loudness_init(&m, 48000);
    const auto s = dsp_test::sine(500, 0.5, 48000, 48000);
    loudness_process(&m, s.data(), s.data(), 48000);
    ASSERT_GT(m.lufs_i, -20.0);
    loudness_reset(&m);
    EXPECT_EQ(m.lufs_m, -100.0);
    EXPECT_EQ(m.lufs_s, -100.0);
    EXPECT_EQ(m.lufs_i, -100.0);
    loudness_process(&m, s.data(), s.data(), 4800);
    EXPECT_EQ(m.lufs_m, -100.0);
    EXPECT_EQ(m.lufs_i, -100.0);
    EXPECT_GT(m.lufs_s, -20.0);
}

TEST(LoudnessMeter, AbsoluteGateAndHistogramEnds) {
    static Loudness m;
    // A sine at about -75 LUFS is never counted.
    loudness_init(&m, 48000);
    const auto quiet = dsp_test::sine(997, std::pow(10.0, -75.0 / 20), 48000, 48000 * 2);
    loudness_process(&m, quiet.data(), quiet.data(), (uint32_t)quiet.size());
    EXPECT_NEAR(m.lufs_m, -75.0, 0.1);
    EXPECT_EQ(m.lufs_i, -100.0);
    for (uint32_t c : m.gate_count)
        EXPECT_EQ(c, 0u);
    // Just above the gate: bin 0 or its neighbours.
    loudness_init(&m, 48000);
    const auto low = dsp_test::sine(997, std::pow(10.0, -69.95 / 20), 48000, 48000);
    loudness_process(&m, low.data(), low.data(), (uint32_t)low.size());
    EXPECT_NEAR(m.lufs_m, -69.95, 0.01);
    EXPECT_GT(m.gate_count[0], 0u);
    EXPECT_NEAR(m.lufs_i, -69.95, 0.01);
    // Louder than +5 LUFS: everything lands in the last bin.
    loudness_init(&m, 48000);
    const auto loud = dsp_test::sine(997, 4.0, 48000, 48000);
    loudness_process(&m, loud.data(), loud.data(), (uint32_t)loud.size());
    EXPECT_NEAR(m.lufs_m, 20 * std::log10(4.0), 0.02);
    EXPECT_EQ(m.gate_count[749], 7u);
    EXPECT_NEAR(m.lufs_i, m.lufs_m, 0.01);
}

TEST(LoudnessMeter, NonFiniteSampleDoesNotStopTheMeter) {
    static Loudness m;
    loudness_init(&m, 48000);
    auto s = dsp_test::sine(997, 0.5, 48000, 48000 * 2);
    s[1000] = std::nanf("");
    s[2000] = INFINITY;
    loudness_process(&m, s.data(), s.data(), (uint32_t)s.size());
    EXPECT_TRUE(std::isfinite(m.lufs_m));
    EXPECT_NEAR(m.lufs_m, 20 * std::log10(0.5), 0.05);
    EXPECT_NEAR(m.lufs_s, 20 * std::log10(0.5), 0.5);
    EXPECT_TRUE(std::isfinite(m.lufs_i));
}

TEST(LoudnessMeter, ResultDoesNotDependOnHowTheInputIsSplit) {
    std::vector<float> l, r;
    dsp_test::music(48000, 3.0, 0.7, 0.2, l, r, 9);
    static Loudness a, b;
    loudness_init(&a, 48000);
    loudness_init(&b, 48000);
    loudness_process(&a, l.data(), r.data(), (uint32_t)l.size());
    size_t i = 0, step = 1;
    while (i < l.size()) {
        const size_t n = std::min(step, l.size() - i);
        loudness_process(&b, &l[i], &r[i], (uint32_t)n);
        i += n;
        step = step * 3 % 1999 + 1;
    }
    EXPECT_EQ(a.lufs_m, b.lufs_m);
    EXPECT_EQ(a.lufs_s, b.lufs_s);
    EXPECT_EQ(a.lufs_i, b.lufs_i);
    EXPECT_EQ(a.hop_count, b.hop_count);
}

} // namespace
