// Chain gain on real slots: spread shares, the chain-total drag of the gain slider and
// loudness matching, checked in the slots' values and in their edit queues.
#include <algorithm>
#include <cmath>

#include "chainops/chain_gain.h"
#include "chainops/history.h"
#include "tests/chainops_fixture.h"

using chainops_test::ChainFixture;

namespace {

class ChainGain : public ChainFixture {
  protected:
    // Three stages at the given gains, readout -20 LUFS short term on the last one.
    void three_stages(double g0, double g1, double g2) {
        make_chain(3);
        set(stages[0], P_GAIN, g0);
        set(stages[1], P_GAIN, g1);
        set(stages[2], P_GAIN, g2);
        for (int i = 0; i < 3; i++)
            view->chain[i].recent = 1;
        shm_store(stages[2]->meters.lufs_s, -20.0f);
        gain->target_idx = 1; // -14: a change of +6 dB
    }
};

TEST_F(ChainGain, MatchingSharesSixDecibelsByFrontBackAndEven) {
    const double expect[3][3] = {{7, 7, 7}, {8, 7, 6}, {6, 7, 8}}; // Even, Front, Back
    for (uint32_t spread = 0; spread < 3; spread++) {
        three_stages(5, 5, 5);
        gain->spread = spread;
        ASSERT_TRUE(loudness_match(ops)) << DIST_NAMES[spread];
        for (int i = 0; i < 3; i++) {
            EXPECT_NEAR(val(stages[i], P_GAIN), expect[spread][i], 1e-9) << DIST_NAMES[spread] << " stage " << i;
            expect_edits(stages[i], {{P_GAIN, expect[spread][i]}});
        }
    }
    EXPECT_EQ(history->undo_n, 3); // one step per click
}

TEST_F(ChainGain, OneStageTakesTheWholeChangeWhateverTheSpread) {
    for (uint32_t spread = 0; spread < 3; spread++) {
        make_chain(1);
        set(stages[0], P_GAIN, 1.0);
        shm_store(stages[0]->meters.lufs_s, -20.0f);
        gain->spread = spread;
        ASSERT_TRUE(loudness_match(ops));
        EXPECT_NEAR(val(stages[0], P_GAIN), 7.0, 1e-9);
        expect_edits(stages[0], {{P_GAIN, 7.0}});
    }
    double w[64];
    for (int n = 1; n <= 64; n++) {
        for (uint32_t spread = 0; spread < 4; spread++) {
            spread_weights(spread, n, w);
            double sum = 0;
            for (int i = 0; i < n; i++)
                sum += w[i];
            EXPECT_NEAR(sum, 1.0, 1e-12) << "n " << n << " spread " << spread;
        }
    }
}

TEST_F(ChainGain, MatchingWithAnEmptyChainMovesTheOwnersStage) {
    set(view->own_slot, P_GAIN, 2.0);
    shm_store(view->own_slot->meters.lufs_s, -15.0f);
    view->chain_len = 0;
    ASSERT_TRUE(loudness_match(ops));
    EXPECT_NEAR(val(view->own_slot, P_GAIN), 3.0, 1e-6);
    expect_edits(view->own_slot, {{P_GAIN, val(view->own_slot, P_GAIN)}});
}

TEST_F(ChainGain, SilenceNaNAndTinyDifferencesDoNothingAndMakeNoUndoStep) {
    three_stages(5, 5, 5);
    const float readouts[] = {-60.0f, -70.0f, -100.0f, NAN, INFINITY, -14.03f, -13.96f};
    for (float r : readouts) {
        shm_store(stages[2]->meters.lufs_s, r);
        EXPECT_FALSE(loudness_match(ops)) << r;
    }
    EXPECT_EQ(history->undo_n, 0);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(val(stages[i], P_GAIN), 5.0);
        expect_no_edits(stages[i]);
    }
    shm_store(stages[2]->meters.lufs_s, -59.9f); // just above silence: acts
    EXPECT_TRUE(loudness_match(ops));
    EXPECT_EQ(history->undo_n, 1);
}

