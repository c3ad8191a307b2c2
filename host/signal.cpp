// Chain input sources, the demo signal and WAV I/O.
#include "host/signal.h"

#include <sndfile.h>

#include <algorithm>
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
    const size_t n = audio_.frames();
    const uint32_t have = audio_.channels();
    uint32_t done = 0;
    while (done < frames) {
        if (pos_ >= n && loop_ && n > 0) pos_ = 0;
        if (pos_ >= n) { // past the end without a loop (or nothing to play): silence
            for (uint32_t c = 0; c < channels; c++)
                if (out[c]) memset(out[c] + done, 0, sizeof(float) * (frames - done));
            return;
        }
        const uint32_t run = (uint32_t)std::min<size_t>(frames - done, n - pos_);
        for (uint32_t c = 0; c < channels; c++)
            if (out[c]) memcpy(out[c] + done, &audio_.ch[c < have ? c : have - 1][pos_], sizeof(float) * run);
        done += run;
        pos_ += run;
    }
}

float *const *BufferSource::lend(uint32_t channels, uint32_t frames) {
    const size_t n = audio_.frames();
    const uint32_t have = audio_.channels();
    if (!lends_ || channels > 8) return nullptr;
    if (pos_ >= n && loop_ && n > 0) pos_ = 0;
    if (pos_ >= n || frames > n - pos_) return nullptr; // the block wraps or runs out: filled
    for (uint32_t c = 0; c < channels; c++)
        lent_[c] = const_cast<float *>(&audio_.ch[c < have ? c : have - 1][pos_]);
    pos_ += frames;
    return lent_;
}

// ---- demo signal ----------------------------------------------------------------------------

namespace {
// A small deterministic noise generator (LCG), values in -1..1.
struct Noise {
    uint32_t s; // the state, carried from one bar to the next
    explicit Noise(uint32_t seed) : s(seed) {}
    double next() {
        s = s * 1664525u + 1013904223u;
        return (double)(int32_t)s / 2147483648.0;
    }
};

double note_hz(int midi) { return 440.0 * pow(2.0, (midi - 69) / 12.0); }
} // namespace

DemoStream::DemoStream(double rate, double seconds, uint32_t channels) {
    rate_ = rate > 0 ? rate : 48000;
    channels_ = channels < 1 ? 1 : channels;
    seconds_ = seconds > 0 ? seconds : 0;
    total_ = (uint64_t)(seconds_ * rate_ + 0.5);
    // A long signal repeats its first DEMO_LOOP_SECONDS, which end on a bar line.
    uint64_t loop = (uint64_t)(DEMO_LOOP_SECONDS * rate_);
    round_ = total_;
    if (total_ > loop && loop > 0) {
        round_ = loop;
        seconds_ = DEMO_LOOP_SECONDS;
    }
    size_t bar = (size_t)(2.0 * rate_) + 2; // a bar holds at most this many samples
    L_.assign(bar, 0.0);
    R_.assign(bar, 0.0);
    // The level, from one round made ahead by a generator of its own.
    Gen g;
    double peak = 0;
    for (uint64_t end = 0; end < round_;) {
        uint64_t start = 0;
        make_bar(g, &start, &end);
        for (uint64_t i = start; i < end; i++) {
            double l = L_[i - start], r = R_[i - start];
            double m = channels_ == 1 ? fabs(0.5 * (l + r)) : fmax(fabs(l), fabs(r));
            if (m > peak) peak = m;
        }
    }
    gain_ = peak > 0 ? pow(10.0, -6.0 / 20.0) / peak : 0.0;
}

