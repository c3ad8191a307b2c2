// Parameter writes into a stage's slot: host events and MIDI (with learn), the editors'
// edit path through the slot's edit queue, and the owner's drain of that queue.
#include "plugin/edits.h"

#include <sched.h>

#include <cmath>
#include <cstring>

#include "plugin/params.h"
#include "plugin/plugin.h"
#include "registry/registry.h"
#include "sys/sys.h"

static_assert(sizeof(clap_event_param_value_t) == 56);
static_assert(sizeof(clap_event_param_gesture_t) == 20);

// A poster that holds edit_lock for longer than this is taken to be dead: the critical
// section is a handful of stores, so the lock is broken and taken afresh.
static constexpr uint64_t EDIT_LOCK_STALE_NS = 20000000;

void plugin_log(Plugin *p, int severity, const char *message) {
    if (!p || !p->host || !p->host_log || !p->host_log->log || !message) return;
    p->host_log->log(p->host, severity, message);
}

static void push_value(const clap_output_events_t *out, uint32_t id, double value) {
    if (!out || !out->try_push) return;
    clap_event_param_value_t ev;
    memset(&ev, 0, sizeof ev);
    ev.header.size = sizeof ev;
    ev.header.time = 0;
    ev.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    ev.header.type = CLAP_EVENT_PARAM_VALUE;
    ev.header.flags = 0;
    ev.param_id = id;
    ev.cookie = nullptr;
    ev.note_id = -1;
    ev.port_index = -1;
    ev.channel = -1;
    ev.key = -1;
    ev.value = value;
    out->try_push(out, &ev.header);
}

static void push_gesture(const clap_output_events_t *out, uint32_t id, bool begin) {
    if (!out || !out->try_push) return;
    clap_event_param_gesture_t ev;
    memset(&ev, 0, sizeof ev);
    ev.header.size = sizeof ev;
    ev.header.time = 0;
    ev.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    ev.header.type = begin ? CLAP_EVENT_PARAM_GESTURE_BEGIN : CLAP_EVENT_PARAM_GESTURE_END;
    ev.header.flags = 0;
    ev.param_id = id;
    out->try_push(out, &ev.header);
}

static void apply_midi(Plugin *p, const clap_event_midi_t *m, const clap_output_events_t *out) {
    SharedSlot *s = p->slot;
    if ((m->data[0] & 0xF0) != 0xB0) return;
    int32_t cc = m->data[1] & 0x7F;
    int v = m->data[2];
    int32_t learn = shm_load(s->midi_learn);
    if (learn >= 0 && learn < (int32_t)PARAM_COUNT) {
        for (uint32_t i = 0; i < PARAM_COUNT; i++)
            if (shm_load(s->midi_cc[i]) == cc) shm_store(s->midi_cc[i], -1);
        shm_store(s->midi_cc[learn], cc);
        shm_store(s->midi_learn, -1);
        return;
    }
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        if (shm_load(s->midi_cc[i]) != cc) continue;
        const ParamInfo &row = PARAMS[i];
        double x;
        if ((row.flags & PF_STEPPED) && row.max == 1.0) x = (v & 64) ? 1.0 : 0.0;
        else x = row.min + (row.max - row.min) * (double)(v & 0x7F) / 127.0;
        double c = param_clamp((int)i, x);
        shm_store(s->values[i], c);
        push_value(out, row.id, c);
    }
}

void apply_event(Plugin *p, const clap_event_header_t *e, const clap_output_events_t *out) {
    if (!p || !p->slot || !e || e->space_id != CLAP_CORE_EVENT_SPACE_ID) return;
    if (e->type == CLAP_EVENT_PARAM_VALUE) {
        if (e->size < sizeof(clap_event_param_value_t)) return;
        const clap_event_param_value_t *ev = (const clap_event_param_value_t *)e;
        int idx = param_index_from_id(ev->param_id);
        if (idx < 0 || (PARAMS[idx].flags & PF_READONLY)) return;
        shm_store(p->slot->values[idx], param_clamp(idx, ev->value));
    } else if (e->type == CLAP_EVENT_MIDI) {
        if (e->size < sizeof(clap_event_midi_t)) return;
        apply_midi(p, (const clap_event_midi_t *)e, out);
    }
}