TEST_F(ChainGain, TargetRowsCustomAndOutOfRangeIndex) {
    struct Case {
        uint32_t idx;
        double custom;
        double target;
    };
    const Case cases[] = {{0, -16, -9},  {1, -16, -14}, {2, -16, -23}, {3, -16, -24}, {4, -18.5, -18.5},
                          {4, -55, -40}, {4, 7, 0},     {4, NAN, -16}, {5, -16, -14}, {4000000000u, -16, -14}};
    for (const Case &c : cases) {
        gain->target_idx = c.idx;
        gain->target_custom = c.custom;
        EXPECT_EQ(loudness_target(gain), c.target) << "index " << c.idx;
        make_chain(1);
        set(stages[0], P_GAIN, 5.0);
        shm_store(stages[0]->meters.lufs_s, -32.0f);
        ASSERT_TRUE(loudness_match(ops));
        EXPECT_NEAR(val(stages[0], P_GAIN), std::clamp(5.0 + c.target + 32.0, 0.0, 30.0), 1e-6) << "index " << c.idx;
        drain_all();
    }
    EXPECT_STREQ(TARGETS[4].label, "Custom");
    EXPECT_STREQ(TARGETS[1].short_label, "Strm");
}

TEST_F(ChainGain, ReferenceIsTheLastRecentStageElseTheOwner) {
    make_chain(3);
    for (int i = 0; i < 3; i++)
        shm_store(stages[i]->meters.lufs_s, -30.0f - (float)i);
    view->chain[0].recent = 1;
    view->chain[1].recent = 1;
    view->chain[2].recent = 0;
    EXPECT_EQ(loudness_ref_slot(view), stages[1]);
    EXPECT_EQ(loudness_measured(ops), -31.0);
    view->chain[1].recent = 0;
    EXPECT_EQ(loudness_ref_slot(view), stages[0]);
    view->chain[0].recent = 0;
    // Nothing processed: the owner's own slot, even when it is not in the shown chain.
    show({stages[1], stages[2]});
    EXPECT_EQ(loudness_ref_slot(view), view->own_slot);
    EXPECT_EQ(loudness_measured(ops), -30.0);
    // The readout mode picks the field; an unknown mode reads short term.
    shm_store(view->own_slot->meters.lufs_m, -12.0f);
    shm_store(view->own_slot->meters.lufs_i, -13.0f);
    gain->lufs_mode = 1;
    EXPECT_EQ(loudness_measured(ops), -12.0);
    gain->lufs_mode = 2;
    EXPECT_EQ(loudness_measured(ops), -13.0);
    gain->lufs_mode = 9;
    EXPECT_EQ(loudness_measured(ops), -30.0);
    EXPECT_STREQ(LUFS_MODES[2], "Integrated");
}

TEST_F(ChainGain, PausedReadoutMatchesTheFrozenValue) {
    three_stages(5, 5, 5);
    shm_store(stages[2]->meters.lufs_s, -14.0f); // live readout on target
    loud.loud_paused = 1;
    loud.loud_frozen = -17.0f; // frozen readout 3 dB low
    EXPECT_EQ(loudness_measured(ops), -17.0);
    ASSERT_TRUE(loudness_match(ops));
    for (int i = 0; i < 3; i++)
        EXPECT_NEAR(val(stages[i], P_GAIN), 6.0, 1e-6);
    loud.loud_frozen = -80.0f; // frozen silence, live signal: nothing
    EXPECT_FALSE(loudness_match(ops));
}

