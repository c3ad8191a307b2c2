// The preset indexer: creates each provider with an indexer of ours, takes its declarations,
// crawls the declared locations (folders recursively, filtered by the declared file
// extensions) and collects each file's presets through a metadata receiver that holds the
// plug-in to the rules of the preset-discovery interface.
#include "host/preset_index.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

namespace {

std::string str(const char *s) { return s ? std::string(s) : std::string(); }

// The indexer handed to one provider: collects declarations during init only.
struct Indexer {
    clap_preset_discovery_indexer_t clap{};
    PresetIndex *out = nullptr;
    std::string provider;
    std::thread::id thread;
    bool open = true; // declarations allowed (during init)

    void error(const std::string &e) { out->errors.push_back("provider " + provider + ": " + e); }
    bool check(const char *fn) {
        if (std::this_thread::get_id() != thread) error(std::string(fn) + " called from another thread");
        if (!open) {
            error(std::string(fn) + " called after init");
            return false;
        }
        return true;
    }
    static Indexer *of(const clap_preset_discovery_indexer_t *ix) { return ix ? (Indexer *)ix->indexer_data : nullptr; }

    static bool declare_filetype(const clap_preset_discovery_indexer_t *ix, const clap_preset_discovery_filetype_t *t) {
        Indexer *s = of(ix);
        if (!s || !s->check("declare_filetype")) return false;
        if (!t || !t->name || !t->file_extension) {
            s->error("declare_filetype without a name or an extension");
            return false;
        }
        if (t->file_extension[0] == '.') {
            s->error(std::string("file extension \"") + t->file_extension + "\" starts with a dot");
            return false;
        }
        s->out->file_types.push_back({s->provider, t->name, str(t->description), t->file_extension});
        return true;
    }
    static bool declare_location(const clap_preset_discovery_indexer_t *ix, const clap_preset_discovery_location_t *l) {
        Indexer *s = of(ix);
        if (!s || !s->check("declare_location")) return false;
        if (!l || !l->name) {
            s->error("declare_location without a name");
            return false;
        }
        if (l->kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE) {
            if (!l->location || l->location[0] != '/') {
                s->error(std::string("file location \"") + l->name + "\" is not an absolute path");
                return false;
            }
        } else if (l->kind == CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN) {
            if (l->location) {
                s->error(std::string("plug-in location \"") + l->name + "\" has a path");
                return false;
            }
        } else {
            s->error("location \"" + std::string(l->name) + "\" of unknown kind " + std::to_string(l->kind));
            return false;
        }
        s->out->locations.push_back({s->provider, l->flags, l->name, l->kind, str(l->location)});
        return true;
    }
    static bool declare_soundpack(const clap_preset_discovery_indexer_t *ix,
                                  const clap_preset_discovery_soundpack_t *p) {
        Indexer *s = of(ix);
        if (!s || !s->check("declare_soundpack")) return false;
        if (!p || !p->id || !p->name) {
            s->error("declare_soundpack without an id or a name");
            return false;
        }
        return true;
    }
    static const void *get_extension(const clap_preset_discovery_indexer_t *, const char *) { return nullptr; }
};

// The receiver for one location: begin_preset opens a preset (with a load key inside a
// container); a file without keys holds exactly one preset.
struct Receiver {
    clap_preset_discovery_metadata_receiver_t clap{};
    PresetIndex *out = nullptr;
    std::string provider, where;
    uint32_t kind = 0, location_flags = 0;
    std::string location;
    std::thread::id thread;
    int mode = 0; // 0 nothing yet, 1 single preset, 2 container
    bool failed = false;
    bool open = false; // a preset is being described
    IndexedPreset cur;
    std::vector<IndexedPreset> done;

