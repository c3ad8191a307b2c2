// The editor window on a real X server with real GL: the shared pugl world and its
// reference count, the compatibility-profile retry, failure reports, the first-frame probe,
// the PPM screenshot with the palette at its design positions, and letterboxing.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "editor/gl.h"
#include "editor/testing/editor_testing.h"
#include "tests/editor_fixture.h"
#include "tests/util/ppm_image.h"
#include "tests/util/stepped_clock.h"

#include <GL/glx.h>

using namespace edt;

namespace {

using Image = tk_test::PpmImage;
using tk_test::colour_near;

// A linear gradient's colour at y between y0 (c0) and y1 (c1).
int grad(int c0, int c1, double y0, double y1, double y) {
    return (int)std::lround(c0 + (c1 - c0) * (y - y0) / (y1 - y0));
}

class EditorWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { EDITOR_NEEDS_DISPLAY(); }
    tk_test::ScopedSegment seg{"edwin"};
    tk_test::ScopedPresetDir presets;
    FakeHost host;
};

TEST_F(EditorWindowTest, EditorsOfOneProcessShareOneWorldUntilTheLastCloses) {
    Stage *a = make_stage(&host), *b = make_stage(&host);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(ui_world_refs(), 0);
    {
        EditorWindow wa, wb;
        ASSERT_TRUE(wa.open(a));
        ASSERT_TRUE(wb.open(b));
        EXPECT_EQ(ui_world_refs(), 2);
        EXPECT_EQ(puglGetWorld(wa.ui->win.view), puglGetWorld(wb.ui->win.view));
        wa.close();
        EXPECT_EQ(ui_world_refs(), 1) << "closing the first keeps the world";
        // One tick of the shared world still serves the remaining editor.
        ASSERT_TRUE(wb.frames(3));
        wb.close();
        EXPECT_EQ(ui_world_refs(), 0) << "closing the last frees it";
    }
    EditorWindow later;
    ASSERT_TRUE(later.open(a)) << "a later editor makes a new world";
    EXPECT_EQ(ui_world_refs(), 1);
    EXPECT_NE(later.ui->win.vg, nullptr);
    later.close();
    free_stage(a);
    free_stage(b);
}

TEST_F(EditorWindowTest, RefusedCoreContextIsRetriedOnANewCompatibilityView) {
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    X11Parent parent;
    std::string err;
    ASSERT_TRUE(parent.create(960, 600, "retry", &err)) << err;
    Ui *ui = make_editor(p);
    ASSERT_NE(ui, nullptr);
    PuglView *first = ui->win.view;
    EXPECT_EQ(puglGetViewHint(first, PUGL_USE_COMPAT_PROFILE), PUGL_FALSE);
    ui_test_fail_views(0);
    // The first view's framebuffer request cannot be met; the retry view is made normally.
    puglSetViewHint(first, PUGL_STENCIL_BITS, 255);
    ASSERT_TRUE(ui_set_parent(ui, parent.window()));
    keep_gl_driver_loaded();
    EXPECT_TRUE(ui->win.realized);
    EXPECT_NE(ui->win.vg, nullptr);
    EXPECT_EQ(puglGetViewHint(ui->win.view, PUGL_USE_COMPAT_PROFILE), PUGL_TRUE);
    EXPECT_EQ(ui_world_refs(), 1) << "the failed view gave its reference back";
    EXPECT_EQ(parent.child_count(), 1) << "the failed view's window is gone";
    EXPECT_TRUE(ui_show(ui));
    for (int i = 0; i < 2000 && ui->win.frames < 2; i++) {
        ui_tick(ui);
        sys_sleep_ms(2);
    }
    EXPECT_GE(ui->win.frames, 2u);
    ui_destroy(ui);
    EXPECT_EQ(ui_world_refs(), 0);
    free_stage(p);
}

TEST_F(EditorWindowTest, NoContextAtAllIsReportedAndTheEditorStaysClosable) {
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    X11Parent parent;
    std::string err;
    ASSERT_TRUE(parent.create(960, 600, "nocontext", &err)) << err;
    ui_test_fail_views(2);
    Ui *ui = make_editor(p); // first view
    ASSERT_NE(ui, nullptr);
    EXPECT_FALSE(ui_set_parent(ui, parent.window())); // and the retry view
    keep_gl_driver_loaded();
    EXPECT_TRUE(host.logged("Tervik: no OpenGL 3.2 context ("));
    EXPECT_FALSE(ui->win.realized);
    EXPECT_FALSE(ui_show(ui));
    EXPECT_EQ(ui_world_refs(), 1);
    ui_destroy(ui);
    EXPECT_EQ(ui_world_refs(), 0);
    free_stage(p);
}

