// Undo, redo and A/B compare of the chain shown in an editor, and set_param_all. Steps are
// fixed-size records inside the owning instance; writes go through the edit path.
#include "presets/history.h"

#include <cmath>
#include <cstring>

#include "editor/ui.h"
#include "plugin/edits.h"
#include "plugin/params.h"
#include "plugin/plugin.h"
#include "registry/registry.h"
#include "sys/sys.h"

// Same-tag marks closer together than this form one step.
static constexpr double COALESCE_S = 0.5;

static double editor_clock() { return (double)sys_time_ns() * 1e-9; }

static int chain_count(const Ui *ui) {
    int n = ui->chain_len;
    return n < 0 ? 0 : n > 64 ? 64 : n;
}

static SharedSlot *owner_slot(const Ui *ui) { return ui->owner ? ui->owner->slot : nullptr; }

// The stages an editor's chain-wide operations act on, in chain order: the chain, or the
// owner's own stage while the shown chain is empty (the stage its controls then edit).
static int editor_stages(const Ui *ui, SharedSlot **out, int max) {
    int n = 0;
    int len = chain_count(ui);
    for (int i = 0; i < len && n < max; i++)
        if (ui->chain[i].slot) out[n++] = ui->chain[i].slot;
    if (len == 0 && max > 0 && owner_slot(ui)) out[n++] = owner_slot(ui);
    return n;
}

static bool differs(double a, double b) { return std::isnan(a) || std::isnan(b) || std::fabs(a - b) >= 1e-9; }

static void edit_one(SharedSlot *slot, int index, double value) {
    plugin_edit_begin(slot, index);
    plugin_edit_value(slot, index, value);
    plugin_edit_end(slot, index);
}

static int record_slots(SharedSlot *const *slots, int n, Snapshot *snap) {
    if (n > 16) n = 16;
    memset(snap, 0, sizeof *snap);
    for (int i = 0; i < n; i++) {
        snap->slots[i] = slots[i];
        snap->uids[i] = shm_load(slots[i]->uid);
        for (uint32_t j = 0; j < PARAM_COUNT; j++)
            snap->values[i][j] = shm_load(slots[i]->values[j]);
    }
    snap->count = n;
    return n;
}

// Pushes the given stages onto a stack of UNDO_DEPTH steps, dropping the oldest when full.
static int push_slots(SharedSlot *const *slots, int n_slots, Snapshot *stack, int32_t *count) {
    int n = *count < 0 ? 0 : *count > UNDO_DEPTH ? UNDO_DEPTH : *count;
    if (n == UNDO_DEPTH) {
        memmove(&stack[0], &stack[1], sizeof(Snapshot) * (UNDO_DEPTH - 1));
        n = UNDO_DEPTH - 1;
    }
    int recorded = record_slots(slots, n_slots, &stack[n]);
    *count = n + 1;
    return recorded;
}

// Pushes the editor's current chain.
static int push_step(const Ui *ui, Snapshot *stack, int32_t *count) {
    SharedSlot *slots[16];
    int n = editor_stages(ui, slots, 16);
    return push_slots(slots, n, stack, count);
}

int undo_mark_stages(Plugin *owner, SharedSlot *const *slots, int n, uint32_t tag) {
    if (!owner || n < 0) return 0;
    Plugin *p = owner;
    double now = editor_clock();
    if (tag != 0 && tag == p->undo_tag && now - p->undo_time < COALESCE_S && p->undo_n >= 1) {
        p->undo_time = now;
        return p->undo_n;
    }
    int recorded = push_slots(slots, n, p->undo, &p->undo_n);
    p->redo_n = 0;
    p->undo_tag = tag;
    p->undo_time = now;
    return recorded;
}

int undo_mark(Ui *ui, uint32_t tag) {
    if (!ui || !ui->owner) return 0;
    SharedSlot *slots[16];
    int n = editor_stages(ui, slots, 16);
    return undo_mark_stages(ui->owner, slots, n, tag);
}