    void error(const std::string &e) {
        if (!failed) out->errors.push_back("provider " + provider + ", " + where + ": " + e);
        failed = true;
    }
    bool preset(const char *fn) {
        if (std::this_thread::get_id() != thread) error(std::string(fn) + " called from another thread");
        if (!open) error(std::string(fn) + " without a preceding begin_preset");
        return open && !failed;
    }
    void finish() {
        if (!open) return;
        open = false;
        if (cur.plugin_ids.empty()) {
            error("preset \"" + cur.name + "\" names no plug-in");
            return;
        }
        if (!cur.has_flags) cur.flags = location_flags;
        done.push_back(cur);
    }
    static Receiver *of(const clap_preset_discovery_metadata_receiver_t *r) {
        return r ? (Receiver *)r->receiver_data : nullptr;
    }
    static void on_error(const clap_preset_discovery_metadata_receiver_t *r, int32_t os_error, const char *msg) {
        if (Receiver *s = of(r)) s->error("on_error (os error " + std::to_string(os_error) + "): " + str(msg));
    }
    static bool begin_preset(const clap_preset_discovery_metadata_receiver_t *r, const char *name, const char *key) {
        Receiver *s = of(r);
        if (!s || s->failed) return false;
        if (std::this_thread::get_id() != s->thread) s->error("begin_preset called from another thread");
        if (!name) {
            s->error("begin_preset without a name");
            return false;
        }
        if (s->mode == 1) {
            s->error("a second begin_preset in a file of one preset (no load key)");
            return false;
        }
        if (s->mode == 2 && !key) {
            s->error("begin_preset without a load key after one with a key");
            return false;
        }
        s->finish();
        if (s->failed) return false;
        s->mode = key ? 2 : 1;
        s->open = true;
        s->cur = IndexedPreset();
        s->cur.provider = s->provider;
        s->cur.location_kind = s->kind;
        s->cur.location = s->location;
        s->cur.has_key = key != nullptr;
        s->cur.load_key = str(key);
        s->cur.name = name;
        return true;
    }
    static void add_plugin_id(const clap_preset_discovery_metadata_receiver_t *r,
                              const clap_universal_plugin_id_t *id) {
        Receiver *s = of(r);
        if (!s || !s->preset("add_plugin_id")) return;
        if (!id || !id->abi || !id->id) {
            s->error("add_plugin_id without an ABI or an id");
            return;
        }
        if (strcasecmp(id->abi, "clap") == 0 && strcmp(id->abi, "clap") != 0) {
            s->error(std::string("ABI \"") + id->abi + "\" should be \"clap\"");
            return;
        }
        s->cur.plugin_ids.emplace_back(id->abi, id->id);
    }
    static void set_soundpack_id(const clap_preset_discovery_metadata_receiver_t *r, const char *id) {
        Receiver *s = of(r);
        if (s && s->preset("set_soundpack_id")) s->cur.soundpack = str(id);
    }
    static void set_flags(const clap_preset_discovery_metadata_receiver_t *r, uint32_t flags) {
        Receiver *s = of(r);
        if (!s || !s->preset("set_flags")) return;
        s->cur.has_flags = true;
        s->cur.flags = flags;
    }
    static void add_creator(const clap_preset_discovery_metadata_receiver_t *r, const char *c) {
        Receiver *s = of(r);
        if (!s || !s->preset("add_creator")) return;
        if (!c)
            s->error("add_creator without a name");
        else
            s->cur.creators.push_back(c);
    }
    static void set_description(const clap_preset_discovery_metadata_receiver_t *r, const char *d) {
        Receiver *s = of(r);
        if (!s || !s->preset("set_description")) return;
        if (!d)
            s->error("set_description without a text");
        else
            s->cur.description = d;
    }
    static void set_timestamps(const clap_preset_discovery_metadata_receiver_t *r, clap_timestamp_t c,
                               clap_timestamp_t m) {
        Receiver *s = of(r);
        if (!s || !s->preset("set_timestamps")) return;
        if (c == CLAP_TIMESTAMP_UNKNOWN && m == CLAP_TIMESTAMP_UNKNOWN) {
            s->error("set_timestamps with both times unknown");
            return;
        }
        s->cur.created = c;
        s->cur.modified = m;
    }
    static void add_feature(const clap_preset_discovery_metadata_receiver_t *r, const char *f) {
        Receiver *s = of(r);
        if (!s || !s->preset("add_feature")) return;
        if (!f)
            s->error("add_feature without a text");
        else
            s->cur.features.push_back(f);
    }
    static void add_extra_info(const clap_preset_discovery_metadata_receiver_t *r, const char *k, const char *v) {
        Receiver *s = of(r);
        if (!s || !s->preset("add_extra_info")) return;
        if (!k || !v)
            s->error("add_extra_info without a key or a value");
        else
            s->cur.extra.emplace_back(k, v);
    }
};

bool has_extension(const std::string &name, const std::set<std::string> &exts) {
    if (exts.empty()) return true;
    size_t dot = name.rfind('.');
    return dot != std::string::npos && exts.count(name.substr(dot + 1)) > 0;
}

// Regular files below dir (symbolic links followed, each folder once), sorted per folder.
void walk(const std::string &dir, const std::set<std::string> &exts, std::set<std::pair<dev_t, ino_t>> *seen, int depth,
          std::vector<std::string> *files) {
    struct stat st;
    if (depth > 32 || stat(dir.c_str(), &st) != 0 || !seen->insert({st.st_dev, st.st_ino}).second) return;
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        std::string path = dir + (dir.back() == '/' ? "" : "/") + n;
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            walk(path, exts, seen, depth + 1, files);
        else if (S_ISREG(st.st_mode) && has_extension(n, exts))
            files->push_back(path);
    }
}

