// The library's one exported symbol, clap_entry, the plug-in factory offering the single
// Tervik descriptor, and the preset-discovery factory.
#include <clap/entry.h>
#include <clap/plugin-factory.h>

#include <cstring>

#include "plugin/extensions.h"
#include "plugin/plugin.h"
#include "plugin/scanlog.h"

static bool tervik_entry_init(const char *plugin_path) {
    (void)plugin_path;
    tk_scanlog("entry_init");
    return true;
}

static void tervik_entry_deinit() { tk_scanlog("entry_deinit"); }

static uint32_t factory_count(const clap_plugin_factory_t *) { return 1; }

static const clap_plugin_descriptor_t *factory_descriptor(const clap_plugin_factory_t *, uint32_t index) {
    tk_scanlog("factory_descriptor");
    return index == 0 ? &DESC : nullptr;
}

static const clap_plugin_t *factory_create(const clap_plugin_factory_t *, const clap_host_t *host,
                                           const char *plugin_id) {
    tk_scanlog("factory_create");
    return factory_create_plugin(host, plugin_id);
}

static const clap_plugin_factory_t FACTORY = {factory_count, factory_descriptor, factory_create};

static const void *tervik_entry_get_factory(const char *factory_id) {
    tk_scanlog(factory_id ? factory_id : "(null)");
    if (factory_id && strcmp(factory_id, CLAP_PLUGIN_FACTORY_ID) == 0) return &FACTORY;
    return newer_factory(factory_id);
}

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {
    {1, 2, 10},
    tervik_entry_init,
    tervik_entry_deinit,
    tervik_entry_get_factory,
};
