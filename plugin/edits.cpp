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

// A poster holds edit_lock for a handful of stores. A lock word that stays the same non-zero
// value for longer than this was left by a process that died inside the critical section,
// or written by one that misbehaves: whatever it holds, it is broken and taken afresh.
static constexpr uint64_t EDIT_LOCK_STALE_NS = 20000000;
// A poster that cannot take the lock for this long (another process keeps writing the word)
// gives up and drops its entry: the value is in the slot already and the owner's drain sends
// it. So no edit call waits longer, whatever the word holds.
static constexpr uint64_t EDIT_LOCK_GIVE_UP_NS = 40000000;

void plugin_log(Plugin *p, int severity, const char *message) {
    if (!p || !p->host || !p->host_log || !p->host_log->log || !message) return;
    p->host_log->log(p->host, severity, message);
}

static bool push_value(const clap_output_events_t *out, uint32_t id, double value) {
    if (!out || !out->try_push) return false;
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
    return out->try_push(out, &ev.header);
}

static bool push_gesture(const clap_output_events_t *out, uint32_t id, bool begin) {
    if (!out || !out->try_push) return false;
    clap_event_param_gesture_t ev;
    memset(&ev, 0, sizeof ev);
    ev.header.size = sizeof ev;
    ev.header.time = 0;
    ev.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    ev.header.type = begin ? CLAP_EVENT_PARAM_GESTURE_BEGIN : CLAP_EVENT_PARAM_GESTURE_END;
    ev.header.flags = 0;
    ev.param_id = id;
    return out->try_push(out, &ev.header);
}

// The owner's record of what its host knows. Written by the drain, host events and state
// load; read by the main thread's timer: each field through atomic_ref.
static double host_knows(const Plugin *p, int i) {
    return std::atomic_ref<double>(const_cast<double &>(p->host_value[i])).load(std::memory_order_relaxed);
}
static void set_host_knows(Plugin *p, int i, double v) {
    std::atomic_ref<double>(p->host_value[i]).store(v, std::memory_order_relaxed);
}
static bool is_open(const Plugin *p, int i) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t &>(p->gesture_open[i])).load(std::memory_order_relaxed) != 0;
}
static void set_open(Plugin *p, int i, bool open) {
    std::atomic_ref<uint8_t>(p->gesture_open[i]).store(open ? 1 : 0, std::memory_order_relaxed);
}
static uint64_t seen_at(const Plugin *p, int i) {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t &>(p->gesture_seen_ns[i])).load(std::memory_order_relaxed);
}
static void set_seen(Plugin *p, int i, uint64_t t) {
    std::atomic_ref<uint64_t>(p->gesture_seen_ns[i]).store(t, std::memory_order_relaxed);
}
// Two values the host cannot tell apart (a NaN never reaches it: values pass param_bounded).
static bool same_value(double a, double b) { return a == b; }

static bool send_value(Plugin *p, const clap_output_events_t *out, int i, double v) {
    if (!push_value(out, PARAMS[i].id, v)) return false;
    set_host_knows(p, i, v);
    return true;
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
        // A controller that repeats what the host knows (a host chasing controller values at
        // playback start) changes nothing the host must record.
        if (!same_value(c, host_knows(p, (int)i))) send_value(p, out, (int)i, c);
    }
}

void apply_event(Plugin *p, const clap_event_header_t *e, const clap_output_events_t *out) {
    if (!p || !p->slot || !e || e->space_id != CLAP_CORE_EVENT_SPACE_ID) return;
    if (e->type == CLAP_EVENT_PARAM_VALUE) {
        if (e->size < sizeof(clap_event_param_value_t)) return;
        const clap_event_param_value_t *ev = (const clap_event_param_value_t *)e;
        int idx = param_index_from_id(ev->param_id);
        if (idx < 0 || (PARAMS[idx].flags & PF_READONLY)) return;
        double v = param_clamp(idx, ev->value);
        shm_store(p->slot->values[idx], v);
        set_host_knows(p, idx, v); // the host's own change: nothing to send back
    } else if (e->type == CLAP_EVENT_MIDI) {
        if (e->size < sizeof(clap_event_midi_t)) return;
        apply_midi(p, (const clap_event_midi_t *)e, out);
    }
}

