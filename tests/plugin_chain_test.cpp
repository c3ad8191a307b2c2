// Chains resolved from real processing: stages of the real Tervik.clap run by the host in
// series on one audio thread, and single-stage buses on threads whose calls overlap.
// The test process resolves chains from the shared segment like any editor would.
#include <unistd.h>

#include <barrier>
#include <thread>

#include "host/chain.h"
#include "params/params.h"
#include "plugin_fixture.h"
#include "registry/chain.h"
#include "registry/registry.h"
#include "registry/testing/registry_testing.h"
#include "tests/util/stepped_clock.h"

namespace {

// Runs n cycles of every chain, each on its own thread, all threads starting each cycle
// together, so that the buses' calls of one block overlap in time.
void run_lockstep(const std::vector<Chain *> &chains, int n, uint32_t frames) {
    std::barrier sync((std::ptrdiff_t)chains.size());
    std::vector<std::thread> threads;
    for (Chain *c : chains)
        threads.emplace_back([&sync, c, n, frames] {
            HostInstance::mark_audio_thread(true);
            for (int i = 0; i < n; i++) {
                sync.arrive_and_wait();
                c->cycle(frames);
            }
            HostInstance::mark_audio_thread(false);
        });
    for (std::thread &t : threads)
        t.join();
}

// Gives an instance a chosen identity through a state blob.
void set_uid(HostInstance &h, uint64_t uid) {
    std::vector<uint8_t> blob;
    ASSERT_TRUE(h.state_save(&blob));
    memcpy(blob.data() + 8, &uid, 8);
    ASSERT_TRUE(h.state_load(blob));
}

void set_group(HostInstance &h, double g) {
    InputEvents ev(2);
    ev.add_param(0, 101, g);
    h.flush(&ev);
}

// Polls until a running chain has made n cycles; false after a generous 20 s.
bool cycles_reach(const Chain &c, uint64_t n) {
    return tk_test::poll_until([&] { return c.cycles() >= n; });
}

} // namespace

class ChainTest : public ClapTest {
  protected:
    void SetUp() override {
        ClapTest::SetUp();
        for (ChainCache *c = registry_caches(); c < registry_caches() + 64; c++)
            c->key = nullptr;
    }
    int query(HostInstance &h, uint32_t group, ChainEntry *out, int max = 64) {
        return registry_chain_for(slot_of(&h), group, out, max);
    }
    // Slots of a query result in listed order.
    std::vector<SharedSlot *> order(HostInstance &own, uint32_t group = 0) {
        ChainEntry e[64];
        int n = query(own, group, e);
        std::vector<SharedSlot *> v;
        for (int i = 0; i < n; i++)
            v.push_back(e[i].slot);
        return v;
    }
};

TEST_F(ChainTest, StagesInSeriesFormOneChainInSignalOrder) {
    Chain c;
    ASSERT_TRUE(c.create(lib, 3));
    ASSERT_TRUE(c.activate(48000, 1, 512));
    ASSERT_TRUE(c.run_blocks(40, 512));
    std::vector<SharedSlot *> want = {slot_of(&c.stage(0)), slot_of(&c.stage(1)), slot_of(&c.stage(2))};
    for (int k = 0; k < 3; k++) {
        ChainEntry e[64];
        ASSERT_EQ(query(c.stage((size_t)k), 0, e), 3);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(e[i].slot, want[(size_t)i]);
            EXPECT_EQ(e[i].pos, (uint32_t)i + 1);
            EXPECT_EQ(e[i].manual, 0);
            EXPECT_EQ(e[i].recent, 1);
        }
    }
    // Every stage also carries the same serial tag, and the plug-in's own view agrees.
    uint32_t tag = shm_load(want[0]->calls.serial);
    EXPECT_NE(tag, 0u);
    for (SharedSlot *s : want)
        EXPECT_EQ(shm_load(s->calls.serial), tag);
    for (int k = 0; k < 3; k++) {
        uint32_t size = 0, pos = 0;
        ASSERT_TRUE(c.stage((size_t)k).debug_chain(&size, &pos));
        EXPECT_EQ(size, 3u);
        EXPECT_EQ(pos, (uint32_t)k + 1);
    }
    // max smaller than the chain: the first members in slot order, sorted by position.
    ChainEntry two[2];
    EXPECT_EQ(query(c.stage(0), 0, two, 2), 2);
    // Without an own slot: the largest cluster.
    ChainEntry any[64];
    EXPECT_EQ(registry_chain(0, any, 64), 3);
    EXPECT_EQ(registry_chain(1, any, 64), 0);
    EXPECT_EQ(registry_chain(16, any, 64), 0);
}

TEST_F(ChainTest, OverlappingBusesFormSeparateChains) {
    // Group B: two single-stage buses whose calls overlap; group A: a chain of two in series,
    // processed at the same time on a third thread.
    Chain a, b1, b2;
    ASSERT_TRUE(a.create(lib, 2));
    ASSERT_TRUE(b1.create(lib, 1));
    ASSERT_TRUE(b2.create(lib, 1));
    set_group(b1.stage(0), 1);
    set_group(b2.stage(0), 1);
    for (Chain *c : {&a, &b1, &b2})
        ASSERT_TRUE(c->activate(48000, 1, 4096));
    run_lockstep({&a, &b1, &b2}, 40, 4096);
    ChainEntry e[64];
    EXPECT_EQ(query(b1.stage(0), 1, e), 1);
    EXPECT_EQ(e[0].slot, slot_of(&b1.stage(0)));
    EXPECT_EQ(query(b2.stage(0), 1, e), 1);
    EXPECT_EQ(e[0].slot, slot_of(&b2.stage(0)));
    EXPECT_EQ(query(a.stage(1), 0, e), 2);
    EXPECT_EQ(e[0].slot, slot_of(&a.stage(0)));
    EXPECT_EQ(e[1].slot, slot_of(&a.stage(1)));
    uint32_t size = 0, pos = 0;
    ASSERT_TRUE(b2.stage(0).debug_chain(&size, &pos));
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(pos, 1u);
}

