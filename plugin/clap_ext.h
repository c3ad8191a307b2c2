// CLAP interfaces newer than the CLAP 1.1.1 headers this build uses: the preset-discovery
// factory and the preset-load, remote-controls, param-indication, state-context, render and
// context-menu extensions, declared here after the CLAP project's published ABI (x86-64
// sizes and offsets checked below). The plug-in answers both the final identifiers and the
// draft identifiers that CLAP keeps for compatibility (same ABI); the host side asks for the
// final one first.
#pragma once
#include <clap/host.h>
#include <clap/id.h>
#include <clap/plugin.h>
#include <clap/stream.h>
#include <clap/string-sizes.h>
#include <clap/version.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// ---- shared small types -------------------------------------------------------------------

// Seconds since the UNIX epoch; 0 when unknown.
typedef uint64_t clap_timestamp_t;
static const clap_timestamp_t CLAP_TIMESTAMP_UNKNOWN = 0;

// A plug-in named by its ABI ("clap", "vst3", ...) and its identifier within that ABI.
typedef struct clap_universal_plugin_id {
    const char *abi;
    const char *id;
} clap_universal_plugin_id_t;

// A colour with straight alpha; alpha 0 is transparent.
typedef struct clap_color {
    uint8_t alpha;
    uint8_t red;
    uint8_t green;
    uint8_t blue;
} clap_color_t;

// ---- preset discovery (a factory of the entry) --------------------------------------------

static const char CLAP_PRESET_DISCOVERY_FACTORY_ID[] = "clap.preset-discovery-factory/2";
static const char CLAP_PRESET_DISCOVERY_FACTORY_ID_COMPAT[] = "clap.preset-discovery-factory/draft-2";

// Where presets live: files (the location is a path to a file or a folder) or inside the
// plug-in itself (the location is null and presets are told apart by their load keys).
enum {
    CLAP_PRESET_DISCOVERY_LOCATION_FILE = 0,
    CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN = 1,
};

// Flags of a location, a sound pack or one preset.
enum {
    CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT = 1 << 0,
    CLAP_PRESET_DISCOVERY_IS_USER_CONTENT = 1 << 1,
    CLAP_PRESET_DISCOVERY_IS_DEMO_CONTENT = 1 << 2,
    CLAP_PRESET_DISCOVERY_IS_FAVORITE = 1 << 3,
};

// The host's collector for what one location holds. Every preset starts with begin_preset
// (name and, inside a container such as the plug-in, a load key); the other calls describe
// the preset begun last. begin_preset returning false tells the provider to stop.
typedef struct clap_preset_discovery_metadata_receiver {
    void *receiver_data;
    void(CLAP_ABI *on_error)(const struct clap_preset_discovery_metadata_receiver *receiver, int32_t os_error,
                             const char *error_message);
    bool(CLAP_ABI *begin_preset)(const struct clap_preset_discovery_metadata_receiver *receiver, const char *name,
                                 const char *load_key);
    void(CLAP_ABI *add_plugin_id)(const struct clap_preset_discovery_metadata_receiver *receiver,
                                  const clap_universal_plugin_id_t *plugin_id);
    void(CLAP_ABI *set_soundpack_id)(const struct clap_preset_discovery_metadata_receiver *receiver,
                                     const char *soundpack_id);
    void(CLAP_ABI *set_flags)(const struct clap_preset_discovery_metadata_receiver *receiver, uint32_t flags);
    void(CLAP_ABI *add_creator)(const struct clap_preset_discovery_metadata_receiver *receiver, const char *creator);
    void(CLAP_ABI *set_description)(const struct clap_preset_discovery_metadata_receiver *receiver,
                                    const char *description);
    void(CLAP_ABI *set_timestamps)(const struct clap_preset_discovery_metadata_receiver *receiver,
                                   clap_timestamp_t creation_time, clap_timestamp_t modification_time);
    void(CLAP_ABI *add_feature)(const struct clap_preset_discovery_metadata_receiver *receiver, const char *feature);
    void(CLAP_ABI *add_extra_info)(const struct clap_preset_discovery_metadata_receiver *receiver, const char *key,
                                   const char *value);
} clap_preset_discovery_metadata_receiver_t;

