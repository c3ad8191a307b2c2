// tervik-host's dispatcher, help texts, argument parser and the list, params and inspect
// commands.
//
// Sections: arguments; help; list; params; inspect; dispatch (cli_main).
#include "host/cli.h"
#include "host/preset_cli.h"

#include <limits.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/host.h"
#include "host/inspect.h"
#include "host/newer_cli.h"

// ---- arguments ------------------------------------------------------------------------------

bool CliArgs::has(const std::string &name) const {
    for (const auto &o : options)
        if (o.first == name) return true;
    return false;
}

std::string CliArgs::get(const std::string &name, const std::string &def) const {
    std::string v = def;
    for (const auto &o : options)
        if (o.first == name) v = o.second;
    return v;
}

std::vector<std::string> CliArgs::all(const std::string &name) const {
    std::vector<std::string> v;
    for (const auto &o : options)
        if (o.first == name) v.push_back(o.second);
    return v;
}

static std::string range_text(double v) {
    char b[32];
    snprintf(b, sizeof b, "%g", v);
    return b;
}

// The whole text as one decimal number (no spaces, no hexadecimal, no "nan" or "inf"),
// read the same in every locale.
static bool read_decimal(const std::string &s, double *out) {
    const char *b = s.c_str(), *e = b + s.size();
    if (b < e && *b == '+') b++;
    if (b == e || !(isdigit((unsigned char)*b) || *b == '.' || *b == '-')) return false;
    std::from_chars_result r = std::from_chars(b, e, *out);
    return r.ec == std::errc() && r.ptr == e && std::isfinite(*out);
}

bool CliArgs::get_double(const std::string &name, double def, double lo, double hi, double *out,
                         std::string *err) const {
    if (!has(name)) {
        *out = def;
        return true;
    }
    std::string s = get(name);
    double v = 0;
    if (!read_decimal(s, &v) || v < lo || v > hi) {
        if (err)
            *err = "--" + name + ": expected a number from " + range_text(lo) + " to " + range_text(hi) + ", got \"" +
                   s + "\"";
        return false;
    }
    *out = v;
    return true;
}

bool CliArgs::get_int(const std::string &name, long def, long lo, long hi, long *out, std::string *err) const {
    if (!has(name)) {
        *out = def;
        return true;
    }
    std::string s = get(name);
    const char *b = s.c_str(), *e = b + s.size();
    if (b < e && *b == '+') b++;
    long v = 0;
    std::from_chars_result r = std::from_chars(b, e, v);
    if (b == e || r.ec != std::errc() || r.ptr != e || v < lo || v > hi) {
        if (err)
            *err = "--" + name + ": expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                   ", got \"" + s + "\"";
        return false;
    }
    *out = v;
    return true;
}

static bool in_list(const std::vector<std::string> &l, const std::string &s) {
    for (const std::string &x : l)
        if (x == s) return true;
    return false;
}

bool cli_parse(const std::vector<std::string> &argv, const std::vector<std::string> &valued,
               const std::vector<std::string> &flags, CliArgs *out, std::string *err) {
    *out = CliArgs();
    for (size_t i = 0; i < argv.size(); i++) {
        const std::string &a = argv[i];
        if (a == "-h" || a == "--help") {
            out->help = true;
            continue;
        }
        if (a.size() > 2 && a[0] == '-' && a[1] == '-') {
            std::string name = a.substr(2), value;
            bool inline_value = false;
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inline_value = true;
            }
            if (in_list(valued, name)) {
                if (!inline_value) {
                    if (i + 1 >= argv.size()) {
                        *err = "--" + name + " needs a value";
                        return false;
                    }
                    value = argv[++i];
                }
                out->options.emplace_back(name, value);
            } else if (in_list(flags, name) && !inline_value) {
                out->options.emplace_back(name, "");
            } else {
                *err = "unknown option --" + name;
                return false;
            }
            continue;
        }
        out->positional.push_back(a);
    }
    return true;
}

