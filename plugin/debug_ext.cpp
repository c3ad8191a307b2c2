// The private debug extension: a test host reads the stage's chain, meters and history,
// arms MIDI learn and asks the editor for geometry, screenshots and graph columns.
#include <cmath>

#include "editor/ui.h"
#include "params/params.h"
#include "plugin/plugin.h"
#include "registry/chain.h"
#include "registry/registry.h"

static int own_chain(Plugin *p, ChainEntry *chain, int *pos) {
    *pos = 0;
    if (!p || !p->slot) return 0;
    int g = slot_group(p->slot);
    uint32_t group = g >= 0 ? (uint32_t)g : 16u;
    int n = registry_chain_for(p->slot, group, chain, 64);
    for (int i = 0; i < n; i++)
        if (chain[i].slot == p->slot) *pos = i + 1;
    return n;
}

static uint32_t debug_chain_size(const clap_plugin_t *plugin) {
    ChainEntry chain[64];
    int pos;
    return (uint32_t)own_chain(plugin_of(plugin), chain, &pos);
}

static uint32_t debug_chain_position(const clap_plugin_t *plugin) {
    ChainEntry chain[64];
    int pos;
    own_chain(plugin_of(plugin), chain, &pos);
    return (uint32_t)pos;
}

static double debug_meter(const clap_plugin_t *plugin, uint32_t meter) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot) return 0.0;
    SharedSlot *s = p->slot;
    switch (meter) {
    case 0:
        return shm_load(s->meters.meter_gain);
    case 1:
        return shm_load(s->meters.meter_peak_in);
    case 2:
        return shm_load(s->meters.meter_tp_in);
    case 3:
        return shm_load(s->meters.meter_peak_out);
    case 4:
        return shm_load(s->meters.meter_tp_out);
    case 5:
        return shm_load(s->meters.lufs_m);
    case 6:
        return shm_load(s->meters.lufs_s);
    case 7:
        return shm_load(s->meters.lufs_i);
    case 8:
        return (double)(int32_t)shm_load(s->meters.block_over);
    case 9:
        return (double)(int32_t)shm_load(s->meters.block_max);
    default:
        return 0.0;
    }
}

static bool debug_editor_probe(const clap_plugin_t *plugin, uint8_t rgb[3]) {
    Plugin *p = plugin_of(plugin);
    return p && p->ui && rgb && ui_probe(p->ui, rgb);
}

static bool debug_editor_rect(const clap_plugin_t *plugin, uint32_t id, uint32_t arg, float out[4]) {
    Plugin *p = plugin_of(plugin);
    return p && p->ui && out && ui_rect(p->ui, id, arg, out);
}

static double debug_history(const clap_plugin_t *plugin, int32_t kind, uint32_t back) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot) return -1000.0;
    SharedSlot *s = p->slot;
    uint32_t n = shm_load(s->history.hist_count);
    int64_t b = (int32_t)back;
    if (b < 0 || b >= (int64_t)n || b > 8191) return -1000.0;
    uint32_t i = (uint32_t)((int64_t)n - 1 - b) & (HIST_LEN - 1);
    switch (kind) {
    case 0:
        return shm_load(s->history.hist_gain[i]);
    case 1:
        return shm_load(s->history.hist_in[i]);
    case 2:
        return shm_load(s->history.hist_out[i]);
    default:
        return shm_load(s->history.hist_lufs[i]);
    }
}

static void debug_midi_learn(const clap_plugin_t *plugin, int32_t index) {
    Plugin *p = plugin_of(plugin);
    if (p && p->slot) shm_store(p->slot->midi.midi_learn, index);
}

static bool debug_editor_dump(const clap_plugin_t *plugin, const char *path) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->ui || !path) return false;
    ui_dump(p->ui, path);
    return true;
}

static int32_t debug_editor_graph(const clap_plugin_t *plugin, void *cols, void *info, int32_t max) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->ui) return 0;
    return ui_graph(p->ui, (GraphInfo *)info, (GraphCol *)cols, max);
}

const tervik_plugin_debug_t EXT_DEBUG = {
    debug_chain_size, debug_chain_position, debug_meter,       debug_editor_probe, debug_editor_rect,
    debug_history,    debug_midi_learn,     debug_editor_dump, debug_editor_graph,
};
