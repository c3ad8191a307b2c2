// A small conforming CLAP host: loads any .clap (HostLib), runs plug-in instances with the
// host services CLAP defines (HostInstance), records every service call the plug-in makes,
// and offers the params, state, process and GUI helpers the tests and the CLI build on.
//
// Threads: every function here is [main-thread] unless its section or its comment carries
// another tag. process() is the [audio-thread] call; a caller that processes on one thread
// only may call it from the main thread.
// Results: a bool is true on success and false on failure (with error() set where said) or
// when the plug-in lacks the extension or function; counts, sizes and latencies are 0 and
// pointers null without one.
#pragma once
#include <clap/entry.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/thread-check.h>
#include <clap/ext/timer-support.h>
#include <clap/host.h>
#include <clap/plugin-factory.h>
#include <clap/plugin.h>
#include <clap/process.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/events.h"
#include "host/lfqueue.h"
#include "plugin/clap_ext.h"
#include "plugin/clap_log.h"
#include "plugin/debug_ext.h"

// ---------------------------------------------------------------------------------------
// Library: one loaded .clap file.
class HostLib {
  public:
    HostLib() = default;
    ~HostLib() { unload(); }
    HostLib(const HostLib &) = delete;
    HostLib &operator=(const HostLib &) = delete;

    // [main-thread] dlopen (RTLD_NOW | RTLD_LOCAL), find `clap_entry`, check its CLAP version, call its
    // init with the path and get "clap.plugin-factory". False with error() set on any failure
    // (the library is then unloaded again). A loaded library is unloaded first.
    bool load(const std::string &path);
    // As load, for a plug-in linked into this program: its entry is taken as the library's
    // (version check, init with path, factory); unload deinits it and closes no library.
    // Main thread.
    bool load_linked(const clap_plugin_entry_t *entry, const std::string &path);
    // The first half of load: dlopen and find the entry, without calling init.
    bool open(const std::string &path);
    // The second half: entry init, then the plug-in factory. After open().
    bool init();
    // Calls the entry's deinit (when init succeeded), then dlclose. Safe to call twice.
    void unload();

    bool loaded() const { return handle_ != nullptr || linked_; }
    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }

    const clap_plugin_entry_t *entry() const { return entry_; }
    const clap_plugin_factory_t *factory() const { return factory_; }
    // Descriptor count and list from the factory (0 / null when there is none). Null
    // descriptors returned by the plug-in are skipped by descriptors().
    uint32_t count() const;
    const clap_plugin_descriptor_t *descriptor(uint32_t index) const;
    std::vector<const clap_plugin_descriptor_t *> descriptors() const;
    // Id of the first descriptor, or "" when there is none.
    std::string first_id() const;

  private:
    bool check_version(); // false (and unloaded) when entry_'s CLAP version is incompatible
    void *handle_ = nullptr;
    const clap_plugin_entry_t *entry_ = nullptr;
    const clap_plugin_factory_t *factory_ = nullptr;
    bool inited_ = false;
    bool linked_ = false; // the entry is this program's own, not a library's
    std::string path_, error_;
};

// How a host extension is offered to the plug-in.
enum class ExtOffer : uint8_t {
    On,      // the full table
    Off,     // get_extension returns null
    NullFns, // a table whose function pointers are all null (a poor host)
};