std::string default_plugin_path() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "Tervik.clap";
    buf[n] = 0;
    std::string p(buf);
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : p.substr(0, slash);
    std::string beside = dir + "/Tervik.clap";
    // Installed (the package puts the host in <prefix>/bin and the plug-in in
    // <prefix>/lib/clap): the plug-in of the same installation.
    size_t up = dir.rfind('/');
    std::string installed = (up == std::string::npos ? std::string("..") : dir.substr(0, up)) + "/lib/clap/Tervik.clap";
    if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) return installed;
    return beside;
}

// ---- help -----------------------------------------------------------------------------------

void help_general(FILE *f) {
    fprintf(f,
            "tervik-host: a small CLAP host for Tervik and any other .clap plug-in.\n"
            "\n"
            "usage: tervik-host COMMAND [ARGS...]\n"
            "\n"
            "commands:\n"
            "  list PLUGIN.clap          descriptors of a plug-in file\n"
            "  params PLUGIN.clap        parameter table with value texts\n"
            "  render [options]          render audio through a chain of stages (the main job)\n"
            "  bench [options]           processing speed of 1, 4 and 8 stages\n"
            "  script [--plugin PATH]    line-oriented control on stdin/stdout\n"
            "  inspect                   every live Tervik stage of this user (shared segment)\n"
            "  presets                   Tervik's factory and user presets with their numbers\n"
            "  editor [options]          open the editors of a chain while it plays (X11)\n"
            "  help [COMMAND]            this text, or a command's own help\n"
            "\n"
            "Without --plugin, render, bench, script and editor use Tervik.clap next to this program\n"
            "(or, installed, the one in ../lib/clap):\n"
            "  %s\n"
            "Example:\n"
            "  tervik-host render --stages 3 --set Gain=3 --set 3:Ceiling=-1 --out demo.wav\n",
            default_plugin_path().c_str());
}

