// Chain queries on real slots of a real segment: stages whose call rings are filled the way
// the pipeline fills them, in series on one bus or overlapping on parallel buses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "registry/chain.h"
#include "registry/registry.h"
#include "registry/shared.h"
#include "registry/testing/registry_testing.h"
#include "sys/sys.h"
#include "tests/util/stepped_clock.h"
#include "tests/util/testutil.h"

namespace {

constexpr uint64_t US = 1000;
constexpr uint64_t MS = 1000000;
constexpr uint64_t PERIOD = 40 * MS; // one processing cycle (stages stay running for 160 ms)
constexpr uint64_t CALL = MS;        // one stage's process call
constexpr uint64_t STEP = 1500 * US; // from one stage's start to the next one's in a bus

// Records one process call into a slot as the pipeline does: start stamps, then the end
// time, then the record count.
void record_call(SharedSlot *s, uint64_t start, uint64_t end, int64_t steady) {
    uint32_t n = shm_load(s->calls.ring_count);
    shm_store(s->calls.proc_prev_time, shm_load(s->calls.proc_time));
    shm_store(s->calls.proc_time, start);
    shm_store(s->calls.ring_start[n & 63], start);
    shm_store(s->calls.ring_steady[n & 63], steady);
    shm_store(s->calls.steady_prev, shm_load(s->calls.steady));
    shm_store(s->calls.steady, steady);
    shm_store(s->calls.ring_end[n & 63], end);
    shm_store(s->calls.ring_count, n + 1);
}

// One bus: its stages run one after another in `order` in every cycle, starting at
// `offset` into the cycle (at `odd_offset` in odd cycles when set: a bus on another
// audio thread that sometimes runs before and sometimes after the others).
constexpr int64_t NO_OFFSET = INT64_MIN;
struct Bus {
    std::vector<SharedSlot *> order;
    int64_t offset = 0;
    int64_t odd_offset = NO_OFFSET;
    bool steady = true;     // the host gives sample positions
    int64_t clock_skew = 0; // added per stage index to its steady time (separate clocks)
    uint64_t step = STEP;
};

// The host: processes every bus once per cycle at one shared sample position; the last
// cycle written starts one period before `now` (so every stage is recent and running).
// Each run is placed before its own `now`; the sample position always moves on.
struct Host {
    int64_t steady = 0;
    void run(std::vector<Bus *> buses, int cycles, uint64_t now = 0) {
        if (!now) now = sys_time_ns();
        for (int c = 0; c < cycles; c++) {
            uint64_t base = now - (uint64_t)(cycles - c) * PERIOD;
            bool odd = (steady / 480) % 2 != 0;
            for (Bus *b : buses) {
                int64_t off = (odd && b->odd_offset != NO_OFFSET) ? b->odd_offset : b->offset;
                for (size_t k = 0; k < b->order.size(); k++) {
                    uint64_t start = base + (uint64_t)off + k * b->step;
                    int64_t st = b->steady ? steady + (int64_t)k * b->clock_skew : -1;
                    record_call(b->order[k], start, start + CALL, st);
                }
            }
            steady += 480;
        }
    }
    void run(Bus &b, int cycles) { run(std::vector<Bus *>{&b}, cycles); }
};

// Moves all of a slot's times into the past, as if its transport had stopped `ns` ago.
void age(SharedSlot *s, uint64_t ns) {
    shm_store(s->calls.proc_time, shm_load(s->calls.proc_time) - ns);
    shm_store(s->calls.proc_prev_time, shm_load(s->calls.proc_prev_time) - ns);
    for (uint32_t i = 0; i < CALL_RING; i++) {
        shm_store(s->calls.ring_start[i], shm_load(s->calls.ring_start[i]) - ns);
        shm_store(s->calls.ring_end[i], shm_load(s->calls.ring_end[i]) - ns);
    }
}

class ChainQuery : public ::testing::Test {
  protected:
    void SetUp() override {
        shared_test_reset();
        ASSERT_TRUE(shared_mapped());
        registry_lock();
        for (int i = 0; i < 64; i++)
            registry_caches()[i].key = nullptr;
        registry_unlock();
    }
    void TearDown() override {
        for (SharedSlot *s : slots_)
            shared_release(s);
        shared_test_reset();
    }

