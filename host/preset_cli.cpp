// Presets for the command-line host: the factory tables and the user's preset files turned
// into parameter settings, applied like any other settings (params flush before activation).
#include "host/preset_cli.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chainops/factory.h"
#include "chainops/user_presets.h"
#include "host/chain.h"
#include "params/params.h"

namespace {

void add_stage(const StagePreset &p, int stage, std::vector<Setting> *out) {
    for (int k = 0; k < PRESET_VALUE_COUNT; k++)
        out->push_back(Setting{stage, PARAMS[idxs[k]].id, p.values[k]});
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

// The length of the well-formed UTF-8 sequence of two to four bytes at p; 0 when there is none.
size_t utf8_length(const unsigned char *p) {
    auto cont = [](unsigned char c, unsigned char lo = 0x80, unsigned char hi = 0xBF) { return c >= lo && c <= hi; };
    unsigned char c = p[0];
    if (c >= 0xC2 && c <= 0xDF) return cont(p[1]) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return cont(p[1], lo, hi) && cont(p[2]) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return cont(p[1], lo, hi) && cont(p[2]) && cont(p[3]) ? 4 : 0;
    }
    return 0;
}

} // namespace

std::string printable_name(const char *s) {
    std::string out;
    const unsigned char *p = (const unsigned char *)(s ? s : "");
    while (*p) {
        unsigned char c = *p;
        size_t n = c >= 0x80 ? utf8_length(p) : 0;
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += (char)c;
            p++;
        } else if (n > 0 && !(c == 0xC2 && p[1] < 0xA0)) { // not a C1 control (U+0080..U+009F)
            out.append((const char *)p, n);
            p += n;
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
            p++;
        }
    }
    return out;
}

namespace {

// A name in double quotes, printable.
std::string quoted(const std::string &s) {
    std::string q(1, '"');
    q += printable_name(s.c_str());
    q += '"';
    return q;
}

// The preset a name or number stands for (factory names first, then the user's listed
// names exactly, then ignoring case); -1 when none.
int find_preset(const std::string &name, char (*users)[64], int user_n) {
    long num = 0;
    if (parse_number(name, &num)) return num < PRESET_USER_FIRST + user_n ? (int)num : -1;
    for (int i = 0; i < PRESET_STAGE_COUNT; i++)
        if (!strcasecmp(name.c_str(), PRESETS[i].name)) return i;
    for (int i = 0; i < PRESET_CHAIN_COUNT; i++)
        if (!strcasecmp(name.c_str(), CHAIN_PRESETS[i].name)) return PRESET_STAGE_COUNT + i;
    for (int i = 0; i < user_n; i++)
        if (name == users[i]) return PRESET_USER_FIRST + i;
    for (int i = 0; i < user_n; i++)
        if (!strcasecmp(name.c_str(), users[i])) return PRESET_USER_FIRST + i;
    return -1;
}

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
    char users[PRESET_LIST_MAX][64];
    int user_n = user_list(users);
    // An optional "STAGE:" prefix for one-stage presets; a listed name that merely looks like
    // one ("2:x.tervik") is that file when the rest names no preset.
    std::string name = spec;
    int only = -1;
    size_t colon = spec.find(':');
    long num = 0;
    if (colon != std::string::npos && parse_number(spec.substr(0, colon), &num)) {
        std::string rest = spec.substr(colon + 1);
        if (find_preset(rest, users, user_n) >= 0 || find_preset(spec, users, user_n) < 0) {
            if (num < 1 || (size_t)num > n) {
                *err = "preset " + quoted(spec) + ": there are only " + std::to_string(n) + " stages";
                return false;
            }
            only = (int)num - 1;
            name = rest;
        }
    }
    int number = find_preset(name, users, user_n);
    if (number < 0) {
        *err = "no preset " + quoted(name) + " (see tervik-host presets)";
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
        for (size_t k = 0; k < n; k++)
            add_stage(c.stages[k < (size_t)c.count ? k : (size_t)c.count - 1], (int)k, out);
        return true;
    }
    // The listed file itself, never the file that sanitising its name would give.
    PresetFile f;
    const char *file = users[number - PRESET_USER_FIRST];
    if (!preset_load_listed(file, &f)) {
        *err = "cannot read the user preset " + quoted(file);
        return false;
    }
    *what = printable_name(f.name);
    if (f.stages <= 1) {
        for (size_t k = 0; k < n; k++)
            if (only < 0 || only == (int)k) add_user_stage(f, 0, (int)k, out);
        return true;
    }
    if (only >= 0) {
        *err = quoted(file) + " holds a chain: it sets every position";
        return false;
    }
    for (size_t k = 0; k < n; k++)
        add_user_stage(f, (int)(k < (size_t)f.stages ? k : (size_t)f.stages - 1), (int)k, out);
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
    for (int i = 0; i < PRESET_STAGE_COUNT; i++)
        printf("  %2d  %s\n", i, PRESETS[i].name);
    printf("factory chain presets:\n");
    for (int i = 0; i < PRESET_CHAIN_COUNT; i++)
        printf("  %2d  %s (%d stages)\n", PRESET_STAGE_COUNT + i, CHAIN_PRESETS[i].name, CHAIN_PRESETS[i].count);
    char dir[PRESET_DIR_MAX];
    char users[PRESET_LIST_MAX][64];
    int n = user_list(users);
    printf("user presets (%s):\n", presets_dir(dir, sizeof dir) ? printable_name(dir).c_str() : "no preset folder");
    if (n == 0) printf("  none\n");
    // Names are file names, which may hold any byte: control bytes are printed escaped.
    for (int i = 0; i < n; i++) {
        PresetFile f;
        std::string shown = printable_name(users[i]);
        if (preset_load_listed(users[i], &f))
            printf("  %2d  %s (%d stage%s)\n", PRESET_USER_FIRST + i, shown.c_str(), f.stages,
                   f.stages == 1 ? "" : "s");
        else
            printf("  %2d  %s (unreadable)\n", PRESET_USER_FIRST + i, shown.c_str());
    }
    return 0;
}