bool help_command(const std::string &cmd, FILE *f) {
    if (cmd == "list") {
        fprintf(f, "usage: tervik-host list PLUGIN.clap\n"
                   "Loads the file and prints each descriptor: id, name, vendor, version, description\n"
                   "and features; then what its preset-discovery factory offers: each provider, its\n"
                   "file types and locations, and every preset found there (flags, load key or file,\n"
                   "features), with any rule of the preset-discovery interface the plug-in broke.\n");
    } else if (cmd == "params") {
        fprintf(f, "usage: tervik-host params PLUGIN.clap [--id PLUGIN_ID]\n"
                   "Creates one instance and prints its parameters: id, name, range, default (with\n"
                   "the plug-in's texts for minimum, maximum, default and current value) and flags,\n"
                   "then its remote-control pages (clap.remote-controls) for hardware controllers.\n");
    } else if (cmd == "render") {
        fprintf(f, "usage: tervik-host render [--plugin PATH] [--id PLUGIN_ID] [--stages N] [--in IN.wav]\n"
                   "                          [--out OUT.wav] [--rate R] [--block B] [--seconds S]\n"
                   "                          [--preset [STAGE:]NAME|NUMBER]... [--set [STAGE:]NAME=VALUE]...\n"
                   "                          [--no-compensate]\n"
                   "Renders audio through N stages in series (default 3 of Tervik.clap), block by block,\n"
                   "so any length fits in memory. Without --in the input is a built-in demo signal\n"
                   "(drums, bass and chords; -6 dBFS peak; 8 s; beyond 32 s its first 32 s repeat).\n"
                   "  --set NAME=VALUE      set a parameter on every stage; 2:NAME=VALUE on stage 2 only.\n"
                   "                        NAME is matched ignoring case; VALUE is a number inside the\n"
                   "                        parameter's range, with or without the unit the plug-in shows\n"
                   "                        (\"Input=-3 dB\", \"Dither=16 bit\"), or the start of a text it\n"
                   "                        shows (\"Style=Punchy\", \"Style=p\"); anything else is refused.\n"
                   "  --preset P            apply a Tervik preset first, by name or number (see\n"
                   "                        tervik-host presets): a stage preset goes to every stage\n"
                   "                        (2:P to stage 2 only), a chain preset sets each position.\n"
                   "                        --set settings are applied after the presets.\n"
                   "  --out OUT.wav         32-bit float WAV, same channels and rate as the input (at\n"
                   "                        most 4 GiB; not the input file itself).\n"
                   "  --rate R              sample rate for the demo signal (default 48000); a file\n"
                   "                        is processed at its own rate.\n"
                   "  --block B             frames per process call (default 512).\n"
                   "  --seconds S           length: demo length, or cut/pad the input file.\n"
                   "  --no-compensate       keep the chain's latency in the output (by default the\n"
                   "                        output is shifted back so it lines up with the input).\n"
                   "Prints the input peak, then per stage the largest gain reduction, the output true\n"
                   "peak and integrated loudness (Tervik's own meters; for other plug-ins the output\n"
                   "sample peak measured by the host), and the chain latency.\n");
    } else if (cmd == "presets") {
        fprintf(f, "usage: tervik-host presets\n"
                   "       tervik-host presets --load PRESET [--plugin PATH] [--stages N] [--stage K]\n"
                   "Lists Tervik's factory stage and chain presets and the user's preset files, each\n"
                   "with the number the editor's preset menu gives it. User presets live in\n"
                   "$TERVIK_PRESET_DIR, or $XDG_CONFIG_HOME/Morvane/Tervik/Presets (~/.config/...).\n"
                   "With --load, runs N stages in series (default 1), loads PRESET into stage K\n"
                   "(default 1) through the plug-in's preset-load extension, as a host's preset\n"
                   "browser does, and prints every stage's parameters. PRESET is a load key or a\n"
                   "name that `tervik-host list` shows, or a path to a .tervik file.\n");
    } else if (cmd == "bench") {
        fprintf(f, "usage: tervik-host bench [--plugin PATH]... [--set NAME=VALUE]... [--seconds S]\n"
                   "                         [--rounds R] [--block B] [--alone]\n"
                   "Measures the processing cost of 1, 4 and 8 stages in series, 48 kHz stereo, 512-frame\n"
                   "blocks of the demo signal, as fast as possible on one thread: ns per frame, multiple of\n"
                   "real time, ns per stage, per-stage cost against one stage, and how many times faster\n"
                   "Tervik is than each other plug-in. Tervik (next to this program) runs with True peak\n"
                   "on and off, driven by 12 dB in all unless --set is given (Gain 12 dB on one stage,\n"
                   "3 dB on each of 4, 1.5 dB on each of 8); each --plugin runs through the same loop,\n"
                   "and ZaMaximX2 from /usr/lib/clap when no other plug-in is named (not with --alone).\n"
                   "--set applies to every stage of the plug-ins that have the parameter. Every row runs\n"
                   "R rounds (default 100), the rows taking turns, and keeps its best; --seconds is the\n"
                   "measuring time per row (default 2).\n"
                   "       tervik-host bench --editor [--plugin PATH] [--seconds S]\n"
                   "Opens the editor of the first stage of 1, 4 and 8 stages playing in real time,\n"
                   "controls and grid shown, and prints the editor's main-thread CPU time and wall\n"
                   "time per frame (needs an X display; default 3 s per row).\n");
    } else if (cmd == "script") {
        fprintf(f, "usage: tervik-host script [--plugin PATH]\n"
                   "Reads commands from stdin, one per line; every command answers with zero or more\n"
                   "lines and then a line \"ok\" or \"error: ...\". Stages are 1-based; * is every stage.\n"
                   "  create N [ID]          N instances (created and initialised), replacing any\n"
                   "  activate RATE MAX      activate all (min frames 1, max frames MAX)\n"
                   "  deactivate             deactivate all\n"
                   "  set STAGE NAME=VALUE   a parameter event for the next process call\n"
                   "  flush STAGE NAME=VALUE the same through params flush at once (not while running)\n"
                   "  midi STAGE B0 B1 B2    a MIDI event for the next process call\n"
                   "  input demo|silence|sine F DB|file PATH   the chain's input\n"
                   "  process BLOCKS FRAMES  run the chain that many cycles on an audio thread\n"
                   "  bus N                  switch to bus N (1..16; each bus is its own chain, with its\n"
                   "                         own stages, input and audio thread); commands act on it\n"
                   "  process-all BLOCKS FRAMES  every active bus at once, on parallel audio threads\n"
                   "  run start [fast] [FRAMES] | run stop     continuous processing (real time)\n"
                   "  transport play|stop    while running: stop = no process calls\n"
                   "  swap A B               swap the processing positions of stages A and B\n"
                   "  idle [MS]              serve main-thread requests (for MS ms, pumping)\n"
                   "  autoidle on|off        also serve them while waiting for input (default off)\n"
                   "  plugin PATH            load another .clap (drops every bus)\n"
                   "  events                 print and clear output events: event STAGE TYPE ID VALUE\n"
                   "  calls                  print and clear host calls: call STAGE TEXT\n"
                   "  value STAGE NAME       value STAGE ID VALUE TEXT\n"
                   "  params STAGE           param ID NAME MIN MAX DEFAULT FLAGS lines\n"
                   "  meter STAGE N          meter STAGE N VALUE (debug extension)\n"
                   "  latency STAGE          latency STAGE SAMPLES\n"
                   "  slot STAGE             debug extension and parameter values of a stage\n"
                   "  save STAGE FILE | load STAGE FILE        state to / from a file\n"
                   "  reset STAGE            plugin reset\n"
                   "  render STAGE offline|realtime   the render mode (clap.render) of stages\n"
                   "  learn STAGE INDEX      arm MIDI learn (debug extension)\n"
                   "  host ext ID on|off|null | host version MAJ MIN REV   options for the next create\n"
                   "  steady auto|none|N     steady time passed to the stages\n"
                   "  gui open STAGE [W H] | gui close STAGE | gui size STAGE | gui timer STAGE\n"
                   "  gui shot STAGE FILE    dump the editor (debug extension) or the window as PPM\n"
                   "  status                 stages, activation, running state\n"
                   "  sleep MS | echo TEXT | quit\n");
    } else if (cmd == "inspect") {
        fprintf(f, "usage: tervik-host inspect [--all]\n"
                   "Lists every live stage in this user's shared segment (named by TERVIK_SHM when set):\n"
                   "slot, process id, group, chain position (manual or automatic), whether it processed\n"
                   "audio in the last 500 ms, Gain, gain reduction, output true peak, short-term and\n"
                   "integrated loudness, latency and activation. --all also lists slots of dead owners.\n"
                   "Claims nothing.\n");
    } else if (cmd == "editor") {
        fprintf(f, "usage: tervik-host editor [--plugin PATH] [--stages N] [--seconds S] [--in IN.wav]\n"
                   "                          [--width W --height H] [--scale F] [--shot PREFIX]\n"
                   "Opens the editor of every stage in its own X11 window while the chain plays the demo\n"
                   "signal (or IN.wav, looped) in real time on an audio thread; timers run every 16 ms.\n"
                   "Runs until the windows are closed, for S seconds, or until SIGINT or SIGTERM.\n"
                   "--shot writes PREFIX-N.ppm screenshots at the end.\n");
    } else {
        return false;
    }
    return true;
}

