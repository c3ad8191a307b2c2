// Real input through XTest on an editor embedded in an Xvfb window: switches, knob drags
// (fine with Shift), typed values, resets, the wheel, group letters, preset keys, undo
// shortcuts, and how a click ends an open text entry. Every edit must reach the owning
// slot's edit queue as gesture begin, value(s), end.
#include "chainops/history.h"
#include "chainops/user_presets.h"
#include "tests/editor_fixture.h"

using namespace edt;

namespace {

class EditorInput : public ::testing::Test {
  protected:
    void SetUp() override {
        EDITOR_NEEDS_DISPLAY();
        p = make_stage(&host);
        ASSERT_NE(p, nullptr);
        // The smallest editor (zoom 0.6): software GL draws it fastest, and every distance
        // of the design still holds in design units.
        ASSERT_TRUE(w.open(p, 576, 360));
        take_edits(p->slot);
    }
    void TearDown() override {
        w.close();
        free_stage(p);
    }
    Hit knob(int row) { return find_hit(w.ui, HIT_KNOB, row); }
    // Press at a target's centre, move by dy design units in steps, release.
    void drag(const Hit &h, double dy, bool shift = false) {
        auto c = w.centre(h);
        double z = ui_frame_z(w.ui);
        w.move(c.first, c.second);
        w.button(1, true);
        if (shift) w.key(XK_Shift_L, true);
        for (int i = 1; i <= 4; i++)
            w.move(c.first, c.second + dy * z * i / 4.0);
        w.button(1, false);
        if (shift) w.key(XK_Shift_L, false);
        w.no_double();
    }

    tk_test::ScopedSegment seg{"edinput"};
    tk_test::ScopedPresetDir presets;
    FakeHost host;
    Stage *p = nullptr;
    EditorWindow w;
};

TEST_F(EditorInput, ClickOnASwitchTogglesItInTheSlot) {
    Hit tp = find_hit(w.ui, HIT_TOGGLE, P_TRUE_PEAK);
    ASSERT_NE(tp.kind, 0);
    ASSERT_EQ(value(p, P_TRUE_PEAK), 1.0);
    w.click_hit(tp);
    EXPECT_EQ(value(p, P_TRUE_PEAK), 0.0);
    auto e = take_edits(p->slot);
    EXPECT_TRUE(is_gesture(e, PARAMS[P_TRUE_PEAK].id));
    EXPECT_EQ(e.size(), 3u);
    w.no_double();
    w.click_hit(tp);
    EXPECT_EQ(value(p, P_TRUE_PEAK), 1.0);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_TRUE_PEAK].id));
}

TEST_F(EditorInput, A160UnitDragCoversAKnobsRangeAndShiftATenth) {
    Hit link = knob(P_LINK);
    ASSERT_NE(link.kind, 0);
    ASSERT_EQ(value(p, P_LINK), 100.0);
    drag(link, 160.0); // down: 100 % to 0 %
    EXPECT_DOUBLE_EQ(value(p, P_LINK), 0.0);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_LINK].id, 2));
    drag(link, -160.0);
    EXPECT_DOUBLE_EQ(value(p, P_LINK), 100.0);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_LINK].id, 2));
    drag(link, 160.0, true); // Shift: a tenth of the range
    EXPECT_NEAR(value(p, P_LINK), 90.0, 1e-9);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_LINK].id, 1));
    EXPECT_GE(p->history->undo_n, 3) << "one undo step per drag";

    // Release moves on a logarithmic scale: half the travel from 5 ms lands on 100 ms.
    shm_store(p->slot->values[P_RELEASE], 5.0);
    ASSERT_TRUE(w.frames());
    drag(knob(P_RELEASE), -80.0);
    EXPECT_NEAR(value(p, P_RELEASE), 100.0, 0.5);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_RELEASE].id, 1));
}

TEST_F(EditorInput, DoubleClickTypingAndEnterSetsAValue) {
    Hit link = knob(P_LINK);
    ASSERT_NE(link.kind, 0);
    w.double_click_hit(link);
    ASSERT_TRUE(w.ui->overlay.entry_active);
    EXPECT_EQ(w.ui->overlay.entry_kind, 0);
    EXPECT_TRUE(w.ui->overlay.entry_selected);
    take_edits(p->slot); // the first click's empty drag gesture
    w.type("123");
    EXPECT_STREQ(w.ui->overlay.entry_text, "123") << "typing replaces the suggested text";
    w.tap(XK_BackSpace);
    EXPECT_STREQ(w.ui->overlay.entry_text, "12") << "one Backspace removes one character";
    w.tap(XK_BackSpace);
    w.tap(XK_BackSpace);
    w.type("42");
    w.tap(XK_Return);
    EXPECT_FALSE(w.ui->overlay.entry_active);
    EXPECT_NEAR(value(p, P_LINK), 42.0, 1e-9);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_LINK].id));

    // Backspace on the fresh suggestion clears it completely; Escape cancels.
    w.no_double();
    w.double_click_hit(link);
    ASSERT_TRUE(w.ui->overlay.entry_active);
    w.tap(XK_BackSpace);
    EXPECT_STREQ(w.ui->overlay.entry_text, "");
    w.type("7");
    w.tap(XK_Escape);
    EXPECT_FALSE(w.ui->overlay.entry_active);
    EXPECT_NEAR(value(p, P_LINK), 42.0, 1e-9);
}

