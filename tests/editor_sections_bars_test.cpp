// The top bar, stage strip, gain slider, controls panel and grid, painted without a NanoVG
// context over real slots in a private segment: their layouts are checked through the hit
// targets they record, and the strip's reduction hold through the editor record.
#include <cmath>

#include "tests/editor_sections_fixture.h"

using sections_test::SectionsFixture;

namespace {

class TopBarGroups : public SectionsFixture {};
class StageStrip : public SectionsFixture {};
class GainSlider : public SectionsFixture {};
class ControlsPanel : public SectionsFixture {};
class StageGrid : public SectionsFixture {};

} // namespace

TEST_F(TopBarGroups, OnlyGroupAInUseShowsOneLetterAPlusAndTheCaptionGap) {
    begin_frame();
    draw_top_bar(ui);
    auto groups = hits_of(HIT_GROUP);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].b, 0);
    EXPECT_FLOAT_EQ(groups[0].x, 888.f);
    EXPECT_FLOAT_EQ(groups[0].w, 26.f);
    EXPECT_FLOAT_EQ(groups[0].y, 10.f);
    EXPECT_FLOAT_EQ(groups[0].h, 20.f);
    EXPECT_EQ(groups[1].b, 101) << "the + button offers group B";
    EXPECT_FLOAT_EQ(groups[1].x, 918.f);
    auto midi = hits_of(HIT_MIDI);
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_FLOAT_EQ(midi[0].x, 764.f);
    EXPECT_FLOAT_EQ(midi[0].w, 64.f);
}

TEST_F(TopBarGroups, GroupsAToEInUseUseTheWideBudgetWithoutCaption) {
    for (int g = 1; g <= 4; g++)
        set(add_stage(), P_GROUP, g);
    begin_frame();
    draw_top_bar(ui);
    auto groups = hits_of(HIT_GROUP);
    ASSERT_EQ(groups.size(), 6u);
    for (int g = 0; g < 5; g++) {
        EXPECT_EQ(groups[(size_t)g].b, g);
        EXPECT_FLOAT_EQ(groups[(size_t)g].x, 768.f + 30.f * (float)g);
        EXPECT_FLOAT_EQ(groups[(size_t)g].w, 26.f);
    }
    EXPECT_EQ(groups[5].b, 105);
    EXPECT_FLOAT_EQ(groups[5].x, 918.f);
    EXPECT_FLOAT_EQ(hits_of(HIT_MIDI)[0].x, 768.f - 8.f - 64.f) << "no caption gap from four groups on";
}

TEST_F(TopBarGroups, AllSixteenGroupsShrinkToMinimumAndOfferNoNewGroup) {
    for (int g = 1; g < 16; g++)
        set(add_stage(), P_GROUP, g);
    begin_frame();
    draw_top_bar(ui);
    auto groups = hits_of(HIT_GROUP);
    ASSERT_EQ(groups.size(), 16u) << "the faint + has no hit target";
    float x_first = 944.f - 18.f * 17.f + 4.f;
    for (int g = 0; g < 16; g++) {
        EXPECT_EQ(groups[(size_t)g].b, g);
        EXPECT_FLOAT_EQ(groups[(size_t)g].w, 14.f);
        EXPECT_FLOAT_EQ(groups[(size_t)g].x, x_first + 18.f * (float)g);
    }
    EXPECT_FLOAT_EQ(hits_of(HIT_MIDI)[0].x, x_first - 72.f);
}

TEST_F(TopBarGroups, ViewedAndOwnGroupsWidenTheRangeButDeadOrOddValuesDoNot) {
    ui->chain.group = 2; // viewing group C although only A is in use
    SharedSlot *odd = add_stage();
    set(odd, P_GROUP, 1e300); // out of range: not counted as used
    begin_frame();
    draw_top_bar(ui);
    auto groups = hits_of(HIT_GROUP);
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups.back().b, 103);
    // A garbage Group value in the owner's own slot is bounded, not used as an index.
    set(owner->slot, P_GROUP, std::nan(""));
    ui->chain.group = 0;
    begin_frame();
    draw_top_bar(ui);
    EXPECT_EQ(hits_of(HIT_GROUP).size(), 2u);
}

