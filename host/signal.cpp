// Chain input sources, the demo signal and WAV I/O.
#include "host/signal.h"

#include <sndfile.h>

#include <cmath>
#include <cstring>

void SilenceSource::fill(float *const *out, uint32_t channels, uint32_t frames) {
    for (uint32_t c = 0; c < channels; c++)
        if (out[c]) memset(out[c], 0, sizeof(float) * frames);
}

SineSource::SineSource(double freq, double db, double rate) {
    step_ = 2.0 * M_PI * freq / (rate > 0 ? rate : 48000);
    amp_ = pow(10.0, db / 20.0);
}

void SineSource::fill(float *const *out, uint32_t channels, uint32_t frames) {
    for (uint32_t i = 0; i < frames; i++) {
        float v = (float)(amp_ * sin(phase_));
        for (uint32_t c = 0; c < channels; c++)
            if (out[c]) out[c][i] = v;
        phase_ += step_;
        if (phase_ > 2.0 * M_PI) phase_ -= 2.0 * M_PI;
    }
}

void BufferSource::fill(float *const *out, uint32_t channels, uint32_t frames) {
    size_t n = audio_.frames();
    uint32_t have = audio_.channels();
    for (uint32_t i = 0; i < frames; i++) {
        if (pos_ >= n && loop_ && n > 0) pos_ = 0;
        for (uint32_t c = 0; c < channels; c++) {
            if (!out[c]) continue;
            out[c][i] = (pos_ < n && have > 0) ? audio_.ch[c < have ? c : have - 1][pos_] : 0.0f;
        }
        if (pos_ < n) pos_++;
    }
}

// ---- demo signal ----------------------------------------------------------------------------

namespace {
// A small deterministic noise generator (LCG), values in -1..1.
struct Noise {
    uint32_t s;
    explicit Noise(uint32_t seed) : s(seed) {}
    double next() {
        s = s * 1664525u + 1013904223u;
        return (double)(int32_t)s / 2147483648.0;
    }
};

double note_hz(int midi) { return 440.0 * pow(2.0, (midi - 69) / 12.0); }
} // namespace

Audio demo_signal(double rate, double seconds, uint32_t channels) {
    Audio a;
    a.rate = rate > 0 ? rate : 48000;
    if (channels < 1) channels = 1;
    if (seconds < 0) seconds = 0;
    size_t n = (size_t)(seconds * a.rate + 0.5);
    std::vector<double> L(n, 0.0), R(n, 0.0);
    const double beat = 0.5; // 120 BPM
    const double sr = a.rate;

    // Kick: a falling sine with a click, on beats 1 and 3 and the "and" of 3.
    // Snare: a tone plus noise on beats 2 and 4. Hats: filtered noise on every eighth.
    Noise noise(12345u);
    double t_end = seconds;
    for (double t0 = 0; t0 < t_end; t0 += beat * 4) {
        const double kicks[] = {0.0, 2.0, 2.5};
        for (double kb : kicks) {
            size_t s0 = (size_t)((t0 + kb * beat) * sr);
            double ph = 0;
            for (size_t i = 0; i < (size_t)(0.45 * sr) && s0 + i < n; i++) {
                double t = i / sr;
                double f = 45.0 + 95.0 * exp(-t / 0.035);
                ph += 2 * M_PI * f / sr;
                double v = sin(ph) * exp(-t / 0.22) + 0.35 * exp(-t / 0.002) * (i % 2 ? 1 : -1) * 0.5;
                L[s0 + i] += 0.95 * v;
                R[s0 + i] += 0.95 * v;
            }
        }
        const double snares[] = {1.0, 3.0};
        for (double sb : snares) {
            size_t s0 = (size_t)((t0 + sb * beat) * sr);
            double prev = 0, ph = 0;
            for (size_t i = 0; i < (size_t)(0.3 * sr) && s0 + i < n; i++) {
                double t = i / sr;
                double w = noise.next();
                double hp = w - prev; // brighter noise
                prev = w;
                ph += 2 * M_PI * 185.0 / sr;
                double v = 0.55 * hp * exp(-t / 0.09) + 0.5 * sin(ph) * exp(-t / 0.05);
                L[s0 + i] += 0.8 * v;
                R[s0 + i] += 0.8 * v;
            }
        }
        for (int e = 0; e < 8; e++) {
            size_t s0 = (size_t)((t0 + e * beat * 0.5) * sr);
            double prev = 0, acc = (e % 2) ? 0.16 : 0.24;
            for (size_t i = 0; i < (size_t)(0.06 * sr) && s0 + i < n; i++) {
                double t = i / sr;
                double w = noise.next();
                double hp = w - prev;
                prev = w;
                double v = acc * hp * exp(-t / 0.018);
                L[s0 + i] += 0.7 * v;
                R[s0 + i] += 1.0 * v;
            }
        }
    }

    // Bass: a low-passed saw, one note per eighth, following Am F C G (one bar each).
    const int roots[4] = {45, 41, 48, 43}; // A2 F2 C3 G2
    {
        double ph = 0, lp = 0;
        for (size_t i = 0; i < n; i++) {
            double t = i / sr;
            int bar = (int)(t / (beat * 4));
            double in_eighth = fmod(t, beat * 0.5);
            int eighth = (int)(fmod(t, beat * 4) / (beat * 0.5));
            int midi = roots[bar & 3] - 12 + ((eighth == 3 || eighth == 7) ? 12 : 0);
            ph += note_hz(midi) / sr;
            if (ph >= 1) ph -= 1;
            double saw = 2 * ph - 1;
            lp += 0.06 * (saw - lp);
            double env = (1 - exp(-in_eighth / 0.004)) * exp(-in_eighth / 0.2);
            double v = 0.42 * lp * env;
            L[i] += v;
            R[i] += v;
        }
    }

    // Chords: triads of soft tones, spread left and right, one chord per bar.
    {
        const int thirds[4] = {3, 4, 4, 4}; // minor for A, major for F C G
        double ph[3] = {0, 0, 0};
        for (size_t i = 0; i < n; i++) {
            double t = i / sr;
            int bar = (int)(t / (beat * 4));
            double in_bar = fmod(t, beat * 4);
            int root = roots[bar & 3] + 12;
            int notes[3] = {root, root + thirds[bar & 3], root + 7};
            double env = (1 - exp(-in_bar / 0.08)) * (0.6 + 0.4 * exp(-in_bar / 0.6));
            double l = 0, r = 0;
            for (int k = 0; k < 3; k++) {
                ph[k] += 2 * M_PI * note_hz(notes[k]) / sr;
                if (ph[k] > 2 * M_PI) ph[k] -= 2 * M_PI;
                double v = sin(ph[k]) + 0.3 * sin(2 * ph[k]);
                double pan = 0.25 + 0.25 * k; // 0.25 .. 0.75
                l += v * (1 - pan);
                r += v * pan;
            }
            L[i] += 0.09 * env * l;
            R[i] += 0.09 * env * r;
        }
    }

    double peak = 0;
    for (size_t i = 0; i < n; i++) {
        double m = channels == 1 ? fabs(0.5 * (L[i] + R[i])) : fmax(fabs(L[i]), fabs(R[i]));
        if (m > peak) peak = m;
    }
    double g = peak > 0 ? pow(10.0, -6.0 / 20.0) / peak : 0.0;
    a.ch.assign(channels, std::vector<float>(n));
    for (size_t i = 0; i < n; i++) {
        if (channels == 1) {
            a.ch[0][i] = (float)(g * 0.5 * (L[i] + R[i]));
        } else {
            a.ch[0][i] = (float)(g * L[i]);
            a.ch[1][i] = (float)(g * R[i]);
            for (uint32_t c = 2; c < channels; c++) a.ch[c][i] = a.ch[c & 1][i];
        }
    }
    return a;
}

