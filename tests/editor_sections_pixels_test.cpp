// The section painters on a real X server with real GL: two stages fed with meters and a
// steady history, screenshots of the editor, and pixels of the group letter, the strip's
// reduction bars, the GR and loudness meters, the graph's bands and areas and the grid.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tests/editor_fixture.h"
#include "tests/util/ppm_image.h"
#include "tests/util/stepped_clock.h"

using namespace edt;

namespace {

using Image = tk_test::PpmImage;

::testing::AssertionResult near(const Image &img, uint32_t x, uint32_t y, int r, int g, int b, int tol) {
    return tk_test::colour_near(img, x, y, r, g, b, tol);
}

constexpr double HOP_NS = 64.0 / 48000.0 * 1e9;

class SectionPixels : public ::testing::Test {
  protected:
    void SetUp() override { EDITOR_NEEDS_DISPLAY(); }
    void TearDown() override {
        w.close();
        free_stage(b);
        free_stage(a);
    }
    tk_test::ScopedSegment seg{"secpix"};
    tk_test::ScopedPresetDir dir;
    FakeHost host;
    Stage *a = nullptr, *b = nullptr;
    EditorWindow w;
    uint64_t t0 = 0;
    tk_test::SteppedClock clock;

    // Both stages look as if they were processing: recent calls, 6 dB of reduction each,
    // -6 dB peaks, -9 LUFS, and a history of constant rows up to now.
    void feed() {
        uint64_t now = sys_time_ns();
        uint32_t count = (uint32_t)((double)(now - t0) / HOP_NS) + 1000;
        Stage *st[2] = {a, b};
        for (int i = 0; i < 2; i++) {
            SharedSlot *s = st[i]->slot;
            uint64_t t = now - (uint64_t)(5 - i) * 1000000ull;
            shm_store(s->calls.proc_prev_time, (uint64_t)(t - 10000000u));
            shm_store(s->calls.proc_time, t);
            shm_store(s->engine.sample_rate, 48000.0);
            shm_store(s->engine.active, 1u);
            shm_store(s->calls.serial, 77u);
            shm_store(s->meters.meter_gain, 0.5f);
            for (int c = 0; c < 4; c++)
                shm_store(s->meters.meter_tp_ch[c], 0.5f);
            shm_store(s->meters.meter_tp_in, 0.5f);
            shm_store(s->meters.meter_tp_out, 0.5f);
            shm_store(s->meters.lufs_s, -9.f);
            shm_store(s->meters.lufs_m, -9.f);
            shm_store(s->meters.lufs_i, -9.f);
            for (uint32_t k = shm_load(s->history.hist_count); k < count; k++) {
                size_t j = k & (HIST_LEN - 1);
                shm_store(s->history.hist_gain[j], 0.5f);
                shm_store(s->history.hist_in[j], 0.5f);
                shm_store(s->history.hist_out[j], 0.5f);
                shm_store(s->history.hist_lufs[j], -20.f);
            }
            shm_store(s->history.hist_count, count);
            shm_store(s->history.hist_time, t);
        }
    }

    // Runs the editor through ms of stepped time, one frame for every 300 ms of it (more than
    // the 150 ms a chain takes to settle).
    void run_ms(int ms) {
        for (int left = ms; left > 0; left -= 300) {
            clock.step_ms(left < 300 ? (uint64_t)left : 300);
            feed();
            w.frames(1);
        }
    }

    bool shot(const char *name, Image *img) {
        std::string path = dir.path() + "/" + name + ".ppm";
        if (!ui_dump(w.ui, path.c_str())) return false;
        for (int i = 0; i < 2500 && w.ui->win.dump_pending; i++) {
            feed();
            w.pump();
            sys_sleep_ms(2);
        }
        if (const char *keep = getenv("TERVIK_TEST_SHOTS")) {
            std::string data = tk_test::read_file(path);
            tk_test::write_file(std::string(keep) + "/" + name + ".ppm", data);
            tk_test::write_file(std::string(keep) + "/" + name + ".ppm.cols.txt",
                                tk_test::read_file(path + ".cols.txt"));
        }
        return img->load(path);
    }

    void open_two_stages() {
        a = make_stage(&host);
        b = make_stage(&host);
        ASSERT_TRUE(a && b);
        t0 = sys_time_ns();
        feed();
        ASSERT_TRUE(w.open(a));
        run_ms(1200);
        ASSERT_EQ(w.ui->chain.chain_len, 2) << "the two stages form one chain through their tag";
    }
};

} // namespace

