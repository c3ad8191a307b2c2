// Parameter writes: host events and MIDI learn into the slot, the editors' edit path with
// its cross-process edit queue, and the owner's drain of that queue into host events.
#pragma once
#include <clap/events.h>
#include <clap/plugin.h>
#include <cstdint>

#include "registry/shared.h"

struct Plugin;

// Owner side (audio thread in process, main thread in flush). out may be null.
void apply_event(Plugin *p, const clap_event_header_t *event, const clap_output_events_t *out);
// Drains the edit queue into out as a well-formed stream whatever the ring holds: a gesture
// begins only when it is not open and ends only when it is; a gesture whose poster has been
// silent for EDIT_GESTURE_LAPSE_NS is ended. Then every parameter whose slot value differs
// from the value the host last knew is sent, so the host always ends with the stage's value.
void echo_edits(Plugin *p, const clap_output_events_t *out);
void params_flush(const clap_plugin_t *plugin, const clap_input_events_t *in, const clap_output_events_t *out);

// Owner side: the host knows this value of the parameter at index (it gave it: defaults at
// init, its own state load). Any thread of the owner.
void edits_host_knows(Plugin *p, int index, double value);
// Whether a gesture has stayed open past the lapse and a drain is needed to end it.
bool edits_gesture_lapsed(const Plugin *p, uint64_t now_ns);

constexpr uint64_t EDIT_GESTURE_LAPSE_NS = 2000000000;
// Queue entries kept free for gesture ends: one per parameter.
constexpr uint32_t EDIT_END_ROOM = SHARED_PARAMS;

// Editor side (main thread of any process): the only way an editor changes a parameter.
// index is a PARAMS row. Values are clamped and live in the slot at once. A post never
// waits longer than the edit lock's give-up time, whatever other processes left in the lock.
// Room for ending gestures is kept: a begin or a value is queued only while EDIT_END_ROOM
// entries stay free, and a gesture whose begin could not be queued is dropped whole by the
// thread that made it (its values and end are not queued; the drain sends the final value).
void plugin_edit_begin(SharedSlot *slot, int index);
void plugin_edit_value(SharedSlot *slot, int index, double value);
void plugin_edit_end(SharedSlot *slot, int index);
void queue_edit(SharedSlot *slot, int index, uint32_t kind, double value);

// Host log, when the host has one.
void plugin_log(Plugin *p, int severity, const char *message);
