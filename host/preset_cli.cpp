// Presets for the command-line host: the factory tables and the user's preset files turned
// into parameter settings, applied like any other settings (params flush before activation).
#include "host/preset_cli.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/chain.h"
#include "plugin/params.h"
#include "presets/factory.h"
#include "presets/user_presets.h"

namespace {

void add_stage(const StagePreset &p, int stage, std::vector<Setting> *out) {
    for (int k = 0; k < PRESET_VALUE_COUNT; k++) out->push_back(Setting{stage, PARAMS[idxs[k]].id, p.values[k]});
}

void add_user_stage(const PresetFile &f, int from, int stage, std::vector<Setting> *out) {
    for (int i = 0; i < (int)PARAM_COUNT; i++)
        if (param_recalled(i)) out->push_back(Setting{stage, PARAMS[i].id, f.values[from][i]});
}

bool parse_number(const std::string &s, long *out) {
    if (s.empty() || s.size() > 6) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    *out = atol(s.c_str());
    return true;
}

int user_list(char (*names)[64]) { return presets_list(names, PRESET_LIST_MAX); }

} // namespace

bool resolve_preset(Chain &chain, const std::string &spec, std::vector<Setting> *out, std::string *what,
                    std::string *err) {
    const size_t n = chain.size();
    if (n == 0) {
        *err = "no stages";
        return false;
    }
    const clap_plugin_descriptor_t *d = chain.stage(0).plugin() ? chain.stage(0).plugin()->desc : nullptr;
    if (!d || !d->id || strcmp(d->id, "com.morvane.tervik") != 0) {
        *err = "presets are Tervik's; this chain runs another plug-in";
        return false;
    }
    // An optional "STAGE:" prefix for one-stage presets.
    std::string name = spec;
    int only = -1;
    size_t colon = spec.find(':');
    long num = 0;
    if (colon != std::string::npos && parse_number(spec.substr(0, colon), &num)) {
        if (num < 1 || (size_t)num > n) {
            *err = "preset \"" + spec + "\": there are only " + std::to_string(n) + " stages";
            return false;
        }
        only = (int)num - 1;
        name = spec.substr(colon + 1);
    }
    char users[PRESET_LIST_MAX][64];
    int user_n = user_list(users);
    int number = -1;
    if (parse_number(name, &num)) {
        number = (int)num;
    } else {
        for (int i = 0; i < PRESET_STAGE_COUNT && number < 0; i++)
            if (!strcasecmp(name.c_str(), PRESETS[i].name)) number = i;
        for (int i = 0; i < PRESET_CHAIN_COUNT && number < 0; i++)
            if (!strcasecmp(name.c_str(), CHAIN_PRESETS[i].name)) number = PRESET_STAGE_COUNT + i;
        for (int i = 0; i < user_n && number < 0; i++)
            if (!strcasecmp(name.c_str(), users[i])) number = PRESET_USER_FIRST + i;
    }
    if (number < 0 || number >= PRESET_USER_FIRST + user_n) {
        *err = "no preset \"" + name + "\" (see tervik-host presets)";
        return false;
    }
    if (number < PRESET_STAGE_COUNT) {
        *what = PRESETS[number].name;
        for (size_t k = 0; k < n; k++)
            if (only < 0 || only == (int)k) add_stage(PRESETS[number], (int)k, out);
        return true;
    }
    if (number < PRESET_USER_FIRST) {
        const ChainPreset &c = CHAIN_PRESETS[number - PRESET_STAGE_COUNT];
        if (only >= 0) {
            *err = "\"" + std::string(c.name) + "\" is a chain preset: it sets every position";
            return false;
        }
        *what = c.name;
        for (size_t k = 0; k < n; k++) add_stage(c.stages[k < (size_t)c.count ? k : (size_t)c.count - 1], (int)k, out);
        return true;
    }
    PresetFile f;
    const char *file = users[number - PRESET_USER_FIRST];
    if (!preset_load(file, &f)) {
        *err = std::string("cannot read the user preset \"") + file + "\"";
        return false;
    }
    *what = f.name;
    if (f.stages <= 1) {
        for (size_t k = 0; k < n; k++)
            if (only < 0 || only == (int)k) add_user_stage(f, 0, (int)k, out);
        return true;
    }
    if (only >= 0) {
        *err = std::string("\"") + file + "\" holds a chain: it sets every position";
        return false;
    }
    for (size_t k = 0; k < n; k++) add_user_stage(f, (int)(k < (size_t)f.stages ? k : (size_t)f.stages - 1), (int)k, out);
    return true;
}

int cmd_presets(const std::vector<std::string> &argv) {
    CliArgs a;
    std::string err;
    if (!cli_parse(argv, {}, {}, &a, &err) || !a.positional.empty()) {
        fprintf(stderr, "error: %s\n", err.empty() ? "presets takes no arguments" : err.c_str());
        usage_hint("presets");
        return 2;
    }
    if (a.help) {
        help_command("presets", stdout);
        return 0;
    }
    printf("factory stage presets:\n");
    for (int i = 0; i < PRESET_STAGE_COUNT; i++) printf("  %2d  %s\n", i, PRESETS[i].name);
    printf("factory chain presets:\n");
    for (int i = 0; i < PRESET_CHAIN_COUNT; i++)
        printf("  %2d  %s (%d stages)\n", PRESET_STAGE_COUNT + i, CHAIN_PRESETS[i].name, CHAIN_PRESETS[i].count);
    char dir[PRESET_DIR_MAX];
    char users[PRESET_LIST_MAX][64];
    int n = user_list(users);
    printf("user presets (%s):\n", presets_dir(dir, sizeof dir) ? dir : "no preset folder");
    if (n == 0) printf("  none\n");
    for (int i = 0; i < n; i++) {
        PresetFile f;
        if (preset_load(users[i], &f)) printf("  %2d  %s (%d stage%s)\n", PRESET_USER_FIRST + i, f.name, f.stages, f.stages == 1 ? "" : "s");
        else printf("  %2d  %s (unreadable)\n", PRESET_USER_FIRST + i, users[i]);
    }
    return 0;
}