TEST_F(ChainTest, SwappedStagesShowTheNewOrderAfterThreeQueriesOver150ms) {
    Chain c;
    ASSERT_TRUE(c.create(lib, 3));
    ASSERT_TRUE(c.activate(48000, 1, 512));
    ASSERT_TRUE(c.start(512, true));
    ASSERT_TRUE(cycles_reach(c, CALL_RING)); // a full ring of calls in this order
    SharedSlot *s0 = slot_of(&c.stage(0)), *s1 = slot_of(&c.stage(1)), *s2 = slot_of(&c.stage(2));
    std::vector<SharedSlot *> before = {s0, s1, s2}, after = {s1, s0, s2};
    EXPECT_EQ(order(c.stage(2)), before);
    ASSERT_TRUE(c.swap_positions(0, 1));
    ASSERT_TRUE(cycles_reach(c, c.cycles() + CALL_RING + 2)); // the call records now hold only the new order
    // The accepted order stays until the new one has been seen in three consecutive
    // queries spanning at least 150 ms.
    uint64_t first = host_now_ns(), shown_at = 0;
    int old_queries = 0;
    for (int i = 0; i < 20 && !shown_at; i++) {
        std::vector<SharedSlot *> o = order(c.stage(2));
        if (o == after)
            shown_at = host_now_ns();
        else {
            EXPECT_EQ(o, before) << i;
            old_queries++;
        }
        usleep(40000);
    }
    c.stop();
    ASSERT_NE(shown_at, 0u);
    EXPECT_GE(old_queries, 3);
    EXPECT_GE(shown_at - first, 150000000ull);
}

TEST_F(ChainTest, StoppedTransportKeepsChainAndOrderAndPrunesDepartedStages) {
    tk_test::SteppedClock clock; // the queries' clock; the plug-in keeps its own
    Chain c;
    ASSERT_TRUE(c.create(lib, 3));
    // The chain's memory is keyed by its smallest identity, which must stay in the chain.
    set_uid(c.stage(0), 1);
    set_uid(c.stage(1), 3);
    set_uid(c.stage(2), 2);
    ASSERT_TRUE(c.activate(48000, 1, 512));
    ASSERT_TRUE(c.run_blocks(40, 512));
    SharedSlot *s0 = slot_of(&c.stage(0)), *s1 = slot_of(&c.stage(1)), *s2 = slot_of(&c.stage(2));
    std::vector<SharedSlot *> all = {s0, s1, s2};
    EXPECT_EQ(order(c.stage(0)), all);
    clock.step_ms(600); // nothing processed for more than 500 ms: nobody is recent
    ChainEntry e[64];
    ASSERT_EQ(query(c.stage(0), 0, e), 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(e[i].slot, all[(size_t)i]);
        EXPECT_EQ(e[i].recent, 0);
    }
    // The middle stage moves to another group: it leaves this chain; after three idle
    // queries spanning 150 ms it is pruned, and the others keep their order and positions.
    set_group(c.stage(1), 2);
    for (int i = 0; i < 4; i++) {
        query(c.stage(0), 0, e);
        clock.step_ms(60);
    }
    ASSERT_EQ(query(c.stage(0), 0, e), 2);
    EXPECT_EQ(e[0].slot, s0);
    EXPECT_EQ(e[0].pos, 1u);
    EXPECT_EQ(e[1].slot, s2);
    EXPECT_EQ(e[1].pos, 2u);
}

TEST_F(ChainTest, ManualPositionIsListedBeforeAnAutomaticStageAtThatPosition) {
    Chain c;
    ASSERT_TRUE(c.create(lib, 3));
    ASSERT_TRUE(c.activate(48000, 1, 512));
    InputEvents ev(2);
    ev.add_param(0, 100, 2); // the third stage asks for position 2
    c.stage(2).flush(&ev);
    ASSERT_TRUE(c.run_blocks(40, 512));
    ChainEntry e[64];
    ASSERT_EQ(query(c.stage(0), 0, e), 3);
    EXPECT_EQ(e[0].slot, slot_of(&c.stage(0)));
    EXPECT_EQ(e[0].pos, 1u);
    EXPECT_EQ(e[1].slot, slot_of(&c.stage(2)));
    EXPECT_EQ(e[1].pos, 2u);
    EXPECT_EQ(e[1].manual, 1);
    EXPECT_EQ(e[2].slot, slot_of(&c.stage(1)));
    EXPECT_EQ(e[2].pos, 2u);
    EXPECT_EQ(e[2].manual, 0);
}

TEST_F(ChainTest, RemovingAnInstanceForgetsLearnedOrders) {
    Chain c;
    ASSERT_TRUE(c.create(lib, 2));
    ASSERT_TRUE(c.activate(48000, 1, 512));
    ASSERT_TRUE(c.run_blocks(40, 512));
    // The plug-in's own registry learned the order; destroying another instance of its
    // process empties its caches, and the next query accepts the observation at once.
    uint32_t size = 0, pos = 0;
    ASSERT_TRUE(c.stage(1).debug_chain(&size, &pos));
    EXPECT_EQ(pos, 2u);
    HostInstance *extra = make();
    extra->destroy();
    ASSERT_TRUE(c.run_blocks(2, 512));
    ASSERT_TRUE(c.stage(1).debug_chain(&size, &pos));
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(pos, 2u);
}
