// The commands of `tervik-host` (list, params, render, bench, script, inspect, editor) and
// the small argument parser they share. Each command returns the process exit status:
// 0 success, 1 failure at run time, 2 bad usage. Everything here is [main-thread] (the
// program's), unless tagged; a bool is true on success.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

// Parsed command line of one command: options ("--name value", "--name=value" or flags)
// and positional arguments, in order.
struct CliArgs {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options; // name without "--"
    bool help = false;                                        // -h / --help given

    bool has(const std::string &name) const;
    std::string get(const std::string &name, const std::string &def = std::string()) const; // last given
    std::vector<std::string> all(const std::string &name) const;
    // Numeric getters: false with *err set when the text is not a number in [lo, hi]: the
    // whole text, in decimal (a sign, digits, for get_double also a point and an exponent).
    bool get_double(const std::string &name, double def, double lo, double hi, double *out, std::string *err) const;
    bool get_int(const std::string &name, long def, long lo, long hi, long *out, std::string *err) const;
};

// valued: options that take a value; flags: options that don't. Unknown options are errors.
bool cli_parse(const std::vector<std::string> &argv, const std::vector<std::string> &valued,
               const std::vector<std::string> &flags, CliArgs *out, std::string *err);

class Chain;
// One resolved "[STAGE:]NAME=VALUE" setting: creation index of the stage, parameter id, value.
struct Setting {
    int stage;
    uint32_t id;
    double value;
};
// Resolves settings against the chain's stages: the name is matched ignoring case, the value
// parsed by the plug-in's text_to_value (then as a plain number). False with *err set.
bool resolve_settings(Chain &chain, const std::vector<std::string> &texts, std::vector<Setting> *out, std::string *err);
// [main-thread] Applies settings through params flush (not while the chain runs); a stage
// without flush gets them as events of its next process call.
void apply_settings(Chain &chain, const std::vector<Setting> &settings);

// Returns Tervik.clap in the directory of the running executable; when there is none there, the one
// of the same installation (<prefix>/lib/clap/Tervik.clap for <prefix>/bin/tervik-host).
std::string default_plugin_path();

int cli_main(int argc, char **argv);
int cmd_list(const std::vector<std::string> &argv);
int cmd_params(const std::vector<std::string> &argv);
int cmd_render(const std::vector<std::string> &argv);
int cmd_bench(const std::vector<std::string> &argv);
int cmd_script(const std::vector<std::string> &argv);
int cmd_inspect(const std::vector<std::string> &argv);
int cmd_editor(const std::vector<std::string> &argv);

// [any-thread] Help texts, printed by `tervik-host help COMMAND` and `COMMAND --help`.
void help_general(FILE *f);
bool help_command(const std::string &cmd, FILE *f); // false for an unknown command
// After a usage error: the command's usage lines and where to find the rest, on stderr.
void usage_hint(const char *cmd);
