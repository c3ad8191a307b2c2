// Test signals for the engine tests (sines, noise, pink-ish noise, music-like programs) and
// an independent 16x windowed-sinc true-peak measure.
#pragma once
#include <cmath>
#include <cstdint>
#include <vector>

namespace dsp_test {

constexpr double PI = 3.14159265358979323846;

// Deterministic white noise in [-1, 1).
struct Noise {
    uint64_t s;
    explicit Noise(uint64_t seed = 0x9E3779B97F4A7C15ULL) : s(seed | 1) {}
    double next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (double)(s >> 11) * (2.0 / 9007199254740992.0) - 1.0;
    }
};

inline std::vector<float> sine(double freq, double amp, double rate, size_t n, double phase = 0.0) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (float)(amp * std::sin(2 * PI * freq * (double)i / rate + phase));
    return v;
}

// Pink-ish noise (Paul Kellet's economy filter), scaled to the given peak-ish level.
inline std::vector<float> pink(double amp, size_t n, uint64_t seed) {
    Noise w(seed);
    std::vector<float> v(n);
    double b0 = 0, b1 = 0, b2 = 0;
    for (size_t i = 0; i < n; i++) {
        const double x = w.next();
        b0 = 0.99765 * b0 + x * 0.0990460;
        b1 = 0.96300 * b1 + x * 0.2965164;
        b2 = 0.57000 * b2 + x * 1.0526913;
        v[i] = (float)(amp * 0.25 * (b0 + b1 + b2 + x * 0.1848));
    }
    return v;
}

// Music-like material: kick and snare hits, a bass line, a chord pad and some noise, with
// the given amount of silence after every second of sound. Channels differ a little.
inline void music(double rate, double seconds, double amp, double silence_s, std::vector<float> &l,
                  std::vector<float> &r, uint64_t seed = 7) {
    const size_t n = (size_t)(rate * seconds);
    l.assign(n, 0.0f);
    r.assign(n, 0.0f);
    Noise w(seed);
    double lp = 0, sn1 = 0, sn2 = 0, h1 = 0, h2 = 0;
    const double period = 1.0 + silence_s;
    for (size_t i = 0; i < n; i++) {
        const double t = (double)i / rate;
        const double tb = std::fmod(t, period);
        if (tb >= 1.0) continue;
        const double beat = std::fmod(tb, 0.5);
        const double kick = std::exp(-beat * 30.0) * std::sin(2 * PI * (50 + 80 * std::exp(-beat * 40.0)) * beat);
        const double sn = std::fmod(tb + 0.25, 0.5);
        // Noise bands rolled off above a few kHz, as cymbals and snares are on records.
        sn1 += 0.5 * (w.next() - sn1);
        sn2 += 0.5 * (sn1 - sn2);
        const double snare = std::exp(-sn * 25.0) * sn2 * 0.8;
        const double bass = 0.3 * std::sin(2 * PI * 55.0 * t);
        const double pad =
            0.1 * (std::sin(2 * PI * 220 * t) + std::sin(2 * PI * 277.2 * t) + std::sin(2 * PI * 329.6 * t));
        lp = 0.9 * lp + 0.1 * w.next();
        h1 += 0.6 * ((w.next() - lp) - h1);
        h2 += 0.6 * (h1 - h2);
        const double hat = std::exp(-std::fmod(tb, 0.125) * 60.0) * h2 * 0.3;
        const double a = 0.6 * kick + snare + bass + pad + hat;
        l[i] = (float)(amp * (a + 0.05 * pad));
        r[i] = (float)(amp * (a - 0.05 * pad + 0.02 * w.next()));
    }
}

