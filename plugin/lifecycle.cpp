// The descriptor, instance creation and every lifecycle callback of a stage: init,
// activate, deactivate, reset, destroy, the extension table and the main-thread callback.
#include <cstdlib>
#include <cstring>

#include "dsp/dither.h"
#include "editor/ui.h"
#include "params/params.h"
#include "plugin/edits.h"
#include "plugin/extensions.h"
#include "plugin/plugin.h"
#include "plugin/scanlog.h"
#include "registry/registry.h"
#include "sys/sys.h"

static const char *FEATURES[] = {"audio-effect", "limiter", "mastering", "stereo", nullptr};

const clap_plugin_descriptor_t DESC = {
    {1, 2, 10},
    "com.morvane.tervik",
    "Tervik",
    "Morvane",
    "https://morvane.example/tervik",
    "",
    "",
    "1.0.1",
    "Multi-stage bus limiter: several instances, one user interface",
    FEATURES,
};

// Period of the stage's own timer: a remote edit reaches a host that does not process within
// this plus the host's flush.
static constexpr uint32_t IDLE_TIMER_MS = 125;

static const void *host_ext(const clap_host_t *h, const char *id) {
    return (h && h->get_extension) ? h->get_extension(h, id) : nullptr;
}

// The stage as the edit path of this process sees it (StageOwner).
static void owner_flush(void *ctx) {
    Plugin *p = (Plugin *)ctx;
    if (p->host_params && p->host_params->request_flush) p->host_params->request_flush(p->host);
}
static void owner_dirty(void *ctx) {
    Plugin *p = (Plugin *)ctx;
    if (p->host_state && p->host_state->mark_dirty) p->host_state->mark_dirty(p->host);
}
static void owner_log_line(void *ctx, int severity, const char *message) {
    plugin_log((Plugin *)ctx, severity, message);
}
static_assert((int)OWNER_LOG_DEBUG == (int)CLAP_LOG_DEBUG && (int)OWNER_LOG_WARNING == (int)CLAP_LOG_WARNING &&
              (int)OWNER_LOG_ERROR == (int)CLAP_LOG_ERROR);

bool plug_init(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    if (!p) return false;
    tk_scanlog("plug_init");
    p->host_params = (const clap_host_params_t *)host_ext(p->host, CLAP_EXT_PARAMS);
    p->host_gui = (const clap_host_gui_t *)host_ext(p->host, CLAP_EXT_GUI);
    p->host_latency = (const clap_host_latency_t *)host_ext(p->host, CLAP_EXT_LATENCY);
    p->host_log = (const clap_host_log_t *)host_ext(p->host, CLAP_EXT_LOG);
    p->host_state = (const clap_host_state_t *)host_ext(p->host, CLAP_EXT_STATE);
    p->host_timer = (const clap_host_timer_support_t *)host_ext(p->host, CLAP_EXT_TIMER_SUPPORT);
    tk_scanlog("plug_init: extensions");
    p->timer_id = 0xFFFFFFFFu;
    p->idle_timer_id = 0xFFFFFFFFu;
    p->uid = sys_random_u64();
    tk_scanlog("plug_init: random");
    p->owner = StageOwner{p, owner_flush, owner_dirty, owner_log_line, p->indication};
    if (!p->slot) p->slot = registry_add(&p->owner);
    tk_scanlog("plug_init: registry_add");
    // A refused segment is told once per process, by the first stage whose host has a log.
    if (p->host_log && p->host_log->log)
        if (const char *warning = registry_take_warning()) plugin_log(p, CLAP_LOG_WARNING, warning);
    if (!p->slot) return false;
    shm_store(p->slot->ident.uid, p->uid);
    p->prefs = editor_prefs_default();
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        double v = param_clamp((int)i, PARAMS[i].def);
        shm_store(p->slot->values[i], v);
        edits_host_knows(p, (int)i, v); // the host reads the defaults from the parameter info
    }
    // A stage that has not processed yet has no loudness and no reduction to show.
    shm_store(p->slot->meters.meter_gain, 1.0f);
    shm_store(p->slot->meters.lufs_m, -100.0f);
    shm_store(p->slot->meters.lufs_s, -100.0f);
    shm_store(p->slot->meters.lufs_i, -100.0f);
    // Edits from other processes reach a host that does not process (a sleeping track, a
    // stopped transport) through this timer. Without timer support they wait for process.
    if (p->host_timer && p->host_timer->register_timer &&
        !p->host_timer->register_timer(p->host, IDLE_TIMER_MS, &p->idle_timer_id))
        p->idle_timer_id = 0xFFFFFFFFu;
    tk_scanlog("plug_init: done");
    return true;
}