    SharedSlot *stage(uint64_t uid, double group = 0, double stage_pos = 0) {
        SharedSlot *s = shared_acquire();
        EXPECT_NE(s, nullptr);
        shm_store(s->ident.uid, uid);
        shm_store(s->values[4], stage_pos);
        shm_store(s->values[5], group);
        slots_.push_back(s);
        return s;
    }
    void drop(SharedSlot *s) {
        shared_release(s);
        slots_.erase(std::find(slots_.begin(), slots_.end(), s));
    }
    std::vector<ChainEntry> query(SharedSlot *own, uint32_t group = 0, int max = 64) {
        ChainEntry out[64];
        memset(out, 0xAB, sizeof out);
        int n = registry_chain_for(own, group, out, max);
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 64);
        return std::vector<ChainEntry>(out, out + (n > 0 ? n : 0));
    }
    // The slots of a result, in result order.
    static std::vector<SharedSlot *> order(const std::vector<ChainEntry> &r) {
        std::vector<SharedSlot *> v;
        for (const ChainEntry &e : r)
            v.push_back(e.slot);
        return v;
    }
    static std::vector<uint32_t> positions(const std::vector<ChainEntry> &r) {
        std::vector<uint32_t> v;
        for (const ChainEntry &e : r)
            v.push_back(e.pos);
        return v;
    }

    tk_test::ScopedSegment seg_;
    std::vector<SharedSlot *> slots_;
    Host host_;
    tk_test::SteppedClock clock_;
};

using Slots = std::vector<SharedSlot *>;
using Pos = std::vector<uint32_t>;

TEST_F(ChainQuery, TwoStagesInSeriesFormOneChainInSignalOrder) {
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus bus{{b, a}}; // b processes first although a has the lower slot
    host_.run(bus, 40);

    for (SharedSlot *own : {a, b, (SharedSlot *)nullptr}) {
        std::vector<ChainEntry> r = query(own);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(order(r), (Slots{b, a}));
        EXPECT_EQ(positions(r), (Pos{1, 2}));
        EXPECT_EQ(r[0].manual, 0);
        EXPECT_EQ(r[0].recent, 1);
        EXPECT_EQ(r[1].recent, 1);
    }
    EXPECT_NE(shm_load(a->calls.serial), 0u);
    EXPECT_EQ(shm_load(a->calls.serial), shm_load(b->calls.serial));
}

TEST_F(ChainQuery, SeriesWithoutHostSteadyTimeIsOrderedByTheClock) {
    SharedSlot *a = stage(0x101), *b = stage(0x202), *c = stage(0x303);
    Bus bus{{c, a, b}};
    bus.steady = false;
    host_.run(bus, 40);
    std::vector<ChainEntry> r = query(a);
    EXPECT_EQ(order(r), (Slots{c, a, b}));
    EXPECT_EQ(positions(r), (Pos{1, 2, 3}));
}

TEST_F(ChainQuery, SeriesOnSeparateSampleClocksIsOrderedByTheClock) {
    // The stages' steady times never meet (the first one's clock is far ahead), so the
    // order must come from the start times, not from the newest block.
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus bus{{a, b}};
    bus.clock_skew = -100000000;
    host_.steady = 200000000;
    host_.run(bus, 40);
    std::vector<ChainEntry> r = query(b);
    EXPECT_EQ(order(r), (Slots{a, b}));
    EXPECT_EQ(positions(r), (Pos{1, 2}));
}

