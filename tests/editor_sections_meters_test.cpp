// The meters and loudness panel without a NanoVG context: which stages feed IN and OUT,
// the peak-hold ballistics frame by frame, the big readout's text and colour against the
// target, pausing, and garbage from a foreign slot.
#include <cmath>
#include <cstring>

#include "tests/editor_sections_fixture.h"

using sections_test::SectionsFixture;

namespace {

class MeterSources : public SectionsFixture {};
class MeterBallistics : public SectionsFixture {};
class LoudnessReadout : public SectionsFixture {};

constexpr double FRAME = 1.0 / 60.0;

float lin(double db) { return (float)std::pow(10.0, db / 20.0); }

} // namespace

TEST_F(MeterSources, InAndOutFollowTheFirstAndLastProcessingStages) {
    make_chain(3);
    MetersView v;
    meters_update(ui, 0.0, &v);
    EXPECT_EQ(v.in_slot, stages[0]);
    EXPECT_EQ(v.out_slot, stages[2]);
    ui->chain.chain[0].recent = 0;
    ui->chain.chain[2].recent = 0;
    meters_update(ui, FRAME, &v);
    EXPECT_EQ(v.in_slot, stages[1]) << "only the middle stage processes";
    EXPECT_EQ(v.out_slot, stages[1]);
    ui->chain.chain[1].recent = 0;
    meters_update(ui, 2 * FRAME, &v);
    EXPECT_EQ(v.in_slot, owner->slot) << "nothing recent: the owner's own slot";
    EXPECT_EQ(v.out_slot, owner->slot);
}

TEST_F(MeterSources, TotalReductionSumsRecentStagesAndFallsHalfADecibelPerFrame) {
    make_chain(3);
    shm_store(stages[0]->meters.meter_gain, lin(-2.0));
    shm_store(stages[1]->meters.meter_gain, lin(-3.0));
    shm_store(stages[2]->meters.meter_gain, lin(-4.0));
    ui->chain.chain[2].recent = 0;
    MetersView v;
    meters_update(ui, 0.0, &v);
    EXPECT_NEAR(v.gr_total, 5.f, 1e-4f);
    EXPECT_NEAR(ui->meters.gr_total_shown, 5.f, 1e-4f);
    shm_store(stages[0]->meters.meter_gain, 1.0f);
    shm_store(stages[1]->meters.meter_gain, 1.0f);
    meters_update(ui, FRAME, &v);
    EXPECT_NEAR(ui->meters.gr_total_shown, 4.5f, 1e-4f);
}

TEST_F(MeterBallistics, TransientHoldsOnePointSixSecondsThenFallsPerFrame) {
    make_chain(1);
    SharedSlot *s = stages[0];
    shm_store(s->meters.meter_tp_out, lin(-1.0));
    MetersView v;
    double t = 10.0;
    meters_update(ui, t, &v);
    EXPECT_NEAR(ui->meters.m_out.hold, -1.f, 1e-4f);
    EXPECT_NEAR(ui->meters.m_out.level, -1.f, 1e-4f);
    shm_store(s->meters.meter_tp_out, lin(-40.0));
    // Frames half a frame off the 1.6 s boundary, so that none lands on it.
    for (int k = 1; k <= 96; k++) {
        meters_update(ui, 10.0 + (k - 0.5) * FRAME, &v);
        EXPECT_NEAR(ui->meters.m_out.hold, -1.f, 1e-4f) << "frame " << k;
    }
    EXPECT_NEAR(ui->meters.m_out.level, -1.f - 0.3f * 96.f, 1e-3f) << "the level falls meanwhile";
    for (int k = 97; k <= 101; k++) {
        meters_update(ui, 10.0 + (k - 0.5) * FRAME, &v);
        EXPECT_NEAR(ui->meters.m_out.hold, -1.f - 0.3f * (float)(k - 96), 1e-4f) << "frame " << k;
    }
    t = 10.0 + 101.5 * FRAME;
    // A new higher peak takes over at once.
    shm_store(s->meters.meter_tp_out, lin(-0.5));
    t += FRAME;
    meters_update(ui, t, &v);
    EXPECT_NEAR(ui->meters.m_out.hold, -0.5f, 1e-4f);
}