void echo_edits(Plugin *p, const clap_output_events_t *out) {
    if (!p || !p->slot) return;
    SharedSlot *s = p->slot;
    uint32_t w = shm_load(s->edit_write);
    uint32_t r = shm_load(s->edit_read);
    // Posters never let the queue run more than one ring ahead; a larger distance means the
    // counters were corrupted, and the entries cannot be trusted: drop them.
    if (!out || w - r > EDIT_QUEUE_LEN) {
        shm_store(s->edit_read, w);
        return;
    }
    while (r != w) {
        EditEntry e;
        const EditEntry &q = s->edit_queue[r % EDIT_QUEUE_LEN];
        e.id = shm_load(q.id);
        e.kind = shm_load(q.kind);
        e.value = shm_load(q.value);
        r++;
        shm_store(s->edit_read, r);
        int idx = param_index_from_id(e.id);
        if (idx < 0) continue; // not a parameter of ours: another process wrote garbage
        if (e.kind == EDIT_VALUE) push_value(out, e.id, param_clamp(idx, e.value));
        else if (e.kind == EDIT_BEGIN || e.kind == EDIT_END) push_gesture(out, e.id, e.kind == EDIT_BEGIN);
    }
}

void params_flush(const clap_plugin_t *plugin, const clap_input_events_t *in, const clap_output_events_t *out) {
    Plugin *p = plugin_of(plugin);
    if (!p) return;
    echo_edits(p, out);
    if (!in || !in->size || !in->get) return;
    uint32_t n = in->size(in);
    for (uint32_t i = 0; i < n; i++) apply_event(p, in->get(in, i), out);
}

static void lock_edits(SharedSlot *s) {
    uint64_t since = 0;
    for (uint32_t spins = 0;; spins++) {
        if (shm_cas(s->edit_lock, 0u, 1u)) return;
        if ((spins & 63) == 63) {
            uint64_t now = sys_time_ns();
            if (since == 0) since = now;
            else if (now - since > EDIT_LOCK_STALE_NS) {
                // The holder died inside the critical section: break the lock.
                shm_cas(s->edit_lock, 1u, 0u);
                since = 0;
            }
            sched_yield();
        }
    }
}

void queue_edit(SharedSlot *slot, int index, uint32_t kind, double value) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    uint32_t id = PARAMS[index].id;
    Plugin *owner = registry_local(slot);
    lock_edits(slot);
    uint32_t w = shm_load(slot->edit_write);
    uint32_t r = shm_load(slot->edit_read);
    if (w - r < EDIT_QUEUE_LEN) {
        EditEntry &e = slot->edit_queue[w % EDIT_QUEUE_LEN];
        shm_store(e.id, id);
        shm_store(e.kind, kind);
        shm_store(e.value, value);
        shm_store(slot->edit_write, w + 1);
        shm_store(slot->edit_lock, 0u);
    } else {
        shm_store(slot->edit_lock, 0u);
        if (owner) plugin_log(owner, CLAP_LOG_WARNING, "edit queue full, host will miss an event");
    }
    if (owner) {
        if (owner->host_params && owner->host_params->request_flush) owner->host_params->request_flush(owner->host);
    } else {
        std::atomic_ref<uint32_t>(slot->pending).fetch_or(1u, std::memory_order_seq_cst);
    }
}

static double current_value(SharedSlot *slot, int index) { return shm_load(slot->values[index]); }

void plugin_edit_begin(SharedSlot *slot, int index) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    queue_edit(slot, index, EDIT_BEGIN, current_value(slot, index));
}

void plugin_edit_value(SharedSlot *slot, int index, double value) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    double v = param_clamp(index, value);
    shm_store(slot->values[index], v);
    queue_edit(slot, index, EDIT_VALUE, v);
    Plugin *owner = registry_local(slot);
    if (owner) {
        if (owner->host_state && owner->host_state->mark_dirty) owner->host_state->mark_dirty(owner->host);
    } else {
        std::atomic_ref<uint32_t>(slot->pending).fetch_or(2u, std::memory_order_seq_cst);
    }
}

void plugin_edit_end(SharedSlot *slot, int index) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    queue_edit(slot, index, EDIT_END, current_value(slot, index));
}
