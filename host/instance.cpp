// HostInstance: the host services offered to one plug-in instance, the lifecycle wrappers,
// the main-thread pump, process, params and state helpers.
//
// Sections: thread marks, options and settings; host callbacks; construction; lifecycle;
// main-thread pump; process; params; state; latency, ports and debug.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "host/gui.h"
#include "host/host.h"

static thread_local int tl_audio_thread = 0;
static thread_local int tl_in_process = 0;

uint64_t host_now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

void HostInstance::mark_audio_thread(bool on) { tl_audio_thread = on ? 1 : 0; }

bool HostOptions::set_ext(const std::string &id, ExtOffer offer) {
    if (id == CLAP_EXT_PARAMS)
        params = offer;
    else if (id == CLAP_EXT_GUI)
        gui = offer;
    else if (id == CLAP_EXT_LATENCY)
        latency = offer;
    else if (id == CLAP_EXT_LOG)
        log = offer;
    else if (id == CLAP_EXT_STATE)
        state = offer;
    else if (id == CLAP_EXT_TIMER_SUPPORT)
        timer = offer;
    else if (id == CLAP_EXT_THREAD_CHECK)
        thread_check = offer;
    else if (id == CLAP_EXT_PRESET_LOAD)
        preset_load = offer;
    else if (id == CLAP_EXT_CONTEXT_MENU)
        context_menu = offer;
    else if (id == CLAP_EXT_REMOTE_CONTROLS)
        remote_controls = offer;
    else
        return false;
    return true;
}

bool split_setting(const std::string &text, int *stage, std::string *name, std::string *value) {
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    std::string left = text.substr(0, eq);
    *value = text.substr(eq + 1);
    *stage = 0;
    size_t colon = left.find(':');
    if (colon != std::string::npos) {
        std::string num = left.substr(0, colon);
        if (num.empty() || num.size() > 6) return false;
        for (char c : num)
            if (c < '0' || c > '9') return false;
        *stage = atoi(num.c_str());
        if (*stage < 1) return false;
        left = left.substr(colon + 1);
    }
    if (left.empty()) return false;
    *name = left;
    return true;
}

// ---------------------------------------------------------------------------------------
// Host callbacks. Each reaches its instance through host_data.
struct HostCallbacks {
    static HostInstance *self(const clap_host_t *h) { return h ? (HostInstance *)h->host_data : nullptr; }

