// clap.render: the host may process faster than real time (offline bounce). The stage
// publishes its mode in its slot, where chain resolution reads it (registry/chain.cpp):
// the timing of offline blocks does not tell buses apart the way real-time calls do.
#include "plugin/extensions.h"
#include "plugin/plugin.h"

// Nothing in the engine needs real time: a bounce may run at any speed.
static bool render_has_hard_realtime_requirement(const clap_plugin_t *) { return false; }

static bool render_set(const clap_plugin_t *plugin, clap_plugin_render_mode mode) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot || (mode != CLAP_RENDER_REALTIME && mode != CLAP_RENDER_OFFLINE)) return false;
    shm_store(p->slot->render_mode, mode == CLAP_RENDER_OFFLINE ? 1u : 0u);
    return true;
}

const clap_plugin_render_t EXT_RENDER = {render_has_hard_realtime_requirement, render_set};
