// The CLAP extensions and the factory that this plug-in offers beyond the core set of
// plugin.h: preset discovery and preset load, remote controls, parameter indication, state
// context, render mode and context menu (ABI in plugin/clap_ext.h).
#pragma once
#include "plugin/clap_ext.h"

extern const clap_preset_discovery_factory_t PRESET_DISCOVERY_FACTORY; // plugin/preset_discovery.cpp
extern const clap_plugin_preset_load_t EXT_PRESET_LOAD;                // plugin/preset_load.cpp
extern const clap_plugin_remote_controls_t EXT_REMOTE_CONTROLS;        // plugin/remote_controls.cpp
extern const clap_plugin_param_indication_t EXT_PARAM_INDICATION;      // plugin/param_indication.cpp
extern const clap_plugin_state_context_t EXT_STATE_CONTEXT;            // plugin/state_context.cpp
extern const clap_plugin_render_t EXT_RENDER;                          // plugin/render_ext.cpp
extern const clap_plugin_context_menu_t EXT_CONTEXT_MENU;              // plugin/context_menu.cpp

struct Plugin;

// Asks the host (clap.context-menu, when it has it and can pop up now) to show its menu for
// parameter param_id of the stage at view pixel (x, y); true when it did. Main thread.
bool plugin_popup_param_menu(Plugin *p, uint32_t param_id, int32_t x, int32_t y);

// The table of one of these extensions by its identifier (final or draft), null for any
// other identifier. Any thread.
const void *newer_extension(const char *id);
// The preset-discovery factory for "clap.preset-discovery-factory/2" or its draft id, null
// for any other factory id. Any thread.
const void *newer_factory(const char *factory_id);
