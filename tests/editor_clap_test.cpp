// The editor inside the real Tervik.clap, opened by the host library the way a host opens
// it: real XTest input on it reaches the owning host as CLAP parameter gestures.
#include <memory>

#include "host/host.h"
#include "tests/editor_fixture.h"

namespace {

constexpr uint32_t CEILING_ID = 3;

class EditorInClap : public ::testing::Test {
  protected:
    void SetUp() override {
        EDITOR_NEEDS_DISPLAY();
        ASSERT_TRUE(lib.load(TERVIK_CLAP_PATH)) << lib.error();
        inst = std::make_unique<HostInstance>(lib);
        inst->options().log_to_stderr = false;
        ASSERT_TRUE(inst->create_and_init()) << inst->error();
        ASSERT_NE(inst->debug_ext(), nullptr);
        xt = XOpenDisplay(nullptr);
        ASSERT_NE(xt, nullptr);
    }
    void TearDown() override {
        if (xt) XCloseDisplay(xt);
        if (inst) inst->destroy();
        inst.reset();
        lib.unload();
    }
    // Runs the host's main loop (timers, flushes, X events) until pred holds or ~5 s pass.
    template <class F> bool idle_until(F pred) {
        for (int i = 0; i < 2500; i++) {
            inst->idle();
            if (pred()) return true;
            sys_sleep_ms(2);
        }
        return false;
    }
    void idle_a_little() {
        XSync(xt, False);
        for (int i = 0; i < 4; i++) {
            sys_sleep_ms(17);
            inst->idle();
        }
    }
    void move(double x, double y) {
        XTestFakeMotionEvent(xt, -1, (int)std::lround(x), (int)std::lround(y), CurrentTime);
        idle_a_little();
    }
    void button(bool down) {
        XTestFakeButtonEvent(xt, 1, down ? True : False, CurrentTime);
        idle_a_little();
    }

    tk_test::ScopedSegment seg{"edclap"};
    tk_test::ScopedPresetDir presets;
    HostLib lib;
    std::unique_ptr<HostInstance> inst;
    Display *xt = nullptr;
};

TEST_F(EditorInClap, AKnobDragArrivesAtTheOwningHostAsOneGesture) {
    ASSERT_TRUE(inst->gui_open(576, 360)) << inst->error();
    edt::keep_gl_driver_loaded();
    const tervik_plugin_debug_t *dbg = inst->debug_ext();
    uint8_t rgb[3];
    ASSERT_TRUE(idle_until([&] { return dbg->editor_probe(inst->plugin(), rgb); })) << "no first frame";
    float r[4];
    ASSERT_TRUE(dbg->editor_rect(inst->plugin(), 2, 0, r)) << "Ceiling knob";
    // The 0.6 zoom of a 576 x 360 window: the knob is 52 x 52 units.
    EXPECT_NEAR(r[2], 52 * 0.6, 0.01);
    double cx = r[0] + r[2] / 2, cy = r[1] + r[3] / 2;
    inst->take_events();
    move(cx, cy);
    button(true);
    for (int i = 1; i <= 4; i++)
        move(cx, cy + 160 * 0.6 * i / 4); // 160 units down
    button(false);
    ASSERT_TRUE(idle_until([&] {
        double v = 0;
        return inst->param_value(CEILING_ID, &v) && v == -12.0;
    })) << "160 units cover the Ceiling's whole range (-12 to 0 dB)";

    std::vector<OutEvent> ev;
    ASSERT_TRUE(idle_until([&] {
        for (const OutEvent &e : inst->take_events())
            ev.push_back(e);
        return !ev.empty() && ev.back().type == CLAP_EVENT_PARAM_GESTURE_END;
    })) << "the host got no gesture end";
    size_t begins = 0, ends = 0, values = 0;
    for (const OutEvent &e : ev) {
        if (e.param_id != CEILING_ID) continue;
        if (e.type == CLAP_EVENT_PARAM_GESTURE_BEGIN) {
            EXPECT_EQ(values, 0u) << "begin comes first";
            begins++;
        } else if (e.type == CLAP_EVENT_PARAM_VALUE) {
            EXPECT_EQ(begins, 1u);
            values++;
        } else if (e.type == CLAP_EVENT_PARAM_GESTURE_END) {
            ends++;
        }
    }
    EXPECT_EQ(begins, 1u);
    EXPECT_GE(values, 1u);
    EXPECT_EQ(ends, 1u);
    bool last_value_is_min = false;
    for (const OutEvent &e : ev)
        if (e.type == CLAP_EVENT_PARAM_VALUE && e.param_id == CEILING_ID) last_value_is_min = e.value == -12.0;
    EXPECT_TRUE(last_value_is_min);
    inst->gui_close();
}

} // namespace
