// Factory stage and chain presets applied to real slots through the edit path, the preset
// command as one undo step, and stepping through factory and user presets.
#include "chainops/factory.h"
#include "chainops/history.h"
#include "chainops/user_presets.h"
#include "tests/chainops_fixture.h"

using chainops_test::ChainFixture;

namespace {

class FactoryPresets : public ChainFixture {
  protected:
    static std::vector<std::pair<int, double>> changes_of(const StagePreset &p) {
        std::vector<std::pair<int, double>> c;
        for (int k = 0; k < PRESET_VALUE_COUNT; k++)
            c.push_back({idxs[k], p.values[k]});
        return c;
    }
    static void expect_stage(SharedSlot *s, const StagePreset &p) {
        for (int k = 0; k < PRESET_VALUE_COUNT; k++)
            EXPECT_EQ(val(s, idxs[k]), param_clamp(idxs[k], p.values[k])) << PARAMS[idxs[k]].name;
    }
    // Distinct values on the rows no preset may touch.
    void mark_untouched_rows() {
        for (size_t i = 0; i < stages.size(); i++) {
            set(stages[i], P_INPUT, -3.5);
            set(stages[i], P_STAGE, (double)(i % 8) + 1);
            set(stages[i], P_GROUP, 0.0);
            set(stages[i], P_BYPASS, 1.0);
            set(stages[i], P_DELTA, 1.0);
            set(stages[i], P_UNITY, 1.0);
            set(stages[i], P_MIX, 42.0);
        }
    }
};

TEST_F(FactoryPresets, ChainPresetOnShorterAndLongerChains) {
    const ChainPreset &bus = CHAIN_PRESETS[9 - 7];
    ASSERT_STREQ(bus.name, "Chain: bus 4 x 1.5 dB");
    make_chain(2);
    apply_preset_raw(ops, 9);
    EXPECT_EQ(presets->preset_cur, 9);
    for (int i = 0; i < 2; i++) {
        expect_stage(stages[i], bus.stages[i]);
        expect_edits(stages[i], changes_of(bus.stages[i]));
    }
    // "transparent > punchy > final" on six stages: stages 4..6 repeat the third record.
    const ChainPreset &tpf = CHAIN_PRESETS[8 - 7];
    make_chain(6);
    drain_all();
    apply_preset_raw(ops, 8);
    for (int i = 0; i < 6; i++) {
        const StagePreset &rec = tpf.stages[i < 3 ? i : 2];
        expect_stage(stages[i], rec);
        expect_edits(stages[i], changes_of(rec));
    }
    EXPECT_EQ(val(stages[1], P_RELEASE), 40.0); // punchy
    EXPECT_EQ(val(stages[5], P_CEILING), -1.0); // final
    EXPECT_EQ(val(stages[5], P_DITHER), 1.0);
}

TEST_F(FactoryPresets, LoudPresetsSetTheirDocumentedValues) {
    make_chain(3);
    preset_apply(ops, 10); // "Chain: loud (3 x 4 dB, -0.5 dBTP)"
    EXPECT_EQ(val(stages[1], P_GAIN), 4.0);
    EXPECT_EQ(val(stages[1], P_RELEASE), 80.0);
    EXPECT_EQ(val(stages[2], P_CEILING), -0.5);
    EXPECT_EQ(val(stages[2], P_RELEASE), 60.0);
    EXPECT_EQ(val(stages[2], P_STYLE), 1.0);
    EXPECT_EQ(val(stages[2], P_DITHER), 1.0);
    preset_apply(ops, 6); // "Loud" on the owner's stage
    EXPECT_EQ(val(stages[0], P_GAIN), 8.0);
    EXPECT_EQ(val(stages[0], P_CEILING), -0.1);
    EXPECT_EQ(val(stages[0], P_LOOKAHEAD), 1.0);
    EXPECT_EQ(val(stages[0], P_STYLE), 3.0);
    EXPECT_STREQ(PRESETS[5].name, "Final CD 16 bit (-0.3 dB)");
    EXPECT_STREQ(CHAIN_PRESETS[5].name, "Master: CD (-0.3 dB, 16 bit)");
}

TEST_F(FactoryPresets, ChainPresetWithAnEmptyChainOnlySelectsIt) {
    view->chain_len = 0;
    set(view->own_slot, P_GAIN, 4.0);
    apply_preset_raw(ops, 10);
    EXPECT_EQ(presets->preset_cur, 10);
    EXPECT_EQ(val(view->own_slot, P_GAIN), 4.0);
    expect_no_edits(view->own_slot);
}

TEST_F(FactoryPresets, PunchyStageReachesEveryStageOnlyInChainMode) {
    const StagePreset &punchy = PRESETS[3];
    ASSERT_STREQ(punchy.name, "Punchy stage");
    add_stage();
    add_stage();
    // The owner is the middle stage of the shown chain.
    show({stages[1], stages[0], stages[2]});
    view->chain_mode = 0;
    preset_apply(ops, 3);
    expect_stage(stages[0], punchy);
    expect_edits(stages[0], changes_of(punchy));
    expect_no_edits(stages[1]);
    expect_no_edits(stages[2]);
    EXPECT_EQ(val(stages[1], P_RELEASE), 100.0);
    // A focused stage takes it instead of the owner's.
    view->focus = 2;
    preset_apply(ops, 2);
    expect_stage(stages[2], PRESETS[2]);
    expect_no_edits(stages[0]);
    drain_all();
    view->chain_mode = 1;
    preset_apply(ops, 3);
    for (int i = 0; i < 3; i++) {
        expect_stage(stages[i], punchy);
        expect_edits(stages[i], changes_of(punchy));
    }
    EXPECT_EQ(presets->preset_cur, 3);
}

TEST_F(FactoryPresets, NoPresetTouchesStageGroupInputMixOrTheMonitorSwitches) {
    make_chain(5);
    for (int mode = 0; mode < 2; mode++) {
        view->chain_mode = (uint8_t)mode;
        for (int n = 0; n < PRESET_USER_FIRST; n++) {
            mark_untouched_rows();
            preset_apply(ops, n);
            for (size_t i = 0; i < stages.size(); i++) {
                EXPECT_EQ(val(stages[i], P_STAGE), (double)(i % 8) + 1) << "preset " << n;
                EXPECT_EQ(val(stages[i], P_GROUP), 0.0);
                EXPECT_EQ(val(stages[i], P_INPUT), -3.5);
                EXPECT_EQ(val(stages[i], P_MIX), 42.0);
                EXPECT_EQ(val(stages[i], P_BYPASS), 1.0);
                EXPECT_EQ(val(stages[i], P_DELTA), 1.0);
                EXPECT_EQ(val(stages[i], P_UNITY), 1.0);
            }
        }
    }
}

TEST_F(FactoryPresets, PresetCommandIsOneUndoStep) {
    make_chain(3);
    preset_apply(ops, 6); // "Loud" on the owner's stage, ten parameters
    EXPECT_EQ(history->undo_n, 1);
    EXPECT_EQ(val(stages[0], P_GAIN), 8.0);
    preset_apply(ops, 11); // a chain preset
    EXPECT_EQ(history->undo_n, 2);
    EXPECT_EQ(val(stages[2], P_CEILING), -1.0);
    undo_do(ops);
    EXPECT_EQ(val(stages[2], P_CEILING), -0.3);
    EXPECT_EQ(val(stages[0], P_GAIN), 8.0);
    undo_do(ops);
    EXPECT_EQ(val(stages[0], P_GAIN), 0.0);
    EXPECT_EQ(history->undo_n, 0);
    // Outside the command each parameter of a stage preset is a step of its own.
    make_chain(1);
    apply_preset_raw(ops, 1);
    EXPECT_EQ(history->undo_n, PRESET_VALUE_COUNT);
    preset_apply(ops, -1);
    apply_preset_raw(ops, 13);
    EXPECT_EQ(history->undo_n, PRESET_VALUE_COUNT);
}

TEST_F(FactoryPresets, SteppingWrapsThroughUserPresets) {
    make_chain(1);
    for (const char *name : {"alpha", "Beta", "gamma"})
        ASSERT_TRUE(save_user_preset(ops, 1, name));
    presets->user_preset_count = 0; // stepping refreshes the list itself
    presets->preset_cur = 0;
    set(stages[0], P_GAIN, 12.0); // what "gamma" will not hold
    EXPECT_EQ(preset_step(ops, -1), 15);
    EXPECT_EQ(presets->preset_cur, 15);
    EXPECT_EQ(presets->user_preset_count, 3);
    EXPECT_STREQ(preset_name(presets, 15), "gamma");
    EXPECT_EQ(val(stages[0], P_GAIN), 0.0); // gamma applied
    EXPECT_EQ(preset_step(ops, 1), 0);      // Page Down on the last one: "Default"
    EXPECT_EQ(presets->preset_cur, 0);
    EXPECT_EQ(preset_step(ops, 1), 1);
    EXPECT_EQ(val(stages[0], P_GAIN), 2.0); // "Gentle bus stage"
    // A current number beyond the list starts again from "Default".
    presets->preset_cur = 40;
    EXPECT_EQ(preset_step(ops, 1), 1);
    EXPECT_STREQ(preset_name(presets, 7), "Chain: 3 x gentle (2 dB each)");
    EXPECT_STREQ(preset_name(presets, 16), "Default");
    // A broken file in the middle is stepped over in both directions.
    tk_test::write_file(dir_.path() + "/Beta.tervik", "not a preset\n");
    presets->preset_cur = 13;
    EXPECT_EQ(preset_step(ops, 1), 15);
    EXPECT_EQ(preset_step(ops, -1), 13);
    EXPECT_EQ(presets->preset_cur, 13);
    EXPECT_STREQ(preset_name(presets, -3), "Default");
}

} // namespace