TEST_F(MeterBallistics, LevelFallsPointThreePerFrameAndHoldsASteadySignal) {
    make_chain(1);
    SharedSlot *s = stages[0];
    shm_store(s->meters.meter_tp_in, lin(-6.0));
    MetersView v;
    meters_update(ui, 0.0, &v);
    EXPECT_NEAR(ui->meters.m_in.level, -6.f, 1e-4f);
    shm_store(s->meters.meter_tp_in, 0.0f);
    meters_update(ui, FRAME, &v);
    EXPECT_NEAR(ui->meters.m_in.level, -6.3f, 1e-4f);
    meters_update(ui, 2 * FRAME, &v);
    EXPECT_NEAR(ui->meters.m_in.level, -6.6f, 1e-4f);
    shm_store(s->meters.meter_tp_in, lin(-12.0));
    for (int k = 0; k < 40; k++)
        meters_update(ui, (3 + k) * FRAME, &v);
    EXPECT_NEAR(ui->meters.m_in.level, -12.f, 1e-3f) << "a constant signal reads steady";
}

TEST_F(MeterBallistics, FreshEditorShowsTheSignalFromItsFirstFrame) {
    make_chain(1);
    MetersView v;
    meters_update(ui, 0.4, &v); // silence: no decay from the start value through -100.x
    EXPECT_FLOAT_EQ(ui->meters.m_in.hold, -120.f);
    EXPECT_FLOAT_EQ(ui->meters.m_out.level, -120.f);
    meters_update(ui, 0.4 + FRAME, &v);
    EXPECT_FLOAT_EQ(ui->meters.m_in.hold, -120.f);
}

TEST_F(MeterBallistics, OutHoldAboveTheCeilingFlagsClipping) {
    make_chain(1);
    SharedSlot *s = stages[0];
    set(s, P_CEILING, -1.0);
    shm_store(s->meters.meter_tp_out, lin(-0.9));
    shm_store(s->meters.meter_tp_ch[2], lin(-0.9));
    shm_store(s->meters.meter_tp_ch[3], lin(-1.2));
    MetersView v;
    meters_update(ui, 0.0, &v);
    EXPECT_FLOAT_EQ(v.ceiling, -1.f);
    EXPECT_TRUE(v.out_red);
    EXPECT_TRUE(v.out_clip[0]);
    EXPECT_FALSE(v.out_clip[1]);
}

TEST_F(MeterBallistics, GarbageInAForeignSlotStaysBounded) {
    make_chain(1);
    SharedSlot *s = stages[0];
    shm_store(s->meters.meter_tp_in, std::nanf(""));
    shm_store(s->meters.meter_tp_out, INFINITY);
    shm_store(s->meters.meter_tp_ch[0], -5.0f);
    shm_store(s->meters.meter_gain, std::nanf(""));
    shm_store(s->meters.lufs_s, std::nanf(""));
    shm_store(s->meters.lufs_i, 1e30f);
    set(s, P_CEILING, std::nan(""));
    MetersView v;
    meters_update(ui, 0.0, &v);
    EXPECT_TRUE(std::isfinite(ui->meters.m_in.level));
    EXPECT_TRUE(std::isfinite(ui->meters.m_out.hold));
    EXPECT_LE(ui->meters.m_out.hold, 120.f);
    EXPECT_FLOAT_EQ(ui->meters.m_ch[0].level, -120.f) << "a fresh meter takes its first value";
    EXPECT_STREQ(v.readout, "-inf");
    EXPECT_FLOAT_EQ(v.ceiling, -0.3f) << "a NaN Ceiling reads as the default";
    EXPECT_LT(strlen(v.int_text), sizeof v.int_text);
}

TEST_F(LoudnessReadout, NoLoudnessYetReadsMinusInfAndZeroDistance) {
    make_chain(1);
    shm_store(stages[0]->meters.lufs_s, -100.f);
    shm_store(stages[0]->meters.lufs_m, -100.f);
    shm_store(stages[0]->meters.lufs_i, -100.f);
    MetersView v;
    meters_update(ui, 0.0, &v);
    EXPECT_STREQ(v.readout, "-inf");
    EXPECT_STREQ(v.distance, "+0.0 LU");
    EXPECT_STREQ(v.int_text, "INT  -inf");
    EXPECT_FALSE(v.readout_red);
}

