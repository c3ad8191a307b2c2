// The pairwise serial/parallel test, period_of and the sort comparators, on crafted call
// records for cases that are hard to produce with live stages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "registry/chain.h"

namespace {

constexpr uint64_t US = 1000;
constexpr uint64_t MS = 1000000;
constexpr uint64_t T0 = 5000 * MS; // an arbitrary start of the fake clock

// One call every `period` from `first`; call k starts at first + k * period + off(k).
struct Calls {
    CallRecord r[64];
    int n = 0;
    void add(uint64_t start, uint64_t dur, int64_t steady) { r[n++] = CallRecord{start, start + dur, steady}; }
};

// a at offset 0 and b at offset `b_off` of every 10 ms cycle, each call 1 ms long; the
// steady time advances 480 per cycle (or is -1 when the host gives none).
void series(Calls *a, Calls *b, int cycles, uint64_t b_off, bool steady = true) {
    for (int k = 0; k < cycles; k++) {
        uint64_t base = T0 + (uint64_t)k * 10 * MS;
        int64_t st = steady ? (int64_t)k * 480 : -1;
        a->add(base, MS, st);
        b->add(base + b_off, MS, st);
    }
}

TEST(ChainRelation, SerialByBlockTestInEitherArgumentOrder) {
    Calls a, b;
    series(&a, &b, 30, 1500 * US);
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_SERIAL);
    EXPECT_EQ(relation(b.r, b.n, a.r, a.n), REL_SERIAL);
}

TEST(ChainRelation, BlockTestNeedsNoRegularClock) {
    // b always runs after a in the same block, but sometimes right after it and sometimes
    // just before the next cycle: the clock cannot tell, the shared blocks can.
    Calls a, b, a_nosteady, b_nosteady;
    for (int k = 0; k < 40; k++) {
        uint64_t base = T0 + (uint64_t)k * 10 * MS;
        uint64_t off = (k % 2) ? 8 * MS : 1200 * US;
        a.add(base, MS, k * 480);
        b.add(base + off, 1900 * US - (k % 2 ? 0 : 1000 * US), k * 480);
        a_nosteady.add(base, MS, -1);
        b_nosteady.add(base + off, 1900 * US - (k % 2 ? 0 : 1000 * US), -1);
    }
    EXPECT_NE(relation(a_nosteady.r, a_nosteady.n, b_nosteady.r, b_nosteady.n), REL_SERIAL);
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_SERIAL);
    EXPECT_EQ(relation(b.r, b.n, a.r, a.n), REL_SERIAL);
}

TEST(ChainRelation, OverlapInOneSharedBlockIsParallel) {
    Calls a, b;
    series(&a, &b, 30, 1500 * US);
    b.r[17].start = a.r[17].start + 500 * US; // b starts while a still runs
    b.r[17].end = b.r[17].start + MS;
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_PARALLEL);
    EXPECT_EQ(relation(b.r, b.n, a.r, a.n), REL_PARALLEL);

    Calls c, d;
    series(&c, &d, 30, 300 * US); // two buses processed at the same time
    EXPECT_EQ(relation(c.r, c.n, d.r, d.n), REL_PARALLEL);
}

TEST(ChainRelation, FewerThan24ConsistentSharedBlocksIsUnknown) {
    for (int cycles : {2, 10, 23}) {
        Calls a, b;
        series(&a, &b, cycles, 1500 * US);
        EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_UNKNOWN) << cycles;
        EXPECT_EQ(relation(b.r, b.n, a.r, a.n), REL_UNKNOWN) << cycles;
    }
    Calls a, b;
    series(&a, &b, 24, 1500 * US);
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_SERIAL);
}

TEST(ChainRelation, AlternatingOrderInSharedBlocksIsParallel) {
    Calls a, b;
    for (int k = 0; k < 40; k++) {
        uint64_t base = T0 + (uint64_t)k * 10 * MS;
        uint64_t first = base, second = base + 2 * MS;
        a.add(k % 2 ? second : first, MS, k * 480);
        b.add(k % 2 ? first : second, MS, k * 480);
    }
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_PARALLEL);
    // A single stray block among many is enough: the order must hold in every block.
    Calls c, d;
    series(&c, &d, 40, 1500 * US);
    std::swap(c.r[20].start, d.r[20].start);
    std::swap(c.r[20].end, d.r[20].end);
    EXPECT_EQ(relation(c.r, c.n, d.r, d.n), REL_PARALLEL);
}

