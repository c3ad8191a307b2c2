// The factory preset tables and how the editor applies and steps through presets.
#include "chainops/factory.h"

#include "chainops/history.h"
#include "chainops/user_presets.h"
#include "params/edit_path.h"

// clang-format off
//                               Gain  Ceil  Rel  Link TP AR  Look Style Dith Shape
#define TK_GENTLE      {nullptr, {2,   -0.3, 160, 100, 1, 1,  2,   4,    0,   2}}
#define TK_TRANSPARENT {nullptr, {3,   -0.3, 260, 100, 1, 1,  3,   0,    0,   2}}
#define TK_PUNCHY      {nullptr, {3,   -0.3, 40,  60,  1, 0,  1,   2,    0,   2}}

const StagePreset PRESETS[PRESET_STAGE_COUNT] = {
    {"Default", {0, -0.3, 100, 100, 1, 1, 1.5, 0, 0, 2}},
    {"Gentle bus stage", {2, -0.3, 160, 100, 1, 1, 2, 4, 0, 2}},
    {"Transparent stage", {3, -0.3, 260, 100, 1, 1, 3, 0, 0, 2}},
    {"Punchy stage", {3, -0.3, 40, 60, 1, 0, 1, 2, 0, 2}},
    {"Final 24 bit (-1 dBTP)", {4, -1, 120, 100, 1, 1, 1.5, 5, 1, 2}},
    {"Final CD 16 bit (-0.3 dB)", {4, -0.3, 120, 100, 1, 1, 1.5, 5, 2, 2}},
    {"Loud", {8, -0.1, 60, 100, 1, 1, 1, 3, 0, 2}},
};

const ChainPreset CHAIN_PRESETS[PRESET_CHAIN_COUNT] = {
    {"Chain: 3 x gentle (2 dB each)", 3, {TK_GENTLE, TK_GENTLE, TK_GENTLE, {}}},
    {"Chain: transparent > punchy > final", 3,
     {TK_TRANSPARENT, TK_PUNCHY, {nullptr, {2, -1, 120, 100, 1, 1, 1.5, 5, 1, 2}}, {}}},
    {"Chain: bus 4 x 1.5 dB", 4,
     {{nullptr, {1.5, -0.3, 200, 100, 1, 1, 2, 4, 0, 2}}, {nullptr, {1.5, -0.3, 200, 100, 1, 1, 2, 4, 0, 2}},
      {nullptr, {1.5, -0.3, 200, 100, 1, 1, 2, 4, 0, 2}}, {nullptr, {1.5, -0.3, 200, 100, 1, 1, 2, 4, 0, 2}}}},
    {"Chain: loud (3 x 4 dB, -0.5 dBTP)", 3,
     {{nullptr, {4, -0.3, 80, 100, 1, 1, 1.5, 3, 0, 2}}, {nullptr, {4, -0.3, 80, 100, 1, 1, 1.5, 3, 0, 2}},
      {nullptr, {4, -0.5, 60, 100, 1, 1, 1, 1, 1, 2}}, {}}},
    {"Master: streaming (-1 dBTP, 24 bit)", 3,
     {TK_GENTLE, TK_TRANSPARENT, {nullptr, {3, -1, 120, 100, 1, 1, 1.5, 5, 1, 2}}, {}}},
    {"Master: CD (-0.3 dB, 16 bit)", 3,
     {TK_TRANSPARENT, TK_PUNCHY, {nullptr, {3, -0.3, 120, 100, 1, 1, 1.5, 5, 2, 2}}, {}}},
};

#undef TK_GENTLE
#undef TK_TRANSPARENT
#undef TK_PUNCHY
// clang-format on

int user_count(const PresetList *list) {
    if (!list) return 0;
    int n = list->user_preset_count;
    return n < 0 ? 0 : n > PRESET_LIST_MAX ? PRESET_LIST_MAX : n;
}

const char *preset_name(const PresetList *list, int number) {
    if (number >= 0 && number < PRESET_STAGE_COUNT) return PRESETS[number].name;
    if (number >= PRESET_STAGE_COUNT && number < PRESET_USER_FIRST)
        return CHAIN_PRESETS[number - PRESET_STAGE_COUNT].name;
    if (number >= PRESET_USER_FIRST && number - PRESET_USER_FIRST < user_count(list))
        return list->user_presets[number - PRESET_USER_FIRST];
    return PRESETS[0].name;
}

int preset_target_stage(const ChainView *view) {
    int index = 0;
    shown_stage(view, &index);
    return index;
}

void apply_preset_raw(ChainOps *ops, int number) {
    if (!ops || number < 0 || number >= PRESET_USER_FIRST) return;
    if (number < PRESET_STAGE_COUNT) {
        if (ops->presets) ops->presets->preset_cur = number;
        int target = preset_target_stage(ops->view);
        for (int k = 0; k < PRESET_VALUE_COUNT; k++)
            set_param_all(ops, target, idxs[k], PRESETS[number].values[k]);
        return;
    }
    const ChainPreset &cp = CHAIN_PRESETS[number - PRESET_STAGE_COUNT];
    int len = chain_count(ops->view);
    for (int k = 0; k < len; k++) {
        SharedSlot *s = ops->view->chain[k].slot;
        if (!s) continue;
        const StagePreset &st = cp.stages[k < cp.count - 1 ? k : cp.count - 1];
        for (int j = 0; j < PRESET_VALUE_COUNT; j++)
            plugin_edit_one(s, idxs[j], st.values[j]);
    }
    if (ops->presets) ops->presets->preset_cur = number;
}

void preset_apply(ChainOps *ops, int number) {
    if (!ops || number < 0) return;
    if (number >= PRESET_USER_FIRST) {
        apply_user_preset(ops, number - PRESET_USER_FIRST);
        return;
    }
    undo_mark(ops, 0);
    ops->preset_applying = 1;
    apply_preset_raw(ops, number);
    ops->preset_applying = 0;
}

int preset_step(ChainOps *ops, int dir) {
    if (!ops || !ops->presets) return 0;
    PresetList *list = ops->presets;
    presets_refresh(list);
    int total = PRESET_USER_FIRST + user_count(list);
    int cur = list->preset_cur < 0 ? 0 : list->preset_cur;
    // A user preset that cannot be loaded is stepped over, so that one broken file does
    // not stop the stepping there; factory presets always apply.
    for (int tries = 0; tries < total; tries++) {
        int next = dir < 0 ? (cur - 1 + total) % total : (cur + 1) % total;
        if (next < PRESET_USER_FIRST) {
            preset_apply(ops, next);
            return next;
        }
        if (apply_user_preset(ops, next - PRESET_USER_FIRST)) return next;
        cur = next;
    }
    return list->preset_cur;
}