double audio_peak(const Audio &a) {
    double p = 0;
    for (const std::vector<float> &c : a.ch)
        for (float v : c) p = fmax(p, fabs((double)v));
    return p;
}

double lin_to_db(double lin) { return lin > 0 ? 20.0 * log10(lin) : -999.0; }

// ---- WAV ------------------------------------------------------------------------------------

bool wav_read(const std::string &path, Audio *out, std::string *err) {
    SF_INFO info;
    memset(&info, 0, sizeof info);
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        if (err) *err = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > 64 || info.samplerate < 1 || info.frames < 0 ||
        info.frames > (sf_count_t)1 << 31) {
        sf_close(f);
        if (err) *err = path + ": unsupported channel count, rate or length";
        return false;
    }
    uint32_t ch = (uint32_t)info.channels;
    std::vector<float> inter((size_t)info.frames * ch);
    sf_count_t got = sf_readf_float(f, inter.data(), info.frames);
    sf_close(f);
    if (got < 0) got = 0;
    out->rate = info.samplerate;
    out->ch.assign(ch, std::vector<float>((size_t)got));
    for (sf_count_t i = 0; i < got; i++)
        for (uint32_t c = 0; c < ch; c++) out->ch[c][(size_t)i] = inter[(size_t)i * ch + c];
    return true;
}

bool wav_write(const std::string &path, const Audio &a, std::string *err) {
    if (a.channels() < 1) {
        if (err) *err = "nothing to write";
        return false;
    }
    SF_INFO info;
    memset(&info, 0, sizeof info);
    info.channels = (int)a.channels();
    info.samplerate = (int)(a.rate + 0.5);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        if (err) *err = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    size_t n = a.frames();
    uint32_t ch = a.channels();
    std::vector<float> inter(n * ch);
    for (size_t i = 0; i < n; i++)
        for (uint32_t c = 0; c < ch; c++) inter[i * ch + c] = a.ch[c][i];
    sf_count_t w = sf_writef_float(f, inter.data(), (sf_count_t)n);
    int rc = sf_close(f);
    if (w != (sf_count_t)n || rc != 0) {
        if (err) *err = "short write to " + path;
        return false;
    }
    return true;
}
