// A preset indexer as a host's browser runs one: the library's preset-discovery factory,
// each provider's declared file types and locations, and every preset found by crawling
// those locations, with the checks a strict host makes on what the plug-in declares.
// [main-thread] (the thread that indexes is the one every callback must come from).
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"

struct IndexedProvider {
    std::string id, name, vendor;
};

struct IndexedFileType {
    std::string provider, name, description, extension;
};

struct IndexedLocation {
    std::string provider;
    uint32_t flags = 0;
    std::string name;
    uint32_t kind = 0;    // CLAP_PRESET_DISCOVERY_LOCATION_*
    std::string location; // the path for FILE; empty for PLUGIN
};

struct IndexedPreset {
    std::string provider;
    uint32_t location_kind = 0;
    std::string location; // the crawled file; empty inside the plug-in
    bool has_key = false; // a preset of a container (the plug-in) has a load key
    std::string load_key;
    std::string name;
    std::vector<std::pair<std::string, std::string>> plugin_ids; // (abi, id)
    bool has_flags = false;                                      // flags set by the preset, else its location's
    uint32_t flags = 0;                                          // the preset's own, or the location's
    std::vector<std::string> features, creators;
    std::string description, soundpack;
    clap_timestamp_t created = 0, modified = 0;
    std::vector<std::pair<std::string, std::string>> extra;
    bool for_plugin(const std::string &plugin_id) const; // "clap" ABI and this id
};

struct PresetIndex {
    std::string factory_id; // the identifier the factory answered to
    std::vector<IndexedProvider> providers;
    std::vector<IndexedFileType> file_types;
    std::vector<IndexedLocation> locations;
    std::vector<IndexedPreset> presets;
    std::vector<std::string> errors; // every rule the plug-in broke, in order
    size_t files = 0;                // files handed to get_metadata
};

// Indexes the library (loaded): false only when it has no preset-discovery factory (final
// or draft id). Problems with what the plug-in declares or reports go to out->errors and
// the indexing goes on with the next location or provider.
bool preset_index(HostLib &lib, PresetIndex *out);

// [any-thread] Returns a location kind as text: "file" or "plug-in".
const char *preset_location_kind_name(uint32_t kind);
// [any-thread] Returns flags as text, e.g. "factory", "user,favorite", "-" for none.
std::string preset_flags_text(uint32_t flags);