void usage_hint(const char *cmd) {
    char *text = nullptr;
    size_t size = 0;
    FILE *m = open_memstream(&text, &size);
    if (!m) return;
    help_command(cmd, m);
    fclose(m);
    // The usage lines are the first ones, up to the first that does not start with "usage"
    // or its indented continuation.
    std::string all(text ? text : "");
    free(text);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        std::string l = all.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (l.compare(0, 6, "usage:") != 0 && l.compare(0, 10, "          ") != 0) break;
        fprintf(stderr, "%s\n", l.c_str());
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    fprintf(stderr, "(tervik-host help %s explains the options)\n", cmd);
}

// ---- list -----------------------------------------------------------------------------------

int cmd_list(const std::vector<std::string> &argv) {
    CliArgs a;
    std::string err;
    if (!cli_parse(argv, {}, {}, &a, &err) || (!a.help && a.positional.size() != 1)) {
        fprintf(stderr, "error: %s\n", err.empty() ? "list takes one PLUGIN.clap" : err.c_str());
        usage_hint("list");
        return 2;
    }
    if (a.help) {
        help_command("list", stdout);
        return 0;
    }
    HostLib lib;
    if (!lib.load(a.positional[0])) {
        fprintf(stderr, "error: %s\n", lib.error().c_str());
        return 1;
    }
    const clap_plugin_entry_t *e = lib.entry();
    printf("%s: CLAP %u.%u.%u, %u plug-in(s)\n", a.positional[0].c_str(), e->clap_version.major, e->clap_version.minor,
           e->clap_version.revision, lib.count());
    for (const clap_plugin_descriptor_t *d : lib.descriptors()) {
        printf("id: %s\n", d->id ? d->id : "");
        printf("  name: %s\n", d->name ? d->name : "");
        printf("  vendor: %s\n", d->vendor ? d->vendor : "");
        printf("  version: %s\n", d->version ? d->version : "");
        if (d->description && *d->description) printf("  description: %s\n", d->description);
        if (d->url && *d->url) printf("  url: %s\n", d->url);
        printf("  features:");
        if (d->features)
            for (int i = 0; d->features[i] && i < 64; i++)
                printf(" %s", d->features[i]);
        printf("\n");
    }
    print_preset_discovery(lib, stdout);
    return 0;
}