    static const void *get_extension(const clap_host_t *h, const char *id);
    static void request_restart(const clap_host_t *h) {
        if (HostInstance *s = self(h)) {
            s->record("request_restart");
            s->req_restart_.store(true);
        }
    }
    static void request_process(const clap_host_t *h) {
        if (HostInstance *s = self(h)) {
            s->record("request_process");
            s->req_process_.store(true);
        }
    }
    static void request_callback(const clap_host_t *h) {
        if (HostInstance *s = self(h)) {
            s->record("request_callback");
            s->req_callback_.store(true);
        }
    }
    // clap.params
    static void params_rescan(const clap_host_t *h, clap_param_rescan_flags flags) {
        if (HostInstance *s = self(h)) s->record("rescan:%u", (unsigned)flags);
    }
    static void params_clear(const clap_host_t *h, clap_id id, clap_param_clear_flags flags) {
        if (HostInstance *s = self(h)) s->record("clear:%u:%u", (unsigned)id, (unsigned)flags);
    }
    static void params_request_flush(const clap_host_t *h) {
        if (HostInstance *s = self(h)) {
            s->record("request_flush");
            s->req_flush_.store(true);
        }
    }
    // clap.state
    static void state_mark_dirty(const clap_host_t *h) {
        if (HostInstance *s = self(h)) s->record("mark_dirty");
    }
    // clap.log
    static void log(const clap_host_t *h, clap_log_severity sev, const char *msg) {
        HostInstance *s = self(h);
        if (!s) return;
        s->record("log:%d:%s", (int)sev, msg ? msg : "(null)");
        if (s->opt_.log_to_stderr) fprintf(stderr, "[plug-in log %d] %s\n", (int)sev, msg ? msg : "(null)");
    }
    // clap.latency
    static void latency_changed(const clap_host_t *h) {
        if (HostInstance *s = self(h)) s->record("latency_changed");
    }
    // clap.timer-support
    static bool register_timer(const clap_host_t *h, uint32_t period_ms, clap_id *timer_id) {
        HostInstance *s = self(h);
        if (!s) return false;
        s->record("register_timer:%u", (unsigned)period_ms);
        if (!timer_id) return false;
        HostInstance::Timer t;
        t.id = s->next_timer_id_++;
        t.period_ms = period_ms ? period_ms : 1;
        t.next_ns = host_now_ns() + (uint64_t)t.period_ms * 1000000ull;
        s->timers_.push_back(t);
        *timer_id = t.id;
        return true;
    }
    static bool unregister_timer(const clap_host_t *h, clap_id timer_id) {
        HostInstance *s = self(h);
        if (!s) return false;
        s->record("unregister_timer:%u", (unsigned)timer_id);
        for (size_t i = 0; i < s->timers_.size(); i++)
            if (s->timers_[i].id == timer_id) {
                s->timers_.erase(s->timers_.begin() + (long)i);
                return true;
            }
        return false;
    }
    // clap.gui
    static void gui_resize_hints_changed(const clap_host_t *h) {
        if (HostInstance *s = self(h)) s->record("resize_hints_changed");
    }
    static bool gui_request_resize(const clap_host_t *h, uint32_t w, uint32_t hh) {
        HostInstance *s = self(h);
        if (!s) return false;
        s->record("request_resize:%ux%u", (unsigned)w, (unsigned)hh);
        if (w == 0 || hh == 0 || w > 0x7FFFFFFF) return false;
        s->req_resize_.store((1ull << 63) | ((uint64_t)w << 32) | hh);
        return true;
    }
    static bool gui_request_show(const clap_host_t *h) {
        if (HostInstance *s = self(h)) s->record("request_show");
        return true;
    }
    static bool gui_request_hide(const clap_host_t *h) {
        if (HostInstance *s = self(h)) s->record("request_hide");
        return true;
    }
    static void gui_closed(const clap_host_t *h, bool was_destroyed) {
        if (HostInstance *s = self(h)) s->record("closed:%d", was_destroyed ? 1 : 0);
    }
    // clap.thread-check
    static bool is_main_thread(const clap_host_t *h) {
        HostInstance *s = self(h);
        if (!s) return false;
        s->record("is_main_thread");
        return std::this_thread::get_id() == s->main_thread_ && !tl_audio_thread && !tl_in_process;
    }
    static bool is_audio_thread(const clap_host_t *h) {
        HostInstance *s = self(h);
        if (!s) return false;
        s->record("is_audio_thread");
        return tl_audio_thread || tl_in_process;
    }
};

static const clap_host_params_t HOST_PARAMS = {HostCallbacks::params_rescan, HostCallbacks::params_clear,
                                               HostCallbacks::params_request_flush};
static const clap_host_state_t HOST_STATE = {HostCallbacks::state_mark_dirty};
static const clap_host_log_t HOST_LOG = {HostCallbacks::log};
static const clap_host_latency_t HOST_LATENCY = {HostCallbacks::latency_changed};
static const clap_host_timer_support_t HOST_TIMER = {HostCallbacks::register_timer, HostCallbacks::unregister_timer};
static const clap_host_gui_t HOST_GUI = {HostCallbacks::gui_resize_hints_changed, HostCallbacks::gui_request_resize,
                                         HostCallbacks::gui_request_show, HostCallbacks::gui_request_hide,
                                         HostCallbacks::gui_closed};
static const clap_host_thread_check_t HOST_THREAD_CHECK = {HostCallbacks::is_main_thread,
                                                           HostCallbacks::is_audio_thread};
// The poor host's tables: present, with every function pointer null.
static const clap_host_params_t NULL_PARAMS = {};
static const clap_host_state_t NULL_STATE = {};
static const clap_host_log_t NULL_LOG = {};
static const clap_host_latency_t NULL_LATENCY = {};
static const clap_host_timer_support_t NULL_TIMER = {};
static const clap_host_gui_t NULL_GUI = {};
static const clap_host_thread_check_t NULL_THREAD_CHECK = {};

static const void *offer(ExtOffer o, const void *full, const void *null_fns) {
    switch (o) {
    case ExtOffer::On:
        return full;
    case ExtOffer::NullFns:
        return null_fns;
    default:
        return nullptr;
    }
}