// Music-like material with a bright top end: the snare is full-band noise and the hats are
// differentiated noise, so that a good part of the peaks come from content near the
// Nyquist frequency. Peaks near full scale for amp 0.65.
inline void bright_music(double rate, double seconds, double amp, std::vector<float> &l, std::vector<float> &r,
                         uint64_t seed = 11) {
    const size_t n = (size_t)(rate * seconds);
    l.assign(n, 0.0f);
    r.assign(n, 0.0f);
    Noise w(seed);
    double prev = 0;
    for (size_t i = 0; i < n; i++) {
        const double t = (double)i / rate;
        const double beat = std::fmod(t, 0.5);
        const double kick = std::exp(-beat * 30.0) * std::sin(2 * PI * (50 + 80 * std::exp(-beat * 40.0)) * beat);
        const double snare = std::exp(-std::fmod(t + 0.25, 0.5) * 25.0) * w.next() * 0.6;
        const double bass = 0.3 * std::sin(2 * PI * 55.0 * t);
        const double pad =
            0.1 * (std::sin(2 * PI * 220 * t) + std::sin(2 * PI * 277.2 * t) + std::sin(2 * PI * 329.6 * t));
        const double x = w.next();
        const double hat = std::exp(-std::fmod(t, 0.125) * 60.0) * (x - prev) * 0.3;
        prev = x;
        const double a = 0.6 * kick + snare + bass + pad + hat;
        l[i] = (float)(amp * (a + 0.05 * pad));
        r[i] = (float)(amp * (a - 0.05 * pad + 0.02 * w.next()));
    }
}

// A naive square wave (+amp / -amp, edges on whole samples) of the given frequency.
inline std::vector<float> square(double freq, double amp, double rate, size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = std::fmod(freq * (double)i / rate, 1.0) < 0.5 ? (float)amp : (float)-amp;
    return v;
}

// Bursts of uniform white noise (peak amp): on_s seconds on, then off, every period_s seconds.
inline std::vector<float> noise_bursts(double amp, double rate, size_t n, double on_s, double period_s, uint64_t seed) {
    Noise w(seed);
    std::vector<float> v(n);
    for (size_t i = 0; i < n; i++) {
        const double x = w.next();
        v[i] = std::fmod((double)i / rate, period_s) < on_s ? (float)(amp * x) : 0.0f;
    }
    return v;
}

// Largest magnitude of the band-limited signal through x, found by 16x upsampling with a
// Kaiser-windowed sinc of 2 x 32 zero crossings (independent of the 4x detector under
// test). Stretches where both neighbouring samples are below `floor` are skipped, and so are
// the first and last 64 samples.
inline double true_peak_16x(const std::vector<float> &x, double floor = 0.0) {
    constexpr int OS = 16, HALF = 32;
    auto i0 = [](double b) {
        double sum = 1, term = 1;
        for (int k = 1; k < 200; k++) {
            term *= (b / 2) * (b / 2) / ((double)k * k);
            sum += term;
            if (term < sum * 1e-17) break;
        }
        return sum;
    };
    const double beta = 10.0, norm = i0(beta);
    std::vector<double> taps((size_t)OS * (2 * HALF));
    for (int p = 0; p < OS; p++)
        for (int k = -HALF; k < HALF; k++) {
            const double t = k + (double)p / OS; // distance from x[n - k] to the point n + p/OS
            const double s = t == 0 ? 1.0 : std::sin(PI * t) / (PI * t);
            const double r = t / (HALF + 1);
            const double wv = i0(beta * std::sqrt(std::fmax(0.0, 1 - r * r))) / norm;
            taps[(size_t)p * 2 * HALF + (size_t)(k + HALF)] = s * wv;
        }
    // The ends of the buffer are cut off abruptly; their ringing is not part of the signal.
    double peak = 0;
    const long n = (long)x.size();
    for (long i = 2 * HALF; i + 2 * HALF < n; i++) {
        peak = std::fmax(peak, std::fabs((double)x[(size_t)i]));
        const double next = i + 1 < n ? std::fabs((double)x[(size_t)i + 1]) : 0.0;
        if (std::fabs((double)x[(size_t)i]) < floor && next < floor) continue;
        for (int p = 1; p < OS; p++) {
            double acc = 0;
            const double *tp = &taps[(size_t)p * 2 * HALF];
            const float *xi = &x[(size_t)i];
            for (int k = -HALF; k < HALF; k++)
                acc += xi[-k] * tp[k + HALF]; // inside: edges skipped
            peak = std::fmax(peak, std::fabs(acc));
        }
    }
    return peak;
}

inline double db(double v) { return 20.0 * std::log10(v); }

} // namespace dsp_test