struct HostOptions {
    clap_version_t clap_version = CLAP_VERSION; // advertised in clap_host_t (tests use major 0)
    ExtOffer params = ExtOffer::On;             // "clap.params"
    ExtOffer gui = ExtOffer::On;                // "clap.gui"
    ExtOffer latency = ExtOffer::On;            // "clap.latency"
    ExtOffer log = ExtOffer::On;                // "clap.log"
    ExtOffer state = ExtOffer::On;              // "clap.state"
    ExtOffer timer = ExtOffer::On;              // "clap.timer-support"
    ExtOffer thread_check = ExtOffer::On;       // "clap.thread-check"
    ExtOffer preset_load = ExtOffer::On;        // "clap.preset-load/2" (and its draft id)
    ExtOffer context_menu = ExtOffer::On;       // "clap.context-menu/1" (and its draft id)
    ExtOffer remote_controls = ExtOffer::On;    // "clap.remote-controls/2" (and its draft id)
    bool log_to_stderr = true;                  // print plug-in log lines to stderr
    bool auto_start_processing = true;          // process() calls start_processing when needed
    bool record_calls = true;                   // keep the list of host-service calls (calls())
    // Sets the offer for an extension id (one of the ten above); false for another id.
    bool set_ext(const std::string &id, ExtOffer offer);
};

// Byte limits for the state streams, to test partial reads and writes.
struct StreamLimits {
    uint64_t max_chunk = 0;   // at most this many bytes per read/write call; 0 = no limit
    int64_t fail_after = -1;  // after this many bytes have passed, every call fails; -1 never
    int64_t fail_result = -1; // what a failing call returns: -1 (error) or 0
};
struct StreamStats {
    uint64_t calls = 0; // read/write calls made by the plug-in
    uint64_t bytes = 0; // bytes moved
};

constexpr int64_t STEADY_AUTO = INT64_MIN; // ProcessArgs: use the instance's own counter

// One process call as the test wants it. Channel pointers may be null (a port with a null
// data32); ports may be 0 (no audio ports); in and out may be the same (in place).
struct ProcessArgs {
    float *const *in = nullptr;
    uint32_t in_channels = 2;
    float *const *out = nullptr;
    uint32_t out_channels = 2;
    uint32_t in_ports = 1;  // 0 or 1
    uint32_t out_ports = 1; // 0 or 1
    uint32_t frames = 0;
    const InputEvents *events = nullptr; // added after the events posted with post_param()
    bool null_in_events = false;         // pass in_events = null (a broken host)
    bool null_out_events = false;        // pass out_events = null
    int64_t steady_time = STEADY_AUTO;   // explicit value (-1 = none) or the instance's
    const clap_event_transport_t *transport = nullptr;
};

// One remote-control page, as the plug-in gave it (param ids: eight, CLAP_INVALID_ID empty).
struct RemotePageDesc {
    uint32_t id = 0;
    std::string section, name;
    std::vector<clap_id> params;
    bool for_preset = false;
};

// One item of a context menu as a host builds it from its own items and the plug-in's.
struct MenuItemDesc {
    uint32_t kind = 0; // CLAP_CONTEXT_MENU_ITEM_*
    std::string label; // entry, check entry, title or submenu text
    bool enabled = false, checked = false;
    clap_id action = CLAP_INVALID_ID;
    bool from_plugin = false; // else the host's own item
};

// One parameter's description, as the plug-in gave it.
struct ParamDesc {
    uint32_t id = 0;
    uint32_t flags = 0;
    std::string name, module;
    double min = 0, max = 0, def = 0;
};

class X11Parent;

// One plug-in instance with its own clap_host_t (host_data points at the instance).
// Not movable: the plug-in keeps the host pointer.
class HostInstance {
  public:
    explicit HostInstance(HostLib &lib, const HostOptions &opt = HostOptions());
    ~HostInstance(); // destroy() when still alive
    HostInstance(const HostInstance &) = delete;
    HostInstance &operator=(const HostInstance &) = delete;

    HostOptions &options() { return opt_; } // change before create()
    const std::string &error() const { return error_; }

