// User preset files: the per-user folder, preset names as file names, the "Tervik preset 1"
// text format, and the preset list's refresh, save, apply and delete operations.
// Everything here runs on the host's main thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chainops/chain_view.h"
#include "chainops/factory.h"

constexpr int PRESET_MAX_STAGES = 8;
constexpr size_t PRESET_DIR_MAX = 1024;  // folder path limit, terminator included
constexpr size_t PRESET_PATH_MAX = 1200; // file path limit, terminator included

// A preset in memory: up to eight stages with all 17 parameters in PARAMS index order.
struct PresetFile {
    char name[64];
    int32_t stages; // 1..8
    double values[PRESET_MAX_STAGES][17];
};

// [main-thread] The folder: $TERVIK_PRESET_DIR when set and not empty (created, one level), otherwise
// <config>/Morvane/Tervik/Presets (each missing level created). False when it cannot be
// resolved or created, or does not fit in size (at most PRESET_DIR_MAX).
bool presets_dir(char *out, size_t size);

// [main-thread] Sanitises a preset name into a file name stem: the first 63 bytes, bytes below 32 and
// <>:"/\|?* turned into '_', then trailing spaces and dots removed. out holds 64 bytes.
// False when nothing is left (an empty name, or one of dots and spaces only).
bool preset_file_stem(const char *name, char out[64]);

// [main-thread] Writes "<folder>/<stem>.tervik" for a preset name; returns false when the folder cannot be resolved,
// the name has no file name, or the path does not fit in size.
bool preset_path(const char *name, char *out, size_t size);

// [main-thread] Returns how many preset names it wrote: up to max (at most 24 when filling a PresetList) preset names,
// without extension, sorted case-insensitively: files only (no directories), and only names of at most 63 bytes, so
// that each listed name is exactly its file. 0 when the folder cannot be resolved.
int presets_list(char (*names)[64], int max);

// [main-thread] Writes the record's file: a new file in the folder, renamed over one of the same name
// (a symbolic link of that name is replaced, never written through). False, with the old
// file untouched, when stages is not 1..8, the name has no file name, a directory, pipe
// or device holds the name, or writing fails.
bool preset_save(const PresetFile *record);

// [main-thread] Reads the named preset. The record is cleared, named as requested and filled with the
// defaults first; values read are clamped. True only when the header is right and a
// "stages=" line was seen (the values read are in the record either way). A file that is
// not regular or resolves outside the folder (through a symbolic link) is not read.
bool preset_load(const char *name, PresetFile *record);

// [main-thread] Reads a preset file given by its path (any folder) the same way, naming the record name;
// the file must be a regular one (a symbolic link is followed). Returns as preset_load.
bool preset_load_path(const char *path, const char *name, PresetFile *record);

// [main-thread] preset_load for a name exactly as presets_list gave it: the file "<listed>.tervik"
// itself, without sanitising (a listed "a:b" is "a:b.tervik", never "a_b.tervik"). Returns
// as preset_load.
bool preset_load_listed(const char *listed, PresetFile *record);

// [main-thread] Re-reads the list's user_presets and user_preset_count; resets preset_cur to 0 when it
// points beyond the list.
void presets_refresh(PresetList *list);

// [main-thread] Saves the focused (or the owner's own) stage as a stage preset (mode 1), or the first
// eight stages of the chain as a chain preset (any other mode; a stage preset while the
// chain is empty), refreshes the list and selects the preset when its listed name equals
// name. False when nothing was saved.
bool save_user_preset(ChainOps *ops, int mode, const char *name);

// [main-thread] Applies a preset read from a file as one undo step: everything except Stage, Group,
// Bypass, Delta listen and Unity gain. A one-stage preset goes to the focused (or owner's)
// stage through set_param_all (every stage in chain mode); a multi-stage preset stage by
// stage (stages is taken as 1..8), chains longer than it repeating its last stage.
void apply_preset_file(ChainOps *ops, const PresetFile *record);

// [main-thread] Applies the user preset at a position of the preset list as one undo step: everything
// except Stage, Group, Bypass, Delta listen and Unity gain. A one-stage preset goes to the
// focused (or owner's) stage through set_param_all (every stage in chain mode); a
// multi-stage preset stage by stage, chains longer than it repeating its last stage.
// Sets preset_cur to 13 + position. False (nothing changed) for a bad position or a file
// that cannot be loaded.
bool apply_user_preset(ChainOps *ops, int position);

// [main-thread] The preset menu's delete entry: deletes the current user preset (preset_cur 13 and
// above, while listed), refreshes the list and selects "Default". False when preset_cur
// is not a listed user preset or the file could not be removed (the list is then still
// refreshed).
bool preset_delete_current(PresetList *list);
