// The preset-discovery factory: one provider that declares the ".tervik" file type, the
// factory presets inside the plug-in (stage and chain presets, by load key) and the user
// preset folder, and describes each preset to the host's indexer without loading it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "chainops/factory.h"
#include "chainops/user_presets.h"
#include "plugin/extensions.h"
#include "plugin/factory_keys.h"
#include "plugin/plugin.h"

namespace {

const clap_preset_discovery_provider_descriptor_t PROVIDER_DESC = {
    {1, 2, 10},
    "com.morvane.tervik.presets",
    "Tervik presets",
    "Morvane",
};

const char *const FEATURE_STAGE = "stage-preset";
const char *const FEATURE_CHAIN = "chain-preset";

struct Provider {
    clap_preset_discovery_provider_t clap;
    const clap_preset_discovery_indexer_t *indexer;
};

// What every preset of ours says about itself besides its name: the plug-in it is for, its
// flags, and whether it is a stage or a chain preset.
void describe(const clap_preset_discovery_metadata_receiver_t *r, uint32_t flags, int stages) {
    clap_universal_plugin_id_t id = {"clap", DESC.id};
    if (r->add_plugin_id) r->add_plugin_id(r, &id);
    if (r->set_flags) r->set_flags(r, flags);
    if (r->add_feature) {
        r->add_feature(r, "audio-effect");
        r->add_feature(r, "limiter");
        r->add_feature(r, stages > 1 ? FEATURE_CHAIN : FEATURE_STAGE);
    }
    if (r->set_description) {
        char text[128];
        if (stages > 1)
            snprintf(text, sizeof text, "Chain preset of %d stages: sets every position of the chain.", stages);
        else
            snprintf(text, sizeof text, "Stage preset: sets the stage it is loaded into.");
        r->set_description(r, text);
    }
}

bool factory_metadata(const clap_preset_discovery_metadata_receiver_t *r) {
    for (int number = 0; number < PRESET_USER_FIRST; number++) {
        char key[16];
        factory_preset_key(number, key, sizeof key);
        bool chain = number >= PRESET_STAGE_COUNT;
        const char *name = chain ? CHAIN_PRESETS[number - PRESET_STAGE_COUNT].name : PRESETS[number].name;
        if (!r->begin_preset || !r->begin_preset(r, name, key)) return true; // the host stops here
        describe(r, CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT,
                 chain ? CHAIN_PRESETS[number - PRESET_STAGE_COUNT].count : 1);
        if (r->add_creator) r->add_creator(r, "Morvane");
    }
    return true;
}

bool file_error(const clap_preset_discovery_metadata_receiver_t *r, int os_error, const char *msg) {
    if (r->on_error) r->on_error(r, os_error, msg);
    return false;
}

bool file_metadata(const char *path, const clap_preset_discovery_metadata_receiver_t *r) {
    if (!path || !*path) return file_error(r, 0, "Tervik: no preset file named");
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return file_error(r, errno, "Tervik: the preset file cannot be opened");
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular) return file_error(r, 0, "Tervik: the preset is not a regular file");
    // The name is the file name without folder and ending, as the editor lists it.
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    char name[64];
    size_t n = strlen(base);
    if (n > 7 && strcasecmp(base + n - 7, ".tervik") == 0) n -= 7;
    if (n > 63) n = 63;
    memcpy(name, base, n);
    name[n] = 0;
    PresetFile rec;
    if (!preset_load_path(path, name, &rec)) return file_error(r, 0, "Tervik: not a Tervik preset file");
    if (!r->begin_preset || !r->begin_preset(r, name, nullptr)) return true;
    describe(r, CLAP_PRESET_DISCOVERY_IS_USER_CONTENT, rec.stages);
    if (r->set_timestamps && st.st_mtime > 0)
        r->set_timestamps(r, CLAP_TIMESTAMP_UNKNOWN, (clap_timestamp_t)st.st_mtime);
    return true;
}

bool provider_init(const clap_preset_discovery_provider_t *provider) {
    const Provider *pv = provider ? (const Provider *)provider->provider_data : nullptr;
    if (!pv || !pv->indexer) return false;
    const clap_preset_discovery_indexer_t *ix = pv->indexer;
    if (ix->declare_filetype) {
        clap_preset_discovery_filetype_t type = {"Tervik preset", "Stage or chain preset of the Tervik limiter",
                                                 "tervik"};
        ix->declare_filetype(ix, &type);
    }
    if (ix->declare_location) {
        clap_preset_discovery_location_t factory = {CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT, "Tervik factory presets",
                                                    CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr};
        ix->declare_location(ix, &factory);
        // The user folder as an absolute path (TERVIK_PRESET_DIR may be relative); it is
        // created like the editor creates it, so that a host caching the declaration finds
        // presets saved later.
        char dir[PRESET_DIR_MAX], real[PATH_MAX];
        if (presets_dir(dir, sizeof dir) && realpath(dir, real)) {
            clap_preset_discovery_location_t user = {CLAP_PRESET_DISCOVERY_IS_USER_CONTENT, "Tervik user presets",
                                                     CLAP_PRESET_DISCOVERY_LOCATION_FILE, real};
            ix->declare_location(ix, &user);
        }
    }
    return true;
}

void provider_destroy(const clap_preset_discovery_provider_t *provider) {
    if (provider) free(provider->provider_data);
}

bool provider_get_metadata(const clap_preset_discovery_provider_t *, uint32_t kind, const char *location,
                           const clap_preset_discovery_metadata_receiver_t *receiver) {
    if (!receiver) return false;
    if (kind == CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN) return factory_metadata(receiver);
    if (kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE) return file_metadata(location, receiver);
    return file_error(receiver, 0, "Tervik: unknown preset location kind");
}

const void *provider_get_extension(const clap_preset_discovery_provider_t *, const char *) { return nullptr; }

uint32_t factory_count(const clap_preset_discovery_factory_t *) { return 1; }

const clap_preset_discovery_provider_descriptor_t *factory_get_descriptor(const clap_preset_discovery_factory_t *,
                                                                          uint32_t index) {
    return index == 0 ? &PROVIDER_DESC : nullptr;
}

const clap_preset_discovery_provider_t *factory_create(const clap_preset_discovery_factory_t *,
                                                       const clap_preset_discovery_indexer_t *indexer,
                                                       const char *provider_id) {
    if (!indexer || !provider_id || strcmp(provider_id, PROVIDER_DESC.id) != 0) return nullptr;
    Provider *pv = (Provider *)calloc(1, sizeof(Provider));
    if (!pv) return nullptr;
    pv->indexer = indexer;
    pv->clap.desc = &PROVIDER_DESC;
    pv->clap.provider_data = pv;
    pv->clap.init = provider_init;
    pv->clap.destroy = provider_destroy;
    pv->clap.get_metadata = provider_get_metadata;
    pv->clap.get_extension = provider_get_extension;
    return &pv->clap;
}

} // namespace

const clap_preset_discovery_factory_t PRESET_DISCOVERY_FACTORY = {factory_count, factory_get_descriptor,
                                                                  factory_create};