    // ---- lifecycle [main-thread] ------------------------------------------------------
    // factory create_plugin with this instance's host; an empty id takes the first
    // descriptor. False (error set) when the factory refuses.
    bool create(const std::string &plugin_id = std::string());
    bool init(); // plugin init; then the plug-in's extensions are fetched
    bool create_and_init(const std::string &plugin_id = std::string());
    bool activate(double rate, uint32_t min_frames, uint32_t max_frames);
    void deactivate();       // stops processing first when needed; no-op when inactive
    bool start_processing(); // [audio-thread] in a real host; here the caller's thread
    void stop_processing();
    void reset();
    // With tidy, the host first stops processing, deactivates and closes the GUI, as a
    // well-behaved host does; without, plugin destroy is called in whatever state it is in.
    void destroy(bool tidy = true);
    const void *get_extension(const char *id) const; // plugin get_extension (null-safe)
    void on_main_thread();                           // plugin on_main_thread

    bool created() const { return plugin_ != nullptr; }
    bool inited() const { return inited_; }
    bool active() const { return active_; }
    bool processing() const { return processing_.load(); }
    double rate() const { return rate_; }
    uint32_t min_frames() const { return min_frames_; }
    uint32_t max_frames() const { return max_frames_; }

    const clap_plugin_t *plugin() const { return plugin_; }
    const clap_host_t *host() const { return &host_; }
    HostLib &lib() { return lib_; }

    // Extension tables of the plug-in (fetched after init; null when absent).
    const clap_plugin_params_t *params_ext() const { return ext_params_; }
    const clap_plugin_state_t *state_ext() const { return ext_state_; }
    const clap_plugin_latency_t *latency_ext() const { return ext_latency_; }
    const clap_plugin_gui_t *gui_ext() const { return ext_gui_; }
    const clap_plugin_timer_support_t *timer_ext() const { return ext_timer_; }
    const clap_plugin_audio_ports_t *audio_ports_ext() const { return ext_ports_; }
    const clap_plugin_note_ports_t *note_ports_ext() const { return ext_note_ports_; }
    // Tervik's private debug table ("com.morvane.tervik.debug/1"), or null for other plug-ins.
    const tervik_plugin_debug_t *debug_ext() const { return ext_debug_; }

    // ---- main-thread pump [main-thread] ---------------------------------------------------
    // Serves what the plug-in asked for, like a real host's main loop:
    //  - request_callback: clear, then plugin on_main_thread;
    //  - request_restart: when active and not owned by a running audio thread, deactivate
    //    and activate again with the same settings (processing is restarted if it was on);
    //  - request_flush: when no audio thread owns the instance, params flush with an empty
    //    input list into a recording output list (else the audio thread serves it);
    //  - a request_resize: resize the host's parent window and call gui set_size;
    //  - due timers: plugin on_timer; X events of the parent window.
    void idle();
    // idle() about every millisecond for ms milliseconds: the host's main loop, with timers
    // (an editor's 16 ms timer fires about ms / 16 times).
    void pump_for(uint32_t ms);
    bool callback_requested() const { return req_callback_.load(); }
    bool restart_requested() const { return req_restart_.load(); }
    bool flush_requested() const { return req_flush_.load(); }
    bool process_requested() const { return req_process_.load(); }
    uint32_t restarts_done() const { return restarts_; }
    uint32_t callbacks_done() const { return callbacks_; }
    uint32_t flushes_done() const { return flushes_; }

    // ---- recorded host-service calls [main-thread] ------------------------------------
    // Every call the plug-in made into the host, in order, e.g. "get_extension:clap.params",
    // "request_callback", "request_restart", "request_process", "rescan:1", "clear:5:1",
    // "request_flush", "mark_dirty", "log:2:text", "latency_changed",
    // "register_timer:16", "unregister_timer:1", "resize_hints_changed",
    // "request_resize:960x600", "request_show", "request_hide", "closed:1",
    // "is_main_thread", "is_audio_thread". Recording is lock-free (audio thread too).
    std::vector<std::string> calls();      // all since the last clear
    std::vector<std::string> take_calls(); // and clear
    void clear_calls();
    // Count of recorded calls equal to text, or, when text ends in '*', starting with it.
    size_t count_calls(const std::string &text);
    // Calls that could not be recorded because nobody took them (4096 are held between
    // two main-thread drains); the call list then holds a "dropped:N" entry at that point.
    uint64_t calls_dropped() const { return call_queue_.dropped(); }
    uint64_t events_dropped() const { return recorded_.dropped(); } // take_events() overflow
    // Index of the first recorded call matching (as count_calls) at or after from; -1 none.
    int find_call(const std::string &text, size_t from = 0);