const void *HostCallbacks::get_extension(const clap_host_t *h, const char *id) {
    HostInstance *s = self(h);
    if (!s) return nullptr;
    s->record("get_extension:%s", id ? id : "(null)");
    if (!id) return nullptr;
    const HostOptions &o = s->opt_;
    if (!strcmp(id, CLAP_EXT_PARAMS)) return offer(o.params, &HOST_PARAMS, &NULL_PARAMS);
    if (!strcmp(id, CLAP_EXT_STATE)) return offer(o.state, &HOST_STATE, &NULL_STATE);
    if (!strcmp(id, CLAP_EXT_LOG)) return offer(o.log, &HOST_LOG, &NULL_LOG);
    if (!strcmp(id, CLAP_EXT_LATENCY)) return offer(o.latency, &HOST_LATENCY, &NULL_LATENCY);
    if (!strcmp(id, CLAP_EXT_TIMER_SUPPORT)) return offer(o.timer, &HOST_TIMER, &NULL_TIMER);
    if (!strcmp(id, CLAP_EXT_GUI)) return offer(o.gui, &HOST_GUI, &NULL_GUI);
    if (!strcmp(id, CLAP_EXT_THREAD_CHECK)) return offer(o.thread_check, &HOST_THREAD_CHECK, &NULL_THREAD_CHECK);
    return HostInstance::newer_host_extension(s, id);
}

// ---------------------------------------------------------------------------------------

HostInstance::HostInstance(HostLib &lib, const HostOptions &opt) : lib_(lib), opt_(opt) {
    main_thread_ = std::this_thread::get_id();
    host_.clap_version = opt_.clap_version;
    host_.host_data = this;
    host_.name = "tervik-host";
    host_.vendor = "Morvane";
    host_.url = "https://morvane.com";
    host_.version = "1.0.1";
    host_.get_extension = HostCallbacks::get_extension;
    host_.request_restart = HostCallbacks::request_restart;
    host_.request_process = HostCallbacks::request_process;
    host_.request_callback = HostCallbacks::request_callback;
    pair_.first = &pending_;
    out_.set_sink(sink_event, this);
}

HostInstance::~HostInstance() {
    if (plugin_) destroy(true);
}

void HostInstance::record(const char *fmt, ...) {
    if (!opt_.record_calls) return;
    CallRec r;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(r.text, sizeof r.text, fmt, ap);
    va_end(ap);
    call_queue_.push(r);
}

void HostInstance::drain_calls() {
    CallRec r;
    while (call_queue_.pop(&r))
        calls_.emplace_back(r.text);
    uint64_t d = call_queue_.dropped();
    if (d != drops_reported_) {
        calls_.push_back("dropped:" + std::to_string(d - drops_reported_));
        drops_reported_ = d;
    }
}

std::vector<std::string> HostInstance::calls() {
    drain_calls();
    return calls_;
}

std::vector<std::string> HostInstance::take_calls() {
    drain_calls();
    std::vector<std::string> v;
    v.swap(calls_);
    return v;
}

void HostInstance::clear_calls() {
    drain_calls();
    calls_.clear();
}

static bool call_matches(const std::string &call, const std::string &pat) {
    if (!pat.empty() && pat.back() == '*') return call.compare(0, pat.size() - 1, pat, 0, pat.size() - 1) == 0;
    return call == pat;
}

size_t HostInstance::count_calls(const std::string &text) {
    drain_calls();
    size_t n = 0;
    for (const std::string &c : calls_)
        n += call_matches(c, text) ? 1 : 0;
    return n;
}

int HostInstance::find_call(const std::string &text, size_t from) {
    drain_calls();
    for (size_t i = from; i < calls_.size(); i++)
        if (call_matches(calls_[i], text)) return (int)i;
    return -1;
}

void HostInstance::sink_event(void *ctx, const OutEvent &e) { ((HostInstance *)ctx)->recorded_.push(e); }

std::vector<OutEvent> HostInstance::take_events() {
    std::vector<OutEvent> v;
    OutEvent e;
    while (recorded_.pop(&e))
        v.push_back(e);
    return v;
}

// ---- lifecycle ----------------------------------------------------------------------------

