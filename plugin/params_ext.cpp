// The CLAP params extension: count, info, value and text conversions (flush is the edit
// path's), reading values from the stage's slot.
#include <cstdio>
#include <cstring>

#include "params/params.h"
#include "plugin/edits.h"
#include "plugin/plugin.h"

static uint32_t params_count(const clap_plugin_t *) { return PARAM_COUNT; }

static bool params_get_info(const clap_plugin_t *, uint32_t index, clap_param_info_t *info) {
    if (index >= PARAM_COUNT || !info) return false;
    const ParamInfo &r = PARAMS[index];
    memset(info, 0, sizeof *info);
    info->id = r.id;
    info->flags = r.flags;
    info->cookie = nullptr;
    snprintf(info->name, sizeof info->name, "%s", r.name);
    info->module[0] = 0;
    info->min_value = r.min;
    info->max_value = r.max;
    info->default_value = r.def;
    return true;
}

static bool params_get_value(const clap_plugin_t *plugin, clap_id id, double *out) {
    Plugin *p = plugin_of(plugin);
    int idx = param_index_from_id(id);
    if (!p || !p->slot || idx < 0 || !out) return false;
    // Another process may have stored anything into the slot: the host gets it bounded.
    *out = param_bounded(idx, shm_load(p->slot->values[idx]));
    return true;
}

static bool params_value_to_text(const clap_plugin_t *, clap_id id, double value, char *text, uint32_t size) {
    int idx = param_index_from_id(id);
    if (idx < 0 || !text || size == 0) return false;
    param_format(idx, text, size, param_bounded(idx, value));
    return true;
}

static bool params_text_to_value(const clap_plugin_t *, clap_id id, const char *text, double *out) {
    int idx = param_index_from_id(id);
    if (idx < 0) return false;
    return param_parse(idx, text, out);
}

const clap_plugin_params_t EXT_PARAMS = {
    params_count, params_get_info, params_get_value, params_value_to_text, params_text_to_value, params_flush,
};
