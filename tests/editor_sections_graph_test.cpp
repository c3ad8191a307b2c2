// The history graph's computation without a NanoVG context: stages write their level
// histories into real slots at their own block timing, as the pipeline does, and the
// graph's columns show where bucket sizes, alignment, reference hand-over and gaps land.
#include <cmath>
#include <cstdio>
#include <string>

#include "tests/editor_sections_fixture.h"

using sections_test::SectionsFixture;

namespace {

constexpr double RATE = 48000.0;
constexpr uint64_t T0 = 1000000000000ull; // 1000 s of uptime: the stages start here
constexpr double FRAME_NS = 1e9 / 60.0;

// One stage running in real time: a call of `block` frames happens once its audio has
// arrived (plus `lag_ns`), writes one history row per 64 frames and its call record.
struct FakeStage {
    SharedSlot *slot = nullptr;
    uint32_t block = 512;
    double lag_ns = 0.0;
    bool steady = true;
    int64_t pos = 0;                       // host steady time of the next call
    uint32_t frames_acc = 0;               // frames toward the next row
    int64_t transient = -1;                // row with a 0 dB peak and 6 dB reduction
    uint64_t pause_from = 0, pause_ns = 0; // no calls for pause_ns once this time is reached
    bool gap_done = false;

    void init(SharedSlot *s) {
        slot = s;
        shm_store(slot->engine.sample_rate, RATE);
        shm_store(slot->engine.active, 1u);
        shm_store(slot->history.hist_count, 0u);
        shm_store(slot->history.hist_gap, -1);
    }

    double call_time(int64_t p) const {
        double t = (double)T0 + (double)(p + block) / RATE * 1e9 + lag_ns;
        if (pause_ns && t >= (double)pause_from) t += (double)pause_ns;
        return t;
    }

    void write_row(uint32_t k, bool gap) {
        size_t i = k & (HIST_LEN - 1);
        if (gap) {
            shm_store(slot->history.hist_gain[i], 1.0f);
            shm_store(slot->history.hist_in[i], -1.0f);
            shm_store(slot->history.hist_out[i], 0.0f);
            shm_store(slot->history.hist_lufs[i], -100.0f);
            return;
        }
        bool peak = (int64_t)k == transient;
        shm_store(slot->history.hist_gain[i], peak ? 0.5f : 1.0f);
        shm_store(slot->history.hist_in[i], peak ? 1.0f : 0.01f);
        shm_store(slot->history.hist_out[i], peak ? 0.5f : 0.01f);
        shm_store(slot->history.hist_lufs[i], -20.0f);
    }

    void run_until(uint64_t now) {
        for (;;) {
            double t = call_time(pos);
            if (t > (double)now) break;
            uint32_t n = shm_load(slot->calls.ring_count);
            shm_store(slot->calls.ring_start[n & 63], (uint64_t)t);
            shm_store(slot->calls.ring_steady[n & 63], steady ? pos : (int64_t)-1);
            shm_store(slot->meters.block_frames, block);
            uint32_t c = shm_load(slot->history.hist_count);
            if (pause_ns && !gap_done && t >= (double)pause_from) {
                // The pipeline fills the pause with gap rows before the block's own rows.
                uint32_t rows = (uint32_t)((double)pause_ns * 1e-9 * RATE / 64.0);
                for (uint32_t k = 0; k < rows; k++)
                    write_row(c + k, true);
                shm_store(slot->history.hist_gap, (int32_t)c);
                c += rows;
                shm_store(slot->history.hist_count, c);
                gap_done = true;
            }
            frames_acc += block;
            bool wrote = false;
            while (frames_acc >= 64) {
                write_row(c, false);
                c++;
                shm_store(slot->history.hist_count, c);
                frames_acc -= 64;
                wrote = true;
            }
            if (wrote) shm_store(slot->history.hist_time, (uint64_t)(t + 50000.0));
            shm_store(slot->calls.ring_end[n & 63], (uint64_t)(t + 60000.0));
            shm_store(slot->calls.ring_count, n + 1);
            pos += block;
        }
    }
};

class HistoryGraph : public SectionsFixture {
  protected:
    FakeStage fake[4];
    uint64_t now = T0;

    void stages_n(int n) {
        make_chain(n);
        for (int i = 0; i < n; i++)
            fake[i].init(stages[(size_t)i]);
    }

    // Runs the stages and draws the graph every 1/60 s for the given number of frames.
    void run_frames(int frames, Ui *u, int stage_count) {
        for (int f = 0; f < frames; f++) {
            now += (uint64_t)FRAME_NS;
            for (int i = 0; i < stage_count; i++)
                fake[i].run_until(now);
            draw_graph(u, now);
        }
    }