TEST(ChainRelation, SteadyTimesNotIncreasingFallBackToTheClockTest) {
    // The host repeats one steady value: the block test does not apply, the clock decides.
    Calls a, b;
    series(&a, &b, 30, 1500 * US);
    for (int k = 0; k < 30; k++)
        a.r[k].steady = b.r[k].steady = 0;
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_SERIAL);

    Calls c, d;
    series(&c, &d, 30, 300 * US);
    for (int k = 0; k < 30; k++)
        c.r[k].steady = d.r[k].steady = 7;
    EXPECT_EQ(relation(c.r, c.n, d.r, d.n), REL_PARALLEL);

    // Only b's steady times go backwards: still the clock test.
    Calls e, f;
    series(&e, &f, 30, 1500 * US);
    f.r[10].steady = 1;
    EXPECT_EQ(relation(e.r, e.n, f.r, f.n), REL_SERIAL);
    // a increasing but b has a single record: nothing to compare.
    EXPECT_EQ(relation(e.r, e.n, f.r, 1), REL_UNKNOWN);
}

TEST(ChainRelation, NoSharedBlockFallsBackToTheClockTest) {
    // Two hosts' sample clocks never meet; the calls still follow one another.
    Calls a, b;
    series(&a, &b, 30, 1500 * US);
    for (int k = 0; k < 30; k++)
        b.r[k].steady += 1000000000;
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_SERIAL);

    Calls c, d;
    series(&c, &d, 30, 300 * US);
    for (int k = 0; k < 30; k++)
        d.r[k].steady += 1000000000;
    EXPECT_EQ(relation(c.r, c.n, d.r, d.n), REL_PARALLEL);
}

TEST(ChainRelation, ClockTestWithoutSteadyTimes) {
    Calls a, b;
    series(&a, &b, 30, 1500 * US, false);
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n), REL_SERIAL);
    EXPECT_EQ(relation(b.r, b.n, a.r, a.n), REL_SERIAL);

    Calls c, d; // overlapping calls
    series(&c, &d, 30, 300 * US, false);
    EXPECT_EQ(relation(c.r, c.n, d.r, d.n), REL_PARALLEL);

    Calls e, f; // too few cycles to decide
    series(&e, &f, 10, 1500 * US, false);
    EXPECT_EQ(relation(e.r, e.n, f.r, f.n), REL_UNKNOWN);

    // b sits right after a in even cycles and right before the next a in odd ones, never
    // overlapping: no consistent neighbour, so parallel.
    Calls g, h;
    for (int k = 0; k < 40; k++) {
        uint64_t base = T0 + (uint64_t)k * 10 * MS;
        g.add(base, MS, -1);
        if (k % 2)
            h.add(base + 8 * MS, 1900 * US, -1);
        else
            h.add(base + 1200 * US, 800 * US, -1);
    }
    EXPECT_EQ(relation(g.r, g.n, h.r, h.n), REL_PARALLEL);

    // One stray neighbour among many does not break a serial verdict.
    Calls p, q;
    series(&p, &q, 40, 1500 * US, false);
    q.r[20].start = p.r[20].start + 8 * MS;
    q.r[20].end = q.r[20].start + 1900 * US;
    q.r[21].start = p.r[21].start + 1200 * US;
    q.r[21].end = q.r[21].start + 800 * US;
    EXPECT_EQ(relation(p.r, p.n, q.r, q.n), REL_SERIAL);
}

TEST(ChainRelation, TooFewRecordsIsUnknown) {
    Calls a, b;
    series(&a, &b, 30, 1500 * US);
    EXPECT_EQ(relation(a.r, 1, b.r, b.n), REL_UNKNOWN);
    EXPECT_EQ(relation(a.r, 0, b.r, b.n), REL_UNKNOWN);
    EXPECT_EQ(relation(a.r, -5, b.r, b.n), REL_UNKNOWN);
    EXPECT_EQ(relation(a.r, a.n, b.r, -5), REL_UNKNOWN);
    EXPECT_EQ(relation(nullptr, 30, b.r, b.n), REL_UNKNOWN);
    EXPECT_EQ(relation(a.r, a.n, nullptr, 30), REL_UNKNOWN);
    Calls c, d;
    series(&c, &d, 30, 1500 * US, false);
    EXPECT_EQ(relation(c.r, c.n, d.r, 1), REL_UNKNOWN);
}

TEST(ChainRelation, PeriodOfIsTheMedianStartDifference) {
    CallRecord r[5] = {{0, 1, 0}, {10, 11, 0}, {30, 31, 0}, {35, 36, 0}, {100, 101, 0}};
    EXPECT_EQ(period_of(r, 0), 0);
    EXPECT_EQ(period_of(r, 1), 0);
    EXPECT_EQ(period_of(r, 2), 10); // {10}
    EXPECT_EQ(period_of(r, 3), 20); // {10, 20}: element 1
    EXPECT_EQ(period_of(r, 4), 10); // {5, 10, 20}: element 1
    EXPECT_EQ(period_of(r, 5), 20); // {5, 10, 20, 65}: element 2
    EXPECT_EQ(period_of(nullptr, 5), 0);
    // Starts going backwards give negative differences, sorted like any other.
    CallRecord back[3] = {{100, 0, 0}, {90, 0, 0}, {80, 0, 0}};
    EXPECT_EQ(period_of(back, 3), -10);
}

