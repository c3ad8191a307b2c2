// Lookup of the newer CLAP extensions and of the preset-discovery factory by identifier:
// each answers its final identifier and the draft one CLAP keeps for compatibility.
#include <cstring>

#include "plugin/extensions.h"

static bool is(const char *id, const char *a, const char *b = nullptr) {
    return strcmp(id, a) == 0 || (b && strcmp(id, b) == 0);
}

const void *newer_extension(const char *id) {
    if (!id) return nullptr;
    if (is(id, CLAP_EXT_PRESET_LOAD, CLAP_EXT_PRESET_LOAD_COMPAT)) return &EXT_PRESET_LOAD;
    if (is(id, CLAP_EXT_REMOTE_CONTROLS, CLAP_EXT_REMOTE_CONTROLS_COMPAT)) return &EXT_REMOTE_CONTROLS;
    if (is(id, CLAP_EXT_PARAM_INDICATION, CLAP_EXT_PARAM_INDICATION_COMPAT)) return &EXT_PARAM_INDICATION;
    if (is(id, CLAP_EXT_STATE_CONTEXT)) return &EXT_STATE_CONTEXT;
    if (is(id, CLAP_EXT_RENDER)) return &EXT_RENDER;
    if (is(id, CLAP_EXT_CONTEXT_MENU, CLAP_EXT_CONTEXT_MENU_COMPAT)) return &EXT_CONTEXT_MENU;
    return nullptr;
}

const void *newer_factory(const char *factory_id) {
    if (factory_id && is(factory_id, CLAP_PRESET_DISCOVERY_FACTORY_ID, CLAP_PRESET_DISCOVERY_FACTORY_ID_COMPAT))
        return &PRESET_DISCOVERY_FACTORY;
    return nullptr;
}