// A preset file type; the extension comes without its dot (empty or null: every file).
typedef struct clap_preset_discovery_filetype {
    const char *name;
    const char *description;
    const char *file_extension;
} clap_preset_discovery_filetype_t;

typedef struct clap_preset_discovery_location {
    uint32_t flags;
    const char *name;
    uint32_t kind;
    const char *location; // a path for FILE, null for PLUGIN
} clap_preset_discovery_location_t;

typedef struct clap_preset_discovery_soundpack {
    uint32_t flags;
    const char *id;
    const char *name;
    const char *description;
    const char *homepage_url;
    const char *vendor;
    const char *image_path;
    clap_timestamp_t release_timestamp;
} clap_preset_discovery_soundpack_t;

typedef struct clap_preset_discovery_provider_descriptor {
    clap_version_t clap_version;
    const char *id;
    const char *name;
    const char *vendor;
} clap_preset_discovery_provider_descriptor_t;

// One provider made by the factory for one indexer. init declares the file types and
// locations; get_metadata describes the presets of one location. Not thread-safe.
typedef struct clap_preset_discovery_provider {
    const clap_preset_discovery_provider_descriptor_t *desc;
    void *provider_data;
    bool(CLAP_ABI *init)(const struct clap_preset_discovery_provider *provider);
    void(CLAP_ABI *destroy)(const struct clap_preset_discovery_provider *provider);
    bool(CLAP_ABI *get_metadata)(const struct clap_preset_discovery_provider *provider, uint32_t location_kind,
                                 const char *location, const clap_preset_discovery_metadata_receiver_t *receiver);
    const void *(CLAP_ABI *get_extension)(const struct clap_preset_discovery_provider *provider,
                                          const char *extension_id);
} clap_preset_discovery_provider_t;

// The host's side of a provider: where the declarations of init go.
typedef struct clap_preset_discovery_indexer {
    clap_version_t clap_version;
    const char *name;
    const char *vendor;
    const char *url;
    const char *version;
    void *indexer_data;
    bool(CLAP_ABI *declare_filetype)(const struct clap_preset_discovery_indexer *indexer,
                                     const clap_preset_discovery_filetype_t *filetype);
    bool(CLAP_ABI *declare_location)(const struct clap_preset_discovery_indexer *indexer,
                                     const clap_preset_discovery_location_t *location);
    bool(CLAP_ABI *declare_soundpack)(const struct clap_preset_discovery_indexer *indexer,
                                      const clap_preset_discovery_soundpack_t *soundpack);
    const void *(CLAP_ABI *get_extension)(const struct clap_preset_discovery_indexer *indexer,
                                          const char *extension_id);
} clap_preset_discovery_indexer_t;

// Every function of the factory may be called from any thread.
typedef struct clap_preset_discovery_factory {
    uint32_t(CLAP_ABI *count)(const struct clap_preset_discovery_factory *factory);
    const clap_preset_discovery_provider_descriptor_t *(CLAP_ABI *get_descriptor)(
        const struct clap_preset_discovery_factory *factory, uint32_t index);
    const clap_preset_discovery_provider_t *(CLAP_ABI *create)(const struct clap_preset_discovery_factory *factory,
                                                               const clap_preset_discovery_indexer_t *indexer,
                                                               const char *provider_id);
} clap_preset_discovery_factory_t;

// ---- preset load ----------------------------------------------------------------------------

static const char CLAP_EXT_PRESET_LOAD[] = "clap.preset-load/2";
static const char CLAP_EXT_PRESET_LOAD_COMPAT[] = "clap.preset-load.draft/2";

// Main thread: loads the preset a provider described (location and, for containers, key).
typedef struct clap_plugin_preset_load {
    bool(CLAP_ABI *from_location)(const clap_plugin_t *plugin, uint32_t location_kind, const char *location,
                                  const char *load_key);
} clap_plugin_preset_load_t;

// Main thread: the plug-in reports a failed load (os_error 0 when no system error applies)
// or a preset it has loaded (load_key null for a file of its own).
typedef struct clap_host_preset_load {
    void(CLAP_ABI *on_error)(const clap_host_t *host, uint32_t location_kind, const char *location,
                             const char *load_key, int32_t os_error, const char *msg);
    void(CLAP_ABI *loaded)(const clap_host_t *host, uint32_t location_kind, const char *location, const char *load_key);
} clap_host_preset_load_t;

