// Factory stage and chain presets, the preset command of the editor's menu and the preset
// stepping of "<", ">" and the keys. Editor (host main) thread only.
#pragma once
#include <cstdint>

struct Ui;

constexpr int PRESET_STAGE_COUNT = 7; // numbers 0..6
constexpr int PRESET_CHAIN_COUNT = 6; // numbers 7..12
constexpr int PRESET_USER_FIRST = 13; // user presets: 13 + position in Ui::user_presets
constexpr int PRESET_VALUE_COUNT = 10;

// The PARAMS indexes a factory preset sets, in the order of its values: Gain, Ceiling,
// Release, Stereo link, True peak, Adaptive release, Lookahead, Style, Dither, Noise shaping.
inline constexpr int idxs[PRESET_VALUE_COUNT] = {1, 2, 3, 6, 7, 8, 9, 10, 11, 12};

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

// Name shown for a preset number: factory names for 0..12, the user preset's name for 13
// and above while it is listed in ui->user_presets, otherwise "Default". Never null.
const char *preset_name(const Ui *ui, int number);

// The stage a one-stage preset goes to: focus when it indexes the chain, else the owner's
// own position in the chain, else 0.
int preset_target_stage(const Ui *ui);

// Applies factory preset number 0..12 (other numbers do nothing) without an undo mark of
// its own; sets ui->preset_cur. Stage presets go through set_param_all (every stage in
// chain mode), chain presets stage by stage (chains longer than the preset repeat its last
// stage; an empty chain only selects the preset).
void apply_preset_raw(Ui *ui, int number);

// The preset command of the menu and of stepping: numbers 0..12 as one undo step
// (undo_mark with tag 0, preset_applying set around apply_preset_raw); 13 and above go to
// apply_user_preset(ui, number - 13), which marks undo itself. Negative numbers do nothing.
void preset_apply(Ui *ui, int number);

// "<" (dir < 0) and ">" (dir >= 0), Page Up/Down, "," and ".": refreshes the user list,
// then applies the previous or next preset number, wrapping over 13 + user_preset_count.
// A user preset whose file cannot be loaded is stepped over. Returns the number applied.
int preset_step(Ui *ui, int dir);
