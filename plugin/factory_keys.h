// Load keys of the factory presets inside the plug-in, shared by the preset-discovery
// provider and the preset-load extension: "stage:N" for stage preset N (0..6) and
// "chain:N" for chain preset N (0..5) of the factory tables.
#pragma once

// [any-thread] Returns the editor's preset number (0..12) of a load key, -1 for anything else.
int factory_preset_number(const char *key);
// [any-thread] Writes the load key of preset number 0..12 into out (at least 16 bytes);
// returns false for another number.
bool factory_preset_key(int number, char *out, unsigned size);