void crawl_one(const clap_preset_discovery_provider_t *pv, const IndexedLocation &loc, const std::string &file,
               PresetIndex *out) {
    Receiver r;
    r.out = out;
    r.provider = loc.provider;
    r.kind = loc.kind;
    r.location_flags = loc.flags;
    r.location = file;
    r.where = loc.kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE ? "file " + file : "location \"" + loc.name + "\"";
    r.thread = std::this_thread::get_id();
    r.clap.receiver_data = &r;
    r.clap.on_error = Receiver::on_error;
    r.clap.begin_preset = Receiver::begin_preset;
    r.clap.add_plugin_id = Receiver::add_plugin_id;
    r.clap.set_soundpack_id = Receiver::set_soundpack_id;
    r.clap.set_flags = Receiver::set_flags;
    r.clap.add_creator = Receiver::add_creator;
    r.clap.set_description = Receiver::set_description;
    r.clap.set_timestamps = Receiver::set_timestamps;
    r.clap.add_feature = Receiver::add_feature;
    r.clap.add_extra_info = Receiver::add_extra_info;
    out->files += loc.kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE ? 1 : 0;
    bool ok = pv->get_metadata(pv, loc.kind, loc.kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE ? file.c_str() : nullptr,
                               &r.clap);
    r.finish();
    if (!ok) r.error("get_metadata returned false");
    if (r.failed) return;
    for (IndexedPreset &p : r.done)
        out->presets.push_back(p);
}

} // namespace

bool IndexedPreset::for_plugin(const std::string &plugin_id) const {
    for (const auto &id : plugin_ids)
        if (id.first == "clap" && id.second == plugin_id) return true;
    return false;
}

const char *preset_location_kind_name(uint32_t kind) {
    return kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE     ? "file"
           : kind == CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN ? "plug-in"
                                                           : "unknown";
}

std::string preset_flags_text(uint32_t flags) {
    static const struct {
        uint32_t bit;
        const char *name;
    } names[] = {{CLAP_PRESET_DISCOVERY_IS_FACTORY_CONTENT, "factory"},
                 {CLAP_PRESET_DISCOVERY_IS_USER_CONTENT, "user"},
                 {CLAP_PRESET_DISCOVERY_IS_DEMO_CONTENT, "demo"},
                 {CLAP_PRESET_DISCOVERY_IS_FAVORITE, "favorite"}};
    std::string s;
    for (const auto &n : names)
        if (flags & n.bit) {
            if (!s.empty()) s += ',';
            s += n.name;
        }
    return s.empty() ? "-" : s;
}