TEST_F(ChainQuery, EquallySpacedStagesWithoutSteadyKeepTheFirstStarterFirst) {
    // Four stages spread evenly over the cycle: every gap, the wrap-around one included,
    // is equal, so the cycle is taken to begin at the earliest start.
    SharedSlot *s[4];
    for (int i = 0; i < 4; i++)
        s[i] = stage(0x100 + (uint64_t)i);
    Bus bus{{s[2], s[0], s[3], s[1]}};
    bus.steady = false;
    bus.step = PERIOD / 4;
    host_.run(bus, 40);
    EXPECT_EQ(order(query(s[0])), (Slots{s[2], s[0], s[3], s[1]}));
}

TEST_F(ChainQuery, StageAheadByOneBlockStaysInSignalOrder) {
    // The query lands between two stages' calls of a cycle: the first stage has processed
    // the next block already, the second not yet.
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus bus{{b, a}};
    host_.run(bus, 40);
    uint64_t now = sys_time_ns();
    record_call(b, now - 200 * US, now - 100 * US, host_.steady);
    std::vector<ChainEntry> r = query(a);
    EXPECT_EQ(order(r), (Slots{b, a}));
    EXPECT_EQ(positions(r), (Pos{1, 2}));
}

TEST_F(ChainQuery, StagesWithoutPositionKeepSlotOrder) {
    // Stages that never processed, held together by one stored tag: no observed order,
    // so every one is at 99 and the result keeps slot order.
    SharedSlot *s[6];
    for (int i = 0; i < 6; i++) {
        s[i] = stage(0x600 - (uint64_t)i);
        shm_store(s[i]->calls.serial, 42u);
    }
    std::vector<ChainEntry> r = query(s[3]);
    EXPECT_EQ(order(r), (Slots{s[0], s[1], s[2], s[3], s[4], s[5]}));
    EXPECT_EQ(positions(r), (Pos{99, 99, 99, 99, 99, 99}));
    for (SharedSlot *x : s)
        EXPECT_EQ(shm_load(x->calls.serial), 42u);
}

TEST_F(ChainQuery, OverlappingBusesAreSeparateChains) {
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus one{{a}}, two{{b}};
    two.offset = 300 * US; // b runs while a runs, on another audio thread
    host_.run({&one, &two}, 40);

    std::vector<ChainEntry> ra = query(a), rb = query(b);
    EXPECT_EQ(order(ra), (Slots{a}));
    EXPECT_EQ(order(rb), (Slots{b}));
    EXPECT_EQ(positions(ra), (Pos{1}));
    EXPECT_NE(shm_load(a->calls.serial), 0u);
    EXPECT_NE(shm_load(b->calls.serial), 0u);
    EXPECT_NE(shm_load(a->calls.serial), shm_load(b->calls.serial));
}

TEST_F(ChainQuery, StageInsertedInSeriesIsMergedAtOnce) {
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus bus{{a, b}};
    host_.run(bus, 40);
    EXPECT_EQ(order(query(a)), (Slots{a, b}));

    SharedSlot *c = stage(0x303);
    bus.order = {a, c, b};
    host_.run(bus, 30);
    std::vector<ChainEntry> r = query(a);
    EXPECT_EQ(order(r), (Slots{a, c, b}));
    EXPECT_EQ(positions(r), (Pos{1, 2, 3}));
    EXPECT_EQ(shm_load(c->calls.serial), shm_load(a->calls.serial));
}

TEST_F(ChainQuery, SwappedStagesShowTheNewOrderAfterThreeQueriesOver150ms) {
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus bus{{a, b}};
    host_.run(bus, 40);
    EXPECT_EQ(order(query(a)), (Slots{a, b}));

    // The host swaps them; the whole call history now shows b first.
    bus.order = {b, a};
    host_.run(bus, 70);
    uint64_t first = sys_time_ns();
    EXPECT_EQ(order(query(a)), (Slots{a, b})); // seen once
    host_.run(bus, 1);
    EXPECT_EQ(order(query(a)), (Slots{a, b})); // seen twice
    host_.run(bus, 1);
    std::vector<ChainEntry> third = query(a);
    if (sys_time_ns() - first < 150 * MS) {
        EXPECT_EQ(order(third), (Slots{a, b})); // too soon
    }

    clock_.step_ms(160);
    host_.run(bus, 2);
    std::vector<ChainEntry> r = query(a);
    EXPECT_EQ(order(r), (Slots{b, a}));
    EXPECT_EQ(positions(r), (Pos{1, 2}));
}