static void release_engine(Plugin *p) {
    limiter_free(&p->lim);
    free(p->scratch);
    p->scratch = nullptr;
    p->scratch_len = 0;
    p->active = 0;
    if (p->slot) shm_store(p->slot->engine.active, 0u);
}

void plug_deactivate(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    if (p && p->active) release_engine(p);
}

static void history_reset(SharedSlot *s) {
    for (uint32_t i = 0; i < HIST_LEN; i++) {
        shm_store(s->history.hist_gain[i], 1.0f);
        shm_store(s->history.hist_in[i], 0.0f);
        shm_store(s->history.hist_out[i], 0.0f);
        shm_store(s->history.hist_lufs[i], -100.0f);
    }
    shm_store(s->history.hist_count, 0u);
    shm_store(s->history.hist_gap, -1);
}

bool plug_activate(const clap_plugin_t *plugin, double sample_rate, uint32_t min_frames, uint32_t max_frames) {
    (void)min_frames;
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot) return false;
    tk_scanlog("activate");
    if (p->active) return false;
    // A rate the engine cannot run at (zero, negative, NaN or absurd) is refused.
    if (!(sample_rate >= 1000.0 && sample_rate <= 1536000.0)) return false;
    p->max_frames = max_frames;
    p->sample_rate = sample_rate;
    if (!limiter_init(&p->lim, sample_rate, shm_load(p->slot->values[P_LOOKAHEAD]))) return false;
    p->slot_values.engine_stale = 1; // a new engine: set it from the slot at the first call
    uint64_t r = sys_random_u64();
    memset(p->shape_err, 0, sizeof p->shape_err);
    memset(p->shape_pos, 0, sizeof p->shape_pos);
    dither_seed(p->dither_rng, r);
    loudness_init(&p->loud, sample_rate);
    p->hist_min_gain = 1.0f;
    p->hist_max_in = 0.0f;
    p->hist_max_out = 0.0f;
    p->hist_frames = 0;
    if (sample_rate != p->last_rate) {
        history_reset(p->slot);
        p->last_call_ns = 0;
        p->last_frames = 0;
    }
    p->last_rate = sample_rate;
    std::atomic_ref<uint32_t>(p->restart_pending).store(0, std::memory_order_seq_cst);
    p->scratch_len = max_frames > 16384 ? max_frames : 16384;
    p->scratch = (float *)calloc(p->scratch_len, sizeof(float));
    if (!p->scratch) {
        p->scratch_len = 0;
        limiter_free(&p->lim);
        return false;
    }
    shm_fetch_add(p->slot->meters.activate_count, 1u);
    p->active = 1;
    shm_store(p->slot->engine.sample_rate, sample_rate);
    shm_store(p->slot->engine.latency, (uint32_t)limiter_latency(&p->lim));
    shm_store(p->slot->engine.active, 1u);
    return true;
}

void plug_destroy(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    if (!p) return;
    if (p->ui) {
        ui_destroy(p->ui);
        p->ui = nullptr;
    }
    if (p->idle_timer_id != 0xFFFFFFFFu && p->host_timer && p->host_timer->unregister_timer)
        p->host_timer->unregister_timer(p->host, p->idle_timer_id);
    p->idle_timer_id = 0xFFFFFFFFu;
    if (p->active) release_engine(p);
    registry_remove(p->slot);
    p->slot = nullptr;
    free(p->history);
    free(p);
}

