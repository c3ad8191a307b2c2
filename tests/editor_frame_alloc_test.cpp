// An editor frame allocates nothing on the heap once its glyphs are cached: malloc and
// friends are interposed for the process and counted while the frame is built (every
// section, the bottom bar and the overlays, with real NanoVG). Not built under sanitizers,
// which own the allocator.
#include "tests/editor_fixture.h"
#include "tests/util/alloc_count.h"

extern "C" {
#include <pugl/gl.h>
}

#include "nanovg.h"

using namespace edt;

namespace {

class EditorFrameAlloc : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!tk_test::alloc_counting_available()) GTEST_SKIP() << "the sanitizer owns the allocator";
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
        EXPECT_EQ(puglEnterContext(ui->win.view), PUGL_SUCCESS);
        double z = ui_frame_z(ui);
        nvgBeginFrame(ui->win.vg, (float)(ui->win.view_w / z), (float)(ui->win.view_h / z), (float)z);
        double t = sys_time_s();
        long before = tk_test::alloc_count();
        tk_test::alloc_counting(true);
        frame_build(ui, t);
        tk_test::alloc_counting(false);
        nvgEndFrame(ui->win.vg);
        puglLeaveContext(ui->win.view);
        return tk_test::alloc_count() - before;
    }

    tk_test::ScopedSegment seg{"edalloc"};
    tk_test::ScopedPresetDir presets;
    FakeHost host;
    Stage *p = nullptr, *q = nullptr;
    EditorWindow w;
};

TEST_F(EditorFrameAlloc, FramesWithEveryOverlayAllocateNothing) {
    Ui *ui = w.ui;
    p->prefs.show_grid = 1;
    ui->chain.chain_mode = 1;
    shm_store(p->slot->values[P_DITHER], 1.0);
    struct Case {
        const char *what;
        void (*set)(Ui *);
    } cases[] = {
        {"plain frame", [](Ui *) {}},
        {"tooltip",
         [](Ui *u) {
             u->input.hover_kind = HIT_KNOB;
             u->input.hover_a = 0;
             u->input.hover_b = P_RELEASE;
             u->input.pointer_x = 170;
             u->input.pointer_y = 522;
             u->input.hover_since = -1e9;
         }},
        {"preset menu",
         [](Ui *u) {
             u->input.hover_kind = 0;
             u->overlay.menu_kind = HIT_PRESET_MENU;
             u->overlay.menu_x = 378;
             u->overlay.menu_y = 35;
             u->overlay.menu_w = 204;
         }},
        {"style menu",
         [](Ui *u) {
             u->overlay.menu_kind = HIT_STYLE;
             u->overlay.menu_stage = 0;
             u->overlay.menu_x = 580;
             u->overlay.menu_y = 538;
             u->overlay.menu_w = 128;
         }},
        {"name entry and about box",
         [](Ui *u) {
             u->overlay.menu_kind = 0;
             u->overlay.entry_active = 1;
             u->overlay.entry_kind = 1;
             snprintf(u->overlay.entry_text, sizeof u->overlay.entry_text, "%s", "New preset");
             u->overlay.entry_x = 378;
             u->overlay.entry_y = 33;
             u->overlay.entry_w = 204;
             u->overlay.entry_h = 24;
             u->overlay.about_open = 1;
         }},
    };
    for (const Case &c : cases) {
        c.set(ui);
        ASSERT_TRUE(w.frames(2)) << c.what; // glyphs of this picture get cached
        EXPECT_EQ(counted_frame(), 0) << c.what;
    }
}

} // namespace