void set_param_all(Ui *ui, int stage, int index, double value) {
    if (!ui || index < 0 || index >= (int)PARAM_COUNT) return;
    SharedSlot *targets[64];
    int n = 0;
    int len = chain_count(ui);
    if (!ui->chain_mode && stage >= 0) {
        SharedSlot *s = stage < len ? ui->chain[stage].slot : owner_slot(ui);
        if (s) targets[n++] = s;
    } else {
        n = editor_stages(ui, targets, 64);
    }
    if (!ui->preset_applying) undo_mark(ui, undo_tag_param(stage, index));
    for (int i = 0; i < n; i++)
        edit_one(targets[i], index, value);
}

void snap_apply(Ui *ui, const Snapshot *snap) {
    if (!ui || !snap) return;
    int n = snap->count < 0 ? 0 : snap->count > 16 ? 16 : snap->count;
    for (int i = 0; i < n; i++) {
        SharedSlot *s = snap->slots[i];
        if (!registry_contains(s, snap->uids[i])) continue;
        for (uint32_t j = 0; j < PARAM_COUNT; j++) {
            double rec = snap->values[i][j];
            if (differs(shm_load(s->values[j]), rec)) edit_one(s, (int)j, rec);
        }
    }
    SharedSlot *own = owner_slot(ui);
    if (!own) return;
    double gv = shm_load(own->values[P_GROUP]);
    int g = (gv >= 0.0 && gv < 16.0) ? (int)gv : 0; // stored values are clamped; guard anyway
    if (g != ui->group_seen) {
        ui->group_seen = g;
        ui->group = g;
    }
    ui->chain_len = registry_chain_for(own, (uint32_t)ui->group, ui->chain, 64);
}

void undo_do(Ui *ui) {
    if (!ui || !ui->owner) return;
    Plugin *p = ui->owner;
    if (p->undo_n <= 0) return;
    if (p->undo_n > UNDO_DEPTH) p->undo_n = UNDO_DEPTH;
    push_step(ui, p->redo, &p->redo_n);
    p->undo_n--;
    Snapshot step = p->undo[p->undo_n];
    snap_apply(ui, &step);
    p->undo_tag = 0;
}

void redo_do(Ui *ui) {
    if (!ui || !ui->owner) return;
    Plugin *p = ui->owner;
    if (p->redo_n <= 0) return;
    if (p->redo_n > UNDO_DEPTH) p->redo_n = UNDO_DEPTH;
    push_step(ui, p->undo, &p->undo_n);
    p->redo_n--;
    Snapshot step = p->redo[p->redo_n];
    snap_apply(ui, &step);
    p->undo_tag = 0;
}

static void ab_capture(const Ui *ui, AbRecord *rec) {
    SharedSlot *slots[64];
    int n = editor_stages(ui, slots, 64);
    rec->count = 0;
    for (int i = 0; i < n; i++) {
        rec->slots[i] = slots[i];
        for (uint32_t j = 0; j < PARAM_COUNT; j++)
            rec->values[i][j] = shm_load(slots[i]->values[j]);
    }
    rec->count = n;
    rec->filled = 1;
}


static int ab_side(const Plugin *p) { return p->ab_cur == 1 ? 1 : 0; }

void ab_switch(Ui *ui) {
    if (!ui || !ui->owner) return;
    Plugin *p = ui->owner;
    undo_mark(ui, 0);
    int cur = ab_side(p), other = 1 - cur;
    ab_capture(ui, &p->ab[cur]);
    if (!p->ab[other].filled) p->ab[other] = p->ab[cur];
    p->ab_cur = other;
    SharedSlot *shown[64];
    int n_shown = editor_stages(ui, shown, 64);
    const AbRecord &rec = p->ab[other];
    int n = rec.count < 0 ? 0 : rec.count > 64 ? 64 : rec.count;
    for (int i = 0; i < n; i++) {
        SharedSlot *s = rec.slots[i];
        bool in_chain = false;
        for (int k = 0; k < n_shown && !in_chain; k++)
            in_chain = shown[k] == s;
        if (!s || !in_chain) continue;
        for (uint32_t j = 0; j < PARAM_COUNT; j++) {
            if (!param_recalled((int)j)) continue;
            if (differs(shm_load(s->values[j]), rec.values[i][j])) edit_one(s, (int)j, rec.values[i][j]);
        }
    }
}

void ab_copy(Ui *ui) {
    if (!ui || !ui->owner) return;
    Plugin *p = ui->owner;
    int cur = ab_side(p);
    ab_capture(ui, &p->ab[cur]);
    p->ab[1 - cur] = p->ab[cur];
}
