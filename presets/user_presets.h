// User preset files: the per-user folder, preset names as file names, the "Tervik preset 1"
// text format, and the editor's list, save, apply, delete and name-entry operations.
// Everything here runs on the host's main thread of the editor's process.
#pragma once
#include <cstddef>
#include <cstdint>

struct Ui;

constexpr int PRESET_MAX_STAGES = 8;
constexpr int PRESET_LIST_MAX = 24;      // names held in Ui::user_presets
constexpr size_t PRESET_DIR_MAX = 1024;  // folder path limit, terminator included
constexpr size_t PRESET_PATH_MAX = 1200; // file path limit, terminator included

// A preset in memory: up to eight stages with all 17 parameters in PARAMS index order.
struct PresetFile {
    char name[64];
    int32_t stages; // 1..8
    double values[PRESET_MAX_STAGES][17];
};

// The folder: $TERVIK_PRESET_DIR when set and not empty (created, one level), otherwise
// <config>/Morvane/Tervik/Presets (each missing level created). False when it cannot be
// resolved or created, or does not fit in size (at most PRESET_DIR_MAX).
bool presets_dir(char *out, size_t size);

// Sanitises a preset name into a file name stem: the first 63 bytes, bytes below 32 and
// <>:"/\|?* turned into '_', then trailing spaces and dots removed. out holds 64 bytes.
// False when nothing is left (an empty name, or one of dots and spaces only).
bool preset_file_stem(const char *name, char out[64]);

// "<folder>/<stem>.tervik" for a preset name; false when the folder cannot be resolved,
// the name has no file name, or the path does not fit in size.
bool preset_path(const char *name, char *out, size_t size);

// Up to max (at most 24 when filling Ui::user_presets) preset names, without extension,
// sorted case-insensitively: files only (no directories), and only names of at most 63
// bytes, so that each listed name is exactly its file. 0 when the folder cannot be resolved.
int presets_list(char (*names)[64], int max);

// Writes the record's file: a new file in the folder, renamed over one of the same name
// (a symbolic link of that name is replaced, never written through). False, with the old
// file untouched, when stages is not 1..8, the name has no file name, a directory, pipe
// or device holds the name, or writing fails.
bool preset_save(const PresetFile *record);

// Reads the named preset. The record is cleared, named as requested and filled with the
// defaults first; values read are clamped. True only when the header is right and a
// "stages=" line was seen (the values read are in the record either way). A file that is
// not regular or resolves outside the folder (through a symbolic link) is not read.
bool preset_load(const char *name, PresetFile *record);

// Reads a preset file given by its path (any folder) the same way, naming the record name;
// the file must be a regular one (a symbolic link is followed).
bool preset_load_path(const char *path, const char *name, PresetFile *record);

// preset_load for a name exactly as presets_list gave it: the file "<listed>.tervik"
// itself, without sanitising (a listed "a:b" is "a:b.tervik", never "a_b.tervik").
bool preset_load_listed(const char *listed, PresetFile *record);

// Removes the named preset's file (or a symbolic link of that name; never a directory);
// true when it was removed.
bool preset_delete(const char *name);

// Re-reads Ui::user_presets and user_preset_count; resets preset_cur to 0 when it points
// beyond the list.
void presets_refresh(Ui *ui);

// Saves the focused (or the owner's own) stage as a stage preset (mode 1), or the first
// eight stages of the chain as a chain preset (any other mode; a stage preset while the
// chain is empty), refreshes the list and selects the preset when its listed name equals
// name. False when nothing was saved.
bool save_user_preset(Ui *ui, int mode, const char *name);

// Applies the user preset at a position of Ui::user_presets as one undo step: everything
// except Stage, Group, Bypass, Delta listen and Unity gain. A one-stage preset goes to the
// focused (or owner's) stage through set_param_all (every stage in chain mode); a
// multi-stage preset stage by stage, chains longer than it repeating its last stage.
// Sets preset_cur to 13 + position. False (nothing changed) for a bad position or a file
// that cannot be loaded.
bool apply_user_preset(Ui *ui, int position);

// The preset menu's delete entry: deletes the current user preset (preset_cur 13 and
// above, while listed), refreshes the list and selects "Default". False when preset_cur
// is not a listed user preset or the file could not be removed (the list is then still
// refreshed).
bool preset_delete_current(Ui *ui);

// Opens the editor's name entry for a stage (mode 1) or chain (mode 2) preset in the box
// (x, y, w, h) without refreshing the list (the menu's "Save stage preset..." and "Save
// chain preset..." entries, box at the menu). Prefilled with the current user preset's
// name, else "New preset", selected for replacement.
void preset_entry_open(Ui *ui, int mode, float x, float y, float w, float h);

// Control+S / Control+Shift+S: refreshes the list and opens the name entry below the preset
// name field of the last frame (preset_field_*), or below the preset selector's place
// when no field was drawn yet.
void preset_save_shortcut(Ui *ui, int mode);

// Confirm step of a name entry: leading and trailing spaces removed; an empty name does
// nothing (false); otherwise save_user_preset(ui, mode, trimmed). Does not close the entry.
bool preset_name_confirm(Ui *ui, int mode, const char *text);