bool HostInstance::create(const std::string &plugin_id) {
    error_.clear();
    if (plugin_) {
        error_ = "instance already created";
        return false;
    }
    const clap_plugin_factory_t *f = lib_.factory();
    if (!f || !f->create_plugin) {
        error_ = "library has no plug-in factory";
        return false;
    }
    std::string id = plugin_id.empty() ? lib_.first_id() : plugin_id;
    host_.clap_version = opt_.clap_version;
    plugin_ = f->create_plugin(f, &host_, id.c_str());
    if (!plugin_) {
        error_ = "factory refused to create \"" + id + "\"";
        return false;
    }
    return true;
}

bool HostInstance::init() {
    error_.clear();
    if (!plugin_ || !plugin_->init) {
        error_ = "no plug-in to init";
        return false;
    }
    if (inited_) return true;
    if (!plugin_->init(plugin_)) {
        error_ = "plug-in init failed";
        return false;
    }
    inited_ = true;
    fetch_extensions();
    return true;
}

bool HostInstance::create_and_init(const std::string &plugin_id) { return create(plugin_id) && init(); }

void HostInstance::fetch_extensions() {
    ext_params_ = (const clap_plugin_params_t *)get_extension(CLAP_EXT_PARAMS);
    ext_state_ = (const clap_plugin_state_t *)get_extension(CLAP_EXT_STATE);
    ext_latency_ = (const clap_plugin_latency_t *)get_extension(CLAP_EXT_LATENCY);
    ext_gui_ = (const clap_plugin_gui_t *)get_extension(CLAP_EXT_GUI);
    ext_timer_ = (const clap_plugin_timer_support_t *)get_extension(CLAP_EXT_TIMER_SUPPORT);
    ext_ports_ = (const clap_plugin_audio_ports_t *)get_extension(CLAP_EXT_AUDIO_PORTS);
    ext_note_ports_ = (const clap_plugin_note_ports_t *)get_extension(CLAP_EXT_NOTE_PORTS);
    ext_debug_ = (const tervik_plugin_debug_t *)get_extension(TERVIK_EXT_DEBUG);
}

const void *HostInstance::get_extension(const char *id) const {
    if (!plugin_ || !plugin_->get_extension) return nullptr;
    return plugin_->get_extension(plugin_, id);
}

bool HostInstance::activate(double rate, uint32_t min_frames, uint32_t max_frames) {
    error_.clear();
    if (!plugin_ || !plugin_->activate) {
        error_ = "no plug-in to activate";
        return false;
    }
    if (!plugin_->activate(plugin_, rate, min_frames, max_frames)) {
        error_ = "plug-in activate failed";
        return false;
    }
    active_ = true;
    rate_ = rate;
    min_frames_ = min_frames;
    max_frames_ = max_frames;
    return true;
}

void HostInstance::deactivate() {
    if (!plugin_ || !active_) return;
    if (processing_) stop_processing();
    if (plugin_->deactivate) plugin_->deactivate(plugin_);
    active_ = false;
}

bool HostInstance::start_processing() {
    if (!plugin_ || !plugin_->start_processing) return false;
    tl_in_process++;
    bool ok = plugin_->start_processing(plugin_);
    tl_in_process--;
    processing_ = ok;
    return ok;
}

void HostInstance::stop_processing() {
    if (!plugin_ || !plugin_->stop_processing) return;
    tl_in_process++;
    plugin_->stop_processing(plugin_);
    tl_in_process--;
    processing_ = false;
}

void HostInstance::reset() {
    if (plugin_ && plugin_->reset) plugin_->reset(plugin_);
}

void HostInstance::on_main_thread() {
    if (plugin_ && plugin_->on_main_thread) plugin_->on_main_thread(plugin_);
}

void HostInstance::destroy(bool tidy) {
    if (!plugin_) return;
    if (tidy) {
        if (gui_created_ || parent_) gui_close();
        if (processing_) stop_processing();
        if (active_) deactivate();
    }
    if (plugin_->destroy) plugin_->destroy(plugin_);
    plugin_ = nullptr;
    inited_ = active_ = false;
    processing_ = false;
    gui_created_ = false;
    parent_.reset();
    timers_.clear();
    ext_params_ = nullptr;
    ext_state_ = nullptr;
    ext_latency_ = nullptr;
    ext_gui_ = nullptr;
    ext_timer_ = nullptr;
    ext_ports_ = nullptr;
    ext_note_ports_ = nullptr;
    ext_debug_ = nullptr;
    drain_calls();
}

// ---- main-thread pump ---------------------------------------------------------------------