    // ---- process [audio-thread] ---------------------------------------------------------
    // Returns the plug-in's process status (CLAP_PROCESS_ERROR when it cannot be called).
    int32_t process(const ProcessArgs &a);
    // Convenience: stereo (or any channel count) in and out, optional extra events.
    int32_t process(float *const *in, float *const *out, uint32_t channels, uint32_t frames,
                    const InputEvents *events = nullptr);
    // Queues a parameter value for the next process call (at time 0, before events passed
    // in ProcessArgs). [any-thread]; lock-free. False when the queue is full.
    bool post_param(uint32_t param_id, double value);
    bool post_midi(uint8_t b0, uint8_t b1, uint8_t b2);
    // steady_time: the counter starts at 0 and advances by frames after every process call.
    void set_steady(int64_t next) { steady_ = next; }
    int64_t steady() const { return steady_; }
    void set_steady_none(bool none) { steady_none_ = none; } // pass -1 instead
    // Events pushed by the plug-in in the last process call (or flush).
    const OutputEvents &last_out() const { return out_; }
    OutputEvents &out_list() { return out_; }
    // Every event pushed since the last take (process and flush), oldest first. Main thread.
    std::vector<OutEvent> take_events();
    // The stage number stored in recorded events (for chains); default 0.
    void set_stage_index(uint32_t s) { out_.set_stage(s); }
    uint64_t process_calls() const { return process_calls_.load(); }

    // ---- params helpers [main-thread] -------------------------------------------------
    uint32_t param_count() const;
    bool param_info(uint32_t index, ParamDesc *out) const;
    std::vector<ParamDesc> param_list() const;
    bool param_value(uint32_t id, double *out) const;
    std::string value_to_text(uint32_t id, double value, bool *ok = nullptr) const;
    bool text_to_value(uint32_t id, const std::string &text, double *out) const;
    // Id of the parameter whose name equals name ignoring case; false when none.
    bool find_param(const std::string &name, uint32_t *id) const;
    // Parses "VALUE" for a parameter: the plug-in's text_to_value first, then a plain number.
    bool parse_value(uint32_t id, const std::string &text, double *out) const;
    // params flush with the given input (null = empty) into the recording output list
    // (out_list(); recorded events also go to take_events()). False without params/flush.
    bool flush(const InputEvents *in = nullptr);
    // The same into a list of the caller's (its events also go to take_events() when the
    // list has no sink of its own).
    bool flush(const InputEvents *in, OutputEvents *out);

    // ---- state helpers [main-thread] --------------------------------------------------
    bool state_save(std::vector<uint8_t> *out, const StreamLimits &lim = StreamLimits(), StreamStats *stats = nullptr);
    bool state_load(const std::vector<uint8_t> &in, const StreamLimits &lim = StreamLimits(),
                    StreamStats *stats = nullptr);

    // ---- latency and ports [main-thread] ----------------------------------------------
    uint32_t latency() const; // latency get, 0 without the extension
    uint32_t audio_port_count(bool input) const;
    bool audio_port(uint32_t index, bool input, clap_audio_port_info_t *info) const;
    // Channel count of the first (main) port, or 0 when there is none / no extension.
    uint32_t main_channels(bool input) const;

