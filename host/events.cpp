// Host-side CLAP event lists: preallocated input list and recording output list.
#include "host/events.h"

#include <algorithm>
#include <cstring>

InputEvents::InputEvents(size_t max_events, size_t max_bytes) : store_(max_bytes), offsets_(max_events) {
    list_.ctx = this;
    list_.size = cb_size;
    list_.get = cb_get;
}

bool InputEvents::append(const void *data, uint32_t bytes) {
    if (count_ >= offsets_.size()) return false;
    size_t aligned = (bytes + 7u) & ~size_t(7);
    if (used_ + aligned > store_.size()) return false;
    memcpy(store_.data() + used_, data, bytes);
    offsets_[count_++] = (int64_t)used_;
    used_ += aligned;
    return true;
}

bool InputEvents::add_param(uint32_t time, uint32_t param_id, double value, void *cookie) {
    clap_event_param_value_t e{};
    e.header.size = sizeof e;
    e.header.time = time;
    e.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    e.header.type = CLAP_EVENT_PARAM_VALUE;
    e.header.flags = 0;
    e.param_id = param_id;
    e.cookie = cookie;
    e.note_id = -1;
    e.port_index = -1;
    e.channel = -1;
    e.key = -1;
    e.value = value;
    return append(&e, sizeof e);
}

bool InputEvents::add_param_mod(uint32_t time, uint32_t param_id, double amount) {
    clap_event_param_mod_t e{};
    e.header.size = sizeof e;
    e.header.time = time;
    e.header.type = CLAP_EVENT_PARAM_MOD;
    e.param_id = param_id;
    e.note_id = -1;
    e.port_index = -1;
    e.channel = -1;
    e.key = -1;
    e.amount = amount;
    return append(&e, sizeof e);
}

bool InputEvents::add_gesture(uint32_t time, uint32_t param_id, bool begin) {
    clap_event_param_gesture_t e{};
    e.header.size = sizeof e;
    e.header.time = time;
    e.header.type = begin ? CLAP_EVENT_PARAM_GESTURE_BEGIN : CLAP_EVENT_PARAM_GESTURE_END;
    e.param_id = param_id;
    return append(&e, sizeof e);
}

bool InputEvents::add_midi(uint32_t time, uint8_t b0, uint8_t b1, uint8_t b2, uint16_t port) {
    clap_event_midi_t e{};
    e.header.size = sizeof e;
    e.header.time = time;
    e.header.type = CLAP_EVENT_MIDI;
    e.port_index = port;
    e.data[0] = b0;
    e.data[1] = b1;
    e.data[2] = b2;
    return append(&e, sizeof e);
}

bool InputEvents::add_note(uint32_t time, bool on, int16_t key, double velocity) {
    clap_event_note_t e{};
    e.header.size = sizeof e;
    e.header.time = time;
    e.header.type = on ? CLAP_EVENT_NOTE_ON : CLAP_EVENT_NOTE_OFF;
    e.note_id = -1;
    e.port_index = 0;
    e.channel = 0;
    e.key = key;
    e.velocity = velocity;
    return append(&e, sizeof e);
}

bool InputEvents::add_raw(const clap_event_header_t *header) {
    if (!header) return add_null();
    uint32_t bytes = header->size < sizeof *header ? (uint32_t)sizeof *header : header->size;
    if (bytes > 4096) return false;
    // A header claiming fewer bytes than a header is stored with its own size field intact.
    if (header->size < sizeof *header) {
        clap_event_header_t h = *header;
        return append(&h, sizeof h);
    }
    return append(header, bytes);
}

bool InputEvents::add_null() {
    if (count_ >= offsets_.size()) return false;
    offsets_[count_++] = -1;
    return true;
}

void InputEvents::clear() {
    count_ = 0;
    used_ = 0;
}

const clap_event_header_t *InputEvents::at(uint32_t i) const {
    if (i >= count_ || offsets_[i] < 0) return nullptr;
    return (const clap_event_header_t *)(store_.data() + offsets_[i]);
}