void DemoStream::make_bar(Gen &g, uint64_t *start, uint64_t *end) {
    const double beat = 0.5; // 120 BPM
    const double sr = rate_;
    const uint64_t n = round_;
    const double t0 = 2.0 * (double)g.bar; // bar start in seconds (beat * 4 per bar)
    g.bar++;
    uint64_t s = (uint64_t)(t0 * sr), e = (uint64_t)((t0 + beat * 4) * sr);
    if (e > n) e = n;
    if (s > e) s = e;
    *start = s;
    *end = e;
    const size_t len = (size_t)(e - s);
    std::fill(L_.begin(), L_.begin() + (std::ptrdiff_t)len, 0.0);
    std::fill(R_.begin(), R_.begin() + (std::ptrdiff_t)len, 0.0);
    // Adds v * gl, v * gr at sample at (the events of a bar end within it).
    auto add = [&](uint64_t at, double v, double gl, double gr) {
        if (at >= s && at < e) {
            L_[(size_t)(at - s)] += gl * v;
            R_[(size_t)(at - s)] += gr * v;
        }
    };
    Noise noise(g.noise);

    // Kick: a falling sine with a click, on beats 1 and 3 and the "and" of 3.
    // Snare: a tone plus noise on beats 2 and 4. Hats: filtered noise on every eighth.
    if (t0 < seconds_) {
        const double kicks[] = {0.0, 2.0, 2.5};
        for (double kb : kicks) {
            uint64_t s0 = (uint64_t)((t0 + kb * beat) * sr);
            double ph = 0;
            for (size_t i = 0; i < (size_t)(0.45 * sr) && s0 + i < n; i++) {
                double t = i / sr;
                double f = 45.0 + 95.0 * exp(-t / 0.035);
                ph += 2 * M_PI * f / sr;
                double v = sin(ph) * exp(-t / 0.22) + 0.35 * exp(-t / 0.002) * (i % 2 ? 1 : -1) * 0.5;
                add(s0 + i, v, 0.95, 0.95);
            }
        }
        const double snares[] = {1.0, 3.0};
        for (double sb : snares) {
            uint64_t s0 = (uint64_t)((t0 + sb * beat) * sr);
            double prev = 0, ph = 0;
            for (size_t i = 0; i < (size_t)(0.3 * sr) && s0 + i < n; i++) {
                double t = i / sr;
                double w = noise.next();
                double hp = w - prev; // brighter noise
                prev = w;
                ph += 2 * M_PI * 185.0 / sr;
                double v = 0.55 * hp * exp(-t / 0.09) + 0.5 * sin(ph) * exp(-t / 0.05);
                add(s0 + i, v, 0.8, 0.8);
            }
        }
        for (int k = 0; k < 8; k++) {
            uint64_t s0 = (uint64_t)((t0 + k * beat * 0.5) * sr);
            double prev = 0, acc = (k % 2) ? 0.16 : 0.24;
            for (size_t i = 0; i < (size_t)(0.06 * sr) && s0 + i < n; i++) {
                double t = i / sr;
                double w = noise.next();
                double hp = w - prev;
                prev = w;
                double v = acc * hp * exp(-t / 0.018);
                add(s0 + i, v, 0.7, 1.0);
            }
        }
    }
    g.noise = noise.s;

    // Bass: a low-passed saw, one note per eighth, following Am F C G (one bar each).
    const int roots[4] = {45, 41, 48, 43}; // A2 F2 C3 G2
    for (uint64_t i = s; i < e; i++) {
        double t = (double)i / sr;
        int bar = (int)(t / (beat * 4));
        double in_eighth = fmod(t, beat * 0.5);
        int eighth = (int)(fmod(t, beat * 4) / (beat * 0.5));
        int midi = roots[bar & 3] - 12 + ((eighth == 3 || eighth == 7) ? 12 : 0);
        g.bass_ph += note_hz(midi) / sr;
        if (g.bass_ph >= 1) g.bass_ph -= 1;
        double saw = 2 * g.bass_ph - 1;
        g.bass_lp += 0.06 * (saw - g.bass_lp);
        double env = (1 - exp(-in_eighth / 0.004)) * exp(-in_eighth / 0.2);
        double v = 0.42 * g.bass_lp * env;
        L_[(size_t)(i - s)] += v;
        R_[(size_t)(i - s)] += v;
    }

    // Chords: triads of soft tones, spread left and right, one chord per bar.
    const int thirds[4] = {3, 4, 4, 4}; // minor for A, major for F C G
    for (uint64_t i = s; i < e; i++) {
        double t = (double)i / sr;
        int bar = (int)(t / (beat * 4));
        double in_bar = fmod(t, beat * 4);
        int root = roots[bar & 3] + 12;
        int notes[3] = {root, root + thirds[bar & 3], root + 7};
        double env = (1 - exp(-in_bar / 0.08)) * (0.6 + 0.4 * exp(-in_bar / 0.6));
        double l = 0, r = 0;
        for (int k = 0; k < 3; k++) {
            g.chord_ph[k] += 2 * M_PI * note_hz(notes[k]) / sr;
            if (g.chord_ph[k] > 2 * M_PI) g.chord_ph[k] -= 2 * M_PI;
            double v = sin(g.chord_ph[k]) + 0.3 * sin(2 * g.chord_ph[k]);
            double pan = 0.25 + 0.25 * k; // 0.25 .. 0.75
            l += v * (1 - pan);
            r += v * pan;
        }
        L_[(size_t)(i - s)] += 0.09 * env * l;
        R_[(size_t)(i - s)] += 0.09 * env * r;
    }
}