TEST_F(LoudnessReadout, RedOnlyMoreThanHalfALoudnessUnitAboveTarget) {
    make_chain(1);
    owner->prefs.gain.target_idx = 0; // -9 LUFS (CD)
    owner->prefs.gain.lufs_mode = 1;  // momentary
    shm_store(stages[0]->meters.lufs_m, -8.f);
    shm_store(stages[0]->meters.lufs_s, -20.f);
    shm_store(stages[0]->meters.lufs_i, -11.3f);
    MetersView v;
    meters_update(ui, 0.0, &v);
    EXPECT_STREQ(v.readout, "-8.0");
    EXPECT_TRUE(v.readout_red);
    EXPECT_STREQ(v.distance, "+1.0 LU");
    EXPECT_STREQ(v.int_text, "INT  -11.3");
    shm_store(stages[0]->meters.lufs_m, -8.6f);
    meters_update(ui, FRAME, &v);
    EXPECT_FALSE(v.readout_red);
    owner->prefs.gain.lufs_mode = 9; // out of range: short term
    meters_update(ui, 2 * FRAME, &v);
    EXPECT_EQ(v.mode, 0);
    EXPECT_STREQ(v.readout, "-20.0");
}

TEST_F(LoudnessReadout, CustomTargetUsesTheOwnersValue) {
    make_chain(1);
    owner->prefs.gain.target_idx = 4;
    owner->prefs.gain.target_custom = -16.0;
    MetersView v;
    meters_update(ui, 0.0, &v);
    EXPECT_DOUBLE_EQ(v.target, -16.0);
    EXPECT_EQ(target_index(&ui->owner.prefs->gain), 4);
    owner->prefs.gain.target_idx = 12;
    EXPECT_EQ(target_index(&ui->owner.prefs->gain), 1) << "an index above 4 counts as streaming";
}

TEST_F(LoudnessReadout, PauseFreezesTheNumbersWhileTheMetersRunOn) {
    make_chain(1);
    SharedSlot *s = stages[0];
    shm_store(s->meters.lufs_s, -12.f);
    shm_store(s->meters.lufs_i, -13.f);
    MetersView v;
    meters_update(ui, 0.0, &v);
    ui->meters.loud.loud_paused = 1;
    shm_store(s->meters.lufs_s, -6.f);
    shm_store(s->meters.lufs_i, -7.f);
    shm_store(s->meters.meter_tp_out, lin(-3.0));
    meters_update(ui, FRAME, &v);
    EXPECT_STREQ(v.readout, "-12.0");
    EXPECT_STREQ(v.int_text, "INT  -13.0");
    EXPECT_NEAR(ui->meters.m_out.level, -3.f, 1e-4f) << "metering keeps running";
    ui->meters.loud.loud_paused = 0;
    meters_update(ui, 2 * FRAME, &v);
    EXPECT_STREQ(v.readout, "-6.0") << "Resume shows the live value again";
    EXPECT_STREQ(v.int_text, "INT  -7.0");
}

TEST_F(LoudnessReadout, LoudnessControlsAndMonitorPillsAreRecorded) {
    make_chain(2);
    ui->chain.focus = 1;
    begin_frame();
    draw_meters(ui, 0.0);
    struct Want {
        int kind, a, b;
        float x, y, w;
    } want[] = {{HIT_LOUD_MODE, -1, 0, 728, 490, 82},   {HIT_LOUD_TARGET, -1, 0, 816, 490, 124},
                {HIT_LOUD_PAUSE, -1, 0, 728, 516, 60},  {HIT_LOUD_RESET, -1, 0, 794, 516, 56},
                {HIT_TOGGLE, 1, P_DELTA, 728, 542, 64}, {HIT_TOGGLE, 1, P_UNITY, 798, 542, 64},
                {HIT_TOGGLE, 1, P_BYPASS, 868, 542, 72}};
    for (const Want &w : want) {
        const Hit *h = hit(w.kind, w.a, w.b);
        ASSERT_NE(h, nullptr) << "kind " << w.kind << " b " << w.b;
        EXPECT_FLOAT_EQ(h->x, w.x);
        EXPECT_FLOAT_EQ(h->y, w.y);
        EXPECT_FLOAT_EQ(h->w, w.w);
        EXPECT_FLOAT_EQ(h->h, 20.f);
    }
    ASSERT_EQ(hits_of(HIT_LOUD_INT).size(), 1u);
}
