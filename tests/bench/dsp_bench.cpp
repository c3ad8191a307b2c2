// Benchmark of the signal-processing engine: cost per 512-frame block, per frame and multiple
// of real time at 48 kHz stereo for the limiter (true peak on and off), the loudness meter
// and dither (the limiter reads the program in place and writes the blocks: no source copy is
// timed with it). Optional argument: passes over the program per stretch (default 1); "off" or
// "on" runs only that limiter row (for profilers).
#include <xmmintrin.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dsp/dither.h"
#include "dsp/limiter.h"
#include "dsp/loudness.h"

namespace {

constexpr double RATE = 48000.0;
constexpr uint32_t BLOCK = 512;

// Ten seconds of music-like material: kick and snare bursts, a bass line, a chord pad and
// a little noise, peaking near full scale, so that a limiter driven by 6 dB works hard.
void make_program(std::vector<float> &l, std::vector<float> &r) {
    const size_t n = (size_t)(RATE * 10);
    l.resize(n);
    r.resize(n);
    uint32_t s = 12345;
    auto noise = [&s]() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return (double)s / 4294967296.0 * 2.0 - 1.0;
    };
    const double pi = 3.14159265358979323846;
    double pink = 0;
    for (size_t i = 0; i < n; i++) {
        const double t = i / RATE;
        const double beat = std::fmod(t, 0.5);
        const double kick = std::exp(-beat * 30.0) * std::sin(2 * pi * (50 + 80 * std::exp(-beat * 40.0)) * beat);
        const double sn_t = std::fmod(t + 0.25, 0.5);
        const double snare = std::exp(-sn_t * 25.0) * noise() * 0.5;
        const double bass = 0.3 * std::sin(2 * pi * 55.0 * t) * (0.6 + 0.4 * std::sin(2 * pi * 0.25 * t));
        const double pad =
            0.12 * (std::sin(2 * pi * 220 * t) + std::sin(2 * pi * 277.2 * t) + std::sin(2 * pi * 329.6 * t));
        pink = 0.97 * pink + 0.03 * noise();
        const double a = 0.55 * kick + snare + bass + pad + 0.3 * pink;
        l[i] = (float)(0.8 * a + 0.1 * pad);
        r[i] = (float)(0.8 * a - 0.1 * pad + 0.05 * noise());
    }
}

using Clock = std::chrono::steady_clock;

template <class F>
double frames_per_second(const std::vector<float> &l, const std::vector<float> &r, int passes, F &&fn) {
    std::vector<float> bl(BLOCK), br(BLOCK);
    const size_t n = l.size();
    double best = 0;
    for (int rep = 0; rep < 40; rep++) { // best of 40 short stretches: other processes share the cores
        const auto t0 = Clock::now();
        size_t done = 0;
        for (int p = 0; p < passes; p++)
            for (size_t i = 0; i + BLOCK <= n; i += BLOCK) {
                std::memcpy(bl.data(), &l[i], BLOCK * sizeof(float));
                std::memcpy(br.data(), &r[i], BLOCK * sizeof(float));
                fn(bl.data(), br.data(), BLOCK);
                done += BLOCK;
            }
        const double sec = std::chrono::duration<double>(Clock::now() - t0).count();
        const double fps = done / sec;
        if (fps > best) best = fps;
    }
    return best;
}

// The same for a processor that reads the program in place and writes into the block
// buffers (fn(in_l, in_r, out_l, out_r, n)): no copy of the source is timed with it.
template <class F>
double frames_per_second_into(const std::vector<float> &l, const std::vector<float> &r, int passes, F &&fn) {
    std::vector<float> bl(BLOCK), br(BLOCK);
    const size_t n = l.size();
    double best = 0;
    for (int rep = 0; rep < 40; rep++) {
        const auto t0 = Clock::now();
        size_t done = 0;
        for (int p = 0; p < passes; p++)
            for (size_t i = 0; i + BLOCK <= n; i += BLOCK) {
                fn(&l[i], &r[i], bl.data(), br.data(), BLOCK);
                done += BLOCK;
            }
        const double sec = std::chrono::duration<double>(Clock::now() - t0).count();
        const double fps = done / sec;
        if (fps > best) best = fps;
    }
    return best;
}