TEST_F(EditorWindowTest, ARefusedCoreContextLeavesTheHostRunningAndTheEditorBlank) {
    // Mesa then offers only GL 3.0: the core 3.2 request raises GLXBadFBConfig, which
    // Xlib's default handler answers by ending the process. pugl falls back to a legacy
    // context, which is too old for the GL3 back end.
    ASSERT_EQ(ui_world_refs(), 0) << "the override must reach a new X connection";
    tk_test::ScopedEnv old_gl("MESA_GL_VERSION_OVERRIDE", "3.0");
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    X11Parent parent;
    std::string err;
    ASSERT_TRUE(parent.create(960, 600, "blank", &err)) << err;
    DefaultXErrors fatal_x_errors;
    Ui *ui = make_editor(p);
    ASSERT_NE(ui, nullptr);
    EXPECT_TRUE(ui_set_parent(ui, parent.window())) << "the view stays, blank";
    keep_gl_driver_loaded();
    if (ui->win.vg) {
        ui_destroy(ui);
        free_stage(p);
        GTEST_SKIP() << "this GL driver ignores MESA_GL_VERSION_OVERRIDE";
    }
    EXPECT_TRUE(ui->win.realized);
    EXPECT_TRUE(host.logged("Tervik: OpenGL 3.2 unavailable, editor is blank"));
    EXPECT_TRUE(host.logged("Tervik: OpenGL context up but GL3 init failed"));
    EXPECT_TRUE(ui_show(ui));
    for (int i = 0; i < 100 && !ui->win.exposed; i++) {
        ui_tick(ui);
        sys_sleep_ms(5);
    }
    EXPECT_TRUE(ui->win.exposed);
    EXPECT_EQ(ui->win.frames, 0u);
    EXPECT_EQ(ui->input.hit_count, 0) << "a blank editor has no targets";
    float r[4];
    EXPECT_FALSE(ui_rect(ui, 15, 0, r));
    ui_destroy(ui);
    EXPECT_EQ(ui_world_refs(), 0);
    free_stage(p);
}

TEST_F(EditorWindowTest, HostTearingItsWindowDownFirstDoesNotEndTheProcess) {
    Stage *p = make_stage(&host), *other = make_stage(&host);
    ASSERT_TRUE(p && other);
    EditorWindow w, still_open;
    ASSERT_TRUE(w.open(p, 576, 360));
    ASSERT_TRUE(still_open.open(other, 576, 360));
    // The host destroys its parent window (and with it the editor's X window) before it
    // closes the editor: every later request on the window fails with an X error.
    w.parent.destroy();
    DefaultXErrors fatal_x_errors;
    for (int i = 0; i < 20; i++) {
        ui_tick(w.ui);
        sys_sleep_ms(2);
    }
    ui_set_size(w.ui, 700, 400); // whatever it answers, the process goes on
    ui_show(w.ui);
    ui_hide(w.ui);
    w.close();
    EXPECT_EQ(ui_world_refs(), 1);
    // The closed editor's timer is gone with it, and the other editor keeps drawing.
    ASSERT_TRUE(still_open.frames(3));
    still_open.close();
    EXPECT_EQ(ui_world_refs(), 0);
    free_stage(other);
    free_stage(p);
}

// The host's own I/O error handler, as a host that keeps running when one of its X
// connections goes would install it.
int g_host_io_calls = 0;
int host_io_handler(Display *) {
    g_host_io_calls++;
    return 0;
}

