// The editor's user preset operations on real slots and a private preset folder: saving a
// stage or chain, applying, deleting, the name entry and its confirmation.
#include <sys/stat.h>
#include <unistd.h>

#include "chainops/factory.h"
#include "chainops/history.h"
#include "chainops/user_presets.h"
#include "tests/chainops_fixture.h"

using chainops_test::ChainFixture;

namespace {

class UserPresets : public ChainFixture {
  protected:
    std::string file(const std::string &stem) const { return dir_.path() + "/" + stem + ".tervik"; }
    static bool exists(const std::string &p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0;
    }
    // Every applied row (all but Stage, Group and the three monitor switches) with a value.
    static std::vector<std::pair<int, double>> applied(const double *v) {
        std::vector<std::pair<int, double>> c;
        for (int i = 0; i < (int)PARAM_COUNT; i++)
            if (i != P_STAGE && i != P_GROUP && i != P_BYPASS && i != P_DELTA && i != P_UNITY) c.push_back({i, v[i]});
        return c;
    }
    void distinct_stage(SharedSlot *s, double base) {
        set(s, P_INPUT, -base);
        set(s, P_GAIN, base);
        set(s, P_CEILING, -base / 10);
        set(s, P_RELEASE, 50 + base * 10);
        set(s, P_LINK, 50 + base);
        set(s, P_MIX, 100 - base);
    }
};

TEST_F(UserPresets, StagePresetSavesTheFocusedStageAndSelectsIt) {
    make_chain(3);
    distinct_stage(stages[2], 7);
    view->focus = 2;
    ASSERT_TRUE(save_user_preset(ops, 1, "Focus"));
    EXPECT_EQ(presets->user_preset_count, 1);
    EXPECT_EQ(presets->preset_cur, 13);
    PresetFile r;
    ASSERT_TRUE(preset_load("Focus", &r));
    EXPECT_EQ(r.stages, 1);
    EXPECT_EQ(r.values[0][P_GAIN], 7.0);
    EXPECT_EQ(r.values[0][P_RELEASE], 120.0);
    // No focus: the owner's stage, wherever it sits in the chain.
    show({stages[1], stages[2], stages[0]});
    view->focus = -1;
    set(stages[0], P_GAIN, 4.0);
    ASSERT_TRUE(save_user_preset(ops, 1, "Owner"));
    ASSERT_TRUE(preset_load("Owner", &r));
    EXPECT_EQ(r.values[0][P_GAIN], 4.0);
    EXPECT_EQ(presets->preset_cur, 14); // "Focus", "Owner"
    // A sanitised name is saved but not found in the list: the selection stays.
    ASSERT_TRUE(save_user_preset(ops, 1, "a/b"));
    EXPECT_EQ(presets->user_preset_count, 3);
    EXPECT_EQ(presets->preset_cur, 14); // unchanged number; the list is now "a_b", "Focus", "Owner"
    EXPECT_STREQ(presets->user_presets[0], "a_b");
    EXPECT_FALSE(save_user_preset(ops, 1, "..."));
}

TEST_F(UserPresets, ChainOfTenStoresEightAndEmptyChainStoresTheOwner) {
    make_chain(10);
    for (int i = 0; i < 10; i++)
        set(stages[i], P_GAIN, (double)i);
    ASSERT_TRUE(save_user_preset(ops, 2, "Ten"));
    std::string text = tk_test::read_file(file("Ten"));
    EXPECT_NE(text.find("\nstages=8\n"), std::string::npos);
    EXPECT_NE(text.find("\nstage=8\n"), std::string::npos);
    EXPECT_EQ(text.find("stage=9"), std::string::npos);
    PresetFile r;
    ASSERT_TRUE(preset_load("Ten", &r));
    for (int s = 0; s < 8; s++)
        EXPECT_EQ(r.values[s][P_GAIN], (double)s);
    view->chain_len = 0;
    set(view->own_slot, P_GAIN, 11.0);
    ASSERT_TRUE(save_user_preset(ops, 2, "Alone"));
    ASSERT_TRUE(preset_load("Alone", &r));
    EXPECT_EQ(r.stages, 1);
    EXPECT_EQ(r.values[0][P_GAIN], 11.0);
}

TEST_F(UserPresets, TwoStagePresetOnAChainOfThree) {
    make_chain(2);
    distinct_stage(stages[0], 3);
    distinct_stage(stages[1], 5);
    ASSERT_TRUE(save_user_preset(ops, 2, "Pair"));
    PresetFile saved;
    ASSERT_TRUE(preset_load("Pair", &saved));
    make_chain(3);
    for (size_t i = 0; i < stages.size(); i++) {
        distinct_stage(stages[i], 1);
        set(stages[i], P_STAGE, (double)i + 2);
        set(stages[i], P_GROUP, 0.0);
        set(stages[i], P_BYPASS, 1.0);
        set(stages[i], P_DELTA, 1.0);
        set(stages[i], P_UNITY, 1.0);
    }
    drain_all();
    ASSERT_TRUE(apply_user_preset(ops, 0));
    EXPECT_EQ(presets->preset_cur, 13);
    EXPECT_EQ(history->undo_n, 1);
    EXPECT_EQ(ops->preset_applying, 0);
    for (int i = 0; i < 3; i++) {
        const double *want = saved.values[i < 2 ? i : 1];
        EXPECT_EQ(val(stages[i], P_GAIN), want[P_GAIN]) << i;
        EXPECT_EQ(val(stages[i], P_MIX), want[P_MIX]) << i;
        EXPECT_EQ(val(stages[i], P_RELEASE), want[P_RELEASE]) << i;
        EXPECT_EQ(val(stages[i], P_STAGE), (double)i + 2);
        EXPECT_EQ(val(stages[i], P_BYPASS), 1.0);
        EXPECT_EQ(val(stages[i], P_DELTA), 1.0);
        EXPECT_EQ(val(stages[i], P_UNITY), 1.0);
        expect_edits(stages[i], applied(want));
    }
    undo_do(ops);
    EXPECT_EQ(val(stages[2], P_GAIN), 1.0);
}

TEST_F(UserPresets, OneStagePresetFollowsChainMode) {
    make_chain(3);
    set(stages[0], P_GAIN, 9.0);
    ASSERT_TRUE(save_user_preset(ops, 1, "Nine"));
    set(stages[0], P_GAIN, 0.0);
    drain_all();
    view->focus = 1;
    ASSERT_TRUE(apply_user_preset(ops, 0));
    EXPECT_EQ(val(stages[1], P_GAIN), 9.0);
    EXPECT_EQ(val(stages[0], P_GAIN), 0.0);
    EXPECT_EQ(val(stages[2], P_GAIN), 0.0);
    double v[17];
    for (int i = 0; i < 17; i++)
        v[i] = PARAMS[i].def;
    v[P_GAIN] = 9.0;
    v[P_INPUT] = 0.0;
    expect_edits(stages[1], applied(v));
    expect_no_edits(stages[0]);
    EXPECT_EQ(history->undo_n, 1); // one step, not one per parameter
    view->chain_mode = 1;
    ASSERT_TRUE(apply_user_preset(ops, 0));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(val(stages[i], P_GAIN), 9.0);
    // Bad positions and vanished files change nothing.
    drain_all();
    int steps = history->undo_n;
    EXPECT_FALSE(apply_user_preset(ops, 1));
    EXPECT_FALSE(apply_user_preset(ops, -1));
    ASSERT_EQ(unlink(file("Nine").c_str()), 0);
    EXPECT_FALSE(apply_user_preset(ops, 0));
    EXPECT_EQ(history->undo_n, steps);
    for (int i = 0; i < 3; i++)
        expect_no_edits(stages[i]);
}

TEST_F(UserPresets, DeletingTheCurrentPresetSelectsDefault) {
    make_chain(1);
    ASSERT_TRUE(save_user_preset(ops, 1, "keep"));
    ASSERT_TRUE(save_user_preset(ops, 1, "drop"));
    EXPECT_EQ(presets->preset_cur, 13); // "drop", "keep"
    EXPECT_TRUE(preset_delete_current(presets));
    EXPECT_EQ(presets->preset_cur, 0);
    EXPECT_EQ(presets->user_preset_count, 1);
    EXPECT_FALSE(exists(file("drop")));
    EXPECT_TRUE(exists(file("keep")));
    EXPECT_FALSE(preset_delete_current(presets)); // "Default" is no user preset
    EXPECT_TRUE(exists(file("keep")));
}

TEST_F(UserPresets, ForeignFileNamesAreAppliedAndDeletedAsListed) {
    make_chain(1);
    // "a:b.tervik" was not written by us; "a_b.tervik" is what the name "a:b" would save.
    tk_test::write_file(file("a:b"), "Tervik preset 1\nstages=1\nstage=1\np2=5\n");
    tk_test::write_file(file("a_b"), "Tervik preset 1\nstages=1\nstage=1\np2=6\n");
    presets_refresh(presets);
    ASSERT_EQ(presets->user_preset_count, 2);
    ASSERT_STREQ(presets->user_presets[0], "a:b");
    ASSERT_TRUE(apply_user_preset(ops, 0));
    EXPECT_EQ(val(stages[0], P_GAIN), 5.0);
    EXPECT_TRUE(preset_delete_current(presets));
    EXPECT_FALSE(exists(file("a:b")));
    EXPECT_TRUE(exists(file("a_b")));
}

TEST_F(UserPresets, AListedLinkOutOfTheFolderIsNotAppliedAndDeletingRemovesOnlyTheLink) {
    make_chain(1);
    std::string outside = tk_test::make_temp_dir("outside");
    tk_test::write_file(outside + "/x.tervik", "Tervik preset 1\nstages=1\nstage=1\np2=9\n");
    ASSERT_EQ(symlink((outside + "/x.tervik").c_str(), file("link").c_str()), 0);
    presets_refresh(presets);
    ASSERT_EQ(presets->user_preset_count, 1);
    EXPECT_FALSE(apply_user_preset(ops, 0));
    EXPECT_EQ(val(stages[0], P_GAIN), 0.0);
    expect_no_edits(stages[0]);
    presets->preset_cur = 13;
    EXPECT_TRUE(preset_delete_current(presets));
    EXPECT_EQ(presets->user_preset_count, 0);
    EXPECT_TRUE(exists(outside + "/x.tervik"));
    tk_test::remove_tree(outside);
}

} // namespace
