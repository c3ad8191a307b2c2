// Chain-wide editor operations on stages owned by a real host in another process (a
// tervik-host script child): every change reaches that host as gesture begin, value, end.
#include <sstream>

#include "chainops/chain_gain.h"
#include "chainops/factory.h"
#include "chainops/history.h"
#include "chainops_fixture.h"
#include "tests/util/script_slot.h"

namespace {

using ScriptOwner = tk_test::ScriptHost;

// Checks that each stage got, per parameter, begin, value(s), end in order.
void expect_gestures(const std::vector<ScriptOwner::Event> &ev, int stages, size_t per_stage_min) {
    for (int st = 1; st <= stages; st++) {
        std::vector<ScriptOwner::Event> mine;
        for (const auto &e : ev)
            if (e.stage == st) mine.push_back(e);
        EXPECT_GE(mine.size(), per_stage_min) << "stage " << st;
        uint32_t open = 0;
        for (const auto &e : mine) {
            if (e.type == 7) {
                EXPECT_EQ(open, 0u) << "nested gesture on stage " << st;
                open = e.id;
            } else if (e.type == 5) {
                EXPECT_EQ(e.id, open) << "value outside its gesture on stage " << st;
            } else if (e.type == 8) {
                EXPECT_EQ(e.id, open);
                open = 0;
            }
        }
        EXPECT_EQ(open, 0u);
    }
}

} // namespace

class OwnerHostTest : public chainops_test::ChainFixture {
  protected:
    void SetUp() override {
        ChainFixture::SetUp();
        ASSERT_TRUE(host.start());
        ASSERT_TRUE(host.cmd("create 3"));
        ASSERT_TRUE(host.cmd("activate 48000 256"));
        std::vector<SharedSlot *> c;
        for (int i = 1; i <= 3; i++)
            c.push_back(tk_test::script_slot(host, i));
        for (SharedSlot *s : c)
            ASSERT_NE(s, nullptr);
        // The editor belongs to the first stage; enough blocks in series for the chain to
        // resolve to all three when an undo step refreshes it.
        view->own_slot = c[0];
        ASSERT_TRUE(host.cmd("process 40 256"));
        show(c);
        host.events_after_block();
    }
    ScriptOwner host;
};

TEST_F(OwnerHostTest, ChainPresetArrivesAsGesturesOnEveryStage) {
    preset_apply(ops, 8); // transparent > punchy > final
    std::vector<ScriptOwner::Event> ev = host.events_after_block();
    expect_gestures(ev, 3, 30);
    // The values are those the host now reports, e.g. stage 2's Release of 40 ms.
    bool seen = false;
    for (const auto &e : ev)
        if (e.stage == 2 && e.type == 5 && e.id == 4) seen = e.value == 40.0;
    EXPECT_TRUE(seen);
}

TEST_F(OwnerHostTest, UndoRedoAndABArriveAsGestures) {
    set_param_all(ops, 1, P_GAIN, 6.0);
    std::vector<ScriptOwner::Event> ev = host.events_after_block();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].stage, 2);
    undo_do(ops);
    ev = host.events_after_block();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[1].value, 0.0);
    redo_do(ops);
    ev = host.events_after_block();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[1].value, 6.0);
    ab_switch(ops); // B starts as a copy of A: nothing changes
    EXPECT_TRUE(host.events_after_block().empty());
    set_param_all(ops, 0, P_CEILING, -2.0);
    host.events_after_block();
    ab_switch(ops); // back to A
    ev = host.events_after_block();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].stage, 1);
    EXPECT_EQ(ev[1].id, 3u);
    EXPECT_EQ(ev[1].value, -0.3);
}

TEST_F(OwnerHostTest, ChainTotalDragArrivesAsOneGesturePerStage) {
    view->chain_mode = 1;
    chain_drag_start(ops, &drag, 36, 300);
    chain_drag_motion(ops, &drag, 300 - 424.0 / 3, false);
    chain_drag_motion(ops, &drag, 300 - 424.0 / 6, false);
    chain_drag_end(&drag);
    std::vector<ScriptOwner::Event> ev = host.events_after_block();
    expect_gestures(ev, 3, 4);
    for (const auto &e : ev)
        EXPECT_EQ(e.id, 2u);
}
