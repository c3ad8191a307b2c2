// Spread weights, the chain-total gain drag and loudness matching over an editor's chain.
#include "registry/chain_gain.h"
#include "registry/registry.h"

#include <cmath>

#include "editor/ui.h"
#include "params/edit_path.h"
#include "params/params.h"
#include "plugin/plugin.h"
#include "presets/history.h"

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

double loudness_target(const Plugin *owner) {
    if (!owner) return TARGETS[1].lufs;
    uint32_t idx = owner->target_idx;
    if (idx == TARGET_CUSTOM) {
        double c = owner->target_custom;
        if (std::isnan(c)) return TARGETS[TARGET_CUSTOM].lufs;
        return c < -40.0 ? -40.0 : c > 0.0 ? 0.0 : c;
    }
    return idx < TARGET_CUSTOM ? TARGETS[idx].lufs : TARGETS[1].lufs;
}

static int chain_count(const Ui *ui) {
    int n = ui->chain_len;
    return n < 0 ? 0 : n > 64 ? 64 : n;
}

static SharedSlot *owner_slot(const Ui *ui) { return ui->owner ? ui->owner->slot : nullptr; }

static uint32_t spread_of(const Ui *ui) { return ui->owner ? ui->owner->spread : 0; }

void chain_drag_start(Ui *ui, int a, double x, double y) {
    if (!ui) return;
    undo_mark(ui, 0);
    ui->drag_kind = HIT_GAIN_SLIDER;
    ui->drag_a = a;
    ui->drag_row = P_GAIN;
    ui->drag_x0 = x;
    ui->drag_y0 = y;
    ui->drag_count = 0;
    int len = chain_count(ui);
    for (int i = 0; i < len; i++) {
        if (!ui->chain[i].slot) continue;
        ui->drag_slots[ui->drag_count++] = ui->chain[i].slot;
    }
    if (len == 0 && owner_slot(ui)) ui->drag_slots[ui->drag_count++] = owner_slot(ui);
    for (int i = 0; i < ui->drag_count; i++) {
        SharedSlot *s = ui->drag_slots[i];
        ui->drag_uids[i] = shm_load(s->ident.uid);
        ui->drag_norm[i] = shm_load(s->values[P_GAIN]) / GAIN_RANGE;
        plugin_edit_begin(s, P_GAIN);
    }
}

void chain_drag_motion(Ui *ui, double y, bool shift) {
    if (!ui) return;
    int n = ui->drag_count < 0 ? 0 : ui->drag_count > 64 ? 64 : ui->drag_count;
    if (n == 0) return;
    double d = (ui->drag_y0 - y) / CHAIN_DRAG_UNITS;
    if (shift) d *= 0.1;
    double total = d * GAIN_RANGE * (double)n;
    double w[64];
    spread_weights(spread_of(ui), n, w);
    for (int i = 0; i < n; i++) {
        double f = ui->drag_norm[i];
        f = std::isnan(f) ? 0.0 : f < 0.0 ? 0.0 : f > 1.0 ? 1.0 : f;
        // A stage removed during the drag (or its slot taken by another) is left alone.
        if (!registry_contains(ui->drag_slots[i], ui->drag_uids[i])) continue;
        plugin_edit_value(ui->drag_slots[i], P_GAIN, f * GAIN_RANGE + w[i] * total);
    }
}

void chain_drag_end(Ui *ui) {
    if (!ui) return;
    int n = ui->drag_count < 0 ? 0 : ui->drag_count > 64 ? 64 : ui->drag_count;
    for (int i = 0; i < n; i++)
        if (registry_contains(ui->drag_slots[i], ui->drag_uids[i])) plugin_edit_end(ui->drag_slots[i], P_GAIN);
    ui->drag_count = 0;
    ui->drag_kind = 0;
}

SharedSlot *loudness_ref_slot(const Ui *ui) {
    if (!ui) return nullptr;
    for (int i = chain_count(ui) - 1; i >= 0; i--)
        if (ui->chain[i].recent && ui->chain[i].slot) return ui->chain[i].slot;
    return owner_slot(ui);
}

double loudness_measured(const Ui *ui) {
    if (!ui) return -100.0;
    if (ui->loud_paused) return ui->loud_frozen;
    SharedSlot *s = loudness_ref_slot(ui);
    if (!s) return -100.0;
    uint32_t mode = ui->owner ? ui->owner->lufs_mode : 0;
    if (mode == 1) return shm_load(s->meters.lufs_m);
    if (mode == 2) return shm_load(s->meters.lufs_i);
    return shm_load(s->meters.lufs_s);
}

bool loudness_match(Ui *ui) {
    if (!ui || !ui->owner) return false;
    double l = loudness_measured(ui);
    // Readouts come from other processes' slots: a value that is not a finite number is
    // treated like silence, never turned into a gain change.
    if (!std::isfinite(l) || l <= -60.0) return false;
    double diff = loudness_target(ui->owner) - l;
    if (std::fabs(diff) < 0.05) return false;
    int len = chain_count(ui);
    if (len == 0 && !owner_slot(ui)) return false;
    undo_mark(ui, 0);
    if (len == 0) {
        SharedSlot *s = owner_slot(ui);
        plugin_edit_begin(s, P_GAIN);
        plugin_edit_value(s, P_GAIN, shm_load(s->values[P_GAIN]) + diff);
        plugin_edit_end(s, P_GAIN);
        return true;
    }
    double w[64];
    spread_weights(spread_of(ui), len, w);
    for (int i = 0; i < len; i++) {
        SharedSlot *s = ui->chain[i].slot;
        if (!s) continue;
        plugin_edit_begin(s, P_GAIN);
        plugin_edit_value(s, P_GAIN, shm_load(s->values[P_GAIN]) + w[i] * diff);
        plugin_edit_end(s, P_GAIN);
    }
    return true;
}
