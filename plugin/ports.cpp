// Audio ports (one stereo in, one stereo out), the MIDI note port used by MIDI learn, and
// the latency extension (lookahead + 8 samples).
#include <cmath>
#include <cstdio>
#include <cstring>

#include "params/params.h"
#include "plugin/plugin.h"

static uint32_t ports_count(const clap_plugin_t *, bool) { return 1; }

static bool ports_get(const clap_plugin_t *, uint32_t index, bool is_input, clap_audio_port_info_t *info) {
    if (index != 0 || !info) return false;
    memset(info, 0, sizeof *info);
    info->id = 0;
    snprintf(info->name, sizeof info->name, "%s", is_input ? "Input" : "Output");
    info->flags = CLAP_AUDIO_PORT_IS_MAIN;
    info->channel_count = 2;
    info->port_type = CLAP_PORT_STEREO;
    info->in_place_pair = 0;
    return true;
}

const clap_plugin_audio_ports_t EXT_PORTS = {ports_count, ports_get};

static uint32_t note_ports_count(const clap_plugin_t *, bool is_input) { return is_input ? 1 : 0; }

static bool note_ports_get(const clap_plugin_t *, uint32_t index, bool is_input, clap_note_port_info_t *info) {
    if (!is_input || index != 0 || !info) return false;
    memset(info, 0, sizeof *info);
    info->id = 0;
    info->supported_dialects = CLAP_NOTE_DIALECT_MIDI;
    info->preferred_dialect = CLAP_NOTE_DIALECT_MIDI;
    snprintf(info->name, sizeof info->name, "%s", "MIDI (learn)");
    return true;
}

const clap_plugin_note_ports_t EXT_NOTE_PORTS = {note_ports_count, note_ports_get};

static uint32_t latency_get(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    if (!p) return 0;
    if (p->active) return (uint32_t)limiter_latency(&p->lim);
    double la = p->slot ? param_bounded(P_LOOKAHEAD, shm_load(p->slot->values[P_LOOKAHEAD])) : PARAMS[P_LOOKAHEAD].def;
    return (uint32_t)std::trunc(la * 0.001 * 48000.0 + 0.5) + 8;
}

const clap_plugin_latency_t EXT_LATENCY = {latency_get};