TEST_F(EditorInput, ControlClickResetsToTheDefault) {
    shm_store(p->slot->values[P_LINK], 30.0);
    shm_store(p->slot->values[P_GAIN], 6.0);
    ASSERT_TRUE(w.frames());
    Hit link = knob(P_LINK), stage = find_hit(w.ui, HIT_STAGE);
    ASSERT_NE(link.kind, 0);
    ASSERT_NE(stage.kind, 0) << "the owner's stage is in its chain";
    w.key(XK_Control_L, true);
    w.click_hit(link);
    w.no_double();
    w.click_hit(stage);
    w.key(XK_Control_L, false);
    EXPECT_EQ(value(p, P_LINK), PARAMS[P_LINK].def);
    EXPECT_EQ(value(p, P_GAIN), 0.0) << "Control-click on a stage cell sets Gain to 0 dB";
    auto e = take_edits(p->slot);
    ASSERT_EQ(e.size(), 6u);
    EXPECT_TRUE(is_gesture({e.begin(), e.begin() + 3}, PARAMS[P_LINK].id));
    EXPECT_TRUE(is_gesture({e.begin() + 3, e.end()}, PARAMS[P_GAIN].id));
}

TEST_F(EditorInput, AStageCardsTooltipSaysWhatItsGesturesDo) {
    shm_store(p->slot->values[P_GAIN], 6.0);
    ASSERT_TRUE(w.frames());
    Hit stage = find_hit(w.ui, HIT_STAGE);
    ASSERT_NE(stage.kind, 0);
    auto c = w.centre(stage);
    w.move(c.first, c.second);
    ASSERT_EQ(w.ui->input.hover_kind, HIT_STAGE);
    char title[96], body[200];
    ASSERT_TRUE(ui_tooltip_text(w.ui, title, sizeof title, body, sizeof body));
    std::string tip = body;
    EXPECT_EQ(tip.find("double-click = 0 dB"), std::string::npos) << tip;
    EXPECT_NE(tip.find("Double-click to type"), std::string::npos) << tip;
    EXPECT_NE(tip.find("Ctrl+click = 0 dB"), std::string::npos) << tip;
    EXPECT_NE(tip.find("wheel"), std::string::npos) << tip;
    // And so the card does: a double-click opens the value entry on Gain and leaves the
    // value alone; Control-click sets 0 dB.
    w.double_click_hit(stage);
    ASSERT_TRUE(w.ui->overlay.entry_active);
    EXPECT_EQ(w.ui->overlay.entry_row, (int)P_GAIN);
    EXPECT_EQ(value(p, P_GAIN), 6.0);
    w.tap(XK_Escape);
    w.no_double();
    w.key(XK_Control_L, true);
    w.click_hit(stage);
    w.key(XK_Control_L, false);
    EXPECT_EQ(value(p, P_GAIN), 0.0);
}

TEST_F(EditorInput, TheWheelStepsSteppedControlsAndMovesOthersTwoPercent) {
    Hit style = find_hit(w.ui, HIT_STYLE);
    ASSERT_NE(style.kind, 0);
    auto c = w.centre(style);
    w.move(c.first, c.second);
    w.button(4, true); // wheel up
    w.button(4, false);
    EXPECT_EQ(value(p, P_STYLE), 1.0);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_STYLE].id));
    shm_store(p->slot->values[P_LINK], 50.0);
    auto k = w.centre(knob(P_LINK));
    w.move(k.first, k.second);
    w.button(4, true);
    w.button(4, false);
    EXPECT_NEAR(value(p, P_LINK), 52.0, 1e-9);
    w.button(5, true); // wheel down
    w.button(5, false);
    w.button(5, true);
    w.button(5, false);
    EXPECT_NEAR(value(p, P_LINK), 48.0, 1e-9);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_LINK].id, 3));
}

