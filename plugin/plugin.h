// The instance record of one stage and the CLAP-facing entry points of the plug-in core.
// Parameter values are not here: they live in the stage's slot of the shared segment.
#pragma once
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/host.h>
#include <clap/plugin.h>
#include <clap/process.h>

#include <cstdint>

#include "dsp/limiter.h"
#include "dsp/loudness.h"
#include "editor/ui.h"
#include "params/owner.h"
#include "plugin/clap_log.h"
#include "plugin/debug_ext.h"
#include "registry/shared.h"

struct ChainHistory;

// The owner's look at its slot's parameter values (slot_value, plugin/edits.h): each row's
// bits as last read and the value bounded from them (where known is set), and whether a row
// changed since the engine was last set from them.
struct SlotValues {
    uint64_t bits[SHARED_PARAMS];
    double value[SHARED_PARAMS];
    uint8_t known[SHARED_PARAMS];
    uint8_t engine_stale;
};

struct Plugin {
    clap_plugin_t clap;
    const clap_host_t *host;
    const clap_host_params_t *host_params;
    const clap_host_gui_t *host_gui;
    const clap_host_latency_t *host_latency;
    const clap_host_log_t *host_log;
    const clap_host_state_t *host_state;
    const clap_host_timer_support_t *host_timer;
    uint32_t timer_id;
    uint64_t uid;
    StageOwner owner; // registered with the slot: how edit posters in this process reach us
    SharedSlot *slot;
    double sample_rate;
    double last_rate;
    uint32_t max_frames;
    uint8_t active;
    uint8_t processing;
    Limiter lim;
    SlotValues slot_values;
    uint32_t dither_rng[2];
    double shape_err[2][16];
    uint32_t shape_pos[2];
    Loudness loud;
    // pipeline history accumulators and timing
    float hist_min_gain;
    float hist_max_in;
    float hist_max_out;
    int32_t hist_frames;
    int64_t last_call_ns;
    uint32_t last_frames;
    int64_t last_steady;
    uint32_t restart_pending;
    // the editor: its preferences (saved in the state), the window, the host's GUI scale,
    // and the chain history its undo, redo and A/B act on (made with the first editor and
    // kept for the instance's life, so undo survives closing the window)
    EditorPrefs prefs;
    Ui *ui;
    double gui_scale;
    ChainHistory *history;
    float *scratch;
    uint32_t scratch_len;
    // The owner's side of the edit path (edits.cpp), written by its drain (process or flush),
    // host events and state load: the value its host last knew of each parameter, and the
    // gestures this stage has opened in its host. Read from any thread through atomic_ref.
    double host_value[SHARED_PARAMS];
    uint8_t gesture_open[SHARED_PARAMS];
    uint8_t gesture_lapsed[SHARED_PARAMS]; // closed by the drain because its poster fell silent
    uint64_t gesture_seen_ns[SHARED_PARAMS];
    uint32_t state_loading; // non-zero while state load writes the slot
    // The stage's own main-thread timer, registered at init: serves `pending` while the host
    // does not process. All ones means none.
    uint32_t idle_timer_id;
    // the host's mapping and automation indications per PARAMS row (main thread)
    ParamIndication indication[SHARED_PARAMS];
};

// [any-thread] Returns the instance record of a plug-in structure (null for null).
inline Plugin *plugin_of(const clap_plugin_t *p) { return p ? (Plugin *)p->plugin_data : nullptr; }

// [main-thread] Returns the stage's chain history, made on first use (the first editor, a
// host's preset load or context menu) and kept for the instance's life; null when it
// cannot be made.
ChainHistory *plugin_history(Plugin *p);

extern const clap_plugin_descriptor_t DESC;

// Lifecycle callbacks, on the threads the CLAP plug-in interface gives them. Results as
// CLAP defines them: a new instance or null; true on success.
// [main-thread] Returns a new instance for DESC's id; null for another id, an unusable host
// or no memory.
const clap_plugin_t *factory_create_plugin(const clap_host_t *host, const char *plugin_id);
// [main-thread]
bool plug_init(const clap_plugin_t *p);
void plug_destroy(const clap_plugin_t *p);
// [main-thread & !active] / [main-thread & active]
bool plug_activate(const clap_plugin_t *p, double sample_rate, uint32_t min_frames, uint32_t max_frames);
void plug_deactivate(const clap_plugin_t *p);
// [audio-thread & active]
bool plug_start_processing(const clap_plugin_t *p);
void plug_stop_processing(const clap_plugin_t *p);
void plug_reset(const clap_plugin_t *p);
// [audio-thread & active & processing] Always returns CLAP_PROCESS_CONTINUE.
clap_process_status plug_process(const clap_plugin_t *p, const clap_process_t *process);
// [any-thread] Returns the extension table for id, null for one the plug-in lacks.
const void *plug_get_extension(const clap_plugin_t *p, const char *id);
// [main-thread]
void plug_on_main_thread(const clap_plugin_t *p);
// [main-thread] The init timer's tick: serves `pending` as plug_on_main_thread does, and
// asks for a flush when a gesture has to be closed.
void plug_idle_tick(Plugin *p);

// Extension tables.
extern const clap_plugin_params_t EXT_PARAMS;
extern const clap_plugin_state_t EXT_STATE;
extern const clap_plugin_gui_t EXT_GUI;
extern const clap_plugin_timer_support_t EXT_TIMER;
extern const clap_plugin_latency_t EXT_LATENCY;
extern const clap_plugin_audio_ports_t EXT_PORTS;
extern const clap_plugin_note_ports_t EXT_NOTE_PORTS;
extern const tervik_plugin_debug_t EXT_DEBUG;