TEST_F(EditorWindowTest, LosingItsXConnectionLeavesTheHostRunningAndTheNextEditorMakesANewOne) {
    Stage *p = make_stage(&host), *other = make_stage(&host);
    ASSERT_TRUE(p && other);
    EditorWindow w, same_world;
    ASSERT_TRUE(w.open(p, 576, 360));
    ASSERT_TRUE(same_world.open(other, 576, 360));
    XIOErrorHandler before = XSetIOErrorHandler(host_io_handler);
    g_host_io_calls = 0;
    // The server drops the editors' connection (as when it goes away): their next request
    // or read finds it closed. Xlib's default exit handler would end the process then.
    XKillClient(w.xt, (XID)puglGetNativeView(w.ui->win.view));
    XSync(w.xt, False);
    const std::string lost_line = "Tervik: the editor lost its X server connection";
    for (int i = 0; i < 500 && !host.logged(lost_line); i++) {
        ui_tick(w.ui);
        ui_tick(same_world.ui);
        sys_sleep_ms(2);
    }
    EXPECT_TRUE(host.logged(lost_line));
    EXPECT_EQ(g_host_io_calls, 0) << "the editor's own connection is none of the host's business";
    EXPECT_EQ(XSetIOErrorHandler(before), &host_io_handler) << "the host's handler is back after every call";
    // The lost editors answer without touching their connection, and close.
    EXPECT_EQ(ui_world_refs(), 0) << "the lost world takes no new views";
    EXPECT_FALSE(ui_show(w.ui));
    EXPECT_FALSE(ui_set_size(w.ui, 700, 400));
    ui_set_scale(same_world.ui, 2.0);
    uint32_t frames = w.ui->win.frames;
    for (int i = 0; i < 5; i++)
        ui_tick(w.ui);
    EXPECT_EQ(w.ui->win.frames, frames);
    w.close();
    same_world.close();
    // The host's own connection is fine, and a later editor opens a connection of its own.
    EditorWindow later;
    ASSERT_TRUE(later.open(p, 576, 360));
    EXPECT_EQ(ui_world_refs(), 1);
    ASSERT_TRUE(later.frames(2));
    later.close();
    EXPECT_EQ(ui_world_refs(), 0);
    free_stage(other);
    free_stage(p);
}

TEST_F(EditorWindowTest, TheHostsCurrentGlContextIsCurrentAgainAfterATick) {
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    EditorWindow w;
    ASSERT_TRUE(w.open(p, 576, 360));
    // The host draws with GL on the main thread too.
    Display *d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    int attrs[] = {GLX_RGBA, GLX_DOUBLEBUFFER, None};
    XVisualInfo *vi = glXChooseVisual(d, DefaultScreen(d), attrs);
    ASSERT_NE(vi, nullptr);
    Window root = RootWindow(d, DefaultScreen(d));
    XSetWindowAttributes wa{};
    wa.colormap = XCreateColormap(d, root, vi->visual, AllocNone);
    Window win = XCreateWindow(d, root, 0, 0, 16, 16, 0, vi->depth, InputOutput, vi->visual, CWColormap, &wa);
    GLXContext ctx = glXCreateContext(d, vi, nullptr, True);
    ASSERT_NE(ctx, nullptr);
    ASSERT_TRUE(glXMakeCurrent(d, win, ctx));
    uint32_t f0 = w.ui->win.frames;
    for (int i = 0; i < 2000 && w.ui->win.frames < f0 + 2; i++) {
        ui_tick(w.ui);
        sys_sleep_ms(2);
    }
    EXPECT_GE(w.ui->win.frames, f0 + 2) << "the editor drew meanwhile";
    EXPECT_EQ(glXGetCurrentContext(), ctx);
    EXPECT_EQ(glXGetCurrentDrawable(), win);
    glXMakeCurrent(d, None, nullptr);
    glXDestroyContext(d, ctx);
    XDestroyWindow(d, win);
    XFreeColormap(d, wa.colormap);
    XFree(vi);
    XCloseDisplay(d);
    w.close();
    free_stage(p);
}