TEST(ChainRelation, ComparatorsOrderAsDocumented) {
    int64_t lo = INT64_MIN, hi = INT64_MAX, z = 0;
    EXPECT_LT(cmp_i64(&lo, &hi), 0);
    EXPECT_GT(cmp_i64(&hi, &lo), 0);
    EXPECT_EQ(cmp_i64(&z, &z), 0);

    CallRecord early{10, 0, 5}, late{20, 0, 5}, newer{30, 0, 6};
    EXPECT_LT(cmp_time(&early, &late), 0);
    EXPECT_GT(cmp_time(&late, &early), 0);
    EXPECT_LT(cmp_block(&newer, &early), 0); // newer block first
    EXPECT_LT(cmp_block(&early, &late), 0);  // same block: earlier start first
    EXPECT_EQ(cmp_block(&early, &early), 0);

    ChainEntry p1{nullptr, 1, 0, 0}, p2auto{nullptr, 2, 0, 1}, p2man{nullptr, 2, 1, 0};
    EXPECT_LT(cmp_entry(&p1, &p2man), 0);
    EXPECT_LT(cmp_entry(&p2man, &p2auto), 0);
    EXPECT_GT(cmp_entry(&p2auto, &p2man), 0);
    EXPECT_EQ(cmp_entry(&p2auto, &p2auto), 0);
}

TEST(ChainRelation, GarbageRecordsGiveAnOutcomeWithoutFaults) {
    // Records read from a foreign slot may be torn or arbitrary; every input must give
    // one of the three outcomes (run under the sanitizers this also checks for overflow).
    std::mt19937_64 rng(12345);
    const uint64_t edges[] = {0, 1, UINT64_MAX, UINT64_MAX / 2, (uint64_t)INT64_MIN, 480};
    for (int iter = 0; iter < 3000; iter++) {
        Calls a, b;
        int na = (int)(rng() % 63), nb = (int)(rng() % 63);
        for (int k = 0; k < na; k++) {
            uint64_t v = (iter % 3 == 0) ? edges[rng() % 6] : rng();
            a.r[k] = CallRecord{v, rng(), (int64_t)((iter % 2) ? rng() : (uint64_t)k * 480)};
        }
        for (int k = 0; k < nb; k++) {
            uint64_t v = (iter % 3 == 0) ? edges[rng() % 6] : rng();
            b.r[k] = CallRecord{v, rng(), (int64_t)((iter % 2) ? rng() : (uint64_t)k * 480)};
        }
        a.n = na;
        b.n = nb;
        int r = relation(a.r, a.n, b.r, b.n);
        EXPECT_TRUE(r == REL_UNKNOWN || r == REL_SERIAL || r == REL_PARALLEL);
        (void)period_of(a.r, a.n);
    }
}

} // namespace

TEST(ChainRelation, OfflineBlocksCountOnlyWhenOneFollowsTheOtherDirectly) {
    // Two stages in series on one thread, rendering offline far faster than real time:
    // a(k), b(k), a(k + 1), ... with no gaps.
    Calls a, b;
    for (int k = 0; k < 40; k++) {
        uint64_t base = T0 + (uint64_t)k * 100 * US;
        a.add(base, 40 * US, k * 512);
        b.add(base + 50 * US, 40 * US, k * 512);
    }
    EXPECT_EQ(relation(a.r, a.n, b.r, b.n, true), REL_SERIAL);
    EXPECT_EQ(relation(b.r, b.n, a.r, a.n, true), REL_SERIAL);

    // Two buses rendering offline in two processes that the machine runs in turns: c has
    // rendered all these blocks before d gets to them. Every shared block has c first, as in
    // series, but c went on to its next block long before d took this one.
    Calls c, d;
    for (int k = 0; k < 40; k++) {
        c.add(T0 + (uint64_t)k * 100 * US, 90 * US, k * 512);
        d.add(T0 + 10 * MS + (uint64_t)k * 100 * US, 90 * US, k * 512);
    }
    EXPECT_EQ(relation(c.r, c.n, d.r, d.n), REL_SERIAL) << "the real-time test cannot tell";
    EXPECT_EQ(relation(c.r, c.n, d.r, d.n, true), REL_PARALLEL);
    EXPECT_EQ(relation(d.r, d.n, c.r, c.n, true), REL_PARALLEL);

    // Offline without steady times there is nothing to go by: the clock is not asked.
    Calls e, f;
    for (int k = 0; k < 40; k++) {
        uint64_t base = T0 + (uint64_t)k * 100 * US;
        e.add(base, 40 * US, -1);
        f.add(base + 50 * US, 40 * US, -1);
    }
    EXPECT_EQ(relation(e.r, e.n, f.r, f.n), REL_SERIAL);
    EXPECT_EQ(relation(e.r, e.n, f.r, f.n, true), REL_UNKNOWN);
}
