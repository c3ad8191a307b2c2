// What the command-line host shows of the newer CLAP extensions: the preset-discovery
// entries of a library (`list`), the remote-control pages of an instance (`params`), and
// `presets --load`, which loads a discovered preset into a chain through preset-load.
// All [main-thread] (the program's).
#pragma once
#include <cstdio>
#include <string>
#include <vector>

class HostLib;
class HostInstance;

// Prints the providers, file types, locations and presets the library's preset-discovery
// factory offers (a line saying there is none otherwise), and every rule it broke.
void print_preset_discovery(HostLib &lib, FILE *f);
// Prints the instance's remote-control pages with their parameters' names.
void print_remote_pages(HostInstance &h, FILE *f);
// `tervik-host presets --load ...`; returns the exit status.
int cmd_presets_load(const std::vector<std::string> &argv);
// True when a `presets` command line asks for a load.
bool presets_wants_load(const std::vector<std::string> &argv);