    // ---- newer extensions (host/newer_ext.cpp) [main-thread] -----------------------------
    // The plug-in's table for an extension: the final id, else its draft id; null without.
    const clap_plugin_preset_load_t *preset_load_ext() const;
    const clap_plugin_remote_controls_t *remote_controls_ext() const;
    const clap_plugin_param_indication_t *param_indication_ext() const;
    const clap_plugin_state_context_t *state_context_ext() const;
    const clap_plugin_render_t *render_ext() const;
    const clap_plugin_context_menu_t *context_menu_ext() const;
    // preset-load from_location; false without the extension. What the plug-in reports
    // back is recorded: "preset_loaded:KIND:LOCATION:KEY" or
    // "preset_error:KIND:LOCATION:KEY:OS_ERROR:MESSAGE" (null texts as "(null)").
    bool preset_load(uint32_t kind, const char *location, const char *key);
    // Every page the plug-in gives (pages it refuses are skipped); empty without.
    std::vector<RemotePageDesc> remote_pages() const;
    // param-indication set_mapping / set_automation; false without the extension.
    bool indicate_mapping(clap_id id, bool mapped, const clap_color_t *color, const char *label = nullptr,
                          const char *description = nullptr);
    bool indicate_automation(clap_id id, uint32_t state, const clap_color_t *color);
    // state-context save / load in a context (CLAP_STATE_CONTEXT_*); false without.
    bool state_save_context(uint32_t context, std::vector<uint8_t> *out);
    bool state_load_context(uint32_t context, const std::vector<uint8_t> &in);
    // render set (CLAP_RENDER_*) and has_hard_realtime_requirement (-1 without the extension).
    bool render_set(int32_t mode);
    int render_hard_realtime() const;
    // The menu a popup for target shows: the host's own items, then the plug-in's
    // (populate). The plug-in asking for a popup records "context_menu_popup:KIND:ID:X:Y"
    // and its menu becomes last_menu().
    std::vector<MenuItemDesc> context_menu(const clap_context_menu_target_t *target);
    bool context_menu_perform(const clap_context_menu_target_t *target, clap_id action);
    const std::vector<MenuItemDesc> &last_menu() const { return last_menu_; }
    // Actions of the host's own items (the plug-in may perform them): their ids.
    static constexpr clap_id HOST_MENU_AUTOMATION = 1000, HOST_MENU_MODULATION = 1001;

    // ---- debug extension [main-thread] ------------------------------------------------
    // meter(n) / chain_size() / chain_position() through the Tervik debug extension; false
    // (and the output untouched) for plug-ins without it.
    bool debug_meter(uint32_t n, double *out) const;
    bool debug_chain(uint32_t *size, uint32_t *position) const;

    // ---- GUI helpers (X11; host/gui.cpp) [main-thread] --------------------------------
    bool gui_is_api_supported(const char *api = "x11", bool floating = false);
    bool gui_create(const char *api = "x11", bool floating = false);
    bool gui_set_scale(double scale);
    bool gui_get_size(uint32_t *w, uint32_t *h);
    bool gui_can_resize();
    bool gui_adjust_size(uint32_t *w, uint32_t *h);
    bool gui_set_size(uint32_t w, uint32_t h);
    bool gui_set_parent(unsigned long x11_window);
    bool gui_show();
    bool gui_hide();
    void gui_destroy();
    bool gui_created() const { return gui_created_; }
    // The whole embedding sequence of a real host: is_api_supported, create("x11"),
    // set_scale, get_size, a top-level parent window of that size (or w x h when given),
    // set_parent, show. False with error() set at the first failing step (undone again).
    bool gui_open(uint32_t w = 0, uint32_t h = 0, double scale = 1.0, const char *title = nullptr);
    void gui_close(); // hide, destroy, and close the parent window
    // The X connection of the parent window was lost (idle() then closed the editor).
    bool gui_lost() const { return gui_lost_; }
    X11Parent *parent() { return parent_.get(); }
    // Requests made by request_resize that idle() granted: resized parent and set_size result.
    uint32_t resizes_granted() const { return resizes_; }

    // ---- timers [main-thread] -----------------------------------------------------------
    size_t timer_count() const { return timers_.size(); }
    uint32_t timer_period(size_t i) const { return i < timers_.size() ? timers_[i].period_ms : 0; }
    // Calls on_timer for every registered timer at once (whether due or not).
    void fire_timers();