uint32_t DemoStream::read(float *const *out, uint32_t frames) {
    uint32_t done = 0;
    while (done < frames && pos_ < total_) {
        if (round_pos_ >= round_) { // the next round: the same samples made again
            gen_ = Gen();
            round_pos_ = bar_start_ = bar_end_ = 0;
        }
        if (round_pos_ >= bar_end_) {
            make_bar(gen_, &bar_start_, &bar_end_);
            continue;
        }
        uint64_t avail = std::min(bar_end_ - round_pos_, total_ - pos_);
        uint32_t k = (uint32_t)std::min<uint64_t>(avail, (uint64_t)(frames - done));
        const double g = gain_;
        for (uint32_t j = 0; j < k; j++) {
            size_t i = (size_t)(round_pos_ - bar_start_) + j;
            double l = L_[i], r = R_[i];
            if (channels_ == 1) {
                out[0][done + j] = (float)(g * 0.5 * (l + r));
            } else {
                float fl = (float)(g * l), fr = (float)(g * r);
                for (uint32_t c = 0; c < channels_; c++)
                    out[c][done + j] = (c & 1) ? fr : fl;
            }
        }
        round_pos_ += k;
        pos_ += k;
        done += k;
    }
    return done;
}

Audio demo_signal(double rate, double seconds, uint32_t channels) {
    DemoStream d(rate, seconds, channels);
    Audio a;
    a.rate = rate > 0 ? rate : 48000;
    a.ch.assign(channels < 1 ? 1 : channels, std::vector<float>((size_t)d.frames()));
    std::vector<float *> ptrs(a.ch.size());
    for (uint64_t pos = 0; pos < d.frames();) {
        for (size_t c = 0; c < a.ch.size(); c++)
            ptrs[c] = a.ch[c].data() + pos;
        uint32_t want = (uint32_t)std::min<uint64_t>(d.frames() - pos, 1u << 16);
        uint32_t got = d.read(ptrs.data(), want);
        if (got == 0) break;
        pos += got;
    }
    return a;
}

double audio_peak(const Audio &a) {
    double p = 0;
    for (const std::vector<float> &c : a.ch)
        for (float v : c)
            p = fmax(p, fabs((double)v));
    return p;
}

double lin_to_db(double lin) { return lin > 0 ? 20.0 * log10(lin) : -999.0; }

// ---- WAV ------------------------------------------------------------------------------------

namespace {
constexpr uint32_t IO_CHUNK = 4096; // frames converted between interleaved and planar at once
}

SoundFileReader::~SoundFileReader() {
    if (file_) sf_close((SNDFILE *)file_);
}

bool SoundFileReader::open(const std::string &path, std::string *err) {
    if (file_) sf_close((SNDFILE *)file_);
    file_ = nullptr;
    SF_INFO info;
    memset(&info, 0, sizeof info);
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        if (err) *err = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > 64 || info.samplerate < 1) {
        sf_close(f);
        if (err) *err = path + ": unsupported channel count or rate";
        return false;
    }
    file_ = f;
    channels_ = (uint32_t)info.channels;
    rate_ = info.samplerate;
    inter_.assign((size_t)IO_CHUNK * channels_, 0.0f);
    return true;
}

