// The editor of the real Tervik.clap in the real host library with the newer CLAP
// extensions: the host's mapping and automation indications drawn on the controls at the
// next frame (pixels of its screenshots), a right-click asking the host for its context
// menu, and a preset loaded by the host undone from the editor.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "host/chain.h"
#include "host/host.h"
#include "registry/testing/registry_testing.h"
#include "tests/editor_fixture.h"
#include "tests/util/ppm_image.h"

namespace {

using Image = tk_test::PpmImage;

constexpr uint32_t GAIN = 2, CEILING = 3, TRUE_PEAK = 6, MIX = 15;

// The colour of the nearest pixel to (r, g, b) within `reach` pixels of (x, y): the marks are
// a few pixels wide and anti-aliased.
::testing::AssertionResult mark_near(const Image &img, int x, int y, int r, int g, int b, int reach = 2, int tol = 24) {
    int best = 1 << 30;
    Image::Px seen{0, 0, 0};
    for (int dy = -reach; dy <= reach; dy++)
        for (int dx = -reach; dx <= reach; dx++) {
            int px = x + dx, py = y + dy;
            if (px < 0 || py < 0 || (uint32_t)px >= img.w || (uint32_t)py >= img.h) continue;
            Image::Px p = img.at((uint32_t)px, (uint32_t)py);
            int d = std::max({std::abs(p.r - r), std::abs(p.g - g), std::abs(p.b - b)});
            if (d < best) {
                best = d;
                seen = p;
            }
        }
    if (best <= tol) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no pixel near (" << x << "," << y << ") is about " << r << "," << g << ","
                                         << b << "; the closest is " << seen.r << "," << seen.g << "," << seen.b;
}

class EditorClapExt : public ::testing::Test {
  protected:
    void SetUp() override {
        EDITOR_NEEDS_DISPLAY();
        shared_test_reset();
        ASSERT_TRUE(lib.load(TERVIK_CLAP_PATH)) << lib.error();
        xt = XOpenDisplay(nullptr);
        ASSERT_NE(xt, nullptr);
    }
    void TearDown() override {
        if (xt) XCloseDisplay(xt);
        chain.clear();
        lib.unload();
        shared_test_reset();
    }
    // A chain of n stages that has processed in series; the first one's editor opened at
    // 960 x 600 (one pixel per design unit).
    void open(int n, const HostOptions &opt = HostOptions()) {
        HostOptions o = opt;
        o.log_to_stderr = false;
        ASSERT_TRUE(chain.create(lib, n, o));
        ASSERT_TRUE(chain.activate(48000, 32, 512));
        ASSERT_TRUE(chain.run_blocks(40, 512));
        h = &chain.stage(0);
        ASSERT_TRUE(h->gui_open(960, 600)) << h->error();
        edt::keep_gl_driver_loaded();
        uint8_t rgb[3];
        ASSERT_TRUE(idle_until([&] { return h->debug_ext()->editor_probe(h->plugin(), rgb); })) << "no first frame";
    }
    template <class F> bool idle_until(F pred) {
        for (int i = 0; i < 2500; i++) {
            chain.idle();
            if (pred()) return true;
            sys_sleep_ms(2);
        }
        return false;
    }
    // The next frame's picture.
    Image shot(const char *name) {
        std::string path = dir.path() + "/" + name + ".ppm";
        unlink(path.c_str());
        Image img;
        EXPECT_TRUE(h->debug_ext()->editor_dump(h->plugin(), path.c_str()));
        EXPECT_TRUE(idle_until([&] { return img.load(path); })) << "no screenshot " << path;
        return img;
    }
    void idle_a_little() {
        XSync(xt, False);
        for (int i = 0; i < 4; i++) {
            sys_sleep_ms(17);
            chain.idle();
        }
    }
    void click(double x, double y, unsigned button = 1) {
        XTestFakeMotionEvent(xt, -1, (int)std::lround(x), (int)std::lround(y), CurrentTime);
        idle_a_little();
        XTestFakeButtonEvent(xt, button, True, CurrentTime);
        idle_a_little();
        XTestFakeButtonEvent(xt, button, False, CurrentTime);
        idle_a_little();
    }
    void rect(uint32_t id, float r[4]) { ASSERT_TRUE(h->debug_ext()->editor_rect(h->plugin(), id, 0, r)) << id; }
    double v(size_t stage, uint32_t id) {
        double x = -999;
        EXPECT_TRUE(chain.stage(stage).param_value(id, &x));
        return x;
    }
    SharedSlot *slot0() {
        std::vector<uint8_t> blob;
        uint64_t uid = 0;
        if (h->state_save(&blob) && blob.size() >= 16) memcpy(&uid, blob.data() + 8, 8);
        for (int i = 0; i < shared_max(); i++)
            if (SharedSlot *s = shared_at(i); s && shm_load(s->ident.uid) == uid) return s;
        return nullptr;
    }

