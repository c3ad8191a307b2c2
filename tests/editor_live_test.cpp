// The editor of a real chain while it plays: stages of the real Tervik.clap processing in
// series on the host's audio thread, the first stage's editor open, the graph columns and
// the screen read back through the debug extension.
#include <clap/entry.h>
#include <unistd.h>

#include <memory>

#include "editor/ui.h"
#include "host/chain.h"
#include "host/signal.h"
#include "registry/testing/registry_testing.h"
#include "tests/editor_fixture.h"
#include "tests/util/stepped_clock.h"

namespace {

class EditorLive : public ::testing::Test {
  protected:
    void SetUp() override {
        EDITOR_NEEDS_DISPLAY();
        shared_test_reset();
        ASSERT_TRUE(lib.load(TERVIK_CLAP_PATH)) << lib.error();
        demo = demo_signal(48000, 8.0, 2);
    }
    void TearDown() override {
        if (chain) {
            chain->stop();
            if (chain->size()) chain->stage(0).gui_close();
            chain->clear();
        }
        chain.reset();
        lib.unload();
        shared_test_reset();
    }
    void start(int n, const std::vector<std::pair<int, double>> &gains) {
        chain = std::make_unique<Chain>(2);
        HostOptions opt;
        opt.log_to_stderr = false;
        opt.record_calls = false;
        ASSERT_TRUE(chain->create(lib, n, opt));
        for (auto [stage, gain] : gains) {
            InputEvents ev(2);
            ev.add_param(0, 2, gain);
            chain->stage((size_t)stage).flush(&ev);
        }
        ASSERT_TRUE(chain->activate(48000, 1, 256));
        src = std::make_unique<BufferSource>(demo, true);
        chain->set_source(src.get());
        ASSERT_TRUE(chain->start(256, true));
        ASSERT_TRUE(chain->stage(0).gui_open()) << chain->stage(0).error();
        edt::keep_gl_driver_loaded();
    }
    // Runs the host's main loop (the editor's timer among it) for ms milliseconds.
    void play(int ms) {
        for (uint64_t end = host_now_ns() + (uint64_t)ms * 1000000ull; host_now_ns() < end;) {
            chain->idle();
            usleep(3000);
        }
    }
    // Runs the main loop until done() holds or 20 s have passed; returns done().
    template <typename F> bool play_until(F done) {
        for (uint64_t end = host_now_ns() + 20000000000ull; host_now_ns() < end; play(20))
            if (done()) return true;
        return done();
    }
    // Columns of the graph with audio in them.
    int audio_columns() {
        GraphInfo info{};
        std::vector<GraphCol> cols;
        int n = graph(&info, &cols), with_data = 0;
        for (int i = 0; i < n; i++)
            with_data += cols[(size_t)i].in_db > -119.f;
        return with_data;
    }
    int graph(GraphInfo *info, std::vector<GraphCol> *cols) {
        cols->assign(GRAPH_MAX_COLS, GraphCol{});
        const tervik_plugin_debug_t *d = chain->stage(0).debug_ext();
        return d->editor_graph(chain->stage(0).plugin(), cols->data(), info, GRAPH_MAX_COLS);
    }

    tk_test::ScopedSegment seg{"edlive"};
    tk_test::ScopedPresetDir presets;
    HostLib lib;
    Audio demo;
    std::unique_ptr<BufferSource> src;
    std::unique_ptr<Chain> chain;
    std::unique_ptr<tk_test::SteppedClock> clock;
};

} // namespace