bool plug_start_processing(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    if (!p) return false;
    p->processing = 1;
    return true;
}

void plug_stop_processing(const clap_plugin_t *plugin) {
    if (Plugin *p = plugin_of(plugin)) p->processing = 0;
}

void plug_reset(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot) return;
    shm_fetch_add(p->slot->meters.reset_count, 1u);
    if (p->active) {
        limiter_reset(&p->lim);
        loudness_reset(&p->loud);
    }
}

const void *plug_get_extension(const clap_plugin_t *plugin, const char *id) {
    (void)plugin;
    if (!id) return nullptr;
    if (!strcmp(id, CLAP_EXT_PARAMS)) return &EXT_PARAMS;
    if (!strcmp(id, CLAP_EXT_AUDIO_PORTS)) return &EXT_PORTS;
    if (!strcmp(id, CLAP_EXT_NOTE_PORTS)) return &EXT_NOTE_PORTS;
    if (!strcmp(id, CLAP_EXT_STATE)) return &EXT_STATE;
    if (!strcmp(id, CLAP_EXT_LATENCY)) return &EXT_LATENCY;
    if (!strcmp(id, CLAP_EXT_GUI)) return &EXT_GUI;
    if (!strcmp(id, CLAP_EXT_TIMER_SUPPORT)) return &EXT_TIMER;
    if (!strcmp(id, TERVIK_EXT_DEBUG)) return &EXT_DEBUG;
    return newer_extension(id);
}

// Takes the requests other processes' editors left in `pending` and passes them to the host.
// Returns the bits that were set.
static uint32_t serve_pending(Plugin *p) {
    uint32_t bits = std::atomic_ref<uint32_t>(p->slot->pending).exchange(0u, std::memory_order_seq_cst);
    if ((bits & PENDING_DIRTY) && p->host_state && p->host_state->mark_dirty) p->host_state->mark_dirty(p->host);
    if ((bits & PENDING_FLUSH) && p->host_params && p->host_params->request_flush)
        p->host_params->request_flush(p->host);
    return bits;
}

void plug_on_main_thread(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot) return;
    if (std::atomic_ref<uint32_t>(p->restart_pending).load() && p->host && p->host->request_restart)
        p->host->request_restart(p->host);
    serve_pending(p);
}

void plug_idle_tick(Plugin *p) {
    if (!p || !p->slot) return;
    uint32_t bits = serve_pending(p);
    // A gesture whose poster fell silent is ended by the next drain: ask for one.
    if (!(bits & PENDING_FLUSH) && edits_gesture_lapsed(p, sys_time_ns()) && p->host_params &&
        p->host_params->request_flush)
        p->host_params->request_flush(p->host);
}

const clap_plugin_t *factory_create_plugin(const clap_host_t *host, const char *plugin_id) {
    if (!host || host->clap_version.major == 0) return nullptr;
    if (!plugin_id || strcmp(plugin_id, DESC.id) != 0) return nullptr;
    Plugin *p = (Plugin *)calloc(1, sizeof(Plugin));
    if (!p) return nullptr;
    p->host = host;
    p->idle_timer_id = 0xFFFFFFFFu;
    p->clap.desc = &DESC;
    p->clap.plugin_data = p;
    p->clap.init = plug_init;
    p->clap.destroy = plug_destroy;
    p->clap.activate = plug_activate;
    p->clap.deactivate = plug_deactivate;
    p->clap.start_processing = plug_start_processing;
    p->clap.stop_processing = plug_stop_processing;
    p->clap.reset = plug_reset;
    p->clap.process = plug_process;
    p->clap.get_extension = plug_get_extension;
    p->clap.on_main_thread = plug_on_main_thread;
    return &p->clap;
}
