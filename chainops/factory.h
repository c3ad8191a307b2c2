// Factory stage and chain presets, the preset numbers an editor shows (factory, then the
// user's files), the preset command of the editor's menu and the preset stepping of "<",
// ">" and the keys. Host main thread only.
#pragma once
#include <cstdint>

#include "chainops/chain_view.h"
#include "registry/param_rows.h"

constexpr int PRESET_STAGE_COUNT = 7; // numbers 0..6
constexpr int PRESET_CHAIN_COUNT = 6; // numbers 7..12
constexpr int PRESET_USER_FIRST = 13; // user presets: 13 + position in PresetList::user_presets
constexpr int PRESET_VALUE_COUNT = 10;
constexpr int PRESET_LIST_MAX = 24; // user preset names held in a PresetList

// The PARAMS indexes a factory preset sets, in the order of its values.
inline constexpr int idxs[PRESET_VALUE_COUNT] = {P_GAIN,     P_CEILING,   P_RELEASE, P_LINK,   P_TRUE_PEAK,
                                                 P_ADAPTIVE, P_LOOKAHEAD, P_STYLE,   P_DITHER, P_SHAPING};

// The presets an editor offers: the current preset number and the user's preset names as
// last listed from the folder (without extension, sorted case-insensitively).
struct PresetList {
    int32_t preset_cur;
    char user_presets[PRESET_LIST_MAX][64];
    int32_t user_preset_count;
};

// One stage's settings (name null inside a chain preset), values in idxs order.
struct StagePreset {
    const char *name;
    double values[PRESET_VALUE_COUNT];
};

// A chain preset: count (1..4) stage records; records beyond count are zero.
struct ChainPreset {
    const char *name;
    int32_t count;
    StagePreset stages[4];
};

extern const StagePreset PRESETS[PRESET_STAGE_COUNT];       // menu names: PRESETS[n].name
extern const ChainPreset CHAIN_PRESETS[PRESET_CHAIN_COUNT]; // number 7 + row

// [main-thread] Returns user_preset_count bounded to 0..PRESET_LIST_MAX (0 for a null list).
int user_count(const PresetList *list);

// [main-thread] Returns the name shown for a preset number: factory names for 0..12, the user preset's name for 13
// and above while it is listed, otherwise "Default". Never null.
const char *preset_name(const PresetList *list, int number);

// [main-thread] Returns the stage a one-stage preset goes to: the shown stage's index (shown_stage).
int preset_target_stage(const ChainView *view);

// [main-thread] Applies factory preset number 0..12 (other numbers do nothing) without an undo mark of
// its own; sets preset_cur. Stage presets go through set_param_all (every stage in chain
// mode), chain presets stage by stage (chains longer than the preset repeat its last
// stage; an empty chain only selects the preset).
void apply_preset_raw(ChainOps *ops, int number);

// [main-thread] The preset command of the menu and of stepping: numbers 0..12 as one undo step
// (undo_mark with tag 0, preset_applying set around apply_preset_raw); 13 and above go to
// apply_user_preset(ops, number - 13), which marks undo itself. Negative numbers do nothing.
void preset_apply(ChainOps *ops, int number);

// [main-thread] "<" (dir < 0) and ">" (dir >= 0), Page Up/Down, "," and ".": refreshes the user list,
// then applies the previous or next preset number, wrapping over 13 + user_preset_count.
// A user preset whose file cannot be loaded is stepped over. Returns the number applied.
int preset_step(ChainOps *ops, int dir);
