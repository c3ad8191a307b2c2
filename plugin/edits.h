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
void echo_edits(Plugin *p, const clap_output_events_t *out);
void params_flush(const clap_plugin_t *plugin, const clap_input_events_t *in, const clap_output_events_t *out);

// Editor side (main thread of any process): the only way an editor changes a parameter.
// index is a PARAMS row. Values are clamped and live in the slot at once.
void plugin_edit_begin(SharedSlot *slot, int index);
void plugin_edit_value(SharedSlot *slot, int index, double value);
void plugin_edit_end(SharedSlot *slot, int index);
void queue_edit(SharedSlot *slot, int index, uint32_t kind, double value);

// Host log, when the host has one.
void plugin_log(Plugin *p, int severity, const char *message);