    // ---- threads [any-thread] ------------------------------------------------------------
    // Marks the calling thread as an audio thread (for thread-check) until cleared.
    static void mark_audio_thread(bool on);
    // Set by a Chain while its audio thread may call process on this instance.
    void set_audio_owned(bool owned) { audio_owned_.store(owned); }
    bool audio_owned() const { return audio_owned_.load(); }
    // Served by an audio thread: clears request_flush and reports whether it was set.
    bool take_flush_request() { return req_flush_.exchange(false); }

  private:
    friend struct HostCallbacks;
    friend struct NewerHostCallbacks;
    // The host tables of the newer extensions for an id, as the options offer them.
    static const void *newer_host_extension(HostInstance *s, const char *id);
    void record(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void drain_calls();
    void fetch_extensions();
    void gui_idle(); // host/gui.cpp
    static void sink_event(void *ctx, const OutEvent &e);

    HostLib &lib_;
    HostOptions opt_;
    clap_host_t host_{};
    const clap_plugin_t *plugin_ = nullptr;
    std::string error_;
    std::thread::id main_thread_;
    bool inited_ = false, active_ = false;
    std::atomic<bool> processing_{false}; // written by the thread that starts/stops processing
    double rate_ = 0;
    uint32_t min_frames_ = 0, max_frames_ = 0;

    const clap_plugin_params_t *ext_params_ = nullptr;
    const clap_plugin_state_t *ext_state_ = nullptr;
    const clap_plugin_latency_t *ext_latency_ = nullptr;
    const clap_plugin_gui_t *ext_gui_ = nullptr;
    const clap_plugin_timer_support_t *ext_timer_ = nullptr;
    const clap_plugin_audio_ports_t *ext_ports_ = nullptr;
    const clap_plugin_note_ports_t *ext_note_ports_ = nullptr;
    const tervik_plugin_debug_t *ext_debug_ = nullptr;

    std::atomic<bool> req_callback_{false}, req_restart_{false}, req_flush_{false}, req_process_{false};
    std::atomic<bool> audio_owned_{false};
    std::atomic<uint64_t> req_resize_{0}; // (w << 32 | h) + flag in bit 63... see gui.cpp
    uint32_t restarts_ = 0, callbacks_ = 0, flushes_ = 0, resizes_ = 0;

    struct CallRec {
        char text[248];
    };
    LfQueue<CallRec> call_queue_{4096};
    std::vector<std::string> calls_;
    uint64_t drops_reported_ = 0;

    struct Posted {
        uint32_t kind; // 0 param, 1 midi
        uint32_t id;
        double value;
        uint8_t midi[3];
    };
    LfQueue<Posted> posted_{1024};
    InputEvents pending_{1024, 65536};
    InputEvents::Pair pair_;
    OutputEvents out_{4096};
    LfQueue<OutEvent> recorded_{16384};
    int64_t steady_ = 0;
    bool steady_none_ = false;
    std::atomic<uint64_t> process_calls_{0};

    struct Timer {
        clap_id id;
        uint32_t period_ms;
        uint64_t next_ns;
    };
    std::vector<Timer> timers_;
    clap_id next_timer_id_ = 1;

    bool gui_created_ = false;
    bool gui_lost_ = false;
    std::unique_ptr<X11Parent> parent_;
    std::vector<MenuItemDesc> last_menu_;
};

// [any-thread] Splits a "NAME=VALUE" setting; with a "STAGE:" prefix the stage number (1-based) goes to
// *stage, else *stage = 0 (all stages). False when there is no '=' or the stage is not a
// positive number.
bool split_setting(const std::string &text, int *stage, std::string *name, std::string *value);

// [any-thread] Returns nanoseconds of the monotonic clock (the system's one time base).
uint64_t host_now_ns();