void HostInstance::idle() {
    drain_calls();
    if (!plugin_) return;
    if (req_callback_.exchange(false)) {
        callbacks_++;
        on_main_thread();
    }
    if (req_restart_.load() && !audio_owned_.load()) {
        req_restart_.store(false);
        if (active_) {
            bool was_processing = processing_.load();
            double r = rate_;
            uint32_t mn = min_frames_, mx = max_frames_;
            deactivate();
            if (activate(r, mn, mx)) {
                restarts_++;
                if (was_processing) start_processing();
            }
        }
    }
    if (req_flush_.load() && !audio_owned_.load()) {
        req_flush_.store(false);
        flush(nullptr);
    }
    gui_idle();
    if (!timers_.empty()) {
        uint64_t now = host_now_ns();
        // on_timer may register or unregister timers: work from a copy of the due ids.
        clap_id due[64];
        size_t n = 0;
        for (Timer &t : timers_) {
            if (now >= t.next_ns && n < 64) {
                due[n++] = t.id;
                t.next_ns += (uint64_t)t.period_ms * 1000000ull;
                if (t.next_ns < now) t.next_ns = now + (uint64_t)t.period_ms * 1000000ull;
            }
        }
        if (ext_timer_ && ext_timer_->on_timer)
            for (size_t i = 0; i < n; i++)
                ext_timer_->on_timer(plugin_, due[i]);
    }
    drain_calls();
}

void HostInstance::pump_for(uint32_t ms) {
    uint64_t end = host_now_ns() + (uint64_t)ms * 1000000ull;
    do {
        idle();
        timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
    } while (host_now_ns() < end);
}

void HostInstance::fire_timers() {
    if (!plugin_ || !ext_timer_ || !ext_timer_->on_timer) return;
    std::vector<clap_id> ids;
    for (const Timer &t : timers_)
        ids.push_back(t.id);
    for (clap_id id : ids)
        ext_timer_->on_timer(plugin_, id);
}

// ---- process --------------------------------------------------------------------------------

bool HostInstance::post_param(uint32_t param_id, double value) {
    Posted p{};
    p.kind = 0;
    p.id = param_id;
    p.value = value;
    return posted_.push(p);
}

bool HostInstance::post_midi(uint8_t b0, uint8_t b1, uint8_t b2) {
    Posted p{};
    p.kind = 1;
    p.midi[0] = b0;
    p.midi[1] = b1;
    p.midi[2] = b2;
    return posted_.push(p);
}

int32_t HostInstance::process(const ProcessArgs &a) {
    if (!plugin_ || !plugin_->process) return CLAP_PROCESS_ERROR;
    if (opt_.auto_start_processing && active_ && !processing_) start_processing();
    tl_in_process++;
    pending_.clear();
    Posted p;
    while (posted_.pop(&p)) {
        if (p.kind == 0)
            pending_.add_param(0, p.id, p.value);
        else
            pending_.add_midi(0, p.midi[0], p.midi[1], p.midi[2]);
    }
    pair_.first = &pending_;
    pair_.second = a.events;
    out_.clear();

    clap_audio_buffer_t inb{}, outb{};
    inb.data32 = const_cast<float **>(a.in);
    inb.channel_count = a.in_channels;
    outb.data32 = const_cast<float **>(a.out);
    outb.channel_count = a.out_channels;

    clap_process_t pr{};
    bool auto_steady = a.steady_time == STEADY_AUTO;
    pr.steady_time = auto_steady ? (steady_none_ ? -1 : steady_) : a.steady_time;
    pr.frames_count = a.frames;
    pr.transport = a.transport;
    pr.audio_inputs = a.in_ports ? &inb : nullptr;
    pr.audio_outputs = a.out_ports ? &outb : nullptr;
    pr.audio_inputs_count = a.in_ports;
    pr.audio_outputs_count = a.out_ports;
    pr.in_events = a.null_in_events ? nullptr : &pair_.list;
    pr.out_events = a.null_out_events ? nullptr : out_.clap();

    int32_t status = plugin_->process(plugin_, &pr);
    if (auto_steady) steady_ += a.frames;
    process_calls_.fetch_add(1, std::memory_order_relaxed);
    tl_in_process--;
    return status;
}

int32_t HostInstance::process(float *const *in, float *const *out, uint32_t channels, uint32_t frames,
                              const InputEvents *events) {
    ProcessArgs a;
    a.in = in;
    a.out = out;
    a.in_channels = a.out_channels = channels;
    a.frames = frames;
    a.events = events;
    return process(a);
}

