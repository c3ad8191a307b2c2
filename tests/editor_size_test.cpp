// Size and scale rules of the editor window: nominal sizes from zoom and host scale, the
// host's answer to the editor's own request, and the 40 ms spacing of size requests.
#include "tests/editor_fixture.h"
#include "tests/util/stepped_clock.h"

using namespace edt;

namespace {

class EditorSize : public ::testing::Test {
  protected:
    void SetUp() override {
        EDITOR_NEEDS_DISPLAY();
        p = make_stage(&host);
        ASSERT_NE(p, nullptr);
    }
    void TearDown() override { free_stage(p); }
    Ui *open() {
        Ui *ui = make_editor(p);
        p->ui = ui;
        return ui;
    }
    tk_test::ScopedSegment seg{"edsize"};
    tk_test::ScopedPresetDir presets;
    FakeHost host;
    Stage *p = nullptr;
    tk_test::SteppedClock clock;
};

TEST_F(EditorSize, ZoomOutsideItsRangeCountsAsOne) {
    for (double zoom : {3.0, 0.2, std::nan("")}) {
        p->prefs.ui_scale = zoom;
        Ui *ui = open();
        ASSERT_NE(ui, nullptr);
        uint32_t w = 0, h = 0;
        ui_get_size(ui, &w, &h);
        EXPECT_EQ(w, 960u) << "zoom " << zoom;
        EXPECT_EQ(h, 600u) << "zoom " << zoom;
        ui_destroy(ui);
        p->ui = nullptr;
    }
}

TEST_F(EditorSize, HostScaleTimesZoomGivesTheNominalSize) {
    p->gui_scale = 2.0;
    p->prefs.ui_scale = 1.25;
    Ui *ui = open();
    ASSERT_NE(ui, nullptr);
    uint32_t w = 0, h = 0;
    ui_get_size(ui, &w, &h);
    EXPECT_EQ(w, 2400u);
    EXPECT_EQ(h, 1500u);
    // A later scale from the host replaces the first; a scale that is not a number counts
    // as none given.
    ui_set_scale(ui, 1.5);
    ui_get_size(ui, &w, &h);
    EXPECT_EQ(w, 1800u);
    EXPECT_EQ(h, 1125u);
    ui_set_scale(ui, std::nan(""));
    ui_get_size(ui, &w, &h);
    EXPECT_EQ(w, 1200u);
    EXPECT_EQ(h, 750u);
}

TEST_F(EditorSize, HostGrantingTheEditorsRequestRestoresTheRequestedZoom) {
    Ui *ui = open();
    ASSERT_NE(ui, nullptr);
    request_resize_to_scale(ui, 0.6);
    ASSERT_EQ(host.resizes.size(), 1u);
    EXPECT_EQ(host.resizes[0], std::make_pair(576u, 360u));
    EXPECT_EQ(p->prefs.ui_scale, 1.0) << "the zoom changes only when the host answers";
    EXPECT_TRUE(ui_set_size(ui, 577, 361));
    EXPECT_EQ(p->prefs.ui_scale, 0.6) << "577 / 960 would be 0.601";

    // A size of the host's own choosing sets the zoom from the width, within 0.6..2.5 only.
    EXPECT_TRUE(ui_set_size(ui, 1440, 900));
    EXPECT_DOUBLE_EQ(p->prefs.ui_scale, 1.5);
    EXPECT_TRUE(ui_set_size(ui, 3000, 1875));
    EXPECT_DOUBLE_EQ(p->prefs.ui_scale, 1.5) << "3.125 is outside the zoom range";
    EXPECT_FALSE(ui_set_size(ui, 0, 600));
}

TEST_F(EditorSize, SizeRequestsAreSpacedFortyMillisecondsApart) {
    Ui *ui = open();
    ASSERT_NE(ui, nullptr);
    request_resize_to_scale(ui, 1.2);
    ASSERT_EQ(host.resizes.size(), 1u);
    EXPECT_EQ(host.resizes[0], std::make_pair(1152u, 720u));

    // The first request went out just now: the second waits.
    request_resize_to_scale(ui, 1.3);
    EXPECT_EQ(host.resizes.size(), 1u);
    EXPECT_TRUE(ui->win.req_pending);
    ui_send_pending_request(ui);
    EXPECT_EQ(host.resizes.size(), 1u) << "still inside the 40 ms";
    request_resize_to_scale(ui, 1.4); // only the latest held-back scale is sent
    clock.step_ms(41);
    ui_send_pending_request(ui);
    ASSERT_EQ(host.resizes.size(), 2u);
    EXPECT_EQ(host.resizes[1], std::make_pair(1344u, 840u));
    EXPECT_FALSE(ui->win.req_pending);
}

TEST_F(EditorSize, ReturningToTheRequestedSizeDropsAHeldBackRequest) {
    Ui *ui = open();
    ASSERT_NE(ui, nullptr);
    request_resize_to_scale(ui, 1.2);
    request_resize_to_scale(ui, 1.4); // held back
    ASSERT_TRUE(ui->win.req_pending);
    request_resize_to_scale(ui, 1.2); // back where the last request stands
    EXPECT_FALSE(ui->win.req_pending);
    clock.step_ms(41);
    ui_send_pending_request(ui);
    ASSERT_EQ(host.resizes.size(), 1u) << "the window must stay at the size the user ended on";
}

TEST_F(EditorSize, ZoomRequestsAreClampedToTheZoomRange) {
    p->gui_scale = 2.0;
    Ui *ui = open();
    ASSERT_NE(ui, nullptr);
    request_resize_to_scale(ui, 100.0);
    ASSERT_EQ(host.resizes.size(), 1u);
    EXPECT_EQ(host.resizes[0], std::make_pair(4800u, 3000u)); // host scale 2 x zoom 2.5
    EXPECT_DOUBLE_EQ(ui->win.req_zoom, 2.5);
    ui->win.req_time = 0;
    request_resize_to_scale(ui, std::nan(""));
    ASSERT_EQ(host.resizes.size(), 2u);
    EXPECT_EQ(host.resizes[1], std::make_pair(1152u, 720u)); // 2 x 0.6
}

TEST_F(EditorSize, CallsBeforeEmbeddingAnswerFalse) {
    Ui *ui = open();
    ASSERT_NE(ui, nullptr);
    EXPECT_FALSE(ui_show(ui));
    EXPECT_FALSE(ui_hide(ui));
    float r[4];
    EXPECT_FALSE(ui_rect(ui, 1, 0, r));
    uint8_t rgb[3];
    EXPECT_FALSE(ui_probe(ui, rgb));
    EXPECT_EQ(ui_graph(ui, nullptr, nullptr, 10), 0);
}

} // namespace
