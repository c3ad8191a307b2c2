// Undo, redo and A/B compare over a chain of real slots: coalescing, stack limits, stages
// that left, the 16-stage record limit, and what an A/B recall restores.
#include <sys/wait.h>
#include <unistd.h>

#include "chainops/history.h"
#include "registry/registry.h"
#include "registry/testing/registry_testing.h"
#include "tests/chainops_fixture.h"
#include "tests/util/stepped_clock.h"

using chainops_test::ChainFixture;

namespace {

class UndoHistory : public ChainFixture {
  protected:
    // Pretend the last mark was made this many seconds earlier (instead of sleeping).
    void age_last_mark(double seconds) { history->undo_time -= seconds; }
    tk_test::SteppedClock clock;
};

TEST_F(UndoHistory, SameTagEditsCoalesceUntilAPause) {
    make_chain(2);
    for (int i = 1; i <= 50; i++)
        set_param_all(ops, 0, P_GAIN, i * 0.5); // one knob turn
    EXPECT_EQ(history->undo_n, 1);
    clock.step_ms(600); // a pause of 0.6 s
    set_param_all(ops, 0, P_GAIN, 27.0);
    EXPECT_EQ(history->undo_n, 2);
    // Held for longer than 0.5 s in total, but never paused: still one step.
    for (int i = 0; i < 6; i++) {
        age_last_mark(0.3);
        set_param_all(ops, 0, P_GAIN, 20.0 + i);
    }
    EXPECT_EQ(history->undo_n, 2);
    undo_do(ops);
    EXPECT_EQ(val(stages[0], P_GAIN), 25.0);
    undo_do(ops);
    EXPECT_EQ(val(stages[0], P_GAIN), 0.0);
}

TEST_F(UndoHistory, DifferentTagsOrStagesMakeSeparateSteps) {
    make_chain(2);
    set_param_all(ops, 0, P_GAIN, 3.0);
    set_param_all(ops, 0, P_CEILING, -1.0);
    EXPECT_EQ(history->undo_n, 2);
    set_param_all(ops, 1, P_CEILING, -2.0);
    EXPECT_EQ(history->undo_n, 3);
    EXPECT_EQ(undo_mark(ops, 0), 2); // tag 0 always starts a step; returns stages recorded
    EXPECT_EQ(undo_mark(ops, 0), 2);
    EXPECT_EQ(history->undo_n, 5);
    EXPECT_EQ(undo_mark(ops, undo_tag_wheel(0, 1)), 2);
    EXPECT_EQ(undo_mark(ops, undo_tag_wheel(0, 1)), 6); // coalesced: steps held
    EXPECT_EQ(undo_tag_param(2, 3), 0x10001u + 0x200u + 3u);
}

TEST_F(UndoHistory, SetParamAllTargetsOneStageTheOwnerOrTheWholeChain) {
    make_chain(3);
    set_param_all(ops, 2, P_MIX, 50.0);
    expect_edits(stages[2], {{P_MIX, 50.0}});
    expect_no_edits(stages[0]);
    set_param_all(ops, 7, P_MIX, 40.0); // no such chain entry: the owner's own stage
    expect_edits(stages[0], {{P_MIX, 40.0}});
    expect_no_edits(stages[2]);
    set_param_all(ops, -1, P_STYLE, 2.6); // a negative stage reaches every stage
    for (int i = 0; i < 3; i++)
        expect_edits(stages[i], {{P_STYLE, 3.0}});
    view->chain_mode = 1;
    set_param_all(ops, 1, P_LINK, 10.0);
    for (int i = 0; i < 3; i++)
        expect_edits(stages[i], {{P_LINK, 10.0}});
    set_param_all(ops, 0, 17, 1.0); // no such parameter
    set_param_all(ops, 0, -1, 1.0);
    for (int i = 0; i < 3; i++)
        expect_no_edits(stages[i]);
    EXPECT_EQ(history->undo_n, 4);
}

TEST_F(UndoHistory, SixtyFifthMarkDropsTheOldestAndSixtyFourUndosRemain) {
    make_chain(1);
    for (int i = 0; i < 65; i++) {
        set(stages[0], P_RELEASE, 10.0 + i); // the value each mark records
        EXPECT_EQ(undo_mark(ops, 0), 1);
    }
    set(stages[0], P_RELEASE, 500.0);
    EXPECT_EQ(history->undo_n, UNDO_DEPTH);
    for (int i = 64; i >= 1; i--) {
        undo_do(ops);
        EXPECT_EQ(val(stages[0], P_RELEASE), 10.0 + i);
    }
    EXPECT_EQ(history->undo_n, 0);
    EXPECT_EQ(history->redo_n, UNDO_DEPTH);
    drain_all();
    undo_do(ops); // nothing left
    EXPECT_EQ(val(stages[0], P_RELEASE), 11.0);
    EXPECT_EQ(history->redo_n, UNDO_DEPTH);
    expect_no_edits(stages[0]);
    for (int i = 0; i < 64; i++)
        redo_do(ops);
    EXPECT_EQ(val(stages[0], P_RELEASE), 500.0);
    EXPECT_EQ(history->undo_n, UNDO_DEPTH);
}

TEST_F(UndoHistory, UndoWritesOnlyWhatDiffersAndANewEditClearsRedo) {
    make_chain(2);
    set_param_all(ops, 1, P_GAIN, 6.0);
    drain_all();
    undo_do(ops);
    EXPECT_EQ(val(stages[1], P_GAIN), 0.0);
    expect_edits(stages[1], {{P_GAIN, 0.0}});
    expect_no_edits(stages[0]);
    EXPECT_EQ(history->redo_n, 1);
    EXPECT_EQ(history->undo_tag, 0u);
    // The refresh after each step shows the registry's chain, in which these stages (that
    // never processed) are not in series: show both again, as a live chain would stay.
    make_chain(2);
    redo_do(ops);
    EXPECT_EQ(val(stages[1], P_GAIN), 6.0);
    make_chain(2);
    undo_do(ops);
    EXPECT_EQ(history->redo_n, 1);
    make_chain(2);
    set_param_all(ops, 0, P_INPUT, 1.0);
    EXPECT_EQ(history->redo_n, 0);
    drain_all();
    redo_do(ops); // nothing to redo
    EXPECT_EQ(val(stages[1], P_GAIN), 0.0);
    expect_no_edits(stages[1]);
}

TEST_F(UndoHistory, StagesThatLeftAreSkipped) {
    make_chain(3);
    set_param_all(ops, -1, P_GAIN, 5.0);
    set_param_all(ops, -1, P_GAIN, 9.0); // same tag: coalesced into the first step
    ASSERT_EQ(history->undo_n, 1);
    SharedSlot *gone = stages[1], *reused = stages[2];
    // Stage 2's instance is deleted; stage 3's slot is released and claimed by a new stage.
    shared_release(gone);
    shared_release(reused);
    stages.erase(stages.begin() + 1, stages.end());
    SharedSlot *s2 = add_stage(), *s3 = add_stage();
    ASSERT_TRUE((s2 == gone && s3 == reused) || (s2 == reused && s3 == gone)); // first free slots
    shared_release(s3);                                                        // one stays released
    stages.pop_back();
    set(s2, P_GAIN, 9.0);
    drain_all();
    undo_do(ops);
    EXPECT_EQ(val(stages[0], P_GAIN), 0.0);
    EXPECT_EQ(val(s2, P_GAIN), 9.0); // another stage now: left alone
    expect_no_edits(s2);
    expect_no_edits(s3 == gone ? gone : reused); // the released one
}

TEST_F(UndoHistory, ChainOfTwentyRecordsOnlyItsFirstSixteen) {
    make_chain(20);
    EXPECT_EQ(undo_mark(ops, 0), 16);
    ops->preset_applying = 1; // no marks of its own
    set_param_all(ops, -1, P_CEILING, -4.0);
    ops->preset_applying = 0;
    EXPECT_EQ(history->undo_n, 1);
    undo_do(ops);
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(val(stages[i], P_CEILING), i < 16 ? -0.3 : -4.0) << i;
}

TEST_F(UndoHistory, UndoRestoresTheGroupAndTheEditorFollowsIt) {
    make_chain(1);
    view->group = view->group_seen = 0;
    set_param_all(ops, 0, P_GROUP, 3.0);
    view->group = view->group_seen = 3; // the editor followed the owner to D
    undo_do(ops);
    EXPECT_EQ(val(stages[0], P_GROUP), 0.0);
    EXPECT_EQ(view->group, 0);
    EXPECT_EQ(view->group_seen, 0);
    ASSERT_EQ(view->chain_len, 1); // rebuilt for group A: the owner's own chain
    EXPECT_EQ(view->chain[0].slot, view->own_slot);
    // Viewing another group without moving: the shown group stays.
    view->group = 5;
    set_param_all(ops, 0, P_GAIN, 1.0);
    undo_do(ops);
    EXPECT_EQ(view->group, 5);
    EXPECT_EQ(view->chain_len, 0);
}

TEST_F(UndoHistory, UndoWithAnEmptyChainRestoresTheOwnersStage) {
    view->chain_len = 0; // a group without stages is shown; edits go to the owner's stage
    set_param_all(ops, 0, P_GAIN, 12.0);
    EXPECT_EQ(val(view->own_slot, P_GAIN), 12.0);
    undo_do(ops);
    EXPECT_EQ(val(view->own_slot, P_GAIN), 0.0);
}

TEST_F(UndoHistory, FirstABSwitchChangesNothingAndSwitchingBackRestoresA) {
    make_chain(2);
    set(stages[0], P_GAIN, 4.0);
    set(stages[1], P_RELEASE, 300.0);
    drain_all();
    ab_switch(ops); // to B, a copy of A
    EXPECT_EQ(history->ab_cur, 1);
    EXPECT_EQ(history->undo_n, 1);
    expect_no_edits(stages[0]);
    expect_no_edits(stages[1]);
    EXPECT_EQ(val(stages[0], P_GAIN), 4.0);
    // Change B, including the rows an A/B recall leaves alone.
    for (SharedSlot *s : {stages[0], stages[1]}) {
        set(s, P_GAIN, 10.0);
        set(s, P_STYLE, 5.0);
        set(s, P_STAGE, 2.0);
        set(s, P_GROUP, 0.0);
        set(s, P_BYPASS, 1.0);
        set(s, P_DELTA, 1.0);
        set(s, P_UNITY, 1.0);
    }
    ab_switch(ops); // back to A
    EXPECT_EQ(history->ab_cur, 0);
    EXPECT_EQ(val(stages[0], P_GAIN), 4.0);
    EXPECT_EQ(val(stages[1], P_GAIN), 0.0);
    EXPECT_EQ(val(stages[1], P_RELEASE), 300.0);
    for (SharedSlot *s : {stages[0], stages[1]}) {
        EXPECT_EQ(val(s, P_STYLE), 0.0);
        EXPECT_EQ(val(s, P_STAGE), 2.0);
        EXPECT_EQ(val(s, P_BYPASS), 1.0);
        EXPECT_EQ(val(s, P_DELTA), 1.0);
        EXPECT_EQ(val(s, P_UNITY), 1.0);
    }
    expect_edits(stages[0], {{P_GAIN, 4.0}, {P_STYLE, 0.0}});
    expect_edits(stages[1], {{P_GAIN, 0.0}, {P_STYLE, 0.0}});
    ab_switch(ops); // B again
    EXPECT_EQ(val(stages[0], P_GAIN), 10.0);
    EXPECT_EQ(val(stages[1], P_STYLE), 5.0);
    EXPECT_EQ(history->undo_n, 3);
    // A stage no longer shown is not recalled.
    show({stages[0]});
    set(stages[1], P_GAIN, 1.0);
    ab_switch(ops);
    EXPECT_EQ(val(stages[0], P_GAIN), 4.0);
    EXPECT_EQ(val(stages[1], P_GAIN), 1.0);
}

TEST_F(UndoHistory, ABCopyMakesBothSidesTheCurrentOne) {
    make_chain(2);
    set(stages[1], P_CEILING, -6.0);
    ab_copy(ops);
    EXPECT_EQ(history->undo_n, 0);
    EXPECT_EQ(history->ab_cur, 0);
    EXPECT_TRUE(history->ab[0].filled && history->ab[1].filled);
    EXPECT_EQ(history->ab[1].count, 2);
    set(stages[1], P_CEILING, -1.0);
    ab_switch(ops); // B holds the copy made before the last change
    EXPECT_EQ(val(stages[1], P_CEILING), -6.0);
    ab_switch(ops);
    EXPECT_EQ(val(stages[1], P_CEILING), -1.0);
}

} // namespace