// ---- params ---------------------------------------------------------------------------------

uint32_t HostInstance::param_count() const {
    if (!plugin_ || !ext_params_ || !ext_params_->count) return 0;
    return ext_params_->count(plugin_);
}

bool HostInstance::param_info(uint32_t index, ParamDesc *out) const {
    if (!plugin_ || !ext_params_ || !ext_params_->get_info || !out) return false;
    clap_param_info_t info;
    memset(&info, 0, sizeof info);
    if (!ext_params_->get_info(plugin_, index, &info)) return false;
    info.name[sizeof info.name - 1] = 0;
    info.module[sizeof info.module - 1] = 0;
    out->id = info.id;
    out->flags = info.flags;
    out->name = info.name;
    out->module = info.module;
    out->min = info.min_value;
    out->max = info.max_value;
    out->def = info.default_value;
    return true;
}

std::vector<ParamDesc> HostInstance::param_list() const {
    std::vector<ParamDesc> v;
    uint32_t n = param_count();
    if (n > 100000) n = 100000;
    for (uint32_t i = 0; i < n; i++) {
        ParamDesc d;
        if (param_info(i, &d)) v.push_back(d);
    }
    return v;
}

bool HostInstance::param_value(uint32_t id, double *out) const {
    if (!plugin_ || !ext_params_ || !ext_params_->get_value || !out) return false;
    return ext_params_->get_value(plugin_, id, out);
}

std::string HostInstance::value_to_text(uint32_t id, double value, bool *ok) const {
    char buf[256];
    buf[0] = 0;
    bool r = plugin_ && ext_params_ && ext_params_->value_to_text &&
             ext_params_->value_to_text(plugin_, id, value, buf, sizeof buf);
    buf[sizeof buf - 1] = 0;
    if (ok) *ok = r;
    return r ? std::string(buf) : std::string();
}

bool HostInstance::text_to_value(uint32_t id, const std::string &text, double *out) const {
    if (!plugin_ || !ext_params_ || !ext_params_->text_to_value || !out) return false;
    return ext_params_->text_to_value(plugin_, id, text.c_str(), out);
}

bool HostInstance::find_param(const std::string &name, uint32_t *id) const {
    uint32_t n = param_count();
    if (n > 100000) n = 100000;
    for (uint32_t i = 0; i < n; i++) {
        ParamDesc d;
        if (param_info(i, &d) && strcasecmp(d.name.c_str(), name.c_str()) == 0) {
            if (id) *id = d.id;
            return true;
        }
    }
    return false;
}

bool HostInstance::parse_value(uint32_t id, const std::string &text, double *out) const {
    if (text_to_value(id, text, out)) return true;
    const char *s = text.c_str();
    char *end = nullptr;
    double v = strtod(s, &end);
    if (end == s) return false;
    *out = v;
    return true;
}

static uint32_t empty_size(const clap_input_events_t *) { return 0; }
static const clap_event_header_t *empty_get(const clap_input_events_t *, uint32_t) { return nullptr; }
static const clap_input_events_t EMPTY_EVENTS = {nullptr, empty_size, empty_get};

bool HostInstance::flush(const InputEvents *in) { return flush(in, &out_); }

bool HostInstance::flush(const InputEvents *in, OutputEvents *out) {
    if (!plugin_ || !ext_params_ || !ext_params_->flush) return false;
    if (!out) out = &out_;
    out->clear();
    ext_params_->flush(plugin_, in ? in->clap() : &EMPTY_EVENTS, out->clap());
    if (out != &out_ && !out->has_sink())
        for (uint32_t i = 0; i < out->size(); i++)
            recorded_.push(out->at(i));
    flushes_++;
    return true;
}

// ---- state ----------------------------------------------------------------------------------

