// The audio path allocates nothing: malloc and friends are interposed for the whole
// process (the dlopen'ed Tervik.clap included) and counted while process() runs.
#include <cmath>

#include "plugin_fixture.h"
#include "tests/util/alloc_count.h"

TEST_F(ClapTest, ProcessPerformsNoHeapAllocation) {
    if (!tk_test::alloc_counting_available()) GTEST_SKIP() << "the sanitizer owns the allocator";
    {
        // The counter itself sees allocations (the interposition is linked in).
        long c0 = tk_test::alloc_count();
        tk_test::alloc_counting(true);
        void *volatile probe = malloc(32);
        free(probe);
        tk_test::alloc_counting(false);
        ASSERT_EQ(tk_test::alloc_count() - c0, 2);
    }
    HostInstance *h = make();
    HostInstance *g = make();
    ASSERT_TRUE(h->activate(48000, 1, 512));
    ASSERT_TRUE(g->activate(48000, 1, 512));
    SharedSlot *s = slot_of(h);
    Stereo in(512), out(512);
    for (int i = 0; i < 512; i++)
        in.l[i] = in.r[i] = (float)(1.5 * std::sin(i * 0.07));
    InputEvents ev(16);
    ev.add_param(0, 2, 9.0);
    ev.add_param(100, 10, 2.0); // dither 16 bit with weighted shaping
    ev.add_param(200, 12, 1.0);
    ev.add_param(300, 12, 0.0);
    ev.add_midi(10, 0xB0, 7, 100);
    // Warm up once (first calls may touch lazily initialised host state).
    h->process(in.p(), out.p(), 2, 512, &ev);
    long before = tk_test::alloc_count();
    tk_test::alloc_counting(true);
    for (int k = 0; k < 200; k++) {
        h->process(in.p(), out.p(), 2, 512, &ev);
        g->process(out.p(), out.p(), 2, 512);
        if (k == 50) {
            // Queued editor edits and a loudness reset are drained on the audio path too.
            tk_test::alloc_counting(false);
            for (int i = 0; i < 40; i++)
                shm_store(s->edits.edit_queue[i].id, 2u);
            shm_store(s->edits.edit_write, shm_load(s->edits.edit_read) + 40);
            shm_store(s->loud_reset, 1u);
            shm_store(s->pending, (uint32_t)PENDING_FLUSH);
            tk_test::alloc_counting(true);
        }
    }
    tk_test::alloc_counting(false);
    EXPECT_EQ(tk_test::alloc_count() - before, 0);
}
