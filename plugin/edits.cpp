// The owner's side of parameter writes: host events and MIDI (with learn) into the stage's
// slot, the drain of the slot's edit queue into the host's events, and the owner's bounded
// look at its slot's values.
#include "plugin/edits.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "params/params.h"
#include "plugin/plugin.h"
#include "sys/sys.h"

static_assert(sizeof(clap_event_param_value_t) == 56);
static_assert(sizeof(clap_event_param_gesture_t) == 20);

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
    int32_t learn = shm_load(s->midi.midi_learn);
    if (learn >= 0 && learn < (int32_t)PARAM_COUNT) {
        for (uint32_t i = 0; i < PARAM_COUNT; i++)
            if (shm_load(s->midi.midi_cc[i]) == cc) shm_store(s->midi.midi_cc[i], -1);
        shm_store(s->midi.midi_cc[learn], cc);
        shm_store(s->midi.midi_learn, -1);
        return;
    }
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        if (shm_load(s->midi.midi_cc[i]) != cc) continue;
        const ParamInfo &row = PARAMS[i];
        double x;
        if ((row.flags & PF_STEPPED) && row.max == 1.0)
            x = (v & 64) ? 1.0 : 0.0;
        else
            x = row.min + (row.max - row.min) * (double)(v & 0x7F) / 127.0;
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
    default:
        break; // not a kind of ours: another process wrote garbage
    }
}

double slot_value(Plugin *p, int index) {
    SlotValues &v = p->slot_values;
    const double raw = shm_load(p->slot->values[index]);
    const uint64_t bits = std::bit_cast<uint64_t>(raw);
    if (!v.known[index] || v.bits[index] != bits) {
        v.bits[index] = bits;
        v.value[index] = param_bounded(index, raw);
        v.known[index] = 1;
        v.engine_stale = 1;
    }
    return v.value[index];
}

// After the queue: gestures whose poster fell silent (died, or lost its end) are ended, and
// every parameter the host does not know the stage's value of is sent.
static void settle(Plugin *p, const clap_output_events_t *out, uint64_t now) {
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        int k = (int)i;
        if (is_open(p, k) && now - seen_at(p, k) > EDIT_GESTURE_LAPSE_NS && push_gesture(out, PARAMS[i].id, false)) {
            set_open(p, k, false);
            p->gesture_lapsed[i] = 1;
        }
        if (std::atomic_ref<uint32_t>(p->state_loading).load()) continue; // the host is loading it
        const double v = slot_value(p, k);
        if (!same_value(v, host_knows(p, k))) send_value(p, out, k, v);
    }
}

void echo_edits(Plugin *p, const clap_output_events_t *out, uint64_t now) {
    if (!p || !p->slot) return;
    SharedSlot *s = p->slot;
    uint32_t w = shm_load(s->edits.edit_write);
    uint32_t r = shm_load(s->edits.edit_read);
    // Posters never let the queue run more than one ring ahead; a larger distance means the
    // counters were corrupted, and the entries cannot be trusted: drop them.
    if (!out || w - r > EDIT_QUEUE_LEN) {
        shm_store(s->edits.edit_read, w);
        if (out) settle(p, out, now);
        return;
    }
    while (r != w) {
        const EditEntry &q = s->edits.edit_queue[r % EDIT_QUEUE_LEN];
        uint32_t id = shm_load(q.id);
        uint32_t kind = shm_load(q.kind);
        double value = shm_load(q.value);
        r++;
        shm_store(s->edits.edit_read, r);
        int idx = param_index_from_id(id);
        if (idx >= 0) forward(p, out, idx, kind, value, now); // else garbage from another process
    }
    settle(p, out, now);
}

void params_flush(const clap_plugin_t *plugin, const clap_input_events_t *in, const clap_output_events_t *out) {
    Plugin *p = plugin_of(plugin);
    if (!p) return;
    echo_edits(p, out, sys_time_ns());
    if (!in || !in->size || !in->get) return;
    uint32_t n = in->size(in);
    for (uint32_t i = 0; i < n; i++)
        apply_event(p, in->get(in, i), out);
}