namespace {
struct StreamCtx {
    std::vector<uint8_t> *out = nullptr;
    const std::vector<uint8_t> *in = nullptr;
    size_t pos = 0;
    StreamLimits lim;
    StreamStats stats;
};

int64_t stream_write(const clap_ostream_t *s, const void *buf, uint64_t size) {
    StreamCtx *c = (StreamCtx *)s->ctx;
    c->stats.calls++;
    if (!buf && size) return -1;
    if (c->lim.fail_after >= 0 && c->stats.bytes >= (uint64_t)c->lim.fail_after) return c->lim.fail_result;
    uint64_t n = size;
    if (c->lim.max_chunk && n > c->lim.max_chunk) n = c->lim.max_chunk;
    if (c->lim.fail_after >= 0 && c->stats.bytes + n > (uint64_t)c->lim.fail_after)
        n = (uint64_t)c->lim.fail_after - c->stats.bytes;
    if (n > (1ull << 30)) return -1;
    c->out->insert(c->out->end(), (const uint8_t *)buf, (const uint8_t *)buf + n);
    c->stats.bytes += n;
    return (int64_t)n;
}

int64_t stream_read(const clap_istream_t *s, void *buf, uint64_t size) {
    StreamCtx *c = (StreamCtx *)s->ctx;
    c->stats.calls++;
    if (!buf && size) return -1;
    if (c->lim.fail_after >= 0 && c->stats.bytes >= (uint64_t)c->lim.fail_after) return c->lim.fail_result;
    uint64_t left = c->in->size() - c->pos;
    uint64_t n = size < left ? size : left;
    if (c->lim.max_chunk && n > c->lim.max_chunk) n = c->lim.max_chunk;
    if (c->lim.fail_after >= 0 && c->stats.bytes + n > (uint64_t)c->lim.fail_after)
        n = (uint64_t)c->lim.fail_after - c->stats.bytes;
    if (n) memcpy(buf, c->in->data() + c->pos, n);
    c->pos += n;
    c->stats.bytes += n;
    return (int64_t)n; // 0 at the end of the blob
}
} // namespace

bool HostInstance::state_save(std::vector<uint8_t> *out, const StreamLimits &lim, StreamStats *stats) {
    if (!plugin_ || !ext_state_ || !ext_state_->save || !out) return false;
    out->clear();
    StreamCtx c;
    c.out = out;
    c.lim = lim;
    clap_ostream_t s{&c, stream_write};
    bool ok = ext_state_->save(plugin_, &s);
    if (stats) *stats = c.stats;
    return ok;
}

bool HostInstance::state_load(const std::vector<uint8_t> &in, const StreamLimits &lim, StreamStats *stats) {
    if (!plugin_ || !ext_state_ || !ext_state_->load) return false;
    StreamCtx c;
    c.in = &in;
    c.lim = lim;
    clap_istream_t s{&c, stream_read};
    bool ok = ext_state_->load(plugin_, &s);
    if (stats) *stats = c.stats;
    return ok;
}

// ---- latency, ports, debug ------------------------------------------------------------------

uint32_t HostInstance::latency() const {
    if (!plugin_ || !ext_latency_ || !ext_latency_->get) return 0;
    return ext_latency_->get(plugin_);
}

uint32_t HostInstance::audio_port_count(bool input) const {
    if (!plugin_ || !ext_ports_ || !ext_ports_->count) return 0;
    return ext_ports_->count(plugin_, input);
}

bool HostInstance::audio_port(uint32_t index, bool input, clap_audio_port_info_t *info) const {
    if (!plugin_ || !ext_ports_ || !ext_ports_->get || !info) return false;
    memset(info, 0, sizeof *info);
    return ext_ports_->get(plugin_, index, input, info);
}

uint32_t HostInstance::main_channels(bool input) const {
    uint32_t n = audio_port_count(input);
    for (uint32_t i = 0; i < n && i < 64; i++) {
        clap_audio_port_info_t info;
        if (audio_port(i, input, &info) && (info.flags & CLAP_AUDIO_PORT_IS_MAIN)) return info.channel_count;
    }
    clap_audio_port_info_t info;
    if (n > 0 && audio_port(0, input, &info)) return info.channel_count;
    return 0;
}

bool HostInstance::debug_meter(uint32_t n, double *out) const {
    if (!plugin_ || !ext_debug_ || !ext_debug_->meter || !out) return false;
    *out = ext_debug_->meter(plugin_, n);
    return true;
}

bool HostInstance::debug_chain(uint32_t *size, uint32_t *position) const {
    if (!plugin_ || !ext_debug_ || !ext_debug_->chain_size || !ext_debug_->chain_position) return false;
    if (size) *size = ext_debug_->chain_size(plugin_);
    if (position) *position = ext_debug_->chain_position(plugin_);
    return true;
}