    // Column with the largest reduction of a stage, -1 when there is none.
    static int peak_column(const Ui *u, int stage) {
        int best = -1;
        float peak = 0.f;
        for (int j = 0; j < u->graph.graph_col_count; j++)
            if (u->graph.graph_cols[j].gr[stage] > peak) {
                peak = u->graph.graph_cols[j].gr[stage];
                best = j;
            }
        return best;
    }
};

} // namespace

TEST_F(HistoryGraph, At48kHzAndUnitZoomBucketsHoldFourEntriesOver1800Columns) {
    stages_n(1);
    run_frames(2, ui, 1);
    EXPECT_EQ(ui->graph.graph_info.bucket, 4u);
    EXPECT_EQ(ui->graph.graph_col_count, 1800);
    EXPECT_EQ(ui->graph.graph_info.cols, 1800u);
    EXPECT_DOUBLE_EQ(ui->graph.graph_info.hop, 64.0 / 48000.0);
    EXPECT_DOUBLE_EQ(ui->graph.graph_info.x0, 10.0);
    EXPECT_DOUBLE_EQ(ui->graph.graph_info.width, 676.0);
    EXPECT_EQ(ui->graph.graph_info.chain_len, 1u);
    EXPECT_EQ(ui->graph.graph_info.frame, 2u);
}

TEST_F(HistoryGraph, LargeZoomStartsWithSmallBucketsAndGrowsThemToStayUnder2048Columns) {
    stages_n(1);
    ui->win.view_w = 2400; // z = 2.5: W = 1690, E6 / 2W rounds up to 2
    ui->win.view_h = 1500;
    run_frames(1, ui, 1);
    EXPECT_EQ(ui->graph.graph_info.bucket, 4u) << "7200 / 2 + 3 and 7200 / 3 + 3 exceed 2048";
    EXPECT_LE(ui->graph.graph_col_count, 2048);
    ui->win.view_w = 480; // z = 0.5: B = ceil(4500 / 676) = 7, no growth needed
    ui->win.view_h = 300;
    run_frames(1, ui, 1);
    EXPECT_EQ(ui->graph.graph_info.bucket, 7u);
    EXPECT_EQ(ui->graph.graph_col_count, 7200 / 7);
}

TEST_F(HistoryGraph, BucketBoundariesStayFixedWhileThePictureScrolls) {
    stages_n(1);
    run_frames(30, ui, 1);
    uint32_t B = ui->graph.graph_info.bucket;
    uint32_t phase = ui->graph.graph_cols[0].index % B;
    float x_prev = ui->graph.graph_cols[5].x;
    uint32_t idx_prev = ui->graph.graph_cols[5].index;
    for (int f = 0; f < 20; f++) {
        run_frames(1, ui, 1);
        for (int j = 0; j < ui->graph.graph_col_count; j += 97) {
            EXPECT_EQ(ui->graph.graph_cols[j].index % B, phase);
            EXPECT_EQ(ui->graph.graph_cols[j].index, ui->graph.graph_cols[0].index - (uint32_t)j * B);
        }
        // The same bucket moves left as time passes.
        for (int j = 0; j < 40; j++)
            if (ui->graph.graph_cols[j].index == idx_prev) {
                EXPECT_LT(ui->graph.graph_cols[j].x, x_prev);
                x_prev = ui->graph.graph_cols[5].x;
                idx_prev = ui->graph.graph_cols[5].index;
                break;
            }
    }
}

TEST_F(HistoryGraph, SingleStageSuppliesBothCurvesAndItsBandHangsFromTheTop) {
    stages_n(1);
    fake[0].transient = 1000;
    run_frames(120, ui, 1);
    int j = peak_column(ui, 0);
    ASSERT_GE(j, 0);
    const GraphCol &c = ui->graph.graph_cols[j];
    EXPECT_NEAR(c.gr[0], 6.02f, 0.01f);
    EXPECT_NEAR(c.in_db, 0.f, 1e-3f);
    EXPECT_NEAR(c.out_db, -6.02f, 0.01f);
    int with_data = 0;
    for (int k = 0; k < ui->graph.graph_col_count; k++) {
        const GraphCol &col = ui->graph.graph_cols[k];
        if (col.in_stage == 0xFF) continue;
        with_data++;
        EXPECT_EQ(col.in_stage, 0);
        EXPECT_EQ(col.out_stage, 0);
    }
    EXPECT_GT(with_data, 300);
    EXPECT_EQ(ui->graph.graph_info.stages, 1u);
    EXPECT_EQ(ui->graph.graph_info.ref_index, 0u);
    EXPECT_EQ(ui->graph.graph_info.recent_mask, 1u);
}

