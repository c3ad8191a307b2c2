// The audio path allocates nothing: malloc and friends are interposed for the whole
// process (the dlopen'ed Tervik.clap included) and counted while process() runs.
// Built only without sanitizers, which own the allocator themselves.
#include <dlfcn.h>
#include <malloc.h>

#include <atomic>
#include <cmath>

#include "plugin_fixture.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

static thread_local bool t_counting = false;
static std::atomic<long> g_allocs{0};

extern "C" {
void *malloc(size_t n) {
    if (t_counting) g_allocs++;
    return __libc_malloc(n);
}
void *calloc(size_t a, size_t b) {
    if (t_counting) g_allocs++;
    return __libc_calloc(a, b);
}
void *realloc(void *p, size_t n) {
    if (t_counting) g_allocs++;
    return __libc_realloc(p, n);
}
void *memalign(size_t al, size_t n) {
    if (t_counting) g_allocs++;
    return __libc_memalign(al, n);
}
int posix_memalign(void **out, size_t al, size_t n) {
    if (t_counting) g_allocs++;
    *out = __libc_memalign(al, n);
    return *out ? 0 : 12;
}
void *aligned_alloc(size_t al, size_t n) {
    if (t_counting) g_allocs++;
    return __libc_memalign(al, n);
}
void free(void *p) {
    if (t_counting && p) g_allocs++;
    __libc_free(p);
}
}

TEST_F(ClapTest, ProcessPerformsNoHeapAllocation) {
    HostInstance *h = make();
    HostInstance *g = make();
    ASSERT_TRUE(h->activate(48000, 1, 512));
    ASSERT_TRUE(g->activate(48000, 1, 512));
    SharedSlot *s = slot_of(h);
    Stereo in(512), out(512);
    for (int i = 0; i < 512; i++) in.l[i] = in.r[i] = (float)(1.5 * std::sin(i * 0.07));
    InputEvents ev(16);
    ev.add_param(0, 2, 9.0);
    ev.add_param(100, 10, 2.0); // dither 16 bit with weighted shaping
    ev.add_param(200, 12, 1.0);
    ev.add_param(300, 12, 0.0);
    ev.add_midi(10, 0xB0, 7, 100);
    // Warm up once (first calls may touch lazily initialised host state).
    h->process(in.p(), out.p(), 2, 512, &ev);
    long before = g_allocs.load();
    t_counting = true;
    for (int k = 0; k < 200; k++) {
        h->process(in.p(), out.p(), 2, 512, &ev);
        g->process(out.p(), out.p(), 2, 512);
        if (k == 50) {
            // Queued editor edits and a loudness reset are drained on the audio path too.
            t_counting = false;
            for (int i = 0; i < 40; i++) shm_store(s->edit_queue[i].id, 2u);
            shm_store(s->edit_write, shm_load(s->edit_read) + 40);
            shm_store(s->loud_reset, 1u);
            shm_store(s->pending, 1u);
            t_counting = true;
        }
    }
    t_counting = false;
    EXPECT_EQ(g_allocs.load() - before, 0);
}