uint32_t SoundFileReader::read(float *const *out, uint32_t frames) {
    uint32_t done = 0;
    while (file_ && done < frames) {
        uint32_t want = std::min(frames - done, IO_CHUNK);
        sf_count_t got = sf_readf_float((SNDFILE *)file_, inter_.data(), want);
        if (got <= 0) break; // the end of the data (a pipe may also give less than asked before it)
        for (sf_count_t i = 0; i < got; i++)
            for (uint32_t c = 0; c < channels_; c++)
                out[c][done + i] = inter_[(size_t)i * channels_ + c];
        done += (uint32_t)got;
    }
    return done;
}

WavWriter::~WavWriter() {
    if (file_) sf_close((SNDFILE *)file_);
}

bool WavWriter::open(const std::string &path, uint32_t channels, double rate, std::string *err) {
    if (channels < 1) {
        if (err) *err = "nothing to write";
        return false;
    }
    SF_INFO info;
    memset(&info, 0, sizeof info);
    info.channels = (int)channels;
    info.samplerate = (int)(rate + 0.5);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        if (err) *err = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    file_ = f;
    path_ = path;
    channels_ = channels;
    frames_ = 0;
    inter_.assign((size_t)IO_CHUNK * channels, 0.0f);
    return true;
}

bool WavWriter::write(const float *const *in, uint32_t frames, std::string *err) {
    if (!file_) return false;
    if (frames_ + frames > max_frames(channels_)) {
        if (err) *err = path_ + ": too long for a WAV file (at most 4 GiB of audio)";
        return false;
    }
    for (uint32_t done = 0; done < frames;) {
        uint32_t n = std::min(frames - done, IO_CHUNK);
        for (uint32_t i = 0; i < n; i++)
            for (uint32_t c = 0; c < channels_; c++)
                inter_[(size_t)i * channels_ + c] = in[c][done + i];
        if (sf_writef_float((SNDFILE *)file_, inter_.data(), n) != (sf_count_t)n) {
            if (err) *err = "short write to " + path_;
            return false;
        }
        done += n;
        frames_ += n;
    }
    return true;
}

bool WavWriter::close(std::string *err) {
    if (!file_) return true;
    int rc = sf_close((SNDFILE *)file_);
    file_ = nullptr;
    if (rc != 0) {
        if (err) *err = "short write to " + path_;
        return false;
    }
    return true;
}

bool wav_read(const std::string &path, Audio *out, std::string *err) {
    SoundFileReader r;
    if (!r.open(path, err)) return false;
    const uint32_t ch = r.channels();
    out->rate = r.rate();
    out->ch.assign(ch, std::vector<float>());
    std::vector<std::vector<float>> block(ch, std::vector<float>(1u << 16));
    std::vector<float *> ptrs(ch);
    for (uint32_t c = 0; c < ch; c++)
        ptrs[c] = block[c].data();
    for (;;) {
        uint32_t got = r.read(ptrs.data(), (uint32_t)block[0].size());
        if (got == 0) break;
        if ((out->ch[0].size() + got) * ch > WAV_READ_MAX_SAMPLES) {
            out->ch.clear();
            if (err)
                *err = path + ": too long to hold in memory (at most " + std::to_string(WAV_READ_MAX_SAMPLES) +
                       " samples)";
            return false;
        }
        for (uint32_t c = 0; c < ch; c++)
            out->ch[c].insert(out->ch[c].end(), block[c].begin(), block[c].begin() + got);
    }
    return true;
}

bool wav_write(const std::string &path, const Audio &a, std::string *err) {
    WavWriter w;
    if (!w.open(path, a.channels(), a.rate, err)) return false;
    std::vector<const float *> ptrs(a.channels());
    for (size_t pos = 0; pos < a.frames();) {
        uint32_t n = (uint32_t)std::min<size_t>(a.frames() - pos, 1u << 16);
        for (uint32_t c = 0; c < a.channels(); c++)
            ptrs[c] = a.ch[c].data() + pos;
        if (!w.write(ptrs.data(), n, err)) return false;
        pos += n;
    }
    return w.close(err);
}
