// clap.param-indication: the host tells which parameters a controller is mapped to and
// what its automation does with them; the stage keeps it per parameter and every editor
// of the process draws it on the matching controls at its next frame.
#include "params/params.h"
#include "plugin/extensions.h"
#include "plugin/plugin.h"

// The editor draws the states by the names of params/indication.h.
static_assert((int)INDICATION_AUTOMATION_NONE == (int)CLAP_PARAM_INDICATION_AUTOMATION_NONE &&
              (int)INDICATION_AUTOMATION_PRESENT == (int)CLAP_PARAM_INDICATION_AUTOMATION_PRESENT &&
              (int)INDICATION_AUTOMATION_PLAYING == (int)CLAP_PARAM_INDICATION_AUTOMATION_PLAYING &&
              (int)INDICATION_AUTOMATION_RECORDING == (int)CLAP_PARAM_INDICATION_AUTOMATION_RECORDING &&
              (int)INDICATION_AUTOMATION_OVERRIDING == (int)CLAP_PARAM_INDICATION_AUTOMATION_OVERRIDING);

static void set_color(uint8_t *has, uint8_t rgba[4], const clap_color_t *c) {
    *has = c ? 1 : 0;
    rgba[0] = c ? c->red : 0;
    rgba[1] = c ? c->green : 0;
    rgba[2] = c ? c->blue : 0;
    rgba[3] = c ? c->alpha : 0;
}

static ParamIndication *indication_of(const clap_plugin_t *plugin, clap_id param_id) {
    Plugin *p = plugin_of(plugin);
    int index = param_index_from_id(param_id);
    return p && index >= 0 ? &p->indication[index] : nullptr;
}

static void indication_set_mapping(const clap_plugin_t *plugin, clap_id param_id, bool has_mapping,
                                   const clap_color_t *color, const char *, const char *) {
    ParamIndication *ind = indication_of(plugin, param_id);
    if (!ind) return;
    ind->mapped = has_mapping ? 1 : 0;
    set_color(&ind->map_has_color, ind->map_rgba, has_mapping ? color : nullptr);
}

static void indication_set_automation(const clap_plugin_t *plugin, clap_id param_id, uint32_t state,
                                      const clap_color_t *color) {
    ParamIndication *ind = indication_of(plugin, param_id);
    if (!ind) return;
    // An unknown state is taken as none: nothing is drawn for what we cannot name.
    ind->automation = state <= CLAP_PARAM_INDICATION_AUTOMATION_OVERRIDING ? (uint8_t)state : 0;
    set_color(&ind->auto_has_color, ind->auto_rgba, ind->automation ? color : nullptr);
}

const clap_plugin_param_indication_t EXT_PARAM_INDICATION = {indication_set_mapping, indication_set_automation};