void edits_host_knows(Plugin *p, int index, double value) {
    if (p && index >= 0 && index < (int)PARAM_COUNT) set_host_knows(p, index, value);
}

bool edits_gesture_lapsed(const Plugin *p, uint64_t now) {
    if (!p) return false;
    for (uint32_t i = 0; i < PARAM_COUNT; i++)
        if (is_open(p, (int)i) && now - seen_at(p, (int)i) > EDIT_GESTURE_LAPSE_NS) return true;
    return false;
}

// One queue entry, forwarded only where it keeps the host's stream well formed.
static void forward(Plugin *p, const clap_output_events_t *out, int i, uint32_t kind, double value, uint64_t now) {
    uint32_t id = PARAMS[i].id;
    switch (kind) {
    case EDIT_BEGIN:
        p->gesture_lapsed[i] = 0;
        set_seen(p, i, now);
        if (!is_open(p, i) && push_gesture(out, id, true)) set_open(p, i, true);
        break;
    case EDIT_VALUE:
        // Values after a gesture that was ended for silence carry on in a gesture of their own.
        if (p->gesture_lapsed[i] && !is_open(p, i) && push_gesture(out, id, true)) set_open(p, i, true);
        p->gesture_lapsed[i] = 0;
        if (is_open(p, i)) set_seen(p, i, now);
        send_value(p, out, i, param_bounded(i, value));
        break;
    case EDIT_END:
        p->gesture_lapsed[i] = 0;
        if (is_open(p, i) && push_gesture(out, id, false)) set_open(p, i, false);
        break;
    default: break; // not a kind of ours: another process wrote garbage
    }
}

// After the queue: gestures whose poster fell silent (died, or lost its end) are ended, and
// every parameter the host does not know the stage's value of is sent.
static void settle(Plugin *p, const clap_output_events_t *out, uint64_t now) {
    SharedSlot *s = p->slot;
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        int k = (int)i;
        if (is_open(p, k) && now - seen_at(p, k) > EDIT_GESTURE_LAPSE_NS && push_gesture(out, PARAMS[i].id, false)) {
            set_open(p, k, false);
            p->gesture_lapsed[i] = 1;
        }
        if (std::atomic_ref<uint32_t>(p->state_loading).load()) continue; // the host is loading it
        double v = param_bounded(k, shm_load(s->values[i]));
        if (!same_value(v, host_knows(p, k))) send_value(p, out, k, v);
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
        if (out) settle(p, out, sys_time_ns());
        return;
    }
    uint64_t now = sys_time_ns();
    while (r != w) {
        const EditEntry &q = s->edit_queue[r % EDIT_QUEUE_LEN];
        uint32_t id = shm_load(q.id);
        uint32_t kind = shm_load(q.kind);
        double value = shm_load(q.value);
        r++;
        shm_store(s->edit_read, r);
        int idx = param_index_from_id(id);
        if (idx >= 0) forward(p, out, idx, kind, value, now); // else garbage from another process
    }
    settle(p, out, now);
}

void params_flush(const clap_plugin_t *plugin, const clap_input_events_t *in, const clap_output_events_t *out) {
    Plugin *p = plugin_of(plugin);
    if (!p) return;
    echo_edits(p, out);
    if (!in || !in->size || !in->get) return;
    uint32_t n = in->size(in);
    for (uint32_t i = 0; i < n; i++) apply_event(p, in->get(in, i), out);
}

// Takes the slot's edit lock; false when it could not be had within the give-up time.
static bool lock_edits(SharedSlot *s) {
    uint64_t start = 0, since = 0;
    uint32_t seen = 0;
    for (uint32_t spins = 0;; spins++) {
        if (shm_cas(s->edit_lock, 0u, 1u)) return true;
        if ((spins & 63) != 63) continue;
        uint64_t now = sys_time_ns();
        uint32_t held = shm_load(s->edit_lock);
        if (start == 0) start = now;
        if (since == 0 || held != seen) {
            seen = held;
            since = now;
        } else if (held != 0 && now - since > EDIT_LOCK_STALE_NS) {
            shm_cas(s->edit_lock, held, 0u); // dead or misbehaving holder: break the lock
            since = 0;
        }
        if (now - start > EDIT_LOCK_GIVE_UP_NS) return false;
        sched_yield();
    }
}