TEST_F(EditorInput, GroupLetterClickViewsItAndDoubleClickMovesThisStage) {
    FakeHost other_host;
    Stage *other = make_stage(&other_host, 1);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(w.frames());
    Hit b = find_hit(w.ui, HIT_GROUP, 1);
    ASSERT_NE(b.kind, 0);
    w.click_hit(b);
    EXPECT_EQ(w.ui->chain.group, 1);
    EXPECT_EQ(value(p, P_GROUP), 0.0);
    EXPECT_TRUE(take_edits(p->slot).empty()) << "viewing a group edits nothing";
    w.no_double();
    w.double_click_hit(b);
    EXPECT_EQ(value(p, P_GROUP), 1.0);
    EXPECT_EQ(w.ui->chain.group, 1);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_GROUP].id));
    free_stage(other);
}

TEST_F(EditorInput, PageDownWrapsFromTheLastUserPresetToDefault) {
    for (const char *name : {"one", "two"}) {
        PresetFile f{};
        snprintf(f.name, sizeof f.name, "%s", name);
        f.stages = 1;
        for (uint32_t i = 0; i < PARAM_COUNT; i++)
            f.values[0][i] = PARAMS[i].def;
        f.values[0][P_GAIN] = 5.0;
        ASSERT_TRUE(preset_save(&f));
    }
    w.click(180, 180); // focus
    w.ui->presets.preset_cur = 12;
    w.tap(XK_Page_Down);
    EXPECT_EQ(w.ui->presets.preset_cur, 13) << "after the last chain preset comes the first user preset";
    EXPECT_EQ(value(p, P_GAIN), 5.0);
    w.tap(XK_Page_Down);
    EXPECT_EQ(w.ui->presets.preset_cur, 14);
    w.tap(XK_Page_Down);
    EXPECT_EQ(w.ui->presets.preset_cur, 0) << "the last user preset wraps to the first factory preset";
    EXPECT_EQ(value(p, P_GAIN), 0.0);
    w.tap(XK_Page_Up);
    EXPECT_EQ(w.ui->presets.preset_cur, 14);
    w.tap(XK_period);
    EXPECT_EQ(w.ui->presets.preset_cur, 0) << "'.' steps once per keystroke";
    w.tap(XK_comma);
    EXPECT_EQ(w.ui->presets.preset_cur, 14);
}

TEST_F(EditorInput, ControlZUndoesOneStepPerKeystroke) {
    Hit tp = find_hit(w.ui, HIT_TOGGLE, P_TRUE_PEAK);
    Hit ad = find_hit(w.ui, HIT_TOGGLE, P_ADAPTIVE);
    ASSERT_TRUE(tp.kind && ad.kind);
    w.click_hit(tp);
    w.no_double();
    w.click_hit(ad);
    ASSERT_EQ(value(p, P_TRUE_PEAK), 0.0);
    ASSERT_EQ(value(p, P_ADAPTIVE), 0.0);
    ASSERT_EQ(p->history->undo_n, 2);
    take_edits(p->slot);
    w.chord(XK_Control_L, XK_z);
    EXPECT_EQ(p->history->undo_n, 1) << "one keystroke, one step";
    EXPECT_EQ(value(p, P_ADAPTIVE), 1.0);
    EXPECT_EQ(value(p, P_TRUE_PEAK), 0.0);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_ADAPTIVE].id));
    w.key(XK_Control_L, true);
    w.key(XK_Shift_L, true);
    w.tap(XK_z);
    w.key(XK_Shift_L, false);
    w.key(XK_Control_L, false);
    EXPECT_EQ(p->history->undo_n, 2) << "Control+Shift+Z redoes one step";
    EXPECT_EQ(value(p, P_ADAPTIVE), 0.0);

    // With a text entry open, Control+Z does nothing.
    w.double_click_hit(knob(P_LINK));
    ASSERT_TRUE(w.ui->overlay.entry_active);
    int before = p->history->undo_n;
    w.chord(XK_Control_L, XK_z);
    EXPECT_EQ(p->history->undo_n, before);
    EXPECT_TRUE(w.ui->overlay.entry_active);
    w.tap(XK_Escape);
}

TEST_F(EditorInput, AClickCancelsANameEntryAndCommitsAValueEntry) {
    w.click(180, 180); // focus
    w.chord(XK_Control_L, XK_s);
    ASSERT_TRUE(w.ui->overlay.entry_active);
    EXPECT_EQ(w.ui->overlay.entry_kind, 1);
    EXPECT_STREQ(w.ui->overlay.entry_text, "New preset");
    w.type("kept");
    EXPECT_STREQ(w.ui->overlay.entry_text, "kept");
    w.click(180, 180);
    EXPECT_FALSE(w.ui->overlay.entry_active);
    char names[24][64];
    EXPECT_EQ(presets_list(names, 24), 0) << "a cancelled name entry saves nothing";

    w.no_double();
    w.double_click_hit(knob(P_MIX));
    ASSERT_TRUE(w.ui->overlay.entry_active);
    take_edits(p->slot);
    w.type("25");
    w.no_double();
    w.click(180, 180);
    EXPECT_FALSE(w.ui->overlay.entry_active);
    EXPECT_NEAR(value(p, P_MIX), 25.0, 1e-9);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_MIX].id));

    // Enter in a name entry saves the preset under the typed name, once.
    w.chord(XK_Control_L, XK_s);
    ASSERT_TRUE(w.ui->overlay.entry_active);
    w.type("mine");
    w.tap(XK_Return);
    EXPECT_FALSE(w.ui->overlay.entry_active);
    ASSERT_EQ(presets_list(names, 24), 1);
    EXPECT_STREQ(names[0], "mine");
    EXPECT_EQ(w.ui->presets.preset_cur, 13);
}