TEST_F(TopBarGroups, FixedButtonsAndThePresetNameFieldAreRecorded) {
    begin_frame();
    draw_top_bar(ui);
    struct Want {
        int kind;
        float x, y, w, h;
    } want[] = {{HIT_ABOUT, 12, 4, 168, 32},       {HIT_UNDO, 188, 9, 22, 22},        {HIT_REDO, 213, 9, 22, 22},
                {HIT_AB, 241, 9, 52, 22},          {HIT_COPY, 297, 9, 42, 22},        {HIT_PRESET_PREV, 350, 9, 28, 22},
                {HIT_PRESET_NEXT, 582, 9, 28, 22}, {HIT_PRESET_MENU, 378, 9, 204, 22}};
    for (const Want &w : want) {
        auto h = hits_of(w.kind);
        ASSERT_EQ(h.size(), 1u) << "kind " << w.kind;
        EXPECT_FLOAT_EQ(h[0].x, w.x);
        EXPECT_FLOAT_EQ(h[0].y, w.y);
        EXPECT_FLOAT_EQ(h[0].w, w.w);
        EXPECT_FLOAT_EQ(h[0].h, w.h);
    }
    EXPECT_EQ(ui->overlay.preset_field_drawn, 1);
    EXPECT_FLOAT_EQ(ui->overlay.preset_field_x, 378.f);
    EXPECT_FLOAT_EQ(ui->overlay.preset_field_y + ui->overlay.preset_field_h, 31.f);
}

TEST_F(StageStrip, SevenStagesShrinkTheCellsAndStartAtTwenty) {
    make_chain(7);
    begin_frame();
    draw_stage_strip(ui);
    auto chain = hits_of(HIT_CHAIN_MODE);
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_FLOAT_EQ(chain[0].x, 20.f);
    EXPECT_FLOAT_EQ(chain[0].y, 47.f);
    EXPECT_FLOAT_EQ(chain[0].h, 38.f);
    auto cells = hits_of(HIT_STAGE);
    ASSERT_EQ(cells.size(), 7u);
    float cw = (846.f - 60.f) / 7.f;
    EXPECT_NEAR(cells[0].w, 112.29f, 0.01f);
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(cells[(size_t)i].a, i);
        EXPECT_NEAR(cells[(size_t)i].x, 94.f + (float)i * (cw + 10.f), 1e-3f);
    }
}

TEST_F(StageStrip, SixAndFiveStagesKeepFullCellsCentred) {
    make_chain(6);
    begin_frame();
    draw_stage_strip(ui);
    EXPECT_FLOAT_EQ(hits_of(HIT_CHAIN_MODE)[0].x, 22.f);
    EXPECT_FLOAT_EQ(hits_of(HIT_STAGE)[0].w, 132.f);
    EXPECT_FLOAT_EQ(hits_of(HIT_STAGE)[5].x, 96.f + 5.f * 142.f);
    make_chain(5);
    begin_frame();
    draw_stage_strip(ui);
    EXPECT_FLOAT_EQ(hits_of(HIT_CHAIN_MODE)[0].x, 93.f);
    EXPECT_FLOAT_EQ(hits_of(HIT_STAGE)[0].x, 167.f);
}

TEST_F(StageStrip, EmptyChainShowsOnlyTheCentredChainPill) {
    ui->chain.chain_len = 0;
    begin_frame();
    draw_stage_strip(ui);
    ASSERT_EQ(hits_of(HIT_CHAIN_MODE).size(), 1u);
    EXPECT_FLOAT_EQ(hits_of(HIT_CHAIN_MODE)[0].x, 443.f);
    EXPECT_TRUE(hits_of(HIT_STAGE).empty());
}

