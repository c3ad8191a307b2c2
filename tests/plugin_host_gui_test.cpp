// Editor embedding by the host library on a private Xvfb: a foreign plug-in's editor
// (ZaMaximX2) in the host's X11 parent window, with its timer run by the host's main loop,
// window capture, and a clean refusal and undo when there is no display.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "host/gui.h"
#include "host/host.h"
#include "tests/util/testutil.h"

namespace {
const char ZAM[] = "/usr/lib/clap/ZaMaximX2.clap";

// The GL driver keeps allocations for the life of the process; pinned in memory they stay
// attributable to it (and the leak checker's suppressions apply) after the plug-in is unloaded.
void pin_gl() {
    for (const char *l : {"libGL.so.1", "libGLX.so.0", "libGLX_mesa.so.0", "libGLdispatch.so.0",
                          "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so"})
        dlopen(l, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
}
} // namespace

TEST(HostGui, ForeignEditorEmbedsAndItsTimerRunsInTheMainLoop) {
    if (access(ZAM, R_OK) != 0) GTEST_SKIP() << ZAM << " is not installed";
    if (tk_test::xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    pin_gl();
    HostLib lib;
    ASSERT_TRUE(lib.load(ZAM));
    HostInstance h(lib);
    ASSERT_TRUE(h.create_and_init());
    ASSERT_TRUE(h.activate(48000, 1, 256));
    ASSERT_TRUE(h.gui_is_api_supported("x11", false));
    h.clear_calls();
    ASSERT_TRUE(h.gui_open()) << h.error();
    EXPECT_TRUE(h.gui_created());
    ASSERT_NE(h.parent(), nullptr);
    EXPECT_GE(h.parent()->child_count(), 1); // the editor's window is inside ours
    uint32_t w = 0, hh = 0;
    ASSERT_TRUE(h.gui_get_size(&w, &hh));
    EXPECT_EQ(h.parent()->width(), w);
    EXPECT_EQ(h.parent()->height(), hh);
    EXPECT_EQ(h.count_calls("register_timer:*"), 1u);
    ASSERT_EQ(h.timer_count(), 1u);
    h.pump_for(80);
    std::vector<uint8_t> rgb;
    uint32_t cw = 0, ch = 0;
    ASSERT_TRUE(h.parent()->capture(&rgb, &cw, &ch));
    EXPECT_EQ(cw, w);
    EXPECT_EQ(ch, hh);
    bool varied = false;
    for (size_t i = 3; i < rgb.size() && !varied; i++) varied = rgb[i] != rgb[i % 3];
    EXPECT_TRUE(varied) << "the captured editor is one flat colour";
    h.gui_close();
    EXPECT_FALSE(h.gui_created());
    EXPECT_EQ(h.parent(), nullptr);
    EXPECT_EQ(h.count_calls("unregister_timer:*"), 1u);
    EXPECT_EQ(h.timer_count(), 0u);
    // A second editor after the first one closed.
    ASSERT_TRUE(h.gui_open()) << h.error();
    h.pump_for(20);
    h.destroy(); // closes the editor first
    EXPECT_FALSE(h.gui_created());
}

TEST(HostGui, WithoutADisplayTheEmbeddingIsRefusedAndUndone) {
    if (access(ZAM, R_OK) != 0) GTEST_SKIP() << ZAM << " is not installed";
    X11Parent p;
    {
        tk_test::ScopedEnv no_display("DISPLAY", ":99999");
        std::string err;
        EXPECT_FALSE(p.create(100, 100, "none", &err));
        EXPECT_FALSE(err.empty());
        EXPECT_FALSE(p.valid());
        HostLib lib;
        ASSERT_TRUE(lib.load(ZAM));
        HostInstance h(lib);
        ASSERT_TRUE(h.create_and_init());
        EXPECT_FALSE(h.gui_open());
        EXPECT_FALSE(h.error().empty());
        EXPECT_FALSE(h.gui_created());
        EXPECT_EQ(h.parent(), nullptr);
        h.idle(); // nothing left to pump
    }
    std::vector<uint8_t> rgb;
    EXPECT_FALSE(p.capture(&rgb, nullptr, nullptr));
    EXPECT_FALSE(p.save_ppm("/tmp/never-written.ppm"));
}