TEST_F(SectionPixels, MetersStripAndGraphShowTwoReducingStages) {
    open_two_stages();
    Image img;
    ASSERT_TRUE(shot("sections-meters", &img));
    ASSERT_EQ(img.w, 960u);
    // Shown group A: a filled amber button.
    EXPECT_TRUE(near(img, 891, 27, 255, 182, 74, 6));
    // Strip of two cells at x 380 and 522: half-length reduction bars (6 of 12 dB) in the
    // stage colours, the track beyond.
    EXPECT_TRUE(near(img, 392, 76, 236, 86, 74, 14));
    EXPECT_TRUE(near(img, 534, 76, 242, 122, 78, 14));
    Image::Px beyond = img.at(460, 76);
    EXPECT_LT(beyond.r, 60) << "the bar ends half way";
    // GR column: 6 dB segments of 72 units each, stage 1 on top, then stage 2, then track.
    Image::Px s1 = img.at(816, 140), s2 = img.at(816, 212), track = img.at(816, 320);
    EXPECT_GT(s1.r, 180);
    EXPECT_LT(s1.g, 100);
    EXPECT_GT(s2.g, 95) << "the second stage's colour is more orange";
    EXPECT_GT(s2.r, 180);
    EXPECT_LT(track.r, 40);
    // Loudness: the short-term bar filled to -9 LUFS with its gradient at y 300.
    EXPECT_TRUE(near(img, 862, 300, 192, 147, 62, 10));
    Image::Px above = img.at(862, 180);
    EXPECT_LT(above.r, 40) << "above -9 LUFS the track is empty";
    // Graph: stage 1's band from the top to -6 dB, stage 2's below it to -12 dB, and the
    // output area below the -6 dB curve.
    Image::Px band1 = img.at(500, 140), band2 = img.at(500, 250), area = img.at(500, 420);
    EXPECT_GT(band1.r, 140);
    EXPECT_LT(band1.b, 90);
    EXPECT_GT(band2.r, band2.b);
    EXPECT_GT(area.b, area.r) << "the output area is blue-grey";
    EXPECT_GT(area.b, 60);
    // The column dump written with the screenshot.
    EXPECT_EQ(w.ui->graph.graph_info.stages, 2u);
    EXPECT_EQ(w.ui->graph.graph_info.recent_mask, 3u);
    int j = 100; // 400 entries back: inside the fed history
    EXPECT_NEAR(w.ui->graph.graph_cols[j].gr[0], 6.02f, 0.01f);
    EXPECT_NEAR(w.ui->graph.graph_cols[j].gr[1], 6.02f, 0.01f);
    EXPECT_EQ(w.ui->graph.graph_cols[j].in_stage, 0);
    EXPECT_EQ(w.ui->graph.graph_cols[j].out_stage, 1);
}

TEST_F(SectionPixels, GridShowsEveryStageAboveTheControls) {
    open_two_stages();
    a->prefs.show_grid = 1;
    w.ui->chain.chain_mode = 1;
    run_ms(100);
    Image img;
    ASSERT_TRUE(shot("sections-grid", &img));
    // Ceiling row (second grid row, y 224 + 28 + 17): its value bar (-0.3 dB of -12..0)
    // runs almost across the 170-unit column, amber over the dark panel.
    Image::Px bar = img.at(200, 281), after = img.at(312, 281);
    EXPECT_GT(bar.r, 110);
    EXPECT_LT(bar.b, 80);
    EXPECT_GT(bar.r, bar.b + 50);
    EXPECT_LT(after.r, 60) << "the bar stops at 97.5 % of the column";
    // The grid's hit targets are the cells of two columns of 170 units.
    Hit cell = find_hit(w.ui, HIT_GRID_CELL, P_CEILING, 1);
    ASSERT_EQ(cell.kind, HIT_GRID_CELL);
    EXPECT_FLOAT_EQ(cell.x, 314.f);
    EXPECT_FLOAT_EQ(cell.y, 269.f);
    // CHAIN mode: the controls title reads ALL STAGES and the Spread pill is there.
    EXPECT_EQ(find_hit(w.ui, HIT_SPREAD).kind, HIT_SPREAD);
}

TEST_F(SectionPixels, ChainModeLightsThePillAndTheFocusedStageAndKnobArcsAreAmber) {
    open_two_stages();
    w.ui->chain.chain_mode = 1;
    w.ui->chain.focus = 1;
    run_ms(100);
    Image img;
    ASSERT_TRUE(shot("sections-chain-mode", &img));
    // Two cells: the strip is 348 wide, so the CHAIN pill sits at x 306. Lit, its fill is
    // the warm gradient (64,58,44 to 46,42,34), not the cold one of an unlit pill.
    Image::Px pill = img.at(312, 60);
    EXPECT_GT(pill.r, pill.b + 8) << "lit pill fill";
    EXPECT_GT(pill.r, 45);
    // The focused second cell (x 522) is highlighted: amber border, warm fill; the first
    // cell (x 380) keeps the cold fill.
    EXPECT_TRUE(near(img, 522, 66, 255, 182, 74, 30));
    Image::Px warm = img.at(600, 80), cold = img.at(460, 80);
    EXPECT_GE(warm.r, warm.b);
    EXPECT_LT(cold.r, cold.b);
    // The Ceiling knob (x 106, y 522) shows -0.3 dB of -12..0: its amber value arc passes
    // the top of its radius-17 track.
    EXPECT_TRUE(near(img, 106, 505, 255, 182, 74, 40));
    // ALL STAGES in CHAIN mode: the Spread pill's hit target is there.
    EXPECT_EQ(find_hit(w.ui, HIT_SPREAD).kind, HIT_SPREAD);
}
