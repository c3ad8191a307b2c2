// Audio sources for the host's chains (silence, a sine, a prepared buffer such as the demo
// signal or a file), the deterministic demo signal, and WAV file reading and writing.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Planar audio: one vector per channel, all of the same length.
struct Audio {
    double rate = 48000;
    std::vector<std::vector<float>> ch;
    uint32_t channels() const { return (uint32_t)ch.size(); }
    size_t frames() const { return ch.empty() ? 0 : ch[0].size(); }
};

// Fills one block of a chain's input. fill() runs on the audio thread: it must not allocate.
class Source {
public:
    virtual ~Source() = default;
    virtual void fill(float *const *out, uint32_t channels, uint32_t frames) = 0;
    virtual void rewind() {}
};

class SilenceSource : public Source {
public:
    void fill(float *const *out, uint32_t channels, uint32_t frames) override;
};

// A sine of freq Hz at db dBFS peak, the same on every channel; phase-continuous.
class SineSource : public Source {
public:
    SineSource(double freq, double db, double rate);
    void fill(float *const *out, uint32_t channels, uint32_t frames) override;
    void rewind() override { phase_ = 0; }

private:
    double step_, amp_, phase_ = 0;
};

// Plays a prepared buffer, looping or followed by silence. Channels beyond the buffer's
// repeat its last channel.
class BufferSource : public Source {
public:
    BufferSource(const Audio &audio, bool loop) : audio_(audio), loop_(loop) {}
    void fill(float *const *out, uint32_t channels, uint32_t frames) override;
    void rewind() override { pos_ = 0; }
    size_t position() const { return pos_; }

private:
    const Audio &audio_;
    bool loop_;
    size_t pos_ = 0;
};

// The demo signal: a deterministic music-like stereo loop at 120 BPM (kick and snare hits,
// hi-hats, a bass line, chords), `seconds` long, peaking at -6 dBFS. channels 1 or 2 (a
// mono demo is the mid signal).
Audio demo_signal(double rate, double seconds, uint32_t channels = 2);

// Largest sample magnitude over all channels (linear).
double audio_peak(const Audio &a);
double lin_to_db(double lin); // -inf (as -999) for 0

// WAV through libsndfile. read: any format libsndfile knows, to float; false with *err set.
bool wav_read(const std::string &path, Audio *out, std::string *err);
// Writes 32-bit float WAV with the audio's channel count and rate.
bool wav_write(const std::string &path, const Audio &a, std::string *err);
