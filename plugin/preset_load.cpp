// clap.preset-load: the host loads a preset its browser found through the preset-discovery
// factory: a ".tervik" file (any folder; read like the user preset files) or a factory
// preset inside the plug-in by its load key. A stage preset goes to this stage, a chain
// preset to every position of its chain, by the chain operations the editor uses
// (chainops/), on the stage's chain as seen without an editor. A preset that cannot be read
// is reported through the host's clap.preset-load on_error, never applied.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "chainops/factory.h"
#include "chainops/user_presets.h"
#include "editor/ui.h"
#include "plugin/extensions.h"
#include "plugin/factory_keys.h"
#include "plugin/plugin.h"

namespace {

const clap_host_preset_load_t *host_preset_load(const Plugin *p) {
    if (!p->host || !p->host->get_extension) return nullptr;
    const void *e = p->host->get_extension(p->host, CLAP_EXT_PRESET_LOAD);
    if (!e) e = p->host->get_extension(p->host, CLAP_EXT_PRESET_LOAD_COMPAT);
    return (const clap_host_preset_load_t *)e;
}

bool refuse(const Plugin *p, uint32_t kind, const char *location, const char *key, int os_error, const char *msg) {
    const clap_host_preset_load_t *h = host_preset_load(p);
    if (h && h->on_error) h->on_error(p->host, kind, location, key, os_error, msg);
    return false;
}

void tell_loaded(const Plugin *p, uint32_t kind, const char *location, const char *key) {
    const clap_host_preset_load_t *h = host_preset_load(p);
    if (h && h->loaded) h->loaded(p->host, kind, location, key);
}

// The preset's name: the file name without its folder and its ".tervik" ending (as the
// editor lists user presets), at most 63 bytes.
void stem_of(const char *path, char out[64]) {
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    size_t n = strlen(base);
    if (n > 7 && strcasecmp(base + n - 7, ".tervik") == 0) n -= 7;
    if (n > 63) n = 63;
    memcpy(out, base, n);
    out[n] = 0;
}

// The chain operations of this stage without its editor: its chain as chain_view_of_stage
// resolves it, one undo step in its own history.
ChainOps stage_ops(Plugin *p, ChainView *view) {
    chain_view_of_stage(view, p->slot);
    return ChainOps{view, plugin_history(p), &p->prefs.gain, nullptr, nullptr, 0};
}

// The editor of this stage, when open, shows the preset just loaded as the current one.
void show_in_editor(Plugin *p, int number, const char *path) {
    Ui *ui = p->ui;
    if (!ui) return;
    PresetList *list = &ui->presets;
    if (number >= 0) {
        list->preset_cur = number;
        return;
    }
    char dir[PRESET_DIR_MAX], real_dir[PATH_MAX], real_file[PATH_MAX];
    if (!presets_dir(dir, sizeof dir) || !realpath(dir, real_dir) || !realpath(path, real_file)) return;
    size_t dn = strlen(real_dir);
    if (strncmp(real_file, real_dir, dn) != 0 || real_file[dn] != '/' || strchr(real_file + dn + 1, '/')) return;
    char stem[64];
    stem_of(real_file, stem);
    presets_refresh(list);
    for (int i = 0; i < list->user_preset_count && i < PRESET_LIST_MAX; i++)
        if (strcmp(list->user_presets[i], stem) == 0) list->preset_cur = PRESET_USER_FIRST + i;
}

bool load_file(Plugin *p, const char *path, const char *key) {
    const uint32_t kind = CLAP_PRESET_DISCOVERY_LOCATION_FILE;
    if (!path || !*path) return refuse(p, kind, path, key, 0, "Tervik: no preset file named");
    // The reader takes regular files only; the check here gives the host the system's reason.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(p, kind, path, key, errno, "Tervik: the preset file cannot be opened");
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular) return refuse(p, kind, path, key, 0, "Tervik: the preset is not a regular file");
    char name[64];
    stem_of(path, name);
    PresetFile rec;
    if (!preset_load_path(path, name, &rec))
        return refuse(p, kind, path, key, 0,
                      "Tervik: not a Tervik preset file (\"Tervik preset\" header and stages= line)");
    ChainView view;
    ChainOps ops = stage_ops(p, &view);
    apply_preset_file(&ops, &rec);
    show_in_editor(p, -1, path);
    tell_loaded(p, kind, path, nullptr);
    return true;
}

bool load_factory(Plugin *p, const char *location, const char *key) {
    const uint32_t kind = CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN;
    int number = factory_preset_number(key);
    if (number < 0) return refuse(p, kind, location, key, 0, "Tervik: no factory preset has this load key");
    ChainView view;
    ChainOps ops = stage_ops(p, &view);
    preset_apply(&ops, number);
    show_in_editor(p, number, nullptr);
    tell_loaded(p, kind, nullptr, key);
    return true;
}

} // namespace

static bool preset_from_location(const clap_plugin_t *plugin, uint32_t kind, const char *location, const char *key) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot) return false;
    if (kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE) return load_file(p, location, key);
    if (kind == CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN) return load_factory(p, location, key);
    return refuse(p, kind, location, key, 0, "Tervik: unknown preset location kind");
}

const clap_plugin_preset_load_t EXT_PRESET_LOAD = {preset_from_location};
