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

// Fills one block of a chain's input. fill() and lend() are [audio-thread]: they must not
// allocate.
class Source {
  public:
    virtual ~Source() = default;
    virtual void fill(float *const *out, uint32_t channels, uint32_t frames) = 0;
    virtual void rewind() {}
    // The next `frames` frames of `channels` channels where the source holds them in place,
    // for a chain that only reads its input: it hands these to the first stage instead of a
    // copy, and never writes them. nullptr: fill() the block instead.
    virtual float *const *lend(uint32_t channels, uint32_t frames) {
        (void)channels;
        (void)frames;
        return nullptr;
    }
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
// repeat its last channel. With `lends`, a block that lies whole in the buffer is lent (up
// to 8 channels): the buffer's plug-ins then read it where it lies, so none of them may
// write into its input.
class BufferSource : public Source {
  public:
    BufferSource(const Audio &audio, bool loop, bool lends = false) : audio_(audio), loop_(loop), lends_(lends) {}
    void fill(float *const *out, uint32_t channels, uint32_t frames) override;
    float *const *lend(uint32_t channels, uint32_t frames) override;
    void rewind() override { pos_ = 0; }
    size_t position() const { return pos_; }

  private:
    const Audio &audio_;
    bool loop_, lends_;
    size_t pos_ = 0;
    float *lent_[8] = {};
};

// [any-thread] Returns the demo signal: a deterministic music-like stereo loop at 120 BPM (kick and snare hits,
// hi-hats, a bass line, chords), `seconds` long, peaking at -6 dBFS. A signal longer than
// DEMO_LOOP_SECONDS (16 bars, four rounds of its chords) repeats its first DEMO_LOOP_SECONDS.
// channels 1 or 2 (a mono demo is the mid signal; more channels repeat left and right).
constexpr double DEMO_LOOP_SECONDS = 32.0;
Audio demo_signal(double rate, double seconds, uint32_t channels = 2);

// The same demo signal made bar by bar as it is read, so that memory does not grow with its
// length (two seconds of it are held). [any-thread], one at a time.
class DemoStream {
  public:
    DemoStream(double rate, double seconds, uint32_t channels = 2);
    uint64_t frames() const { return total_; }
    // Writes up to frames frames into out[0..channels-1] (planar); returns the frames
    // written, fewer than asked only at the end of the signal.
    uint32_t read(float *const *out, uint32_t frames);

  private:
    // A generator's running state: the noise, bass and chord oscillators and the next bar.
    struct Gen {
        uint32_t noise = 12345u;
        double bass_ph = 0, bass_lp = 0, chord_ph[3] = {0, 0, 0};
        uint64_t bar = 0;
    };
    // Makes g's next bar, samples [*start, *end) of one round, into L_ and R_.
    void make_bar(Gen &g, uint64_t *start, uint64_t *end);
    double rate_, seconds_; // seconds_: of one round
    uint32_t channels_;
    uint64_t total_, round_; // frames of the signal and of one round (the whole when short)
    uint64_t pos_ = 0, round_pos_ = 0;
    double gain_ = 0;
    Gen gen_;
    std::vector<double> L_, R_;
    uint64_t bar_start_ = 0, bar_end_ = 0; // samples of the round held in L_, R_
};

// [any-thread] Returns the largest sample magnitude over all channels (linear).
double audio_peak(const Audio &a);
// [any-thread] Returns the level in dB of a linear value; -inf (as -999) for 0.
double lin_to_db(double lin);

// Reads a sound file (any format libsndfile knows) block by block as float. The length a
// header claims is never used to size anything: reading simply ends where the data does.
// [main-thread]
class SoundFileReader {
  public:
    SoundFileReader() = default;
    ~SoundFileReader();
    SoundFileReader(const SoundFileReader &) = delete;
    SoundFileReader &operator=(const SoundFileReader &) = delete;
    // False with *err set when the file cannot be read or has no usable channel count
    // (1..64) or rate.
    bool open(const std::string &path, std::string *err);
    uint32_t channels() const { return channels_; }
    double rate() const { return rate_; }
    // Up to frames frames into out[0..channels()-1] (planar); returns the frames read,
    // fewer than asked only at the end of the data (or on a read error).
    uint32_t read(float *const *out, uint32_t frames);

  private:
    void *file_ = nullptr; // SNDFILE
    uint32_t channels_ = 0;
    double rate_ = 0;
    std::vector<float> inter_;
};

// [main-thread] Writes a 32-bit float WAV block by block.
class WavWriter {
  public:
    // WAV sizes are 32-bit: the data of one file stays below this many bytes.
    static constexpr uint64_t MAX_DATA_BYTES = 0xFFFFFFFFull - (1u << 16);
    WavWriter() = default;
    ~WavWriter(); // closes the file
    WavWriter(const WavWriter &) = delete;
    WavWriter &operator=(const WavWriter &) = delete;
    // Frames of channels that fit in one WAV file.
    static uint64_t max_frames(uint32_t channels) { return MAX_DATA_BYTES / 4 / (channels ? channels : 1); }
    // False with *err set when the file cannot be made.
    bool open(const std::string &path, uint32_t channels, double rate, std::string *err);
    // Appends frames frames of in[0..channels-1] (planar). False with *err set on a short
    // write, or when the file would outgrow what WAV can hold (nothing is written then).
    bool write(const float *const *in, uint32_t frames, std::string *err);
    // Finishes the header; false with *err set when that fails.
    bool close(std::string *err);
    uint64_t frames() const { return frames_; }

  private:
    void *file_ = nullptr; // SNDFILE
    std::string path_;
    uint32_t channels_ = 0;
    uint64_t frames_ = 0;
    std::vector<float> inter_;
};

// [main-thread] A whole file in memory, for looping inputs. read: any format libsndfile knows, to float;
// false with *err set, also for files of more than WAV_READ_MAX_SAMPLES samples (all
// channels) of actual data. Memory follows the data read, never the header's claim.
constexpr uint64_t WAV_READ_MAX_SAMPLES = 1ull << 27;
bool wav_read(const std::string &path, Audio *out, std::string *err);
// [main-thread] Writes 32-bit float WAV with the audio's channel count and rate; false with
// *err set when that fails.
bool wav_write(const std::string &path, const Audio &a, std::string *err);
