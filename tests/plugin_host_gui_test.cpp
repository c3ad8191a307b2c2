// Editor embedding by the host library on a private Xvfb: a foreign plug-in's editor
// (ZaMaximX2) in the host's X11 parent window, with its timer run by the host's main loop,
// window capture, a clean refusal and undo when there is no display, and editor sessions of
// Tervik: one outlives the loss of the editor's and then of the window's X connection, one
// ends in order on SIGTERM.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include <X11/Xlib.h>

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

// The environment of a `tervik-host editor` child. Its GL driver is unloaded with the last
// X connection, and LeakSanitizer then reports what the driver kept as leaks of an unknown
// module that no suppression can name: leak checking is off in the child.
std::vector<std::string> editor_child_env() {
    const char *o = getenv("ASAN_OPTIONS");
    return {"ASAN_OPTIONS=" + (o && *o ? std::string(o) + ":" : std::string()) + "detect_leaks=0"};
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
    for (size_t i = 3; i < rgb.size() && !varied; i++)
        varied = rgb[i] != rgb[i % 3];
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

TEST(HostGui, AnEditorSessionOutlivesTheLossOfTheEditorsAndThenTheWindowsXConnection) {
    if (tk_test::xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    tk_test::ScopedSegment seg("hostxio");
    tk_test::ScopedPresetDir presets;
    tk_test::Child host; // standard error joins standard output, for the plug-in's log lines
    ASSERT_TRUE(host.start(
        {"/bin/sh", "-c", "exec \"$0\" editor --plugin \"$1\" --stages 1 2>&1", TERVIK_HOST_PATH, TERVIK_CLAP_PATH},
        editor_child_env()));
    std::string line = host.wait_for("stage 1: editor ", 30000);
    ASSERT_NE(line.find(" window 0x"), std::string::npos) << line;
    Window parent = (Window)strtoul(line.c_str() + line.find(" window 0x") + 8, nullptr, 16);
    Display *d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    Window root = 0, up = 0, *kids = nullptr;
    unsigned n = 0;
    ASSERT_TRUE(XQueryTree(d, parent, &root, &up, &kids, &n));
    Window editor = n == 1 ? kids[0] : 0;
    if (kids) XFree(kids);
    ASSERT_NE(editor, 0u) << "the editor's window inside the host's";
    // The server drops the editor's connection (as when it goes away): the plug-in finds
    // out at its next tick, says so, and its host keeps running.
    XKillClient(d, editor);
    XSync(d, False);
    EXPECT_FALSE(host.wait_for("[plug-in log 3] Tervik: the editor lost its X server connection", 30000).empty());
    // Then the connection of the host's window: the host closes that editor and, with no
    // editor left, ends the session in order with an error.
    XKillClient(d, parent);
    XSync(d, False);
    EXPECT_FALSE(host.wait_for("error: stage 1: the X connection of the editor's window was lost", 30000).empty());
    EXPECT_FALSE(host.wait_for("processed ", 30000).empty());
    std::string rest, l; // the teardown that follows, sanitizers' reports included
    while (host.read_line(&l, 30000))
        rest += l + "\n";
    EXPECT_EQ(rest.find("Sanitizer"), std::string::npos) << rest;
    EXPECT_EQ(host.wait(30000), 1);
    XCloseDisplay(d);
}

TEST(HostGui, SigtermEndsAnEditorSessionInOrderWithItsScreenshot) {
    if (tk_test::xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    tk_test::ScopedSegment seg("hostterm");
    tk_test::ScopedPresetDir presets;
    std::string dir = tk_test::make_temp_dir("hostterm");
    tk_test::Child host;
    ASSERT_TRUE(
        host.start({TERVIK_HOST_PATH, "editor", "--plugin", TERVIK_CLAP_PATH, "--stages", "1", "--shot", dir + "/shot"},
                   editor_child_env()));
    ASSERT_FALSE(host.wait_for("stage 1: editor ", 30000).empty());
    kill(host.pid(), SIGTERM);
    EXPECT_FALSE(host.wait_for("stage 1: screenshot " + dir + "/shot-1.ppm", 30000).empty());
    EXPECT_FALSE(host.wait_for("processed ", 30000).empty());
    EXPECT_EQ(host.wait(30000), 0);
    tk_test::remove_tree(dir);
}