TEST_F(StageStrip, ReductionHoldFollowsAtOnceAndFallsHalfADecibelPerFrame) {
    make_chain(2);
    shm_store(stages[1]->meters.meter_gain, (float)std::pow(10.0, -6.0 / 20.0));
    begin_frame();
    draw_stage_strip(ui);
    EXPECT_NEAR(ui->meters.strip_hold[1], 6.f, 1e-4f);
    EXPECT_FLOAT_EQ(ui->meters.strip_hold[0], 0.f);
    shm_store(stages[1]->meters.meter_gain, 1.0f);
    for (int frame = 1; frame <= 12; frame++) {
        begin_frame();
        draw_stage_strip(ui);
        EXPECT_NEAR(ui->meters.strip_hold[1], 6.f - 0.5f * (float)frame, 1e-4f) << "frame " << frame;
    }
    begin_frame();
    draw_stage_strip(ui);
    EXPECT_FLOAT_EQ(ui->meters.strip_hold[1], 0.f);
}

TEST_F(StageStrip, IdleStagesAndGarbageGainsShowNoReduction) {
    make_chain(3);
    ui->chain.chain[0].recent = 0;
    shm_store(stages[0]->meters.meter_gain, 0.1f);          // idle: ignored
    shm_store(stages[1]->meters.meter_gain, std::nanf("")); // garbage: no reduction
    shm_store(stages[2]->meters.meter_gain, 0.0f);          // below 0.000001: 120 dB
    begin_frame();
    draw_stage_strip(ui);
    EXPECT_FLOAT_EQ(ui->meters.strip_hold[0], 0.f);
    EXPECT_FLOAT_EQ(ui->meters.strip_hold[1], 0.f);
    EXPECT_FLOAT_EQ(ui->meters.strip_hold[2], 120.f);
}

TEST_F(GainSlider, ChainModeShowsTheTotalOverEveryStage) {
    make_chain(3);
    set(stages[0], P_GAIN, 2.0);
    set(stages[1], P_GAIN, 4.0);
    set(stages[2], P_GAIN, 6.0);
    ui->chain.chain_mode = 1;
    double value = 0.0;
    int stage = -1;
    double v = gain_slider_fraction(ui, &value, &stage);
    EXPECT_DOUBLE_EQ(value, 12.0);
    EXPECT_DOUBLE_EQ(v, 12.0 / 90.0);
    EXPECT_NEAR(114.0 + 424.0 * (1.0 - v), 114.0 + 424.0 * (1.0 - 12.0 / 90.0), 1e-9);
    ui->chain.chain_mode = 0;
    ui->chain.focus = 2;
    v = gain_slider_fraction(ui, &value, &stage);
    EXPECT_DOUBLE_EQ(value, 6.0);
    EXPECT_DOUBLE_EQ(v, 0.2);
    EXPECT_EQ(stage, 2);
    begin_frame();
    draw_gain_slider(ui);
    const Hit *h = hit(HIT_GAIN_SLIDER, 2, 1);
    ASSERT_NE(h, nullptr);
    EXPECT_FLOAT_EQ(h->x, 16.f);
    EXPECT_FLOAT_EQ(h->h, 464.f);
}

TEST_F(GainSlider, ForeignGarbageGainStaysInsideTheTrack) {
    make_chain(1);
    set(stages[0], P_GAIN, 1e308);
    EXPECT_DOUBLE_EQ(gain_slider_fraction(ui, nullptr, nullptr), 1.0);
    set(stages[0], P_GAIN, std::nan(""));
    EXPECT_DOUBLE_EQ(gain_slider_fraction(ui, nullptr, nullptr), 0.0) << "NaN reads as the default, 0 dB";
}

TEST_F(ControlsPanel, KnobsSwitchesAndSelectorsSitOnTheirRows) {
    make_chain(2);
    ui->chain.focus = 1;
    begin_frame();
    draw_controls(ui);
    const int knob_rows[5] = {2, 3, 6, 9, 16};
    for (int k = 0; k < 5; k++) {
        const Hit *h = hit(HIT_KNOB, 1, knob_rows[k]);
        ASSERT_NE(h, nullptr) << "row " << knob_rows[k];
        EXPECT_FLOAT_EQ(h->x, 106.f + 64.f * (float)k - 26.f);
        EXPECT_FLOAT_EQ(h->y, 496.f);
        EXPECT_FLOAT_EQ(h->w, 52.f);
    }
    ASSERT_NE(hit(HIT_TOGGLE, 1, 7), nullptr);
    EXPECT_FLOAT_EQ(hit(HIT_TOGGLE, 1, 7)->x, 418.f);
    EXPECT_FLOAT_EQ(hit(HIT_TOGGLE, 1, 8)->x, 482.f);
    ASSERT_NE(hit(HIT_POSITION, 1, 4), nullptr);
    EXPECT_FLOAT_EQ(hit(HIT_POSITION, 1, 4)->x, 546.f);
    ASSERT_NE(hit(HIT_STYLE, 1, 10), nullptr);
    EXPECT_FLOAT_EQ(hit(HIT_STYLE, 1, 10)->w, 68.f);
}