TEST_F(EditorLive, ThreeStagesInSeriesFillTheGraphWithTheirCurvesAndBands) {
    start(3, {{0, 8.0}, {1, 3.0}, {2, 3.0}});
    // Three seconds of audio are 560 columns; the assertions below need more than 300.
    play_until([&] { return audio_columns() >= 560; });
    GraphInfo info{};
    std::vector<GraphCol> cols;
    int n = graph(&info, &cols);
    ASSERT_GT(n, 1000) << "at 960 x 600 and 48 kHz the graph has 1800 columns";
    EXPECT_EQ(info.chain_len, 3u);
    EXPECT_EQ(info.stages, 3u);
    EXPECT_EQ(info.recent_mask, 7u);
    EXPECT_EQ(info.bucket, 4u);
    // Columns with audio take the input curve from the first stage and the output curve
    // and loudness from the last; every stage reduces somewhere in the picture.
    int with_data = 0;
    float gr_max[3] = {0, 0, 0};
    for (int i = 0; i < n; i++) {
        const GraphCol &c = cols[(size_t)i];
        if (c.in_db <= -119.f) continue;
        with_data++;
        EXPECT_EQ(c.in_stage, 0) << i;
        EXPECT_EQ(c.out_stage, 2) << i;
        EXPECT_LE(c.out_db, -0.3f + 0.2f) << "the chain's output never passes the last ceiling";
        for (int s = 0; s < 3; s++)
            gr_max[s] = std::max(gr_max[s], c.gr[s]);
    }
    EXPECT_GT(with_data, 300); // three seconds of six
    for (int s = 0; s < 3; s++)
        EXPECT_GT(gr_max[s], 0.5f) << "stage " << s + 1;
    // The screen shows it: the shown (first) stage's band in its colour under the top edge.
    std::string path = tk_test::make_temp_dir("live") + "/live.ppm";
    const tervik_plugin_debug_t *d = chain->stage(0).debug_ext();
    ASSERT_TRUE(d->editor_dump(chain->stage(0).plugin(), path.c_str()));
    // The next frame writes both files, within one pass of the host's main loop.
    for (uint64_t end = host_now_ns() + 10000000000ull; access(path.c_str(), F_OK) != 0 && host_now_ns() < end;)
        play(5);
    std::string ppm = tk_test::read_file(path);
    EXPECT_GT(ppm.size(), 960u * 600u * 3u);
    std::string cols_txt = tk_test::read_file(path + ".cols.txt");
    EXPECT_EQ(cols_txt.rfind("W ", 0), 0u) << "the column dump goes with the screenshot";
    tk_test::remove_tree(path.substr(0, path.rfind('/')));
}

TEST_F(EditorLive, AStoppedTransportLeavesAGapThatIsNotDrawn) {
    // The plug-in linked into this program reads its clock, so the pause is stepped.
    lib.unload();
    ASSERT_TRUE(lib.load_linked(&clap_entry, TERVIK_CLAP_PATH)) << lib.error();
    clock = std::make_unique<tk_test::SteppedClock>(); // removed after TearDown stops the chain
    start(1, {{0, 6.0}});
    play_until([&] { return audio_columns() >= 250; });
    uint64_t paused = host_now_ns();
    chain->set_transport(false);
    uint64_t passes = chain->stopped_passes();
    ASSERT_TRUE(tk_test::poll_until([&] { return chain->stopped_passes() >= passes + 2; })); // no call runs now
    clock->step_ms(1200);
    chain->set_transport(true);
    paused = host_now_ns() - paused + 1200000000ull;
    int before = audio_columns();
    play_until([&] { return audio_columns() >= before + 250; });
    GraphInfo info{};
    std::vector<GraphCol> cols;
    int n = graph(&info, &cols);
    ASSERT_GT(n, 1000);
    // Walking from the oldest column: audio, then a run of empty columns as long as the
    // pause (an eighth of the width: a column is four rows of 64 frames), then audio again.
    int first = -1, last = -1;
    for (int i = 0; i < n; i++) {
        if (cols[(size_t)i].in_db <= -119.f) continue;
        if (first < 0) first = i;
        last = i;
    }
    int runs = 0, longest_gap = 0, gap = 0;
    for (int i = first; i >= 0 && i <= last; i++) {
        bool data = cols[(size_t)i].in_db > -119.f;
        if (data) {
            if (gap > 0 || i == first) runs++;
            longest_gap = std::max(longest_gap, gap);
            gap = 0;
        } else {
            gap++;
        }
    }
    EXPECT_GE(runs, 2) << "audio on both sides of the pause";
    EXPECT_LE(runs, 3);
    double pause_cols = (double)paused * 1e-9 * 48000.0 / (64.0 * info.bucket);
    EXPECT_GT(longest_gap, 0.8 * pause_cols) << "pause of " << paused / 1000000 << " ms";
    EXPECT_LT(longest_gap, 1.2 * pause_cols) << "pause of " << paused / 1000000 << " ms";
}

TEST_F(EditorLive, OpeningTheEditorWritesTheGuiGlueScanLogLines) {
    std::string dir = tk_test::make_temp_dir("scan");
    std::string path = dir + "/scan.log";
    {
        tk_test::ScopedEnv log("TERVIK_SCANLOG", path.c_str());
        start(1, {});
    }
    std::string text = tk_test::read_file(path);
    size_t a = text.find(" gui_create\n"), b = text.find(" gui_create: ui ok\n"), c = text.find(" gui_set_parent\n"),
           d = text.find(" gui_set_parent: ok\n");
    EXPECT_NE(a, std::string::npos) << text;
    EXPECT_GT(b, a);
    EXPECT_GT(c, b);
    EXPECT_GT(d, c);
    EXPECT_NE(d, std::string::npos);
    tk_test::remove_tree(dir);
}
