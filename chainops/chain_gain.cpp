// Spread weights, the chain-total gain drag and loudness matching over an editor's chain.
#include "chainops/chain_gain.h"

#include <cmath>

#include "chainops/history.h"
#include "params/edit_path.h"
#include "params/params.h"
#include "registry/registry.h"

const char *const DIST_NAMES[DIST_COUNT] = {"Even", "Front", "Back"};

const LoudTarget TARGETS[TARGET_COUNT] = {
    {"-9 LUFS (CD)", "CD", -9},
    {"-14 LUFS (Streaming)", "Strm", -14},
    {"-23 LUFS (EBU R128)", "EBU", -23},
    {"-24 LUFS (ATSC A/85)", "ATSC", -24},
    {"Custom", "Cust", -16},
};

const char *const LUFS_MODES[LUFS_MODE_COUNT] = {"Short term", "Momentary", "Integrated"};

static constexpr double GAIN_RANGE = 30.0; // Gain runs from 0 to 30 dB

void spread_weights(uint32_t spread, int n, double *w) {
    if (!w || n < 1) return;
    if (n > 64) n = 64;
    if (n == 1) {
        w[0] = 1.0;
        return;
    }
    double s = (double)n * (double)(n + 1) / 2.0;
    for (int i = 0; i < n; i++) {
        if (spread == 1)
            w[i] = (double)(n - i) / s;
        else if (spread == 2)
            w[i] = (double)(i + 1) / s;
        else
            w[i] = 1.0 / (double)n;
    }
}

double loudness_target(const GainPrefs *prefs) {
    if (!prefs) return TARGETS[1].lufs;
    uint32_t idx = prefs->target_idx;
    if (idx == TARGET_CUSTOM) {
        double c = prefs->target_custom;
        if (std::isnan(c)) return TARGETS[TARGET_CUSTOM].lufs;
        return c < TARGET_CUSTOM_MIN ? TARGET_CUSTOM_MIN : c > TARGET_CUSTOM_MAX ? TARGET_CUSTOM_MAX : c;
    }
    return idx < TARGET_CUSTOM ? TARGETS[idx].lufs : TARGETS[1].lufs;
}

int target_index(const GainPrefs *prefs) {
    if (!prefs) return 1;
    uint32_t idx = prefs->target_idx;
    return idx > TARGET_CUSTOM ? 1 : (int)idx;
}

static uint32_t spread_of(const ChainOps *ops) { return ops->gain ? ops->gain->spread : 0; }

int drag_stage_count(const DragStages *drag) { return drag ? chain_len_bounded(drag->drag_count) : 0; }

// A slot taken at the start of a drag may have been released since (its instance
// destroyed) or claimed by another stage; it is written only while it is still a live slot
// holding the same stage.
bool drag_stage_live(const DragStages *drag, int i) {
    return registry_contains(drag->drag_slots[i], drag->drag_uids[i]);
}

void chain_drag_start(ChainOps *ops, DragStages *drag, double x, double y) {
    if (!ops || !drag) return;
    undo_mark(ops, 0);
    drag->drag_x0 = x;
    drag->drag_y0 = y;
    drag->drag_count = chain_stages(ops->view, drag->drag_slots, CHAIN_MAX);
    for (int i = 0; i < drag->drag_count; i++) {
        SharedSlot *s = drag->drag_slots[i];
        drag->drag_uids[i] = shm_load(s->ident.uid);
        drag->drag_norm[i] = shm_load(s->values[P_GAIN]) / GAIN_RANGE;
        plugin_edit_begin(s, P_GAIN);
    }
}

void chain_drag_motion(const ChainOps *ops, DragStages *drag, double y, bool shift) {
    if (!ops || !drag) return;
    int n = drag_stage_count(drag);
    if (n == 0) return;
    double d = (drag->drag_y0 - y) / CHAIN_DRAG_UNITS;
    if (shift) d *= 0.1;
    double total = d * GAIN_RANGE * (double)n;
    double w[CHAIN_MAX];
    spread_weights(spread_of(ops), n, w);
    for (int i = 0; i < n; i++) {
        double f = drag->drag_norm[i];
        f = std::isnan(f) ? 0.0 : f < 0.0 ? 0.0 : f > 1.0 ? 1.0 : f;
        // A stage removed during the drag (or its slot taken by another) is left alone.
        if (!drag_stage_live(drag, i)) continue;
        plugin_edit_value(drag->drag_slots[i], P_GAIN, f * GAIN_RANGE + w[i] * total);
    }
}

void chain_drag_end(DragStages *drag) {
    if (!drag) return;
    int n = drag_stage_count(drag);
    for (int i = 0; i < n; i++)
        if (drag_stage_live(drag, i)) plugin_edit_end(drag->drag_slots[i], P_GAIN);
    drag->drag_count = 0;
}

SharedSlot *loudness_ref_slot(const ChainView *view) {
    if (!view) return nullptr;
    for (int i = chain_count(view) - 1; i >= 0; i--)
        if (view->chain[i].recent && view->chain[i].slot) return view->chain[i].slot;
    return view->own_slot;
}

double loudness_measured(const ChainOps *ops) {
    if (!ops) return -100.0;
    if (ops->loud && ops->loud->loud_paused) return ops->loud->loud_frozen;
    SharedSlot *s = loudness_ref_slot(ops->view);
    if (!s) return -100.0;
    uint32_t mode = ops->gain ? ops->gain->lufs_mode : 0;
    if (mode == 1) return shm_load(s->meters.lufs_m);
    if (mode == 2) return shm_load(s->meters.lufs_i);
    return shm_load(s->meters.lufs_s);
}

bool loudness_match(ChainOps *ops) {
    if (!ops) return false;
    double l = loudness_measured(ops);
    // Readouts come from other processes' slots: a value that is not a finite number is
    // treated like silence, never turned into a gain change.
    if (!std::isfinite(l) || l <= -60.0) return false;
    double diff = loudness_target(ops->gain) - l;
    if (std::fabs(diff) < 0.05) return false;
    SharedSlot *stages[CHAIN_MAX];
    int n = chain_stages(ops->view, stages, CHAIN_MAX);
    if (n == 0) return false;
    undo_mark(ops, 0);
    double w[CHAIN_MAX];
    spread_weights(spread_of(ops), n, w);
    for (int i = 0; i < n; i++)
        plugin_edit_one(stages[i], P_GAIN, shm_load(stages[i]->values[P_GAIN]) + w[i] * diff);
    return true;
}
