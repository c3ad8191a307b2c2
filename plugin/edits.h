// The owner's side of parameter writes: host events and MIDI learn into the slot, and the
// drain of the edit queue (which editors fill through params/edit_path.h) into host events.
#pragma once
#include <clap/events.h>
#include <clap/plugin.h>
#include <cstdint>

#include "registry/shared.h"

struct Plugin;

// [active ? audio-thread : main-thread] Owner side, in process or flush. out may be null.
// Applies one host event (parameter value, gesture, MIDI control change) to the slot.
void apply_event(Plugin *p, const clap_event_header_t *event, const clap_output_events_t *out);
// [active ? audio-thread : main-thread] Returns the slot's parameter `index` (a row of
// registry/param_rows.h) as the stage may use it, whatever another process stored: bounded
// afresh only when its bits changed since the last look, which also marks the engine stale.
double slot_value(Plugin *p, int index);
// [active ? audio-thread : main-thread] Drains the edit queue into out as a well-formed stream whatever the ring holds:
// a gesture begins only when it is not open and ends only when it is; a gesture whose poster has been silent for
// EDIT_GESTURE_LAPSE_NS is ended. Then every parameter whose slot value differs from the value the host last knew is
// sent, so the host always ends with the stage's value. now: the monotonic time of the call.
void echo_edits(Plugin *p, const clap_output_events_t *out, uint64_t now);
// [active ? audio-thread : main-thread] The params extension's flush: host events in, then
// the drain out.
void params_flush(const clap_plugin_t *plugin, const clap_input_events_t *in, const clap_output_events_t *out);

// [any-thread] of the owner. The host knows this value of the parameter at index (it gave
// it: defaults at init, its own state load).
void edits_host_knows(Plugin *p, int index, double value);
// [main-thread] Returns whether a gesture has stayed open past the lapse and a drain is
// needed to end it.
bool edits_gesture_lapsed(const Plugin *p, uint64_t now_ns);

constexpr uint64_t EDIT_GESTURE_LAPSE_NS = 2000000000;

// [any-thread] Writes a line to the host's log, when the host has one (clap.log is
// thread-safe).
void plugin_log(Plugin *p, int severity, const char *message);