TEST_F(ChainQuery, SwapSeenOverTimeButFewerThanThreeQueriesIsNotAccepted) {
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus bus{{a, b}};
    host_.run(bus, 40);
    EXPECT_EQ(order(query(a)), (Slots{a, b}));
    bus.order = {b, a};
    host_.run(bus, 70);
    EXPECT_EQ(order(query(a)), (Slots{a, b}));
    clock_.step_ms(160);
    host_.run(bus, 2);
    EXPECT_EQ(order(query(a)), (Slots{a, b})); // second sighting, however late
    host_.run(bus, 1);
    EXPECT_EQ(order(query(a)), (Slots{b, a})); // third, and 150 ms have passed
}

TEST_F(ChainQuery, StoppedTransportKeepsTheOrderThenPrunesADepartedStage) {
    SharedSlot *a = stage(0x101), *b = stage(0x202), *c = stage(0x303);
    Bus bus{{a, c, b}};
    host_.run(bus, 40);
    EXPECT_EQ(order(query(a)), (Slots{a, c, b}));

    for (SharedSlot *s : {a, b, c})
        age(s, 2000 * MS);                      // no calls for two seconds
    std::vector<ChainEntry> stopped = query(a); // first idle query
    EXPECT_EQ(order(stopped), (Slots{a, c, b}));
    EXPECT_EQ(positions(stopped), (Pos{1, 2, 3}));
    for (const ChainEntry &e : stopped)
        EXPECT_EQ(e.recent, 0);

    // c leaves; its place is kept until the chain has been idle for 3 queries and 150 ms.
    drop(c);
    clock_.step_ms(160);
    std::vector<ChainEntry> r = query(a); // second idle query: not yet
    EXPECT_EQ(order(r), (Slots{a, b}));
    EXPECT_EQ(positions(r), (Pos{1, 3}));
    r = query(a); // third
    EXPECT_EQ(order(r), (Slots{a, b}));
    EXPECT_EQ(positions(r), (Pos{1, 2}));
}

TEST_F(ChainQuery, StoredTagsKeepTheChainWithoutTimingEvidence) {
    SharedSlot *a = stage(0x101), *b = stage(0x202), *c = stage(0x303);
    Bus bus{{b, c, a}};
    host_.run(bus, 40);
    EXPECT_EQ(order(query(a)), (Slots{b, c, a}));
    uint32_t tag = shm_load(a->calls.serial);

    // The stages were reset: no call records, stale times.
    for (SharedSlot *s : {a, b, c}) {
        age(s, 2000 * MS);
        shm_store(s->calls.ring_count, 0u);
    }
    for (int i = 0; i < 3; i++) {
        std::vector<ChainEntry> r = query(c);
        EXPECT_EQ(order(r), (Slots{b, c, a}));
        EXPECT_EQ(positions(r), (Pos{1, 2, 3}));
    }
    for (SharedSlot *s : {a, b, c})
        EXPECT_EQ(shm_load(s->calls.serial), tag);
}

TEST_F(ChainQuery, ParallelStagesSharingATagAreSplit) {
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    shm_store(a->calls.serial, 777u);
    shm_store(b->calls.serial, 777u);
    Bus one{{a}}, two{{b}};
    two.offset = 300 * US;
    host_.run({&one, &two}, 40);

    EXPECT_EQ(order(query(a)), (Slots{a}));
    EXPECT_EQ(order(query(b)), (Slots{b}));
    // Equal clusters without linked stages: the later one gives its tag up.
    EXPECT_EQ(shm_load(a->calls.serial), 777u);
    EXPECT_NE(shm_load(b->calls.serial), 777u);
    EXPECT_NE(shm_load(b->calls.serial), 0u);
}

