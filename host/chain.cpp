// Chain: stages in series on one audio thread; several chains on several threads.
#include "host/chain.h"

#include <time.h>

#include <algorithm>
#include <cstring>

static void sleep_ns(uint64_t ns) {
    timespec ts;
    ts.tv_sec = (time_t)(ns / 1000000000ull);
    ts.tv_nsec = (long)(ns % 1000000000ull);
    nanosleep(&ts, nullptr);
}

static void sleep_until_ns(uint64_t t) {
    timespec ts;
    ts.tv_sec = (time_t)(t / 1000000000ull);
    ts.tv_nsec = (long)(t % 1000000000ull);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

Chain::Chain(uint32_t channels) : channels_(channels ? channels : 1) {}

Chain::~Chain() {
    stop();
    clear();
}

bool Chain::create(HostLib &lib, int n, const HostOptions &opt, const std::string &plugin_id, std::string *err) {
    for (int i = 0; i < n; i++) {
        std::unique_ptr<HostInstance> h(new HostInstance(lib, opt));
        if (!h->create(plugin_id) || !h->init()) {
            if (err) *err = "stage " + std::to_string(stages_.size() + 1) + ": " + h->error();
            return false;
        }
        add(std::move(h));
    }
    return true;
}

HostInstance *Chain::add(std::unique_ptr<HostInstance> inst) {
    inst->set_stage_index((uint32_t)stages_.size());
    order_.push_back((int)stages_.size());
    stages_.push_back(std::move(inst));
    if (max_frames_) prepare_buffers();
    return stages_.back().get();
}

void Chain::clear() {
    stop();
    for (auto &s : stages_)
        s->destroy(true);
    stages_.clear();
    order_.clear();
    pos_buf_.clear();
    pos_ptrs_.clear();
    last_out_ = nullptr;
}

void Chain::fit_channels_to_ports() {
    if (stages_.empty()) return;
    uint32_t n = std::max(stages_[0]->main_channels(true), stages_[0]->main_channels(false));
    if (n > channels_ && n <= 64) channels_ = n;
}

bool Chain::activate(double rate, uint32_t min_frames, uint32_t max_frames, std::string *err) {
    if (max_frames == 0) max_frames = 1;
    rate_ = rate;
    max_frames_ = max_frames;
    prepare_buffers();
    bool ok = true;
    for (size_t i = 0; i < stages_.size(); i++) {
        if (stages_[i]->active()) continue;
        if (!stages_[i]->activate(rate, min_frames, max_frames)) {
            if (err && ok) *err = "stage " + std::to_string(i + 1) + ": " + stages_[i]->error();
            ok = false;
        }
    }
    return ok;
}

void Chain::deactivate() {
    stop();
    for (auto &s : stages_)
        s->deactivate();
}

void Chain::prepare_buffers() {
    size_t n = max_frames_ ? max_frames_ : 1;
    in_buf_.assign(channels_, std::vector<float>(n, 0.0f));
    in_ptrs_.resize(channels_);
    for (uint32_t c = 0; c < channels_; c++)
        in_ptrs_[c] = in_buf_[c].data();
    pos_buf_.assign(stages_.size(), std::vector<std::vector<float>>(channels_, std::vector<float>(n, 0.0f)));
    pos_ptrs_.assign(stages_.size(), std::vector<float *>(channels_));
    for (size_t k = 0; k < stages_.size(); k++)
        for (uint32_t c = 0; c < channels_; c++)
            pos_ptrs_[k][c] = pos_buf_[k][c].data();
    last_out_ = nullptr;
}

bool Chain::post_param(int stage, uint32_t param_id, double value) {
    bool ok = true;
    for (size_t i = 0; i < stages_.size(); i++)
        if (stage < 0 || (size_t)stage == i) ok = stages_[i]->post_param(param_id, value) && ok;
    return ok && (stage < 0 || (size_t)stage < stages_.size());
}

float *const *Chain::output() { return last_out_ ? last_out_ : in_ptrs_.data(); }

float *const *Chain::position_output(size_t pos) {
    if (in_place_ || pos >= pos_ptrs_.size()) return in_ptrs_.data();
    return pos_ptrs_[pos].data();
}

void Chain::apply_swap() {
    uint64_t r = swap_req_.load();
    if (!r) return;
    size_t a = (size_t)(r >> 32) - 1, b = (size_t)(r & 0xFFFFFFFF) - 1;
    if (a < order_.size() && b < order_.size()) {
        int t = order_[a];
        order_[a] = order_[b];
        order_[b] = t;
    }
    swap_req_.store(0);
}

void Chain::cycle(uint32_t frames) {
    if (frames > max_frames_) frames = max_frames_;
    if (frames == 0 || in_ptrs_.empty()) return;
    apply_swap();
    Source *src = source_.load();
    // A chain processing out of place only reads its input: a source may lend it.
    float *const *cur = src && !in_place_ ? src->lend(channels_, frames) : nullptr;
    if (!cur) {
        (src ? src : &silence_)->fill(in_ptrs_.data(), channels_, frames);
        cur = in_ptrs_.data();
    }
    ProcessArgs a;
    a.in_channels = a.out_channels = channels_;
    a.frames = frames;
    a.steady_time = steady_none_ ? -1 : steady_;
    for (size_t k = 0; k < order_.size(); k++) {
        HostInstance &h = *stages_[(size_t)order_[k]];
        h.take_flush_request(); // this process call serves it
        float *const *out = in_place_ ? cur : pos_ptrs_[k].data();
        a.in = cur;
        a.out = out;
        h.process(a);
        cur = out;
    }
    last_out_ = cur;
    steady_ += frames;
    cycles_.fetch_add(1, std::memory_order_relaxed);
}

void Chain::set_owned(bool owned) {
    for (auto &s : stages_)
        s->set_audio_owned(owned);
}

void Chain::park_if_asked() {
    if (!pause_req_.load()) return;
    for (auto &s : stages_)
        if (s->processing()) s->stop_processing();
    paused_.store(1);
    while (pause_req_.load() && !quit_.load())
        sleep_ns(200000);
    paused_.store(0);
}

void Chain::audio_loop(uint32_t frames, bool realtime, uint64_t limit, std::atomic<int> *gate, int gate_total) {
    HostInstance::mark_audio_thread(true);
    if (gate) {
        gate->fetch_add(1);
        while (gate->load() < gate_total) {
        }
    }
    uint64_t period = (uint64_t)((double)frames * 1e9 / (rate_ > 0 ? rate_ : 48000));
    uint64_t next = host_now_ns();
    uint64_t done = 0;
    while (!quit_.load(std::memory_order_relaxed) && (limit == 0 || done < limit)) {
        park_if_asked();
        if (playing_.load(std::memory_order_relaxed)) {
            cycle(frames);
            done++;
        } else {
            // Transport stopped: no process calls; flush requests are served here.
            apply_swap();
            for (auto &s : stages_)
                if (s->take_flush_request()) s->flush(nullptr);
            stopped_passes_.fetch_add(1, std::memory_order_relaxed);
            if (!realtime) sleep_ns(1000000);
        }
        if (realtime) {
            next += period;
            uint64_t now = host_now_ns();
            if (now > next + 100000000ull) {
                late_.fetch_add(1, std::memory_order_relaxed);
                next = now; // far behind: don't burst to catch up
            } else if (now > next) {
                late_.fetch_add(1, std::memory_order_relaxed);
            } else {
                sleep_until_ns(next);
            }
        }
    }
    for (auto &s : stages_)
        if (s->processing()) s->stop_processing();
    HostInstance::mark_audio_thread(false);
}

bool Chain::run_blocks(uint64_t n, uint32_t frames) {
    if (running() || !max_frames_) return false;
    quit_.store(false);
    set_owned(true);
    std::thread t([this, n, frames] { audio_loop(frames, false, n, nullptr, 0); });
    t.join();
    set_owned(false);
    return true;
}

bool Chain::start(uint32_t frames, bool realtime) {
    if (running() || !max_frames_) return false;
    quit_.store(false);
    set_owned(true);
    thread_ = std::thread([this, frames, realtime] { audio_loop(frames, realtime, 0, nullptr, 0); });
    return true;
}

void Chain::stop() {
    if (!thread_.joinable()) return;
    quit_.store(true);
    pause_req_.store(0);
    thread_.join();
    set_owned(false);
}

bool Chain::swap_positions(size_t a, size_t b) {
    if (a >= order_.size() || b >= order_.size()) return false;
    if (a == b) return true;
    if (!running()) {
        int t = order_[a];
        order_[a] = order_[b];
        order_[b] = t;
        return true;
    }
    uint64_t want = ((uint64_t)(a + 1) << 32) | (uint64_t)(b + 1);
    uint64_t expected = 0;
    while (!swap_req_.compare_exchange_weak(expected, want)) {
        expected = 0;
        sleep_ns(100000);
    }
    for (int i = 0; i < 20000 && swap_req_.load() != 0 && running(); i++)
        sleep_ns(100000);
    return true;
}

void Chain::idle() {
    bool restart = false;
    for (auto &s : stages_)
        restart = restart || s->restart_requested();
    if (restart && running()) {
        pause_req_.store(1);
        for (int i = 0; i < 20000 && !paused_.load(); i++)
            sleep_ns(100000);
        if (!paused_.load()) { // the audio thread did not park: try again at the next idle
            pause_req_.store(0);
            for (auto &s : stages_)
                s->idle();
            return;
        }
        set_owned(false);
        for (auto &s : stages_)
            s->idle();
        set_owned(true);
        pause_req_.store(0);
        return;
    }
    for (auto &s : stages_)
        s->idle();
}

bool Chain::run_parallel(const std::vector<Chain *> &chains, uint64_t n, uint32_t frames) {
    for (Chain *c : chains)
        if (!c || c->running() || !c->max_frames_) return false;
    std::atomic<int> gate{0};
    int total = (int)chains.size();
    std::vector<std::thread> threads;
    for (Chain *c : chains) {
        c->quit_.store(false);
        c->set_owned(true);
        threads.emplace_back([c, n, frames, &gate, total] { c->audio_loop(frames, false, n, &gate, total); });
    }
    for (std::thread &t : threads)
        t.join();
    for (Chain *c : chains)
        c->set_owned(false);
    return true;
}