// ---- params ---------------------------------------------------------------------------------

static std::string flag_text(uint32_t f) {
    static const struct {
        uint32_t bit;
        const char *name;
    } names[] = {{CLAP_PARAM_IS_STEPPED, "stepped"},         {CLAP_PARAM_IS_PERIODIC, "periodic"},
                 {CLAP_PARAM_IS_HIDDEN, "hidden"},           {CLAP_PARAM_IS_READONLY, "readonly"},
                 {CLAP_PARAM_IS_BYPASS, "bypass"},           {CLAP_PARAM_IS_AUTOMATABLE, "automatable"},
                 {CLAP_PARAM_IS_MODULATABLE, "modulatable"}, {CLAP_PARAM_REQUIRES_PROCESS, "requires-process"}};
    std::string s;
    for (const auto &n : names)
        if (f & n.bit) {
            if (!s.empty()) s += ',';
            s += n.name;
        }
    return s.empty() ? "-" : s;
}

int cmd_params(const std::vector<std::string> &argv) {
    CliArgs a;
    std::string err;
    if (!cli_parse(argv, {"id"}, {}, &a, &err) || (!a.help && a.positional.size() != 1)) {
        fprintf(stderr, "error: %s\n", err.empty() ? "params takes one PLUGIN.clap" : err.c_str());
        usage_hint("params");
        return 2;
    }
    if (a.help) {
        help_command("params", stdout);
        return 0;
    }
    HostLib lib;
    if (!lib.load(a.positional[0])) {
        fprintf(stderr, "error: %s\n", lib.error().c_str());
        return 1;
    }
    HostOptions opt;
    HostInstance h(lib, opt);
    if (!h.create(a.get("id")) || !h.init()) {
        fprintf(stderr, "error: %s\n", h.error().c_str());
        return 1;
    }
    std::vector<ParamDesc> ps = h.param_list();
    printf("%s: %zu parameter(s)\n", h.plugin()->desc && h.plugin()->desc->name ? h.plugin()->desc->name : "?",
           ps.size());
    printf("%-6s %-20s %-24s %-16s %-16s %s\n", "id", "name", "range", "default", "value", "flags");
    for (const ParamDesc &d : ps) {
        double v = d.def;
        h.param_value(d.id, &v);
        std::string tmin = h.value_to_text(d.id, d.min), tmax = h.value_to_text(d.id, d.max);
        std::string tdef = h.value_to_text(d.id, d.def), tval = h.value_to_text(d.id, v);
        char range[96], def[64], val[64];
        snprintf(range, sizeof range, "%g..%g", d.min, d.max);
        snprintf(def, sizeof def, "%g", d.def);
        snprintf(val, sizeof val, "%g", v);
        printf("%-6u %-20s %-24s %-16s %-16s %s\n", d.id, d.name.c_str(), range, def, val, flag_text(d.flags).c_str());
        if (!tmin.empty() || !tdef.empty())
            printf("       texts: min \"%s\", max \"%s\", default \"%s\", value \"%s\"\n", tmin.c_str(), tmax.c_str(),
                   tdef.c_str(), tval.c_str());
    }
    print_remote_pages(h, stdout);
    return 0;
}

// ---- inspect --------------------------------------------------------------------------------