TEST_F(ChainGain, ChainDragWorksFromStartValuesAndSaturates) {
    make_chain(3);
    set(stages[0], P_GAIN, 10.0);
    set(stages[1], P_GAIN, 0.0);
    set(stages[2], P_GAIN, 29.0);
    gain->spread = 0;
    chain_drag_start(ops, &drag, 500, 300);
    EXPECT_EQ(history->undo_n, 1);
    EXPECT_EQ(drag.drag_count, 3); // a drag of the three stages is on
    // Half of 424 units up: total +45 dB, 15 per stage; the third stops at 30.
    chain_drag_motion(ops, &drag, 300 - 212, false);
    EXPECT_NEAR(val(stages[0], P_GAIN), 25.0, 1e-9);
    EXPECT_NEAR(val(stages[1], P_GAIN), 15.0, 1e-9);
    EXPECT_EQ(val(stages[2], P_GAIN), 30.0);
    // Back to the start point: the start values again, nothing accumulated.
    chain_drag_motion(ops, &drag, 300, false);
    EXPECT_NEAR(val(stages[0], P_GAIN), 10.0, 1e-9);
    EXPECT_NEAR(val(stages[1], P_GAIN), 0.0, 1e-9);
    EXPECT_NEAR(val(stages[2], P_GAIN), 29.0, 1e-9);
    // Far down: everything at 0.
    chain_drag_motion(ops, &drag, 300 + 424, false);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(val(stages[i], P_GAIN), 0.0);
    // Shift: 10 times finer; 212 units are 1.5 dB per stage.
    chain_drag_motion(ops, &drag, 300 - 212, true);
    EXPECT_NEAR(val(stages[0], P_GAIN), 11.5, 1e-9);
    EXPECT_NEAR(val(stages[1], P_GAIN), 1.5, 1e-9);
    EXPECT_NEAR(val(stages[2], P_GAIN), 30.0, 1e-9);
    chain_drag_end(&drag);
    EXPECT_EQ(drag.drag_count, 0); // and over
    // One gesture per stage: begin, four values, end.
    for (int i = 0; i < 3; i++) {
        std::vector<chainops_test::Edit> q = drain(stages[i]);
        ASSERT_EQ(q.size(), 6u);
        EXPECT_EQ(q[0].kind, (uint32_t)EDIT_BEGIN);
        for (int k = 1; k <= 4; k++)
            EXPECT_EQ(q[k].kind, (uint32_t)EDIT_VALUE);
        EXPECT_EQ(q[5].kind, (uint32_t)EDIT_END);
        for (const chainops_test::Edit &e : q)
            EXPECT_EQ(e.id, PARAMS[P_GAIN].id);
        EXPECT_EQ(shm_load(stages[i]->pending), PENDING_FLUSH | PENDING_DIRTY);
    }
}

TEST_F(ChainGain, FullDragTakesTwoStagesFromZeroToThirtyAndShiftAddsThree) {
    make_chain(2);
    chain_drag_start(ops, &drag, 480, 450);
    chain_drag_motion(ops, &drag, 450 - 424, false);
    EXPECT_EQ(val(stages[0], P_GAIN), 30.0);
    EXPECT_EQ(val(stages[1], P_GAIN), 30.0);
    chain_drag_motion(ops, &drag, 450 - 424, true);
    EXPECT_NEAR(val(stages[0], P_GAIN), 3.0, 1e-9);
    EXPECT_NEAR(val(stages[1], P_GAIN), 3.0, 1e-9);
    chain_drag_end(&drag);
}

TEST_F(ChainGain, FrontSpreadDragSharesByPosition) {
    make_chain(3);
    gain->spread = 1;
    chain_drag_start(ops, &drag, 0, 400);
    chain_drag_motion(ops, &drag, 400 - 424.0 / 15.0, false); // total 6 dB: 3, 2, 1
    EXPECT_NEAR(val(stages[0], P_GAIN), 3.0, 1e-9);
    EXPECT_NEAR(val(stages[1], P_GAIN), 2.0, 1e-9);
    EXPECT_NEAR(val(stages[2], P_GAIN), 1.0, 1e-9);
    chain_drag_end(&drag);
}

} // namespace