bool preset_index(HostLib &lib, PresetIndex *out) {
    *out = PresetIndex();
    const clap_plugin_entry_t *entry = lib.entry();
    if (!entry || !entry->get_factory) return false;
    const clap_preset_discovery_factory_t *f =
        (const clap_preset_discovery_factory_t *)entry->get_factory(CLAP_PRESET_DISCOVERY_FACTORY_ID);
    out->factory_id = CLAP_PRESET_DISCOVERY_FACTORY_ID;
    if (!f) {
        f = (const clap_preset_discovery_factory_t *)entry->get_factory(CLAP_PRESET_DISCOVERY_FACTORY_ID_COMPAT);
        out->factory_id = CLAP_PRESET_DISCOVERY_FACTORY_ID_COMPAT;
    }
    if (!f) {
        out->factory_id.clear();
        return false;
    }
    if (!f->count || !f->get_descriptor || !f->create) {
        out->errors.push_back("the factory lacks count, get_descriptor or create");
        return true;
    }
    uint32_t n = f->count(f);
    for (uint32_t i = 0; i < n && i < 256; i++) {
        const clap_preset_discovery_provider_descriptor_t *d = f->get_descriptor(f, i);
        if (!d || !d->id || !d->name || !*d->id) {
            out->errors.push_back("provider descriptor " + std::to_string(i) + " is missing or lacks an id or a name");
            continue;
        }
        IndexedProvider info{d->id, d->name, str(d->vendor)};
        out->providers.push_back(info);
        Indexer ix;
        ix.out = out;
        ix.provider = info.id;
        ix.thread = std::this_thread::get_id();
        ix.clap.clap_version = CLAP_VERSION;
        ix.clap.name = "tervik-host";
        ix.clap.vendor = "Morvane";
        ix.clap.url = "";
        ix.clap.version = "1.0.1";
        ix.clap.indexer_data = &ix;
        ix.clap.declare_filetype = Indexer::declare_filetype;
        ix.clap.declare_location = Indexer::declare_location;
        ix.clap.declare_soundpack = Indexer::declare_soundpack;
        ix.clap.get_extension = Indexer::get_extension;
        const clap_preset_discovery_provider_t *pv = f->create(f, &ix.clap, d->id);
        if (!pv) {
            ix.error("create returned null");
            continue;
        }
        // The provider's own descriptor must be the factory's.
        const clap_preset_discovery_provider_descriptor_t *own = pv->desc;
        if (!own || str(own->id) != info.id || str(own->name) != info.name || str(own->vendor) != info.vendor)
            ix.error("the provider's descriptor differs from the factory's");
        size_t first_location = out->locations.size();
        bool inited = pv->init && pv->init(pv);
        ix.open = false;
        if (!inited) ix.error("init returned false");
        if (inited && pv->get_metadata) {
            std::set<std::string> exts;
            for (const IndexedFileType &t : out->file_types)
                if (t.provider == info.id) exts.insert(t.extension);
            for (size_t k = first_location; k < out->locations.size(); k++) {
                const IndexedLocation loc = out->locations[k];
                if (loc.kind == CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN) {
                    crawl_one(pv, loc, std::string(), out);
                    continue;
                }
                struct stat st;
                if (stat(loc.location.c_str(), &st) != 0) {
                    ix.error("location \"" + loc.name + "\" (" + loc.location + ") does not exist");
                    continue;
                }
                std::vector<std::string> files;
                if (S_ISDIR(st.st_mode)) {
                    std::set<std::pair<dev_t, ino_t>> seen;
                    walk(loc.location, exts, &seen, 0, &files);
                } else {
                    files.push_back(loc.location);
                }
                for (const std::string &file : files)
                    crawl_one(pv, loc, file, out);
            }
        }
        if (pv->destroy) pv->destroy(pv);
    }
    return true;
}