// Two stages process the same audio; B's calls carry 1440 frames (30 ms) and so reach the
// history up to 30 ms after A's. Both with and without host steady times, the transient
// lands in one column for both stages.
class GraphAlignment : public HistoryGraph, public ::testing::WithParamInterface<bool> {};

TEST_P(GraphAlignment, StageThirtyMillisecondsBehindShowsTheTransientInTheSameColumn) {
    stages_n(2);
    bool steady = GetParam();
    fake[0].block = 256;
    fake[1].block = 1440;
    for (int i = 0; i < 2; i++) {
        fake[i].steady = steady;
        fake[i].transient = 1201;
    }
    run_frames(150, ui, 2);
    int ja = peak_column(ui, 0), jb = peak_column(ui, 1);
    ASSERT_GE(ja, 0);
    ASSERT_GE(jb, 0);
    EXPECT_EQ(ja, jb) << "offset of B: " << (int32_t)ui->graph.graph_info.offsets[1];
    EXPECT_EQ(ui->graph.graph_info.ref_index, 0u) << "A publishes newer rows: it is the reference";
    EXPECT_EQ(ui->graph.graph_cols[ja].in_stage, 0) << "input from the first stage";
    EXPECT_EQ(ui->graph.graph_cols[ja].out_stage, 1) << "output from the last stage";
}

// A constant 30 ms delay of every call can only be told from a 30 ms later signal by the
// host's sample positions: with steady times the stages still line up.
TEST_F(HistoryGraph, SameBlocksThirtyMillisecondsLateLineUpByTheirSteadyTimes) {
    stages_n(2);
    fake[1].lag_ns = 30e6;
    fake[0].transient = fake[1].transient = 1201;
    run_frames(150, ui, 2);
    int ja = peak_column(ui, 0), jb = peak_column(ui, 1);
    ASSERT_GE(ja, 0);
    EXPECT_EQ(ja, jb);
    EXPECT_EQ((int32_t)ui->graph.graph_info.offsets[1], 0);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutSteadyTime, GraphAlignment, ::testing::Bool());

// Removing the reference: a second editor record keeps the full chain as the control; the
// transient's column position must agree between the two right after the hand-over.
class GraphHandOver : public HistoryGraph, public ::testing::WithParamInterface<double> {};

TEST_P(GraphHandOver, RemovingTheReferenceHandsOverWithoutAJump) {
    stages_n(2);
    fake[1].lag_ns = GetParam();
    fake[0].transient = fake[1].transient = 1201;
    Ui *control = (Ui *)calloc(1, sizeof(Ui));
    ASSERT_NE(control, nullptr);
    memcpy(control, ui, sizeof(Ui));
    for (int f = 0; f < 150; f++) {
        now += (uint64_t)FRAME_NS;
        for (int i = 0; i < 2; i++)
            fake[i].run_until(now);
        draw_graph(ui, now);
        draw_graph(control, now);
    }
    ASSERT_EQ(ui->graph.graph_info.ref_index, 0u);
    int j0 = peak_column(control, 1);
    ASSERT_GE(j0, 0);
    // The reference (chain entry 0) leaves the chain.
    ui->chain.chain[0] = ui->chain.chain[1];
    ui->chain.chain_len = 1;
    for (int f = 0; f < 3; f++) {
        now += (uint64_t)FRAME_NS;
        for (int i = 0; i < 2; i++)
            fake[i].run_until(now);
        draw_graph(ui, now);
        draw_graph(control, now);
        int ja = peak_column(control, 1), jb = peak_column(ui, 0);
        ASSERT_GE(ja, 0);
        ASSERT_GE(jb, 0);
        float bucket_w = (float)ui->graph.graph_info.bucket * 676.f / 4500.f;
        EXPECT_NEAR(ui->graph.graph_cols[jb].x, control->graph.graph_cols[ja].x, bucket_w + 1e-3f) << "frame " << f;
        EXPECT_EQ(ui->graph.graph_cols[jb].index, control->graph.graph_cols[ja].index) << "bucket boundaries kept";
    }
    EXPECT_EQ(ui->graph.ref_slot, stages[1]);
    free(control);
}

INSTANTIATE_TEST_SUITE_P(LagOfTheRemainingStage, GraphHandOver, ::testing::Values(0.0, 30e6));