TEST_F(EditorInput, StyleAndTargetMenusSetWhatTheirRowsName) {
    Hit style = find_hit(w.ui, HIT_STYLE);
    ASSERT_NE(style.kind, 0);
    w.click_hit(style);
    ASSERT_EQ(w.ui->overlay.menu_kind, HIT_STYLE);
    ASSERT_TRUE(w.frames());
    Hit punchy = find_hit(w.ui, HIT_MENU_ITEM, 2);
    ASSERT_NE(punchy.kind, 0);
    take_edits(p->slot);
    w.click_hit(punchy);
    EXPECT_EQ(w.ui->overlay.menu_kind, 0) << "a click closes the menu";
    EXPECT_EQ(value(p, P_STYLE), 2.0);
    EXPECT_TRUE(is_gesture(take_edits(p->slot), PARAMS[P_STYLE].id));

    w.no_double();
    w.click_hit(find_hit(w.ui, HIT_LOUD_TARGET));
    ASSERT_EQ(w.ui->overlay.menu_kind, HIT_LOUD_TARGET);
    ASSERT_TRUE(w.frames());
    Hit ebu = find_hit(w.ui, HIT_MENU_ITEM, 2);
    ASSERT_NE(ebu.kind, 0);
    int dirty = host.dirty;
    w.click_hit(ebu);
    EXPECT_EQ(p->prefs.gain.target_idx, 2u);
    EXPECT_GT(host.dirty, dirty) << "a preference saved in the state changed";
    EXPECT_TRUE(take_edits(p->slot).empty());
}

TEST_F(EditorInput, MidiLearnArmsTheClickedControlOrUnmapsAMappedOne) {
    Hit midi = find_hit(w.ui, HIT_MIDI), release = knob(P_RELEASE);
    ASSERT_TRUE(midi.kind && release.kind);
    w.click_hit(midi);
    ASSERT_TRUE(w.ui->input.midi_learn_ui);
    w.no_double();
    w.click_hit(release);
    EXPECT_FALSE(w.ui->input.midi_learn_ui) << "picking a control ends learn mode";
    EXPECT_EQ(shm_load(p->slot->midi.midi_learn), (int32_t)P_RELEASE);
    EXPECT_TRUE(take_edits(p->slot).empty()) << "picking a control does not edit it";
    // The MIDI pill while a parameter is armed disarms it.
    w.no_double();
    w.click_hit(midi);
    EXPECT_EQ(shm_load(p->slot->midi.midi_learn), -1);
    EXPECT_FALSE(w.ui->input.midi_learn_ui);
    // A mapped control is unmapped by picking it.
    shm_store(p->slot->midi.midi_cc[P_RELEASE], 20);
    w.no_double();
    w.click_hit(midi);
    w.no_double();
    w.click_hit(release);
    EXPECT_EQ(shm_load(p->slot->midi.midi_cc[P_RELEASE]), -1);
    EXPECT_EQ(shm_load(p->slot->midi.midi_learn), -1);
}

TEST_F(EditorInput, GripDragAsksTheHostForTheSizeUnderThePointer) {
    Hit grip = find_hit(w.ui, HIT_GRIP);
    ASSERT_NE(grip.kind, 0);
    auto c = w.centre(grip);
    w.move(c.first, c.second);
    w.button(1, true);
    for (int i = 1; i <= 4; i++)
        w.move(c.first + 24 * i, c.second);
    w.button(1, false);
    EXPECT_EQ(w.ui->input.drag_kind, 0);
    ASSERT_FALSE(host.resizes.empty());
    // The window was 576 px wide; the pointer moved 96 px right: scale (576 + 96) / 960.
    EXPECT_EQ(host.resizes.back(), std::make_pair(672u, 420u));
    EXPECT_FALSE(w.ui->win.req_pending) << "a held-back request is sent when the drag ends";
    EXPECT_TRUE(ui_set_size(w.ui, 672, 420));
    EXPECT_DOUBLE_EQ(p->prefs.ui_scale, 0.7);
    ASSERT_TRUE(w.wait([&] { return w.ui->win.view_w == 672 && w.ui->win.view_h == 420; }));
}

} // namespace
