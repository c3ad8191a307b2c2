// An editor frame allocates nothing on the heap once its glyphs are cached: malloc and
// friends are interposed for the process and counted while the frame is built (every
// section, the bottom bar and the overlays, with real NanoVG). Not built under sanitizers,
// which own the allocator.
#include <malloc.h>

#include <atomic>

#include "tests/editor_fixture.h"

extern "C" {
#include <pugl/gl.h>
}

#include "nanovg.h"

#if defined(__SANITIZE_ADDRESS__)
#define TK_COUNT_ALLOCS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TK_COUNT_ALLOCS 0
#endif
#endif
#ifndef TK_COUNT_ALLOCS
#define TK_COUNT_ALLOCS 1
#endif

static thread_local bool t_counting = false;
static std::atomic<long> g_allocs{0};

#if TK_COUNT_ALLOCS
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

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
#endif

using namespace edt;

namespace {

class EditorFrameAlloc : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TK_COUNT_ALLOCS) GTEST_SKIP() << "the sanitizer owns the allocator";
        EDITOR_NEEDS_DISPLAY();
        p = make_stage(&host);
        q = make_stage(&host, 0);
        ASSERT_TRUE(p && q);
        ASSERT_TRUE(w.open(p, 576, 360));
    }
    void TearDown() override {
        w.close();
        free_stage(q);
        free_stage(p);
    }
    // Builds one frame with the view's context current and counts heap calls meanwhile.
    long counted_frame() {
        Ui *ui = w.ui;
        EXPECT_EQ(puglEnterContext(ui->view), PUGL_SUCCESS);
        double z = ui_frame_z(ui);
        nvgBeginFrame(ui->vg, (float)(ui->view_w / z), (float)(ui->view_h / z), (float)z);
        double t = puglGetTime(puglGetWorld(ui->view));
        g_allocs = 0;
        t_counting = true;
        frame_build(ui, t);
        t_counting = false;
        nvgEndFrame(ui->vg);
        puglLeaveContext(ui->view);
        return g_allocs.load();
    }

    tk_test::ScopedSegment seg{"edalloc"};
    tk_test::ScopedPresetDir presets;
    FakeHost host;
    Plugin *p = nullptr, *q = nullptr;
    EditorWindow w;
};

TEST_F(EditorFrameAlloc, FramesWithEveryOverlayAllocateNothing) {
    Ui *ui = w.ui;
    p->show_grid = 1;
    ui->chain_mode = 1;
    shm_store(p->slot->values[P_DITHER], 1.0);
    struct Case {
        const char *what;
        void (*set)(Ui *);
    } cases[] = {
        {"plain frame", [](Ui *) {}},
        {"tooltip", [](Ui *u) {
             u->hover_kind = HIT_KNOB;
             u->hover_a = 0;
             u->hover_b = P_RELEASE;
             u->pointer_x = 170;
             u->pointer_y = 522;
             u->hover_since = -1e9;
         }},
        {"preset menu", [](Ui *u) {
             u->hover_kind = 0;
             u->menu_kind = HIT_PRESET_MENU;
             u->menu_x = 378;
             u->menu_y = 35;
             u->menu_w = 204;
         }},
        {"style menu", [](Ui *u) {
             u->menu_kind = HIT_STYLE;
             u->menu_stage = 0;
             u->menu_x = 580;
             u->menu_y = 538;
             u->menu_w = 128;
         }},
        {"name entry and about box", [](Ui *u) {
             u->menu_kind = 0;
             u->entry_active = 1;
             u->entry_kind = 1;
             snprintf(u->entry_text, sizeof u->entry_text, "%s", "New preset");
             u->entry_x = 378;
             u->entry_y = 33;
             u->entry_w = 204;
             u->entry_h = 24;
             u->about_open = 1;
         }},
    };
    for (const Case &c : cases) {
        c.set(ui);
        ASSERT_TRUE(w.frames(2)) << c.what; // glyphs of this picture get cached
        EXPECT_EQ(counted_frame(), 0) << c.what;
    }
}

} // namespace