// ---- remote controls ------------------------------------------------------------------------

static const char CLAP_EXT_REMOTE_CONTROLS[] = "clap.remote-controls/2";
static const char CLAP_EXT_REMOTE_CONTROLS_COMPAT[] = "clap.remote-controls.draft/2";

enum { CLAP_REMOTE_CONTROLS_COUNT = 8 };

// One page of a hardware controller: up to eight parameter ids (CLAP_INVALID_ID leaves a
// control empty), in a named section.
typedef struct clap_remote_controls_page {
    char section_name[CLAP_NAME_SIZE];
    clap_id page_id;
    char page_name[CLAP_NAME_SIZE];
    clap_id param_ids[CLAP_REMOTE_CONTROLS_COUNT];
    bool is_for_preset; // the page belongs to the loaded preset rather than to the device
} clap_remote_controls_page_t;

// Main thread.
typedef struct clap_plugin_remote_controls {
    uint32_t(CLAP_ABI *count)(const clap_plugin_t *plugin);
    bool(CLAP_ABI *get)(const clap_plugin_t *plugin, uint32_t page_index, clap_remote_controls_page_t *page);
} clap_plugin_remote_controls_t;

typedef struct clap_host_remote_controls {
    void(CLAP_ABI *changed)(const clap_host_t *host);
    void(CLAP_ABI *suggest_page)(const clap_host_t *host, clap_id page_id);
} clap_host_remote_controls_t;

// ---- parameter indication -------------------------------------------------------------------

static const char CLAP_EXT_PARAM_INDICATION[] = "clap.param-indication/4";
static const char CLAP_EXT_PARAM_INDICATION_COMPAT[] = "clap.param-indication.draft/4";

// What the host's automation does with a parameter.
enum {
    CLAP_PARAM_INDICATION_AUTOMATION_NONE = 0,
    CLAP_PARAM_INDICATION_AUTOMATION_PRESENT = 1, // there is automation, not playing
    CLAP_PARAM_INDICATION_AUTOMATION_PLAYING = 2,
    CLAP_PARAM_INDICATION_AUTOMATION_RECORDING = 3,
    CLAP_PARAM_INDICATION_AUTOMATION_OVERRIDING = 4, // the user overrides playing automation
};

// Main thread. The colour may be null (the plug-in picks one); label and description are
// optional texts about the mapping. Indications are not part of the saved state.
typedef struct clap_plugin_param_indication {
    void(CLAP_ABI *set_mapping)(const clap_plugin_t *plugin, clap_id param_id, bool has_mapping,
                                const clap_color_t *color, const char *label, const char *description);
    void(CLAP_ABI *set_automation)(const clap_plugin_t *plugin, clap_id param_id, uint32_t automation_state,
                                   const clap_color_t *color);
} clap_plugin_param_indication_t;

// ---- state context --------------------------------------------------------------------------

static const char CLAP_EXT_STATE_CONTEXT[] = "clap.state-context/2";

enum {
    CLAP_STATE_CONTEXT_FOR_PRESET = 1,
    CLAP_STATE_CONTEXT_FOR_DUPLICATE = 2,
    CLAP_STATE_CONTEXT_FOR_PROJECT = 3,
};

// Main thread. A blob saved in any context must load through clap.state and in any context.
typedef struct clap_plugin_state_context {
    bool(CLAP_ABI *save)(const clap_plugin_t *plugin, const clap_ostream_t *stream, uint32_t context_type);
    bool(CLAP_ABI *load)(const clap_plugin_t *plugin, const clap_istream_t *stream, uint32_t context_type);
} clap_plugin_state_context_t;

// ---- render ---------------------------------------------------------------------------------

static const char CLAP_EXT_RENDER[] = "clap.render";

enum {
    CLAP_RENDER_REALTIME = 0,
    CLAP_RENDER_OFFLINE = 1, // no real-time pressure: blocks may come faster than real time
};
typedef int32_t clap_plugin_render_mode;

// Main thread.
typedef struct clap_plugin_render {
    bool(CLAP_ABI *has_hard_realtime_requirement)(const clap_plugin_t *plugin);
    bool(CLAP_ABI *set)(const clap_plugin_t *plugin, clap_plugin_render_mode mode);
} clap_plugin_render_t;

// ---- context menu ---------------------------------------------------------------------------