// Whether an end for id is already queued after the last begin for it: a second one would
// only take room that ends of other gestures need. Under the edit lock.
static bool end_already_queued(const SharedSlot *s, uint32_t r, uint32_t w, uint32_t id) {
    for (uint32_t n = w; n != r && w - n < EDIT_QUEUE_LEN;) {
        n--;
        const EditEntry &e = s->edit_queue[n % EDIT_QUEUE_LEN];
        if (shm_load(e.id) != id) continue;
        uint32_t kind = shm_load(e.kind);
        if (kind == EDIT_END) return true;
        if (kind == EDIT_BEGIN) return false;
    }
    return false;
}

// Gestures this thread began whose begin could not be queued: their values and end are
// dropped too, so the queue never holds half a gesture. Posters are main threads.
struct DroppedGestures {
    const SharedSlot *slot;
    uint32_t rows; // bit per PARAMS index
};
static thread_local DroppedGestures t_dropped[SHARED_SLOTS];

static DroppedGestures *dropped_of(const SharedSlot *slot, bool make) {
    DroppedGestures *free_one = nullptr;
    for (DroppedGestures &d : t_dropped) {
        if (d.slot == slot && d.rows) return &d;
        if (!free_one && !d.rows) free_one = &d;
    }
    if (!make || !free_one) return nullptr;
    free_one->slot = slot;
    return free_one;
}

static bool gesture_dropped(const SharedSlot *slot, int index) {
    DroppedGestures *d = dropped_of(slot, false);
    return d && (d->rows & (1u << index));
}

static void set_gesture_dropped(const SharedSlot *slot, int index, bool dropped) {
    DroppedGestures *d = dropped_of(slot, dropped);
    if (!d) return;
    if (dropped) d->rows |= 1u << index;
    else d->rows &= ~(1u << index);
}

// Stores one entry under the lock when the room rules allow. Returns whether it was stored;
// *needed is false for an end that another queued end makes redundant.
static bool store_entry(SharedSlot *slot, uint32_t id, uint32_t kind, double value, bool *needed) {
    *needed = true;
    if (!lock_edits(slot)) return false;
    uint32_t w = shm_load(slot->edit_write);
    uint32_t r = shm_load(slot->edit_read);
    uint32_t used = w - r;
    bool ok;
    if (kind == EDIT_END) {
        ok = used < EDIT_QUEUE_LEN;
        if (ok && used >= EDIT_QUEUE_LEN - EDIT_END_ROOM && end_already_queued(slot, r, w, id)) {
            ok = false;
            *needed = false;
        }
    } else {
        ok = used < EDIT_QUEUE_LEN - EDIT_END_ROOM;
    }
    if (ok) {
        EditEntry &e = slot->edit_queue[w % EDIT_QUEUE_LEN];
        shm_store(e.id, id);
        shm_store(e.kind, kind);
        shm_store(e.value, value);
        shm_store(slot->edit_write, w + 1);
    }
    shm_store(slot->edit_lock, 0u);
    return ok;
}

void queue_edit(SharedSlot *slot, int index, uint32_t kind, double value) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    uint32_t id = PARAMS[index].id;
    Plugin *owner = registry_local(slot);
    bool stored = false, needed = true;
    if (kind != EDIT_BEGIN && gesture_dropped(slot, index)) {
        if (kind == EDIT_END) set_gesture_dropped(slot, index, false);
    } else {
        stored = store_entry(slot, id, kind, value, &needed);
        if (kind == EDIT_BEGIN) set_gesture_dropped(slot, index, !stored);
    }
    if (!stored && needed && owner) plugin_log(owner, CLAP_LOG_WARNING, "edit queue full, host will miss an event");
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