TEST_F(EditorWindowTest, FirstFrameProbeReadsTheTopBarAndLogsTheGlVersion) {
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    EditorWindow w;
    ASSERT_TRUE(w.open(p));
    EXPECT_EQ(tkgl_loaded_count(), TKGL_COUNT);
    uint8_t rgb[3];
    ASSERT_TRUE(ui_probe(w.ui, rgb));
    // Pixel (10, 10) from the top lies in the top bar's gradient (28,31,40) -> (18,20,27).
    EXPECT_NEAR(rgb[0], grad(28, 18, 0, 40, 10.5), 3);
    EXPECT_NEAR(rgb[1], grad(31, 20, 0, 40, 10.5), 3);
    EXPECT_NEAR(rgb[2], grad(40, 27, 0, 40, 10.5), 3);
    bool found = false;
    for (const std::string &l : host.logs) {
        int major = 0, minor = 0;
        if (sscanf(l.c_str(), "Tervik editor: GL %d.%d", &major, &minor) != 2) continue;
        found = true;
        EXPECT_GE(major * 10 + minor, 32) << l;
        EXPECT_NE(l.find("; first frame pixel(10,10) = "), std::string::npos) << l;
        EXPECT_NE(l.find("; glGetError 0"), std::string::npos) << l;
    }
    EXPECT_TRUE(found) << "the first-frame probe line is logged";
    // On a busy machine the first frame can come before the first configure event: it has
    // no size to read from, so the probe (and a requested screenshot) wait for a frame that
    // has one.
    std::string shot = presets.path() + "/early.ppm";
    w.ui->win.probe_done = 0;
    w.ui->win.view_w = w.ui->win.view_h = 0;
    ASSERT_TRUE(ui_dump(w.ui, shot.c_str()));
    ASSERT_TRUE(w.frames(1));
    EXPECT_FALSE(ui_probe(w.ui, rgb));
    EXPECT_TRUE(tk_test::read_file(shot).empty());
    w.ui->win.view_w = 960;
    w.ui->win.view_h = 600;
    ASSERT_TRUE(w.frames(1));
    ASSERT_TRUE(ui_probe(w.ui, rgb));
    EXPECT_NEAR(rgb[0], grad(28, 18, 0, 40, 10.5), 3);
    Image img;
    ASSERT_TRUE(img.load(shot));
    EXPECT_EQ(img.w, 960u);
    // The real drawable size is reported when it lies within 2 px of the nominal size.
    uint32_t gw = 0, gh = 0;
    ui_get_size(w.ui, &gw, &gh);
    EXPECT_EQ(gw, 960u);
    EXPECT_EQ(gh, 600u);
    w.ui->win.view_w = 962;
    w.ui->win.view_h = 599;
    ui_get_size(w.ui, &gw, &gh);
    EXPECT_EQ(gw, 962u);
    EXPECT_EQ(gh, 599u);
    w.ui->win.view_w = 970;
    ui_get_size(w.ui, &gw, &gh);
    EXPECT_EQ(gw, 960u);
    w.close();
    free_stage(p);
}

