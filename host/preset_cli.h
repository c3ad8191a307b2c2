// Tervik's factory and user presets on the command line: "[STAGE:]NAME|NUMBER" resolved
// into per-stage parameter settings for a chain, and the `presets` listing command.
// [main-thread] (the program's) unless tagged.
#pragma once
#include <string>
#include <vector>

#include "host/cli.h"

class Chain;

// Resolves one preset for the chain's stages. NUMBER is the editor's preset number (0..6
// factory stage presets, 7..12 chain presets, 13 and up the user presets in list order);
// NAME matches a factory or user preset name ignoring case. A stage preset goes to every
// stage, or to STAGE only; a chain preset (or a multi-stage user preset) sets position k
// from its stage min(k, count - 1). A user preset is the listed file itself: an exact
// listed name is preferred to one matching only without case. Appends to *out; *what names
// the preset (printable). False with *err set when nothing matches or the chain is not
// Tervik's.
bool resolve_preset(Chain &chain, const std::string &spec, std::vector<Setting> *out, std::string *what,
                    std::string *err);

// A name as it may be printed to a terminal: control bytes (C0, DEL, C1), backslashes and
// bytes that are not well-formed UTF-8 become "\xNN"; other text is kept. [any-thread]
std::string printable_name(const char *s);

int cmd_presets(const std::vector<std::string> &argv);