static const char CLAP_EXT_CONTEXT_MENU[] = "clap.context-menu/1";
static const char CLAP_EXT_CONTEXT_MENU_COMPAT[] = "clap.context-menu.draft/0";

enum {
    CLAP_CONTEXT_MENU_TARGET_KIND_GLOBAL = 0,
    CLAP_CONTEXT_MENU_TARGET_KIND_PARAM = 1,
};

// What a menu is about: the whole plug-in, or one parameter by id.
typedef struct clap_context_menu_target {
    uint32_t kind;
    clap_id id;
} clap_context_menu_target_t;

// Item kinds of a menu builder; the data each takes is named.
enum {
    CLAP_CONTEXT_MENU_ITEM_ENTRY,         // clap_context_menu_entry_t
    CLAP_CONTEXT_MENU_ITEM_CHECK_ENTRY,   // clap_context_menu_check_entry_t
    CLAP_CONTEXT_MENU_ITEM_SEPARATOR,     // none
    CLAP_CONTEXT_MENU_ITEM_BEGIN_SUBMENU, // clap_context_menu_submenu_t
    CLAP_CONTEXT_MENU_ITEM_END_SUBMENU,   // none
    CLAP_CONTEXT_MENU_ITEM_TITLE,         // clap_context_menu_item_title_t
};
typedef uint32_t clap_context_menu_item_kind_t;

typedef struct clap_context_menu_entry {
    const char *label;
    bool is_enabled;
    clap_id action_id;
} clap_context_menu_entry_t;

typedef struct clap_context_menu_check_entry {
    const char *label;
    bool is_enabled;
    bool is_checked;
    clap_id action_id;
} clap_context_menu_check_entry_t;

typedef struct clap_context_menu_item_title {
    const char *title;
    bool is_enabled;
} clap_context_menu_item_title_t;

typedef struct clap_context_menu_submenu {
    const char *label;
    bool is_enabled;
} clap_context_menu_submenu_t;

// Collects items on the thread that handed it out.
typedef struct clap_context_menu_builder {
    void *ctx;
    bool(CLAP_ABI *add_item)(const struct clap_context_menu_builder *builder, clap_context_menu_item_kind_t item_kind,
                             const void *item_data);
    bool(CLAP_ABI *supports)(const struct clap_context_menu_builder *builder, clap_context_menu_item_kind_t item_kind);
} clap_context_menu_builder_t;

// Main thread: the plug-in's items for a target, and the action of one of them. A null
// target means the whole plug-in.
typedef struct clap_plugin_context_menu {
    bool(CLAP_ABI *populate)(const clap_plugin_t *plugin, const clap_context_menu_target_t *target,
                             const clap_context_menu_builder_t *builder);
    bool(CLAP_ABI *perform)(const clap_plugin_t *plugin, const clap_context_menu_target_t *target, clap_id action_id);
} clap_plugin_context_menu_t;

// Main thread: the host's items and actions, and its own pop-up menu, which for an
// embedded editor takes coordinates relative to the plug-in's window.
typedef struct clap_host_context_menu {
    bool(CLAP_ABI *populate)(const clap_host_t *host, const clap_context_menu_target_t *target,
                             const clap_context_menu_builder_t *builder);
    bool(CLAP_ABI *perform)(const clap_host_t *host, const clap_context_menu_target_t *target, clap_id action_id);
    bool(CLAP_ABI *can_popup)(const clap_host_t *host);
    bool(CLAP_ABI *popup)(const clap_host_t *host, const clap_context_menu_target_t *target, int32_t screen_index,
                          int32_t x, int32_t y);
} clap_host_context_menu_t;

} // extern "C"