void report(const char *name, double fps) {
    std::printf("%-40s %8.2f us/block  %7.2f ns/frame  %8.1f x real time\n", name, 1e6 * BLOCK / fps, 1e9 / fps,
                fps / RATE);
}

} // namespace

int main(int argc, char **argv) {
    const int passes = argc > 1 ? std::atoi(argv[1]) : 1;
    const char *only = argc > 2 ? argv[2] : nullptr;
    const unsigned old_mode = _mm_getcsr();
    _mm_setcsr(old_mode | 0x8040); // flush denormals, as the block pipeline does
    std::vector<float> l, r;
    make_program(l, r);
    std::printf("48 kHz stereo, blocks of %u frames, music-like program driven 6 dB into the limiter\n", BLOCK);

    static Limiter lim;
    // Warm-up (clock ramp, page faults), not reported.
    limiter_init(&lim, RATE, 1.5);
    frames_per_second(l, r, 1, [&](float *a, float *b, uint32_t n) { limiter_process(&lim, a, b, n); });
    limiter_free(&lim);

    for (int tp = 1; tp >= 0; tp--) {
        if (only && std::strcmp(only, tp ? "on" : "off") != 0) continue;
        limiter_init(&lim, RATE, 1.5);
        limiter_set_style(&lim, 0);
        limiter_set(&lim, tp, true, 0.0, -6.0, -0.3, 100.0, 1.0, 1.0);
        limiter_set_monitor(&lim, false, false, false);
        float min_gain = 1;
        const double fps =
            frames_per_second_into(l, r, passes, [&](const float *a, const float *b, float *oa, float *ob, uint32_t n) {
                limiter_process_into(&lim, a, b, oa, ob, n);
                if (lim.meters.min_gain < min_gain) min_gain = lim.meters.min_gain;
            });
        char name[80];
        std::snprintf(name, sizeof name, "limiter, true peak %s (min gain %.2f)", tp ? "on" : "off", min_gain);
        report(name, fps);
        limiter_free(&lim);
    }

    if (only) return 0;
    static Loudness loud;
    loudness_init(&loud, RATE);
    report("loudness meter",
           frames_per_second(l, r, passes, [&](float *a, float *b, uint32_t n) { loudness_process(&loud, a, b, n); }));

    const char *shapes[3] = {"None", "Light", "Weighted"};
    for (int sh = 0; sh < 3; sh++) {
        uint32_t rng[2];
        double err[2][16] = {};
        uint32_t pos[2] = {0, 0};
        dither_seed(rng, 0x123456789abcdefULL);
        char name[80];
        std::snprintf(name, sizeof name, "dither 16 bit %s, both channels", shapes[sh]);
        report(name, frames_per_second(l, r, passes, [&](float *a, float *b, uint32_t n) {
                   dither_process(a, n, true, sh, &rng[0], err[0], &pos[0]);
                   dither_process(b, n, true, sh, &rng[1], err[1], &pos[1]);
               }));
    }

    for (int sh = 0; sh < 3; sh++) {
        uint32_t rng[2];
        double err[2][16] = {};
        uint32_t pos[2] = {0, 0};
        dither_seed(rng, 0x123456789abcdefULL);
        char name[80];
        std::snprintf(name, sizeof name, "dither 16 bit %s, stereo call", shapes[sh]);
        report(name, frames_per_second(l, r, passes, [&](float *a, float *b, uint32_t n) {
                   dither_process_stereo(a, b, n, true, sh, rng, err, pos);
               }));
    }

    limiter_init(&lim, RATE, 1.5);
    limiter_set(&lim, true, true, 0.0, -6.0, -0.3, 100.0, 1.0, 1.0);
    loudness_init(&loud, RATE);
    limiter_reset(&lim);
    report("limiter (true peak) + loudness", frames_per_second(l, r, passes, [&](float *a, float *b, uint32_t n) {
               limiter_process(&lim, a, b, n);
               loudness_process(&loud, a, b, n);
           }));
    limiter_free(&lim);
    _mm_setcsr(old_mode);
    return 0;
}
