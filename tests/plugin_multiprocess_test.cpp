// Stages in real host processes (tervik-host script children) seen and edited from this
// process through the shared segment: the edit queue across processes, a full queue, and
// chains resolved across processes.
#include <unistd.h>

#include <sstream>

#include "plugin/edits.h"
#include "registry/chain.h"
#include "registry/registry.h"
#include "plugin_fixture.h"
#include "tests/util/script_slot.h"

namespace {

using tk_test::ScriptHost;
using Ev = ScriptHost::Event;

std::vector<Ev> parse_events(const std::vector<std::string> &lines) { return ScriptHost::parse_events(lines); }

SharedSlot *slot_of(ScriptHost &h, int stage) { return tk_test::script_slot(h, stage); }

} // namespace

class MultiProcessTest : public ::testing::Test {
protected:
    void SetUp() override { shared_test_reset(); }
    void TearDown() override { shared_test_reset(); }
    tk_test::ScopedSegment seg;
};

TEST_F(MultiProcessTest, EditsFromAnotherProcessReachTheOwnersHostAsGestures) {
    ScriptHost owner;
    ASSERT_TRUE(owner.start());
    ASSERT_TRUE(owner.cmd("create 1"));
    ASSERT_TRUE(owner.cmd("activate 48000 512"));
    ASSERT_TRUE(owner.cmd("process 2 512"));
    ASSERT_TRUE(owner.cmd("calls"));
    SharedSlot *s = slot_of(owner, 1);
    ASSERT_NE(s, nullptr);
    // The editor side, in this process: begin, two values, end on the foreign stage.
    plugin_edit_begin(s, 2);
    plugin_edit_value(s, 2, -3.0);
    plugin_edit_value(s, 2, -4.5);
    plugin_edit_end(s, 2);
    EXPECT_EQ(shm_load(s->values[2]), -4.5);
    EXPECT_EQ(shm_load(s->pending), 3u);
    std::vector<std::string> lines;
    ASSERT_TRUE(owner.cmd("value 1 Ceiling", &lines));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("-4.5"), std::string::npos) << lines[0]; // live before any echo
    ASSERT_TRUE(owner.cmd("process 1 512"));
    lines.clear();
    ASSERT_TRUE(owner.cmd("events", &lines));
    std::vector<Ev> ev = parse_events(lines);
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0].type, 7);
    EXPECT_EQ(ev[1].type, 5);
    EXPECT_EQ(ev[1].value, -3.0);
    EXPECT_EQ(ev[2].value, -4.5);
    EXPECT_EQ(ev[3].type, 8);
    for (const Ev &e : ev) EXPECT_EQ(e.id, 3u);
    // The process call asked for the main thread; there the owner marks its state dirty
    // and then asks for a flush.
    ASSERT_TRUE(owner.cmd("idle"));
    lines.clear();
    ASSERT_TRUE(owner.cmd("calls", &lines));
    int cb = -1, dirty = -1, flush = -1;
    for (int i = 0; i < (int)lines.size(); i++) {
        if (cb < 0 && lines[i].find("request_callback") != std::string::npos) cb = i;
        if (dirty < 0 && lines[i].find("mark_dirty") != std::string::npos) dirty = i;
        if (flush < 0 && lines[i].find("request_flush") != std::string::npos) flush = i;
    }
    EXPECT_GE(cb, 0);
    EXPECT_GT(dirty, cb);
    EXPECT_GT(flush, dirty);
    EXPECT_EQ(shm_load(s->pending), 0u);
}

TEST_F(MultiProcessTest, ThreeHundredPostsWithoutADrainDeliverTheFirstInOrderThenTheLast) {
    ScriptHost owner;
    ASSERT_TRUE(owner.start());
    ASSERT_TRUE(owner.cmd("create 1"));
    ASSERT_TRUE(owner.cmd("activate 48000 512"));
    SharedSlot *s = slot_of(owner, 1);
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < 300; i++) plugin_edit_value(s, 3, 5 + i);
    EXPECT_EQ(shm_load(s->values[3]), 304.0);
    ASSERT_TRUE(owner.cmd("process 1 512"));
    std::vector<std::string> lines;
    ASSERT_TRUE(owner.cmd("events", &lines));
    std::vector<Ev> ev = parse_events(lines);
    // The queue keeps room for gesture ends; what did not fit reaches the host as the
    // stage's value once the queue is drained.
    const size_t kept = EDIT_QUEUE_LEN - EDIT_END_ROOM;
    ASSERT_EQ(ev.size(), kept + 1);
    for (size_t i = 0; i < kept; i++) EXPECT_EQ(ev[i].value, 5.0 + (double)i);
    EXPECT_EQ(ev[kept].value, 304.0);
}

TEST_F(MultiProcessTest, ChainsAreResolvedAcrossProcesses) {
    // Process A runs two stages in series; process B one stage whose calls overlap A's in
    // time, on a sample clock of its own.
    ScriptHost a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(a.cmd("create 2"));
    ASSERT_TRUE(b.cmd("create 1"));
    ASSERT_TRUE(a.cmd("activate 48000 512"));
    ASSERT_TRUE(b.cmd("activate 48000 512"));
    ASSERT_TRUE(b.cmd("steady 777"));
    SharedSlot *a1 = slot_of(a, 1), *a2 = slot_of(a, 2), *b1 = slot_of(b, 1);
    ASSERT_TRUE(a1 && a2 && b1);
    ASSERT_TRUE(a.cmd("run start fast 512"));
    ASSERT_TRUE(b.cmd("run start fast 512"));
    usleep(400000);
    ChainEntry e[64];
    for (ChainCache *c = registry_caches(); c < registry_caches() + 64; c++) c->key = nullptr;
    int n = registry_chain_for(a2, 0, e, 64);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(e[0].slot, a1);
    EXPECT_EQ(e[0].pos, 1u);
    EXPECT_EQ(e[1].slot, a2);
    EXPECT_EQ(e[1].pos, 2u);
    n = registry_chain_for(b1, 0, e, 64);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(e[0].slot, b1);
    // The stages' own processes agree.
    std::vector<std::string> lines;
    ASSERT_TRUE(a.cmd("slot 2", &lines));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "slot 2 chain 2 2");
    ASSERT_TRUE(a.cmd("run stop"));
    ASSERT_TRUE(b.cmd("run stop"));
}

TEST_F(MultiProcessTest, KilledHostLeavesADeadStageThatIsNoLongerListed) {
    ScriptHost a;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(a.cmd("create 1"));
    ASSERT_TRUE(a.cmd("activate 48000 512"));
    ASSERT_TRUE(a.cmd("process 30 512"));
    SharedSlot *s = slot_of(a, 1);
    ASSERT_NE(s, nullptr);
    ChainEntry e[64];
    EXPECT_EQ(registry_chain_for(nullptr, 0, e, 64), 1);
    uint32_t counts[16];
    registry_group_usage(counts);
    EXPECT_EQ(counts[0], 1u);
    a.child.kill_hard();
    usleep(1100000); // past the liveness cache
    EXPECT_EQ(shm_load(s->in_use), 1u); // still claimed
    EXPECT_FALSE(shared_alive(s));
    EXPECT_EQ(registry_chain_for(nullptr, 0, e, 64), 0);
    registry_group_usage(counts);
    EXPECT_EQ(counts[0], 0u);
}