// The layouts above as the published ABI has them on x86-64.
#if defined(__x86_64__)
static_assert(sizeof(clap_universal_plugin_id_t) == 16 && offsetof(clap_universal_plugin_id_t, id) == 8);
static_assert(sizeof(clap_color_t) == 4 && offsetof(clap_color_t, red) == 1 && offsetof(clap_color_t, blue) == 3);
static_assert(sizeof(clap_preset_discovery_metadata_receiver_t) == 88);
static_assert(offsetof(clap_preset_discovery_metadata_receiver_t, on_error) == 8);
static_assert(offsetof(clap_preset_discovery_metadata_receiver_t, begin_preset) == 16);
static_assert(offsetof(clap_preset_discovery_metadata_receiver_t, set_flags) == 40);
static_assert(offsetof(clap_preset_discovery_metadata_receiver_t, set_timestamps) == 64);
static_assert(offsetof(clap_preset_discovery_metadata_receiver_t, add_extra_info) == 80);
static_assert(sizeof(clap_preset_discovery_filetype_t) == 24);
static_assert(offsetof(clap_preset_discovery_filetype_t, file_extension) == 16);
static_assert(sizeof(clap_preset_discovery_location_t) == 32);
static_assert(offsetof(clap_preset_discovery_location_t, name) == 8);
static_assert(offsetof(clap_preset_discovery_location_t, kind) == 16);
static_assert(offsetof(clap_preset_discovery_location_t, location) == 24);
static_assert(sizeof(clap_preset_discovery_soundpack_t) == 64);
static_assert(offsetof(clap_preset_discovery_soundpack_t, release_timestamp) == 56);
static_assert(sizeof(clap_preset_discovery_provider_descriptor_t) == 40);
static_assert(offsetof(clap_preset_discovery_provider_descriptor_t, id) == 16);
static_assert(offsetof(clap_preset_discovery_provider_descriptor_t, vendor) == 32);
static_assert(sizeof(clap_preset_discovery_provider_t) == 48);
static_assert(offsetof(clap_preset_discovery_provider_t, get_metadata) == 32);
static_assert(offsetof(clap_preset_discovery_provider_t, get_extension) == 40);
static_assert(sizeof(clap_preset_discovery_indexer_t) == 88);
static_assert(offsetof(clap_preset_discovery_indexer_t, indexer_data) == 48);
static_assert(offsetof(clap_preset_discovery_indexer_t, declare_filetype) == 56);
static_assert(offsetof(clap_preset_discovery_indexer_t, get_extension) == 80);
static_assert(sizeof(clap_preset_discovery_factory_t) == 24);
static_assert(offsetof(clap_preset_discovery_factory_t, create) == 16);
static_assert(sizeof(clap_plugin_preset_load_t) == 8 && sizeof(clap_host_preset_load_t) == 16);
static_assert(offsetof(clap_host_preset_load_t, loaded) == 8);
static_assert(sizeof(clap_remote_controls_page_t) == 552);
static_assert(offsetof(clap_remote_controls_page_t, page_id) == 256);
static_assert(offsetof(clap_remote_controls_page_t, page_name) == 260);
static_assert(offsetof(clap_remote_controls_page_t, param_ids) == 516);
static_assert(offsetof(clap_remote_controls_page_t, is_for_preset) == 548);
static_assert(sizeof(clap_plugin_remote_controls_t) == 16 && sizeof(clap_host_remote_controls_t) == 16);
static_assert(sizeof(clap_plugin_param_indication_t) == 16);
static_assert(offsetof(clap_plugin_param_indication_t, set_automation) == 8);
static_assert(sizeof(clap_plugin_state_context_t) == 16 && offsetof(clap_plugin_state_context_t, load) == 8);
static_assert(sizeof(clap_plugin_render_t) == 16 && offsetof(clap_plugin_render_t, set) == 8);
static_assert(sizeof(clap_context_menu_target_t) == 8 && offsetof(clap_context_menu_target_t, id) == 4);
static_assert(sizeof(clap_context_menu_entry_t) == 16);
static_assert(offsetof(clap_context_menu_entry_t, is_enabled) == 8);
static_assert(offsetof(clap_context_menu_entry_t, action_id) == 12);
static_assert(sizeof(clap_context_menu_check_entry_t) == 16);
static_assert(offsetof(clap_context_menu_check_entry_t, is_checked) == 9);
static_assert(offsetof(clap_context_menu_check_entry_t, action_id) == 12);
static_assert(sizeof(clap_context_menu_item_title_t) == 16 && sizeof(clap_context_menu_submenu_t) == 16);
static_assert(sizeof(clap_context_menu_builder_t) == 24 && offsetof(clap_context_menu_builder_t, supports) == 16);
static_assert(sizeof(clap_plugin_context_menu_t) == 16);
static_assert(sizeof(clap_host_context_menu_t) == 32 && offsetof(clap_host_context_menu_t, popup) == 24);
#endif