TEST_F(ChainQuery, TagConflictIsWonByTheClusterWithRunningSerialStages) {
    // u1 runs on, u2 and u3 (serial with it) stopped 30 cycles ago: that cluster is larger
    // but has no linked pair. l1 and l2 run in series on a bus that overlaps u1.
    SharedSlot *u2 = stage(0x102), *u3 = stage(0x103), *u1 = stage(0x101);
    SharedSlot *l1 = stage(0x201), *l2 = stage(0x202);
    for (SharedSlot *s : {u1, u2, u3, l1, l2})
        shm_store(s->calls.serial, 500u);
    Bus u{{u1, u2, u3}}, l{{l1, l2}};
    l.offset = 5 * MS;               // after every stage of u in even cycles,
    l.odd_offset = -(int64_t)4 * MS; // before all of them in odd ones
    uint64_t now = sys_time_ns();
    host_.run({&u, &l}, 40, now - 30 * PERIOD);
    u.order = {u1};
    host_.run({&u, &l}, 30, now);

    EXPECT_EQ(order(query(l1)), (Slots{l1, l2}));
    EXPECT_EQ(shm_load(l1->calls.serial), 500u);
    EXPECT_EQ(shm_load(l2->calls.serial), 500u);
    uint32_t lost = shm_load(u1->calls.serial);
    EXPECT_NE(lost, 500u);
    EXPECT_NE(lost, 0u);
    EXPECT_EQ(shm_load(u2->calls.serial), lost);
    EXPECT_EQ(shm_load(u3->calls.serial), lost);
    std::vector<ChainEntry> r = query(u1);
    EXPECT_EQ(r.size(), 3u);
}

TEST_F(ChainQuery, ViewAnswersLikeTheQueryWithoutStoringAnything) {
    // Stored tags that join and conflict (as above), and a new stage without a tag.
    SharedSlot *u2 = stage(0x102), *u3 = stage(0x103), *u1 = stage(0x101);
    SharedSlot *l1 = stage(0x201), *l2 = stage(0x202), *n1 = stage(0x301, 1);
    for (SharedSlot *s : {u1, u2, u3, l1, l2})
        shm_store(s->calls.serial, 500u);
    Bus u{{u1, u2, u3}}, l{{l1, l2}}, n{{n1}};
    l.offset = 5 * MS;
    l.odd_offset = -(int64_t)4 * MS;
    uint64_t now = sys_time_ns();
    host_.run({&u, &l, &n}, 40, now - 30 * PERIOD);
    u.order = {u1};
    host_.run({&u, &l, &n}, 30, now);
    auto forget_orders = [] {
        registry_lock();
        for (int i = 0; i < 64; i++)
            registry_caches()[i].key = nullptr;
        registry_unlock();
    };
    auto tags = [&] {
        std::vector<uint32_t> t;
        for (SharedSlot *s : slots_)
            t.push_back(shm_load(s->calls.serial));
        return t;
    };
    struct Ask {
        SharedSlot *own;
        uint32_t group;
    };
    ASSERT_EQ(shared_at(0), u2); // the first slot: the header lies just before it
    const SharedHeader *head = (const SharedHeader *)((const char *)u2 - sizeof(SharedHeader));
    for (Ask ask : {Ask{l1, 0}, Ask{u1, 0}, Ask{u2, 0}, Ask{nullptr, 0}, Ask{n1, 1}}) {
        std::vector<uint32_t> before = tags();
        uint32_t counter = shm_load(head->serial_next);
        forget_orders();
        ChainEntry view[64];
        int nv = registry_chain_view(ask.own, ask.group, view, 64);
        EXPECT_EQ(tags(), before);
        EXPECT_EQ(shm_load(head->serial_next), counter);
        forget_orders();
        std::vector<ChainEntry> r = query(ask.own, ask.group);
        ASSERT_EQ(nv, (int)r.size());
        for (int i = 0; i < nv; i++) {
            EXPECT_EQ(view[i].slot, r[(size_t)i].slot) << i;
            EXPECT_EQ(view[i].pos, r[(size_t)i].pos) << i;
            EXPECT_EQ(view[i].manual, r[(size_t)i].manual) << i;
            EXPECT_EQ(view[i].recent, r[(size_t)i].recent) << i;
        }
    }
    EXPECT_NE(shm_load(n1->calls.serial), 0u); // the query did store (a tag for the new stage)
}