void InputEvents::sort_by_time() {
    // Insertion sort of the offsets (stable, in place, no allocation); null entries first.
    for (size_t i = 1; i < count_; i++) {
        int64_t cur = offsets_[i];
        uint32_t t = cur < 0 ? 0 : ((const clap_event_header_t *)(store_.data() + cur))->time;
        size_t j = i;
        while (j > 0) {
            int64_t prev = offsets_[j - 1];
            uint32_t pt = prev < 0 ? 0 : ((const clap_event_header_t *)(store_.data() + prev))->time;
            if (pt <= t) break;
            offsets_[j] = prev;
            j--;
        }
        offsets_[j] = cur;
    }
}

uint32_t InputEvents::cb_size(const clap_input_events_t *l) {
    return (l && l->ctx) ? ((const InputEvents *)l->ctx)->size() : 0;
}

const clap_event_header_t *InputEvents::cb_get(const clap_input_events_t *l, uint32_t i) {
    return (l && l->ctx) ? ((const InputEvents *)l->ctx)->at(i) : nullptr;
}

static uint32_t pair_size(const clap_input_events_t *l) {
    const InputEvents::Pair *p = l ? (const InputEvents::Pair *)l->ctx : nullptr;
    if (!p) return 0;
    return (p->first ? p->first->size() : 0) + (p->second ? p->second->size() : 0);
}

static const clap_event_header_t *pair_get(const clap_input_events_t *l, uint32_t i) {
    const InputEvents::Pair *p = l ? (const InputEvents::Pair *)l->ctx : nullptr;
    if (!p) return nullptr;
    uint32_t n1 = p->first ? p->first->size() : 0;
    if (i < n1) return p->first->at(i);
    return p->second ? p->second->at(i - n1) : nullptr;
}

InputEvents::Pair::Pair() {
    list.ctx = this;
    list.size = pair_size;
    list.get = pair_get;
}

OutputEvents::OutputEvents(size_t max_events) : events_(max_events) {
    list_.ctx = this;
    list_.try_push = cb_push;
}

void OutputEvents::clear() {
    count_ = 0;
    pushes_ = 0;
    refused_ = 0;
}

OutEvent OutputEvents::decode(const clap_event_header_t *h) {
    OutEvent r;
    if (!h) return r;
    r.space_id = h->space_id;
    r.type = h->type;
    r.time = h->time;
    r.flags = h->flags;
    r.size = h->size;
    if (h->space_id != CLAP_CORE_EVENT_SPACE_ID) return r;
    switch (h->type) {
    case CLAP_EVENT_PARAM_VALUE:
        if (h->size >= sizeof(clap_event_param_value_t)) {
            const clap_event_param_value_t *e = (const clap_event_param_value_t *)h;
            r.param_id = e->param_id;
            r.value = e->value;
        }
        break;
    case CLAP_EVENT_PARAM_MOD:
        if (h->size >= sizeof(clap_event_param_mod_t)) {
            const clap_event_param_mod_t *e = (const clap_event_param_mod_t *)h;
            r.param_id = e->param_id;
            r.value = e->amount;
        }
        break;
    case CLAP_EVENT_PARAM_GESTURE_BEGIN:
    case CLAP_EVENT_PARAM_GESTURE_END:
        if (h->size >= sizeof(clap_event_param_gesture_t))
            r.param_id = ((const clap_event_param_gesture_t *)h)->param_id;
        break;
    case CLAP_EVENT_MIDI:
        if (h->size >= sizeof(clap_event_midi_t)) memcpy(r.midi, ((const clap_event_midi_t *)h)->data, 3);
        break;
    default:
        break;
    }
    return r;
}

bool OutputEvents::cb_push(const clap_output_events_t *l, const clap_event_header_t *e) {
    OutputEvents *self = l ? (OutputEvents *)l->ctx : nullptr;
    if (!self) return false;
    self->pushes_++;
    if (!e || self->refuse_) {
        self->refused_++;
        return false;
    }
    OutEvent r = decode(e);
    r.stage = self->stage_;
    if (self->count_ < self->events_.size()) self->events_[self->count_++] = r;
    if (self->sink_) self->sink_(self->sink_ctx_, r);
    return true;
}