TEST_F(EditorWindowTest, ScreenshotShowsThePaletteLetterboxedInAWideWindow) {
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    EditorWindow w;
    ASSERT_TRUE(w.open(p, 1200, 600));
    EXPECT_FLOAT_EQ(w.ui->win.frame_ox, 120.f);
    EXPECT_FLOAT_EQ(w.ui->win.frame_oy, 0.f);
    std::string path = presets.path() + "/shot.ppm";
    ASSERT_TRUE(ui_dump(w.ui, path.c_str()));
    ASSERT_TRUE(w.wait([&] { return !w.ui->win.dump_pending; }));
    Image img;
    ASSERT_TRUE(img.load(path));
    ASSERT_EQ(img.w, 1200u);
    ASSERT_EQ(img.h, 600u);
    // Bands of the window's clear colour on both sides of the 960-unit design.
    EXPECT_TRUE(colour_near(img, 60, 300, 12, 13, 18, 0));
    EXPECT_TRUE(colour_near(img, 1140, 10, 12, 13, 18, 0));
    // Background gradient between the top bar and the strip, left of the strip's cells.
    EXPECT_TRUE(colour_near(img, 120 + 4, 90, grad(12, 21, 0, 600, 90.5), grad(13, 23, 0, 600, 90.5),
                            grad(18, 30, 0, 600, 90.5)));
    // Bottom bar gradient, between the Shaping pill and the status texts.
    EXPECT_TRUE(colour_near(img, 120 + 458, 598, grad(22, 15, 572, 600, 598.5), grad(24, 16, 572, 600, 598.5),
                            grad(31, 22, 572, 600, 598.5)));
    // "Controls  v" is lit (show_controls is set): the lit pill's gradient near its left
    // end; "Grid  ^" is not.
    EXPECT_TRUE(colour_near(img, 120 + 20, 586, grad(64, 46, 576, 596, 586.5), grad(58, 42, 576, 596, 586.5),
                            grad(44, 34, 576, 596, 586.5), 4));
    EXPECT_TRUE(colour_near(img, 120 + 124, 586, grad(38, 26, 576, 596, 586.5), grad(41, 28, 576, 596, 586.5),
                            grad(50, 35, 576, 596, 586.5), 4));
    // The Dither pill is lit for 24 and 16 bit, not for Off.
    EXPECT_TRUE(colour_near(img, 120 + 218, 586, grad(38, 26, 576, 596, 586.5), grad(41, 28, 576, 596, 586.5),
                            grad(50, 35, 576, 596, 586.5), 4));
    shm_store(p->slot->values[P_DITHER], 2.0);
    ASSERT_TRUE(w.frames());
    ASSERT_TRUE(ui_dump(w.ui, path.c_str()));
    ASSERT_TRUE(w.wait([&] { return !w.ui->win.dump_pending; }));
    ASSERT_TRUE(img.load(path));
    EXPECT_TRUE(colour_near(img, 120 + 218, 586, grad(64, 46, 576, 596, 586.5), grad(58, 42, 576, 596, 586.5),
                            grad(44, 34, 576, 596, 586.5), 4));
    // Hit targets carry the letterbox offset: the grip sits at design (940, 580).
    float r[4];
    ASSERT_TRUE(ui_rect(w.ui, 15, 0, r));
    EXPECT_FLOAT_EQ(r[0], 1060.f);
    EXPECT_FLOAT_EQ(r[1], 580.f);
    const Hit *controls = ui_hit_test(w.ui, 120.0 + 13.0, 586.0);
    ASSERT_NE(controls, nullptr);
    EXPECT_EQ(controls->kind, HIT_CONTROLS_TOGGLE);
    EXPECT_EQ(ui_hit_test(w.ui, 119.0, 586.0), nullptr) << "the band left of design x 0 is empty";
    w.close();
    free_stage(p);
}

TEST_F(EditorWindowTest, TooltipAppearsAfterFiftyFiveHundredthsOfASecond) {
    tk_test::SteppedClock clock;
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    EditorWindow w;
    ASSERT_TRUE(w.open(p));
    ASSERT_NE(find_hit(w.ui, HIT_GRID_TOGGLE).kind, 0);
    w.move(150, 586);
    ASSERT_EQ(w.ui->input.hover_kind, HIT_GRID_TOGGLE);
    // The tooltip of a bottom-bar target opens above the pointer: y = 586 - 50 = 536.
    std::string path = presets.path() + "/tip.ppm";
    auto shot = [&] {
        EXPECT_TRUE(ui_dump(w.ui, path.c_str()));
        EXPECT_TRUE(w.wait([&] { return !w.ui->win.dump_pending; }));
        Image img;
        EXPECT_TRUE(img.load(path));
        return img;
    };
    // The hover starts now; the dump is drawn a frame or more later (software GL under a
    // sanitizer is slow), so the early shot leaves the whole 0.55 s for it.
    w.ui->input.hover_since = sys_time_s();
    Image early = shot();
    EXPECT_FALSE(colour_near(early, 170, 560, 40, 44, 56, 6)) << "no tooltip before 0.55 s";
    clock.step_ms(600);
    Image late = shot();
    EXPECT_TRUE(colour_near(late, 170, 560, 40, 44, 56, 6)) << "tooltip panel at pointer + 14 / pointer - 50";
    // No tooltip while a menu is open.
    w.ui->overlay.menu_kind = HIT_LOUD_TARGET;
    w.ui->overlay.menu_x = 700;
    w.ui->overlay.menu_y = 100;
    w.ui->overlay.menu_w = 184;
    Image menu = shot();
    EXPECT_FALSE(colour_near(menu, 170, 560, 40, 44, 56, 6));
    w.ui->overlay.menu_kind = 0;
    w.close();
    free_stage(p);
}