TEST_F(HistoryGraph, GapRowsAreNotDrawnAndTheHistoryContinuesAfterThem) {
    stages_n(1);
    // After 2 s the host stops for 1 s; the next block first writes 750 gap rows.
    fake[0].pause_from = T0 + 2000000000ull;
    fake[0].pause_ns = 1000000000ull;
    fake[0].transient = 2600;
    run_frames(60 * 4, ui, 1);
    int64_t g0 = shm_load(stages[0]->history.hist_gap), g1 = g0 + 750;
    ASSERT_GT(g0, 1400);
    ASSERT_LT(g1, 2600);
    int gap_cols = 0, data_before = 0, data_after = 0;
    for (int j = 0; j < ui->graph.graph_col_count; j++) {
        const GraphCol &c = ui->graph.graph_cols[j];
        int64_t e = (int32_t)c.index; // reference entries (here: the stage's own)
        if (e >= g0 + 4 && e + 4 <= g1) {
            gap_cols++;
            EXPECT_EQ(c.in_stage, 0xFF) << "column at entry " << e;
            EXPECT_FLOAT_EQ(c.in_db, -120.f);
            EXPECT_FLOAT_EQ(c.lufs, -100.f);
            EXPECT_FLOAT_EQ(c.gr[0], 0.f);
        } else if (e >= 8 && e + 8 < g0) {
            data_before += c.in_stage == 0;
        } else if (e >= g1 + 8 && e < 2600) {
            data_after += c.in_stage == 0;
        }
    }
    EXPECT_GT(gap_cols, 180);
    EXPECT_GT(data_before, 300);
    EXPECT_GT(data_after, 50);
    int j = peak_column(ui, 0);
    ASSERT_GE(j, 0);
    EXPECT_LE(ui->graph.graph_cols[j].index, 2600u);
    EXPECT_GT(ui->graph.graph_cols[j].index + 4, 2600u);
}

TEST_F(HistoryGraph, GarbageInAForeignSlotDoesNotDerailTheGraph) {
    stages_n(2);
    run_frames(10, ui, 2);
    SharedSlot *s = stages[1];
    shm_store(s->history.hist_count, 0xFFFFFFF0u);
    shm_store(s->history.hist_time, ~(uint64_t)0);
    shm_store(s->history.hist_gap, 0x7FFFFFFF);
    shm_store(s->engine.sample_rate, std::nan(""));
    shm_store(s->calls.ring_count, 7u);
    for (int i = 0; i < 64; i++)
        shm_store(s->calls.ring_steady[i], (int64_t)0x7FFFFFFFFFFFFFF0ll);
    for (size_t i = 0; i < HIST_LEN; i += 3) {
        shm_store(s->history.hist_in[i], std::nanf(""));
        shm_store(s->history.hist_gain[i], INFINITY);
        shm_store(s->history.hist_lufs[i], 1e38f);
    }
    shm_store(stages[0]->engine.sample_rate, 1e300);
    run_frames(40, ui, 1);
    EXPECT_LE(ui->graph.graph_col_count, 2048);
    for (int j = 0; j < ui->graph.graph_col_count; j++) {
        EXPECT_TRUE(std::isfinite(ui->graph.graph_cols[j].in_db));
        EXPECT_TRUE(std::isfinite(ui->graph.graph_cols[j].lufs));
    }
}

TEST_F(HistoryGraph, EmptyChainDrawsNoColumns) {
    stages_n(1);
    run_frames(3, ui, 1);
    ui->chain.chain_len = 0;
    run_frames(1, ui, 1);
    EXPECT_EQ(ui->graph.graph_col_count, 0);
    EXPECT_EQ(ui->graph.graph_info.chain_len, 0u);
    EXPECT_EQ(ui->graph.graph_info_valid, 4);
}

TEST_F(HistoryGraph, PendingScreenshotWritesTheColumnDumpNextToIt) {
    stages_n(1);
    std::string dir = tk_test::make_temp_dir("graphdump");
    std::string shot = dir + "/shot.ppm";
    snprintf(ui->win.dump_path, sizeof ui->win.dump_path, "%s", shot.c_str());
    ui->win.dump_pending = 1;
    run_frames(1, ui, 1);
    std::string text = tk_test::read_file(shot + ".cols.txt");
    tk_test::remove_tree(dir);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.rfind("W 676.0 B 4 ppx 0.1502 newest ", 0), 0u) << text.substr(0, 80);
    EXPECT_NE(text.find(" nv 1800\n"), std::string::npos);
    size_t lines = 0;
    for (char ch : text)
        lines += ch == '\n';
    EXPECT_EQ(lines, 1801u);
    EXPECT_NE(text.find("\n   0 x "), std::string::npos);
}
