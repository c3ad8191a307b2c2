// The newer CLAP extensions on the command line: preset-discovery listing, remote-control
// pages, and loading a discovered preset into a chain of stages through preset-load.
#include "host/newer_cli.h"

#include <limits.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "host/chain.h"
#include "host/cli.h"
#include "host/host.h"
#include "host/preset_index.h"

void print_preset_discovery(HostLib &lib, FILE *f) {
    PresetIndex ix;
    if (!preset_index(lib, &ix)) {
        fprintf(f, "preset discovery: none\n");
        return;
    }
    fprintf(f, "preset discovery (%s): %zu provider(s), %zu preset(s)\n", ix.factory_id.c_str(), ix.providers.size(),
            ix.presets.size());
    for (const IndexedProvider &p : ix.providers) {
        fprintf(f, "provider: %s \"%s\"%s%s\n", p.id.c_str(), p.name.c_str(), p.vendor.empty() ? "" : " by ",
                p.vendor.c_str());
        for (const IndexedFileType &t : ix.file_types)
            if (t.provider == p.id) fprintf(f, "  file type: %s (.%s)\n", t.name.c_str(), t.extension.c_str());
        for (const IndexedLocation &l : ix.locations)
            if (l.provider == p.id)
                fprintf(f, "  location: %s [%s] %s%s%s\n", l.name.c_str(), preset_flags_text(l.flags).c_str(),
                        preset_location_kind_name(l.kind), l.location.empty() ? "" : " ", l.location.c_str());
        for (const IndexedPreset &pr : ix.presets) {
            if (pr.provider != p.id) continue;
            std::string tags;
            for (const std::string &t : pr.features) {
                if (!tags.empty()) tags += ',';
                tags += t;
            }
            fprintf(f, "  preset: %s [%s] %s%s%s%s%s\n", pr.name.c_str(), preset_flags_text(pr.flags).c_str(),
                    pr.has_key ? "key " : "file ", pr.has_key ? pr.load_key.c_str() : pr.location.c_str(),
                    tags.empty() ? "" : " (", tags.c_str(), tags.empty() ? "" : ")");
        }
    }
    for (const std::string &e : ix.errors)
        fprintf(f, "preset discovery error: %s\n", e.c_str());
}

void print_remote_pages(HostInstance &h, FILE *f) {
    std::vector<RemotePageDesc> pages = h.remote_pages();
    if (pages.empty()) {
        fprintf(f, "remote controls: none\n");
        return;
    }
    std::vector<ParamDesc> params = h.param_list();
    fprintf(f, "remote controls: %zu page(s)\n", pages.size());
    for (const RemotePageDesc &p : pages) {
        fprintf(f, "  page %u \"%s\" (section %s):", p.id, p.name.c_str(), p.section.c_str());
        bool first = true;
        for (clap_id id : p.params) {
            if (id == CLAP_INVALID_ID) continue;
            std::string name = std::to_string(id);
            name.insert(name.begin(), '#');
            for (const ParamDesc &d : params)
                if (d.id == id) name = d.name;
            fprintf(f, "%s %s", first ? "" : ",", name.c_str());
            first = false;
        }
        fprintf(f, "\n");
    }
}

bool presets_wants_load(const std::vector<std::string> &argv) {
    for (const std::string &a : argv)
        if (a == "--load" || a.compare(0, 7, "--load=") == 0) return true;
    return false;
}

namespace {

// The last preset-load report the plug-in made, or "".
std::string report_of(HostInstance &h) {
    std::string r;
    for (const std::string &c : h.calls())
        if (c.compare(0, 13, "preset_error:") == 0 || c.compare(0, 14, "preset_loaded:") == 0) r = c;
    return r;
}

} // namespace

int cmd_presets_load(const std::vector<std::string> &argv) {
    CliArgs a;
    std::string err;
    if (!cli_parse(argv, {"load", "plugin", "stages", "stage"}, {}, &a, &err) || !a.positional.empty()) {
        fprintf(stderr, "error: %s\n", err.empty() ? "presets --load takes no positional arguments" : err.c_str());
        usage_hint("presets");
        return 2;
    }
    long stages, stage;
    if (!a.get_int("stages", 1, 1, 64, &stages, &err) || !a.get_int("stage", 1, 1, stages, &stage, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 2;
    }
    std::string want = a.get("load");
    HostLib lib;
    if (!lib.load(a.get("plugin", default_plugin_path()))) {
        fprintf(stderr, "error: %s\n", lib.error().c_str());
        return 1;
    }
    // A path to a file is loaded as a file; anything else names a discovered preset by its
    // load key or its name (ignoring case).
    uint32_t kind = CLAP_PRESET_DISCOVERY_LOCATION_FILE;
    std::string location, key, what;
    bool has_key = false;
    struct stat st;
    if (!want.empty() && stat(want.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        char real[PATH_MAX];
        location = realpath(want.c_str(), real) ? real : want;
        what = "file " + location;
    } else {
        PresetIndex ix;
        if (!preset_index(lib, &ix)) {
            fprintf(stderr, "error: %s has no preset-discovery factory\n", lib.path().c_str());
            return 1;
        }
        const IndexedPreset *found = nullptr;
        for (const IndexedPreset &p : ix.presets)
            if (!found && p.has_key && p.load_key == want) found = &p;
        for (const IndexedPreset &p : ix.presets)
            if (!found && strcasecmp(p.name.c_str(), want.c_str()) == 0) found = &p;
        if (!found) {
            fprintf(stderr, "error: no preset \"%s\" (tervik-host list %s shows them)\n", want.c_str(),
                    lib.path().c_str());
            return 1;
        }
        kind = found->location_kind;
        location = found->location;
        key = found->load_key;
        has_key = found->has_key;
        what = "\"" + found->name + "\"";
    }
    HostOptions opt;
    opt.log_to_stderr = false;
    Chain chain(2);
    if (!chain.create(lib, (int)stages, opt, std::string(), &err) || !chain.activate(48000, 32, 512, &err)) {
        fprintf(stderr, "error: %s\n", err.c_str());
        return 1;
    }
    // The stages process a while first, so that they know their chain and its order.
    chain.run_blocks(48, 512);
    chain.idle();
    HostInstance &target = chain.stage((size_t)stage - 1);
    if (!target.preset_load_ext()) {
        fprintf(stderr, "error: the plug-in has no preset-load extension\n");
        return 1;
    }
    bool ok = target.preset_load(kind, kind == CLAP_PRESET_DISCOVERY_LOCATION_FILE ? location.c_str() : nullptr,
                                 has_key ? key.c_str() : nullptr);
    std::string report = report_of(target);
    for (int i = 0; i < 4; i++)
        chain.idle(); // the flushes the edits asked for
    if (!ok) {
        fprintf(stderr, "error: the plug-in did not load %s%s%s\n", what.c_str(), report.empty() ? "" : ": ",
                report.c_str());
        return 1;
    }
    printf("loaded %s into stage %ld of %ld (%s)\n", what.c_str(), stage, stages, report.c_str());
    for (size_t s = 0; s < chain.size(); s++) {
        HostInstance &h = chain.stage(s);
        printf("stage %zu:", s + 1);
        bool first = true;
        for (const ParamDesc &d : h.param_list()) {
            double v = 0;
            if (!h.param_value(d.id, &v)) continue;
            printf("%s %s=%s", first ? "" : ",", d.name.c_str(), h.value_to_text(d.id, v).c_str());
            first = false;
        }
        printf("\n");
    }
    return 0;
}
