// Chain: N plug-in instances processed in series on one audio thread, the output of each
// stage being the input of the next, all stages of one cycle with the same frames and
// steady_time. Several chains ("buses") may run at once on their own audio threads.
// The processing loop allocates nothing and takes no lock. Functions are [main-thread]
// unless tagged; a bool is true on success.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host/signal.h"

class Chain {
  public:
    explicit Chain(uint32_t channels = 2);
    ~Chain(); // stops the audio thread; destroys the stages
    Chain(const Chain &) = delete;
    Chain &operator=(const Chain &) = delete;

    // ---- stages [main-thread], while not running -----------------------------------------
    // Creates and inits n instances of plugin_id (empty: the library's first). False with
    // *err set when one fails (those made so far stay).
    bool create(HostLib &lib, int n, const HostOptions &opt = HostOptions(),
                const std::string &plugin_id = std::string(), std::string *err = nullptr);
    HostInstance *add(std::unique_ptr<HostInstance> inst); // takes ownership
    void clear();                                          // destroys every stage
    size_t size() const { return stages_.size(); }
    // Stage by creation index (stable; the stage numbers of the CLI are these + 1).
    HostInstance &stage(size_t i) { return *stages_[i]; }
    // Creation index of the stage at processing position pos (0-based).
    int stage_at(size_t pos) const { return pos < order_.size() ? order_[pos] : -1; }
    uint32_t channels() const { return channels_; }
    // Channels of every buffer; before activate() (the buffers are sized there).
    void set_channels(uint32_t n) { channels_ = n ? n : 1; }
    // Raises the channel count to the first stage's main port width (a mono source then
    // feeds every channel of a stereo plug-in). Before activate().
    void fit_channels_to_ports();

    // Activates every stage (and sizes the buffers for max_frames). False with *err set when
    // one fails; the others stay active.
    bool activate(double rate, uint32_t min_frames, uint32_t max_frames, std::string *err = nullptr);
    void deactivate();
    double rate() const { return rate_; }
    uint32_t max_frames() const { return max_frames_; }

    // Input of the first stage; null = silence. Not owned; may be swapped while running
    // (the old source must stay alive until stop()).
    void set_source(Source *s) { source_.store(s); }
    // All stages process one buffer in place instead of one buffer per stage.
    void set_in_place(bool on) { in_place_ = on; }
    // Chain steady_time: starts at 0 and advances by the frames of every cycle; "none"
    // passes -1 to every stage.
    void set_steady(int64_t next) { steady_ = next; }
    void set_steady_none(bool none) { steady_none_ = none; }

    // Queues a parameter value for a stage's next process call (stage: creation index, or
    // -1 for all). [any-thread]; false when a queue is full or the stage does not exist.
    bool post_param(int stage, uint32_t param_id, double value);

    // ---- processing [main-thread], unless said --------------------------------------------
    // [audio-thread] One cycle on the calling thread (the caller's thread is the audio thread): source, then every
    // stage in order. frames is clamped to max_frames. The result is in output().
    void cycle(uint32_t frames);
    float *const *input() { return in_ptrs_.data(); }
    float *const *output(); // output of the last stage of the last cycle (or the input)
    // Output buffers of processing position pos after the last cycle (in place: the one buffer).
    float *const *position_output(size_t pos);
    // Runs n cycles on a fresh audio thread and waits for it; false when it cannot start.
    bool run_blocks(uint64_t n, uint32_t frames);
    // Continuous processing on an audio thread; realtime paces the cycles at 1x real time,
    // else as fast as possible. False when it cannot start (already running, not active).
    bool start(uint32_t frames, bool realtime);
    void stop();
    bool running() const { return thread_.joinable(); }
    // Transport: while stopped, the running audio thread makes no process calls (it only
    // serves parameter flush requests, as a host does for a sleeping plug-in).
    void set_transport(bool playing) { playing_.store(playing); }
    bool transport_playing() const { return playing_.load(); }
    // Swaps the processing positions a and b (0-based). While running the audio thread
    // applies it between two cycles and this call waits for that; false for a bad position.
    bool swap_positions(size_t a, size_t b);

    // [main-thread] Each stage's idle(); a requested restart of a stage of a running chain
    // is served by parking the audio thread (it stops processing first) for the restart.
    void idle();

    uint64_t cycles() const { return cycles_.load(); }
    uint64_t late_cycles() const { return late_.load(); } // realtime cycles that missed their slot
    // Passes of the audio loop with the transport stopped (no process calls were made).
    uint64_t stopped_passes() const { return stopped_passes_.load(); }

    // Runs n cycles of each chain on its own audio thread, all threads released together so
    // that their calls overlap in time. Waits for all; false when one cannot run.
    static bool run_parallel(const std::vector<Chain *> &chains, uint64_t n, uint32_t frames);

  private:
    void prepare_buffers();
    void apply_swap();
    void audio_loop(uint32_t frames, bool realtime, uint64_t limit, std::atomic<int> *gate, int gate_total);
    void park_if_asked();
    void set_owned(bool owned);

    uint32_t channels_;
    std::vector<std::unique_ptr<HostInstance>> stages_;
    std::vector<int> order_;
    double rate_ = 48000;
    uint32_t max_frames_ = 0;
    bool in_place_ = false;
    std::atomic<Source *> source_{nullptr};
    SilenceSource silence_;
    int64_t steady_ = 0;
    bool steady_none_ = false;

    std::vector<std::vector<float>> in_buf_;
    std::vector<float *> in_ptrs_;
    std::vector<std::vector<std::vector<float>>> pos_buf_; // [position][channel][frame]
    std::vector<std::vector<float *>> pos_ptrs_;
    float *const *last_out_ = nullptr;

    std::thread thread_;
    std::atomic<bool> quit_{false}, playing_{true};
    std::atomic<int> pause_req_{0}, paused_{0};
    std::atomic<uint64_t> swap_req_{0}; // (a + 1) << 32 | (b + 1); 0 none
    std::atomic<uint64_t> cycles_{0}, late_{0}, stopped_passes_{0};
};