int cmd_inspect(const std::vector<std::string> &argv) {
    CliArgs a;
    std::string err;
    if (!cli_parse(argv, {}, {"all"}, &a, &err) || !a.positional.empty()) {
        fprintf(stderr, "error: %s\n", err.empty() ? "inspect takes no arguments" : err.c_str());
        usage_hint("inspect");
        return 2;
    }
    if (a.help) {
        help_command("inspect", stdout);
        return 0;
    }
    std::vector<StageView> v;
    std::string name;
    if (!inspect_segment(&v, a.has("all"), &name, &err)) {
        printf("%s\n0 live stages\n", err.c_str());
        return 0;
    }
    bool chains = inspect_resolve_chains(&v);
    printf("segment %s: %zu %s stage(s)\n", name.c_str(), v.size(), a.has("all") ? "claimed" : "live");
    if (v.empty()) return 0;
    printf("%-4s %-8s %-5s %-9s %-5s %-6s %-8s %-8s %-10s %-7s %-7s %-8s %s\n", "slot", "pid", "group", "position",
           "chain", "recent", "gain", "GR", "TP out", "LUFS S", "LUFS I", "latency", "state");
    for (const StageView &s : v) {
        char pos[32], chain[16], gain[16], gr[16], tp[16], ls[16], li[16], state[48];
        if (s.position_known && s.position != 99)
            snprintf(pos, sizeof pos, "%u %s", s.position, s.manual ? "manual" : "auto");
        else if (s.position_known)
            snprintf(pos, sizeof pos, "- auto");
        else
            snprintf(pos, sizeof pos, "%s", chains && s.alive ? "-" : "?");
        if (s.position_known)
            snprintf(chain, sizeof chain, "%u", s.chain_size);
        else
            snprintf(chain, sizeof chain, "-");
        snprintf(gain, sizeof gain, "%.1f dB", s.gain_db);
        snprintf(gr, sizeof gr, "%.1f dB", s.gr_db);
        snprintf(tp, sizeof tp, "%.1f dBTP", s.tp_out_db < -200 ? -INFINITY : s.tp_out_db);
        snprintf(ls, sizeof ls, "%.1f", s.lufs_s);
        snprintf(li, sizeof li, "%.1f", s.lufs_i);
        if (!s.alive)
            snprintf(state, sizeof state, "dead");
        else if (s.active)
            snprintf(state, sizeof state, "active %.0f Hz", s.rate);
        else
            snprintf(state, sizeof state, "inactive");
        char group = s.group >= 0 ? (char)('A' + s.group) : '?';
        printf("%-4d %-8d %-5c %-9s %-5s %-6s %-8s %-8s %-10s %-7s %-7s %-8u %s\n", s.slot, s.pid, group, pos, chain,
               s.recent ? "yes" : "no", gain, gr, tp, ls, li, s.latency, state);
    }
    return 0;
}

// ---- dispatch -------------------------------------------------------------------------------

int cli_main(int argc, char **argv) {
    std::vector<std::string> args;
    for (int i = 2; i < argc; i++)
        args.push_back(argv[i]);
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd.empty() || cmd == "-h" || cmd == "--help") {
        help_general(cmd.empty() ? stderr : stdout);
        return cmd.empty() ? 2 : 0;
    }
    if (cmd == "help") {
        if (args.empty()) {
            help_general(stdout);
            return 0;
        }
        if (!help_command(args[0], stdout)) {
            fprintf(stderr, "error: unknown command \"%s\"\n", args[0].c_str());
            return 2;
        }
        return 0;
    }
    if (cmd == "list") return cmd_list(args);
    if (cmd == "params") return cmd_params(args);
    if (cmd == "render") return cmd_render(args);
    if (cmd == "bench") return cmd_bench(args);
    if (cmd == "script") return cmd_script(args);
    if (cmd == "inspect") return cmd_inspect(args);
    if (cmd == "presets") return presets_wants_load(args) ? cmd_presets_load(args) : cmd_presets(args);
    if (cmd == "editor") return cmd_editor(args);
    fprintf(stderr, "error: unknown command \"%s\" (tervik-host --help lists them)\n", cmd.c_str());
    return 2;
}
