// Undo, redo and A/B compare of the chain an editor shows, and set_param_all. Steps are
// fixed-size records in the owning stage's chain history; writes go through the edit path.
#include "chainops/history.h"

#include <cmath>
#include <cstring>

#include "params/edit_path.h"
#include "params/params.h"
#include "registry/registry.h"
#include "sys/sys.h"

// Same-tag marks closer together than this form one step.
static constexpr double COALESCE_S = 0.5;

static double editor_clock() { return (double)sys_time_ns() * 1e-9; }

static bool differs(double a, double b) { return std::isnan(a) || std::isnan(b) || std::fabs(a - b) >= 1e-9; }

static int record_slots(SharedSlot *const *slots, int n, Snapshot *snap) {
    if (n > 16) n = 16;
    memset(snap, 0, sizeof *snap);
    for (int i = 0; i < n; i++) {
        snap->slots[i] = slots[i];
        snap->uids[i] = shm_load(slots[i]->ident.uid);
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

// Pushes the chain a view shows.
static int push_step(const ChainView *view, Snapshot *stack, int32_t *count) {
    SharedSlot *slots[16];
    int n = chain_stages(view, slots, 16);
    return push_slots(slots, n, stack, count);
}

int undo_mark_stages(ChainHistory *h, SharedSlot *const *slots, int n, uint32_t tag) {
    if (!h || n < 0) return 0;
    double now = editor_clock();
    if (tag != 0 && tag == h->undo_tag && now - h->undo_time < COALESCE_S && h->undo_n >= 1) {
        h->undo_time = now;
        return h->undo_n;
    }
    int recorded = push_slots(slots, n, h->undo, &h->undo_n);
    h->redo_n = 0;
    h->undo_tag = tag;
    h->undo_time = now;
    return recorded;
}

int undo_mark(ChainOps *ops, uint32_t tag) {
    if (!ops || !ops->history) return 0;
    SharedSlot *slots[16];
    int n = chain_stages(ops->view, slots, 16);
    return undo_mark_stages(ops->history, slots, n, tag);
}

void set_param_all(ChainOps *ops, int stage, int index, double value) {
    if (!ops || index < 0 || index >= (int)PARAM_COUNT) return;
    const ChainView *view = ops->view;
    SharedSlot *targets[CHAIN_MAX];
    int n = 0;
    if (!view->chain_mode && stage >= 0) {
        SharedSlot *s = chain_stage(view, stage);
        if (s) targets[n++] = s;
    } else {
        n = chain_stages(view, targets, CHAIN_MAX);
    }
    if (!ops->preset_applying) undo_mark(ops, undo_tag_param(stage, index));
    for (int i = 0; i < n; i++)
        plugin_edit_one(targets[i], index, value);
}

void snap_apply(ChainOps *ops, const Snapshot *snap) {
    if (!ops || !snap) return;
    int n = snap->count < 0 ? 0 : snap->count > 16 ? 16 : snap->count;
    for (int i = 0; i < n; i++) {
        SharedSlot *s = snap->slots[i];
        if (!registry_contains(s, snap->uids[i])) continue;
        for (uint32_t j = 0; j < PARAM_COUNT; j++) {
            double rec = snap->values[i][j];
            if (differs(shm_load(s->values[j]), rec)) plugin_edit_one(s, (int)j, rec);
        }
    }
    if (ops->view->own_slot) chain_view_refresh(ops->view);
}

void undo_do(ChainOps *ops) {
    if (!ops || !ops->history) return;
    ChainHistory *h = ops->history;
    if (h->undo_n <= 0) return;
    if (h->undo_n > UNDO_DEPTH) h->undo_n = UNDO_DEPTH;
    push_step(ops->view, h->redo, &h->redo_n);
    h->undo_n--;
    Snapshot step = h->undo[h->undo_n];
    snap_apply(ops, &step);
    h->undo_tag = 0;
}

void redo_do(ChainOps *ops) {
    if (!ops || !ops->history) return;
    ChainHistory *h = ops->history;
    if (h->redo_n <= 0) return;
    if (h->redo_n > UNDO_DEPTH) h->redo_n = UNDO_DEPTH;
    push_step(ops->view, h->undo, &h->undo_n);
    h->redo_n--;
    Snapshot step = h->redo[h->redo_n];
    snap_apply(ops, &step);
    h->undo_tag = 0;
}

static void ab_capture(const ChainView *view, AbRecord *rec) {
    SharedSlot *slots[64];
    int n = chain_stages(view, slots, 64);
    rec->count = 0;
    for (int i = 0; i < n; i++) {
        rec->slots[i] = slots[i];
        for (uint32_t j = 0; j < PARAM_COUNT; j++)
            rec->values[i][j] = shm_load(slots[i]->values[j]);
    }
    rec->count = n;
    rec->filled = 1;
}

static int ab_side(const ChainHistory *h) { return h->ab_cur == 1 ? 1 : 0; }

void ab_switch(ChainOps *ops) {
    if (!ops || !ops->history) return;
    ChainHistory *h = ops->history;
    undo_mark(ops, 0);
    int cur = ab_side(h), other = 1 - cur;
    ab_capture(ops->view, &h->ab[cur]);
    if (!h->ab[other].filled) h->ab[other] = h->ab[cur];
    h->ab_cur = other;
    SharedSlot *shown[64];
    int n_shown = chain_stages(ops->view, shown, 64);
    const AbRecord &rec = h->ab[other];
    int n = rec.count < 0 ? 0 : rec.count > 64 ? 64 : rec.count;
    for (int i = 0; i < n; i++) {
        SharedSlot *s = rec.slots[i];
        bool in_chain = false;
        for (int k = 0; k < n_shown && !in_chain; k++)
            in_chain = shown[k] == s;
        if (!s || !in_chain) continue;
        for (uint32_t j = 0; j < PARAM_COUNT; j++) {
            if (!param_recalled((int)j)) continue;
            if (differs(shm_load(s->values[j]), rec.values[i][j])) plugin_edit_one(s, (int)j, rec.values[i][j]);
        }
    }
}

void ab_copy(ChainOps *ops) {
    if (!ops || !ops->history) return;
    ChainHistory *h = ops->history;
    int cur = ab_side(h);
    ab_capture(ops->view, &h->ab[cur]);
    h->ab[1 - cur] = h->ab[cur];
}