    tk_test::ScopedSegment seg{"edext"};
    tk_test::ScopedPresetDir dir;
    HostLib lib;
    Chain chain;
    HostInstance *h = nullptr;
    Display *xt = nullptr;
};

} // namespace

TEST_F(EditorClapExt, HostIndicationsAppearOnTheMatchingControlsAtTheNextFrame) {
    ASSERT_NO_FATAL_FAILURE(open(1));
    Image before = shot("before");
    const clap_color_t cyan = {255, 0, 200, 255};
    const clap_color_t violet = {255, 170, 60, 230};
    // A controller mapped to Ceiling (first knob, centre x 106) and to True peak (first
    // switch at x 418); Mix (last knob, x 362) playing automation; Gain (the slider)
    // recording; the Ceiling knob's automation overridden in the host's colour.
    ASSERT_TRUE(h->indicate_mapping(CEILING, true, &cyan, "K1", "Knob 1 of the controller"));
    ASSERT_TRUE(h->indicate_mapping(TRUE_PEAK, true, nullptr));
    ASSERT_TRUE(h->indicate_automation(MIX, CLAP_PARAM_INDICATION_AUTOMATION_PLAYING, nullptr));
    ASSERT_TRUE(h->indicate_automation(GAIN, CLAP_PARAM_INDICATION_AUTOMATION_RECORDING, nullptr));
    ASSERT_TRUE(h->indicate_automation(CEILING, CLAP_PARAM_INDICATION_AUTOMATION_OVERRIDING, &violet));
    Image marked = shot("marked");
    EXPECT_TRUE(mark_near(marked, 84, 506, 0, 200, 255, 1, 12)) << "mapping mark in the host's colour";
    EXPECT_TRUE(mark_near(marked, 426, 524, 110, 170, 255, 1)) << "mapping mark without a colour";
    EXPECT_TRUE(mark_near(marked, 340, 540, 96, 204, 120, 1)) << "automation playing";
    EXPECT_TRUE(mark_near(marked, 52, 552, 236, 70, 60, 1)) << "automation recording";
    EXPECT_TRUE(mark_near(marked, 84, 540, 170, 60, 230, 4, 70)) << "automation overridden, host's colour";
    EXPECT_FALSE(mark_near(before, 84, 540, 170, 60, 230, 4, 70));
    EXPECT_FALSE(mark_near(before, 84, 506, 0, 200, 255, 2, 60));
    EXPECT_FALSE(mark_near(before, 340, 540, 96, 204, 120, 2, 60));

    // The grid shows them on its cells too (Ceiling is the grid's second row).
    float g[4];
    rect(4, g);
    click(g[0] + g[2] / 2, g[1] + g[3] / 2);
    Image grid = shot("grid");
    const float gy = 466.f - 4.f - 238.f, cw = 170.f, gx = 144.f;
    EXPECT_TRUE(mark_near(grid, (int)(gx + cw - 5), (int)(gy + 28 + 17 + 8.5f), 0, 200, 255, 1, 16)) << "grid cell";

    // Cleared, the marks go at the next frame.
    ASSERT_TRUE(h->indicate_mapping(CEILING, false, nullptr));
    ASSERT_TRUE(h->indicate_automation(MIX, CLAP_PARAM_INDICATION_AUTOMATION_NONE, nullptr));
    ASSERT_TRUE(h->indicate_automation(MIX, 99, nullptr)); // an unknown state shows nothing
    Image cleared = shot("cleared");
    EXPECT_FALSE(mark_near(cleared, 84, 506, 0, 200, 255, 2, 60));
    EXPECT_FALSE(mark_near(cleared, 340, 540, 96, 204, 120, 2, 60));
    EXPECT_TRUE(mark_near(cleared, 426, 524, 110, 170, 255, 1)) << "the other mapping stays";
    h->gui_close();
}

