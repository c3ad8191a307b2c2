// The GUI and timer-support glue of the real Tervik.clap: the size rules a host asks for,
// the x11-only API, one editor per instance, the host timer and its warning.
#include "plugin_fixture.h"

namespace {

void expect_adjust(HostInstance *h, uint32_t w, uint32_t hh, uint32_t ew, uint32_t eh) {
    uint32_t a = w, b = hh;
    ASSERT_TRUE(h->gui_adjust_size(&a, &b));
    EXPECT_EQ(a, ew) << w << "x" << hh;
    EXPECT_EQ(b, eh) << w << "x" << hh;
}

} // namespace

TEST_F(ClapTest, GuiSizeRulesAndApiNeedNoEditor) {
    HostInstance *h = make();
    expect_adjust(h, 1920, 1080, 1728, 1080);
    expect_adjust(h, 500, 300, 576, 360);
    expect_adjust(h, 5000, 5000, 2400, 1500);
    expect_adjust(h, 960, 700, 960, 600);
    expect_adjust(h, 0, 0, 576, 360);
    expect_adjust(h, 0xFFFFFFFFu, 0xFFFFFFFFu, 2400, 1500);
    const clap_plugin_gui_t *g = h->gui_ext();
    ASSERT_NE(g, nullptr);
    EXPECT_FALSE(g->adjust_size(h->plugin(), nullptr, nullptr));
    EXPECT_TRUE(h->gui_is_api_supported("x11", false));
    EXPECT_FALSE(h->gui_is_api_supported("x11", true));
    EXPECT_FALSE(h->gui_is_api_supported("wayland", false));
    EXPECT_FALSE(g->is_api_supported(h->plugin(), nullptr, false));
    const char *api = nullptr;
    bool floating = true;
    ASSERT_TRUE(g->get_preferred_api(h->plugin(), &api, &floating));
    EXPECT_STREQ(api, "x11");
    EXPECT_FALSE(floating);
    clap_gui_resize_hints_t hints{};
    ASSERT_TRUE(g->get_resize_hints(h->plugin(), &hints));
    EXPECT_TRUE(hints.can_resize_horizontally && hints.can_resize_vertically && hints.preserve_aspect_ratio);
    EXPECT_EQ(hints.aspect_ratio_width, 960u);
    EXPECT_EQ(hints.aspect_ratio_height, 600u);
    EXPECT_TRUE(g->can_resize(h->plugin()));
    // Without an editor: size calls fail, the scale is remembered, show and hide fail.
    uint32_t w = 0, hh = 0;
    EXPECT_FALSE(h->gui_get_size(&w, &hh));
    EXPECT_FALSE(h->gui_set_size(960, 600));
    EXPECT_TRUE(h->gui_set_scale(2.0));
    EXPECT_FALSE(h->gui_show());
    EXPECT_FALSE(h->gui_hide());
    clap_window_t win{CLAP_WINDOW_API_X11, {0}};
    EXPECT_FALSE(g->set_parent(h->plugin(), &win));
    EXPECT_FALSE(g->set_transient(h->plugin(), &win));
    EXPECT_FALSE(h->gui_create("x11", true));
    EXPECT_FALSE(h->gui_create("cocoa", false));
}

TEST_F(ClapTest, OneEditorPerInstanceWithItsHostTimer) {
    if (tk_test::xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    HostInstance *h = make();
    size_t own = h->timer_count();      // the stage's own timer, registered at init
    ASSERT_TRUE(h->gui_set_scale(2.0)); // remembered for the editor to come
    ASSERT_TRUE(h->gui_create("x11", false));
    EXPECT_EQ(h->count_calls("register_timer:16"), 1u);
    EXPECT_EQ(h->timer_count(), own + 1);
    ASSERT_TRUE(h->gui_create("x11", false)); // a second create changes nothing
    EXPECT_EQ(h->count_calls("register_timer:*"), 1u);
    uint32_t w = 0, hh = 0;
    ASSERT_TRUE(h->gui_get_size(&w, &hh));
    EXPECT_EQ(w, 1920u);
    EXPECT_EQ(hh, 1200u);
    EXPECT_FALSE(h->gui_show()); // not embedded yet
    h->gui_destroy();
    EXPECT_EQ(h->count_calls("unregister_timer:*"), 1u);
    EXPECT_EQ(h->timer_count(), own);
    EXPECT_FALSE(h->gui_get_size(&w, &hh));
}

TEST_F(ClapTest, HostWithoutTimerSupportGetsAWarningAndAStillEditor) {
    if (tk_test::xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    for (ExtOffer offer : {ExtOffer::Off, ExtOffer::NullFns}) {
        HostOptions o;
        o.timer = offer;
        o.log_to_stderr = false;
        HostInstance *h = make(o);
        EXPECT_TRUE(h->gui_create("x11", false));
        EXPECT_EQ(h->count_calls("log:2:Tervik: host has no clap.timer-support, the editor cannot run"), 1u);
        h->gui_destroy();
    }
}