TEST_F(ControlsPanel, ChainModeAddsSpreadAndMovesTheTargetButton) {
    make_chain(2);
    begin_frame();
    draw_controls(ui);
    EXPECT_TRUE(hits_of(HIT_SPREAD).empty());
    ASSERT_EQ(hits_of(HIT_TO_TARGET).size(), 1u);
    EXPECT_FLOAT_EQ(hits_of(HIT_TO_TARGET)[0].x, 578.f);
    ui->chain.chain_mode = 1;
    owner->prefs.gain.spread = 7; // out of range: shown as Even, not used as an index
    begin_frame();
    draw_controls(ui);
    ASSERT_EQ(hits_of(HIT_SPREAD).size(), 1u);
    EXPECT_FLOAT_EQ(hits_of(HIT_SPREAD)[0].x, 578.f);
    EXPECT_FLOAT_EQ(hits_of(HIT_TO_TARGET)[0].x, 474.f);
    EXPECT_FLOAT_EQ(hits_of(HIT_TO_TARGET)[0].w, 92.f);
}

TEST_F(ControlsPanel, HiddenPanelRecordsNothing) {
    make_chain(1);
    owner->prefs.show_controls = 0;
    begin_frame();
    draw_controls(ui);
    EXPECT_EQ(ui->input.hit_count, 0);
}

TEST_F(StageGrid, ColumnWidthIsCappedForFewStagesAndSharedForMany) {
    EXPECT_FLOAT_EQ(grid_column_width(2), 170.f);
    EXPECT_NEAR(grid_column_width(10), 52.6f, 1e-4f);
    owner->prefs.show_grid = 1;
    make_chain(10);
    begin_frame();
    draw_grid(ui);
    auto heads = hits_of(HIT_STAGE);
    ASSERT_EQ(heads.size(), 10u);
    EXPECT_NEAR(heads[9].x, 144.f + 9.f * 52.6f, 1e-3f);
    EXPECT_EQ(hits_of(HIT_GRID_CELL).size(), 120u);
}

TEST_F(StageGrid, PanelSitsAboveTheControlsAndMovesDownWhenTheyAreHidden) {
    owner->prefs.show_grid = 1;
    make_chain(2);
    begin_frame();
    draw_grid(ui);
    EXPECT_FLOAT_EQ(hits_of(HIT_STAGE)[0].y, 224.f + 6.f);
    // The last row (Group) ends above the controls panel at 466.
    EXPECT_LE(hit(HIT_GRID_CELL, 0, P_GROUP)->y + 17.f, 462.f);
    owner->prefs.show_controls = 0;
    begin_frame();
    draw_grid(ui);
    EXPECT_FLOAT_EQ(hits_of(HIT_STAGE)[0].y, 326.f + 6.f);
    // Cells: rows in grid order, 17 units apart below the header.
    for (int r = 0; r < 12; r++) {
        const Hit *h = hit(HIT_GRID_CELL, 1, GRID_ROWS[r]);
        ASSERT_NE(h, nullptr);
        EXPECT_FLOAT_EQ(h->y, 326.f + 28.f + 17.f * (float)r);
        EXPECT_LE(h->y + h->h, 564.f);
        EXPECT_FLOAT_EQ(h->x, 314.f);
        EXPECT_FLOAT_EQ(h->w, 170.f);
        EXPECT_FLOAT_EQ(h->h, 17.f);
    }
}

TEST_F(StageGrid, EmptyChainDrawsOnlyThePanel) {
    owner->prefs.show_grid = 1;
    ui->chain.chain_len = 0;
    begin_frame();
    draw_grid(ui);
    EXPECT_EQ(ui->input.hit_count, 0);
}