TEST_F(EditorClapExt, RightClickOnAParameterPopsUpTheHostsMenuWithThePluginsItems) {
    ASSERT_NO_FATAL_FAILURE(open(1));
    float r[4];
    rect(2, r); // the Ceiling knob
    double cx = r[0] + r[2] / 2, cy = r[1] + r[3] / 2;
    InputEvents in(2);
    in.add_param(0, CEILING, -6);
    ASSERT_TRUE(h->flush(&in));
    h->clear_calls();
    click(cx, cy, 3);
    ASSERT_TRUE(idle_until([&] { return h->count_calls("context_menu_popup:*") > 0; })) << "no popup asked for";
    std::vector<std::string> calls = h->calls();
    int x = -1, y = -1;
    for (const std::string &c : calls)
        if (sscanf(c.c_str(), "context_menu_popup:1:3:0:%d:%d", &x, &y) == 2) break;
    EXPECT_NEAR(x, cx, 2);
    EXPECT_NEAR(y, cy, 2);
    EXPECT_EQ(v(0, CEILING), -6) << "a right-click changes nothing itself";

    // The host's items first, then the plug-in's.
    const std::vector<MenuItemDesc> &menu = h->last_menu();
    std::vector<std::string> plugin_labels;
    clap_id reset = 0, learn = 0, clear = 0;
    bool clear_enabled = true;
    for (const MenuItemDesc &m : menu) {
        if (!m.from_plugin) continue;
        if (m.kind == CLAP_CONTEXT_MENU_ITEM_ENTRY) plugin_labels.push_back(m.label);
        if (m.label == "Reset to default") reset = m.action;
        if (m.label == "MIDI learn") learn = m.action;
        if (m.label == "Clear MIDI mapping") {
            clear = m.action;
            clear_enabled = m.enabled;
        }
    }
    ASSERT_GE(menu.size(), 5u);
    EXPECT_EQ(menu[0].label, "Show automation");
    EXPECT_FALSE(menu[0].from_plugin);
    EXPECT_EQ(plugin_labels, (std::vector<std::string>{"Reset to default", "MIDI learn", "Clear MIDI mapping"}));
    EXPECT_FALSE(clear_enabled) << "nothing is mapped yet";

    // The host performs the plug-in's items.
    clap_context_menu_target_t t = {CLAP_CONTEXT_MENU_TARGET_KIND_PARAM, CEILING};
    h->take_events();
    ASSERT_TRUE(h->context_menu_perform(&t, reset));
    EXPECT_EQ(v(0, CEILING), -0.3);
    ASSERT_TRUE(idle_until([&] {
        for (const OutEvent &e : h->take_events())
            if (e.type == CLAP_EVENT_PARAM_VALUE && e.param_id == CEILING && e.value == -0.3) return true;
        return false;
    })) << "the host hears the reset";
    ASSERT_TRUE(h->context_menu_perform(&t, learn));
    InputEvents cc(2);
    cc.add_midi(0, 0xB0, 44, 5);
    ASSERT_TRUE(h->flush(&cc));
    SharedSlot *s = slot0();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(shm_load(s->midi.midi_cc[2]), 44);
    bool enabled = false;
    for (const MenuItemDesc &m : h->context_menu(&t))
        if (m.label == "Clear MIDI mapping") enabled = m.enabled;
    EXPECT_TRUE(enabled);
    ASSERT_TRUE(h->context_menu_perform(&t, clear));
    EXPECT_EQ(shm_load(s->midi.midi_cc[2]), -1);
    EXPECT_FALSE(h->context_menu_perform(&t, 999));
    h->gui_close();
}

TEST_F(EditorClapExt, WithoutTheHostsMenuARightClickDoesNothing) {
    HostOptions opt;
    opt.context_menu = ExtOffer::Off;
    ASSERT_NO_FATAL_FAILURE(open(1, opt));
    float r[4];
    rect(2, r);
    InputEvents in(2);
    in.add_param(0, CEILING, -6);
    ASSERT_TRUE(h->flush(&in));
    h->take_events();
    click(r[0] + r[2] / 2, r[1] + r[3] / 2, 3);
    EXPECT_EQ(h->count_calls("context_menu_*"), 0u);
    EXPECT_EQ(v(0, CEILING), -6);
    for (const OutEvent &e : h->take_events())
        EXPECT_NE(e.param_id, CEILING) << "an edit from a right-click";
    // The editor still works as before.
    click(r[0] + r[2] / 2, r[1] + r[3] / 2, 1);
    EXPECT_EQ(v(0, CEILING), -6);
    h->gui_close();
}

TEST_F(EditorClapExt, APresetTheHostLoadedIsOneStepTheEditorUndoes) {
    ASSERT_NO_FATAL_FAILURE(open(2));
    InputEvents in(2);
    in.add_param(0, MIX, 50);
    ASSERT_TRUE(chain.stage(1).flush(&in));
    ASSERT_TRUE(h->preset_load(CLAP_PRESET_DISCOVERY_LOCATION_PLUGIN, nullptr, "chain:0")); // 3 x gentle
    EXPECT_EQ(v(0, GAIN), 2);
    EXPECT_EQ(v(1, GAIN), 2);
    EXPECT_EQ(v(1, MIX), 50) << "factory presets leave Mix";
    float u[4];
    ASSERT_TRUE(idle_until([&] { return h->debug_ext()->editor_rect(h->plugin(), 9, 0, u); }));
    click(u[0] + u[2] / 2, u[1] + u[3] / 2);
    ASSERT_TRUE(idle_until([&] { return v(0, GAIN) == 0 && v(1, GAIN) == 0; })) << "undo restores both stages";
    EXPECT_EQ(v(1, 4), 100); // Release back to its default
    EXPECT_EQ(v(1, MIX), 50);
    h->gui_close();
}