TEST_F(ChainQuery, ManualStageIsListedBeforeAnAutomaticStageAtItsPosition) {
    SharedSlot *x = stage(0x101), *y = stage(0x202), *z = stage(0x303, 0, 2);
    Bus bus{{x, y, z}};
    host_.run(bus, 40);
    std::vector<ChainEntry> r = query(x);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(order(r), (Slots{x, z, y}));
    EXPECT_EQ(positions(r), (Pos{1, 2, 2}));
    EXPECT_EQ(r[0].manual, 0);
    EXPECT_EQ(r[1].manual, 1);
    EXPECT_EQ(r[2].manual, 0);
}

TEST_F(ChainQuery, MaxSmallerThanTheChainGivesTheFirstMembersInSlotOrder) {
    SharedSlot *s[5];
    for (int i = 0; i < 5; i++)
        s[i] = stage(0x100 + (uint64_t)i);
    Bus bus{{s[4], s[3], s[2], s[1], s[0]}};
    host_.run(bus, 40);
    EXPECT_EQ(positions(query(s[0])), (Pos{1, 2, 3, 4, 5}));
    std::vector<ChainEntry> r = query(s[0], 0, 2);
    EXPECT_EQ(order(r), (Slots{s[1], s[0]}));
    EXPECT_EQ(positions(r), (Pos{4, 5}));
}

TEST_F(ChainQuery, WithoutOwnSlotTheLargestClusterIsChosen) {
    SharedSlot *d = stage(0x401); // alone on its bus, first by slot
    SharedSlot *a = stage(0x101), *b = stage(0x202), *c = stage(0x303);
    SharedSlot *other = stage(0x501, 3); // a stage of another group
    Bus chain{{a, b, c}}, lone{{d}};
    lone.offset = 5 * MS;
    lone.odd_offset = -(int64_t)2 * MS;
    host_.run({&chain, &lone}, 40);
    ChainEntry out[64];
    int n = registry_chain(0, out, 64);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(order(std::vector<ChainEntry>(out, out + n)), (Slots{a, b, c}));
    EXPECT_EQ(order(query(other)), (Slots{a, b, c})); // not a member of group 0
    EXPECT_EQ(order(query(d)), (Slots{d}));
}

TEST_F(ChainQuery, CallStartedAfterTheQueryReadTheClockCountsAsRecent) {
    // The owner's audio thread may stamp its next call between the query's clock reading
    // and its reading of the slot; such a stage is processing right now.
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus bus{{a, b}};
    host_.run(bus, 40);
    uint64_t later = sys_time_ns() + 50 * MS;
    record_call(a, later, later + CALL, host_.steady);
    std::vector<ChainEntry> r = query(a);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(order(r), (Slots{a, b}));
    EXPECT_EQ(r[0].recent, 1);
    EXPECT_EQ(r[1].recent, 1);

    // A start time seconds ahead is no call in progress but garbage.
    SharedSlot *c = stage(0x303, 1);
    uint64_t far = sys_time_ns() + 10000 * MS;
    record_call(c, far, far + CALL, 0);
    std::vector<ChainEntry> rc = query(c, 1);
    ASSERT_EQ(rc.size(), 1u);
    EXPECT_EQ(rc[0].recent, 0);
}