namespace {

// Index of a slot in the segment's scan order.
int slot_index(SharedSlot *s) {
    for (int i = 0; i < shared_max(); i++)
        if (shared_at(i) == s) return i;
    return -1;
}

TEST_F(UndoHistory, EditorInAnotherProcessEditsAndUndoesThisProcesssStages) {
    make_chain(2);
    int i0 = slot_index(stages[0]), i1 = slot_index(stages[1]);
    ASSERT_GE(i0, 0);
    ASSERT_GE(i1, 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child maps the segment afresh and runs an editor whose own stage is new.
        shared_test_reset();
        ChainView *v = (ChainView *)calloc(1, sizeof(ChainView));
        ChainHistory *h = (ChainHistory *)calloc(1, sizeof(ChainHistory));
        ChainOps u{v, h, nullptr, nullptr, nullptr, 0};
        v->own_slot = shared_acquire();
        v->focus = -1;
        v->chain_len = 2;
        SharedSlot *a = shared_at(i0), *b = shared_at(i1);
        v->chain[0].slot = a;
        v->chain[1].slot = b;
        bool ok = v->own_slot && a && b;
        v->chain_mode = 1;
        set_param_all(&u, 0, P_CEILING, -3.0);
        ok = ok && shm_load(b->values[P_CEILING]) == -3.0;
        undo_do(&u);
        ok = ok && shm_load(b->values[P_CEILING]) == -0.3;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(val(stages[i], P_CEILING), -0.3);
        expect_edits(stages[i], {{P_CEILING, -3.0}, {P_CEILING, -0.3}});
    }
}

} // namespace