TEST_F(EditorWindowTest, PresetMenuRowsAndHeightFollowTheUserList) {
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    for (const char *name : {"alpha", "beta", "gamma"})
        tk_test::write_file(presets.path() + "/" + name + ".tervik", "Tervik preset 1\nname=x\nstages=1\n");
    EditorWindow w;
    ASSERT_TRUE(w.open(p));
    Hit field = find_hit(w.ui, HIT_PRESET_MENU);
    ASSERT_NE(field.kind, 0);
    w.ui->presets.preset_cur = 14; // user preset 2
    w.click_hit(field);
    ASSERT_EQ(w.ui->overlay.menu_kind, HIT_PRESET_MENU);
    EXPECT_EQ(w.ui->presets.user_preset_count, 3);
    ASSERT_TRUE(w.frames());
    int rows = 0;
    float top = 1e9f, bottom = -1e9f;
    for (int i = 0; i < w.ui->input.hit_count; i++) {
        const Hit &h = w.ui->input.hits[i];
        if (h.kind != HIT_MENU_ITEM) continue;
        rows++;
        top = std::min(top, h.y);
        bottom = std::max(bottom, h.y + h.h);
    }
    EXPECT_EQ(rows, 19);
    // Panel at y 35 (below the field), rows from y + 4; H = 19 x 24 + 8 + 30 = 494.
    EXPECT_FLOAT_EQ(top, 35.f + 4.f);
    EXPECT_FLOAT_EQ(bottom, 35.f + 494.f - 4.f);
    float r[4];
    ASSERT_TRUE(ui_rect(w.ui, 14, 0, r)) << "the Delete row is there";
    ASSERT_TRUE(ui_rect(w.ui, 13, 2, r));
    ASSERT_TRUE(ui_rect(w.ui, 12, 0, r));

    // A click outside closes the menu; with a factory preset current there is no Delete row.
    w.click(300, 300);
    EXPECT_EQ(w.ui->overlay.menu_kind, 0);
    w.ui->presets.preset_cur = 2;
    w.no_double();
    w.click_hit(find_hit(w.ui, HIT_PRESET_MENU));
    ASSERT_TRUE(w.frames());
    EXPECT_FALSE(ui_rect(w.ui, 14, 0, r));
    w.close();
    free_stage(p);
}

TEST_F(EditorWindowTest, AboutBoxWebAddressLineLiesOnTopOfThePanel) {
    Stage *p = make_stage(&host);
    ASSERT_NE(p, nullptr);
    EditorWindow w;
    ASSERT_TRUE(w.open(p));

    w.click_hit(find_hit(w.ui, HIT_ABOUT, 0));
    ASSERT_TRUE(w.ui->overlay.about_open);
    ASSERT_TRUE(w.frames());
    float panel[4], line[4];
    ASSERT_TRUE(ui_rect(w.ui, 17, 1, panel));
    ASSERT_TRUE(ui_rect(w.ui, 17, 2, line));
    EXPECT_FLOAT_EQ(panel[0], 280.f);
    EXPECT_FLOAT_EQ(line[0], 385.f);
    const Hit *h = ui_hit_test(w.ui, 480.0, 288.0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->kind, HIT_ABOUT);
    EXPECT_EQ(h->b, 2) << "a click on the address must reach it, not the panel";
    w.click(480, 420); // anywhere else closes the box
    EXPECT_FALSE(w.ui->overlay.about_open);
    w.close();
    free_stage(p);
}

TEST_F(EditorWindowTest, OwnersGroupChangeIsFollowedButViewingAnotherGroupIsNot) {
    Stage *p = make_stage(&host, 0);
    Stage *other = make_stage(&host, 1);
    ASSERT_TRUE(p && other);
    EditorWindow w;
    ASSERT_TRUE(w.open(p));
    EXPECT_EQ(w.ui->chain.group, 0);
    shm_store(p->slot->values[P_GROUP], 2.0); // the host automates Group
    ASSERT_TRUE(w.frames());
    EXPECT_EQ(w.ui->chain.group, 2);
    Hit b = find_hit(w.ui, HIT_GROUP, 1);
    ASSERT_NE(b.kind, 0);
    w.click_hit(b);
    EXPECT_EQ(w.ui->chain.group, 1);
    ASSERT_TRUE(w.frames());
    EXPECT_EQ(w.ui->chain.group, 1) << "viewing group B sticks";
    EXPECT_EQ(value(p, P_GROUP), 2.0) << "and leaves the owner's Group alone";
    w.close();
    free_stage(other);
    free_stage(p);
}

} // namespace