TEST_F(ChainQuery, StageThatNeverProcessedIsAMemberWithoutPosition) {
    SharedSlot *a = stage(0x101);
    std::vector<ChainEntry> r = query(a);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].slot, a);
    EXPECT_EQ(r[0].pos, 99u);
    EXPECT_EQ(r[0].manual, 0);
    EXPECT_EQ(r[0].recent, 0);
}

TEST_F(ChainQuery, NoMemberOrBadArgumentsGiveNothing) {
    SharedSlot *a = stage(0x101, 2);
    Bus bus{{a}};
    host_.run(bus, 10);
    ChainEntry out[4];
    EXPECT_EQ(registry_chain_for(a, 0, out, 4), 0);
    EXPECT_EQ(registry_chain_for(a, 16, out, 4), 0);
    EXPECT_EQ(registry_chain_for(a, 0xFFFFFFFFu, out, 4), 0);
    EXPECT_EQ(registry_chain_for(a, 2, out, 0), 0);
    EXPECT_EQ(registry_chain_for(a, 2, out, -3), 0);
    EXPECT_EQ(registry_chain_for(a, 2, out, 4), 1);
    // Group 15 (P) is the last one.
    SharedSlot *p = stage(0x202, 15.0);
    EXPECT_EQ(registry_chain_for(p, 15, out, 4), 1);
}

TEST_F(ChainQuery, GarbageInForeignSlotsIsHandledSanely) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    SharedSlot *a = stage(0x101), *b = stage(0x202);
    Bus bus{{a, b}};
    host_.run(bus, 40);

    // Group values that name no group: never members.
    for (double g : {nan, inf, -inf, 16.0, -1.0, 1e300, -1e300})
        stage(0x900, g);
    // A member whose timing fields are garbage, and a Stage value out of range.
    SharedSlot *g = stage(0x333, 0.0, nan);
    std::mt19937_64 rng(7);
    for (uint32_t i = 0; i < CALL_RING; i++) {
        g->calls.ring_start[i] = rng();
        g->calls.ring_end[i] = rng();
        g->calls.ring_steady[i] = (int64_t)rng();
    }
    shm_store(g->calls.ring_count, 0xFFFFFFFFu);
    shm_store(g->calls.proc_time, UINT64_MAX);
    shm_store(g->calls.proc_prev_time, (uint64_t)1);
    shm_store(g->calls.steady, INT64_MIN);
    shm_store(g->calls.steady_prev, INT64_MAX);
    SharedSlot *h = stage(0x444, 0.9, 1e300); // Group truncates to 0

    std::vector<ChainEntry> r = query(a);
    EXPECT_EQ(order(r), (Slots{a, b}));
    EXPECT_EQ(positions(r), (Pos{1, 2}));
    std::vector<ChainEntry> rg = query(g);
    ASSERT_FALSE(rg.empty());
    bool found = false;
    for (const ChainEntry &e : rg) {
        if (e.slot != g) continue;
        found = true;
        EXPECT_EQ(e.manual, 0); // NaN Stage is automatic
    }
    EXPECT_TRUE(found);
    std::vector<ChainEntry> rh = query(h);
    ASSERT_EQ(rh.size(), 1u);
    EXPECT_EQ(rh[0].slot, h);
    EXPECT_EQ(rh[0].manual, 1);
    EXPECT_EQ(rh[0].pos, 8u); // clamped to the top of the Stage range

    // Many random slots, each query must stay within bounds (checked by the sanitizers).
    std::vector<SharedSlot *> junk;
    for (int i = 0; i < 8; i++)
        junk.push_back(stage(0x700 + (uint64_t)i));
    for (int iter = 0; iter < 60; iter++) {
        for (SharedSlot *s : junk) {
            unsigned char *p = (unsigned char *)&s->calls.proc_time;
            size_t len = sizeof(SharedSlot) - offsetof(SharedSlot, calls.proc_time);
            for (size_t k = 0; k < len; k++)
                p[k] = (unsigned char)rng();
            uint64_t bits = rng();
            memcpy(&s->values[4], &bits, 8);
            s->values[5] = (iter % 2) ? (double)(rng() % 3) : std::ldexp((double)(int64_t)rng(), -60);
        }
        ChainEntry out[64];
        int n = registry_chain_for(junk[iter % 8], 0, out, 64);
        ASSERT_GE(n, 1);
        ASSERT_LE(n, 64);
        for (int k = 0; k < n; k++)
            EXPECT_NE(out[k].slot, nullptr);
    }
    for (SharedSlot *s : junk)
        shm_store(s->values[5], 5.0);
    EXPECT_EQ(order(query(a)), (Slots{a, b}));
}

TEST_F(ChainQuery, DebugLinesDescribeTheQueryOnceUntilTheyChange) {
    tk_test::ScopedEnv env("TERVIK_REG_DEBUG", "1");
    SharedSlot *a = stage(0x1011), *b = stage(0x2022); // low bytes 17 and 34
    Bus bus{{a, b}};
    host_.run(bus, 28); // 28 shared blocks: serial, and worth a trace line
    SharedSlot *other = stage(0x9999, 9);

    testing::internal::CaptureStderr();
    query(other, 9); // so that neither line repeats the one printed last
    query(a);
    std::string first = testing::internal::GetCapturedStderr();
    uint32_t tag = shm_load(a->calls.serial);
    char rel[128];
    snprintf(rel, sizeof rel, "[reg2] rel: 1734=S | root: 17>34 34>34 | serial: %d %d | live:11\n", (int)tag, (int)tag);
    EXPECT_NE(first.find(rel), std::string::npos) << first;
    EXPECT_NE(first.find("[rel] serial by clock: na 28 nb 28 ab 28 ba 0, a 0..12960 b 0..12960\n"), std::string::npos)
        << first;
    long long ta = (long long)((shm_load(a->calls.proc_time) % 100000000ull) / 1000);
    long long tb = (long long)((shm_load(b->calls.proc_time) % 100000000ull) / 1000);
    char cand[128];
    snprintf(cand, sizeof cand, "[reg] n=2 cand 17 34 | acc: | t: %lld %lld\n", ta, tb);
    EXPECT_NE(first.find(cand), std::string::npos) << first;

    testing::internal::CaptureStderr();
    query(a);
    std::string again = testing::internal::GetCapturedStderr();
    EXPECT_EQ(again.find("[reg2]"), std::string::npos) << again;
    snprintf(cand, sizeof cand, "[reg] n=2 cand 17 34 | acc: 17 34 | t: %lld %lld\n", ta, tb);
    EXPECT_NE(again.find(cand), std::string::npos) << again; // acc changed

    testing::internal::CaptureStderr();
    query(a);
    std::string third = testing::internal::GetCapturedStderr();
    EXPECT_EQ(third.find("[reg"), std::string::npos) << third;
}

TEST_F(ChainQuery, QueryWithoutMembersStillTracesWhenAsked) {
    tk_test::ScopedEnv env("TERVIK_REG_DEBUG", "1");
    stage(0x101, 4);
    ChainEntry out[4];
    testing::internal::CaptureStderr();
    registry_chain_for(nullptr, 9, out, 4); // whatever the last line was
    EXPECT_EQ(registry_chain_for(nullptr, 4, out, 4), 1);
    EXPECT_EQ(registry_chain_for(nullptr, 9, out, 4), 0);
    std::string s = testing::internal::GetCapturedStderr();
    EXPECT_NE(s.find("[reg2] rel: | root: | serial: | live:\n"), std::string::npos) << s;
}

} // namespace
