// Editor operations on an editor record without a window: the preset name entry (where the
// save shortcuts and the menu open it, what it is prefilled with, how its confirm step trims
// and saves) and the start of a drag on the gain slider in chain mode.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "chainops/user_presets.h"
#include "editor/events.h"
#include "tests/editor_sections_fixture.h"

namespace {

class PresetEntry : public sections_test::SectionsFixture {
  protected:
    tk_test::ScopedPresetDir dir_;
    std::string file(const std::string &stem) const { return dir_.path() + "/" + stem + ".tervik"; }
    static bool exists(const std::string &p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0;
    }
};

TEST_F(PresetEntry, SaveShortcutOpensThePrefilledEntryBelowTheNameField) {
    make_chain(1);
    ui->overlay.preset_field_drawn = 1;
    ui->overlay.preset_field_x = 378;
    ui->overlay.preset_field_y = 9;
    ui->overlay.preset_field_w = 204;
    ui->overlay.preset_field_h = 22;
    preset_save_shortcut(ui, 1);
    EXPECT_EQ(ui->overlay.entry_active, 1);
    EXPECT_EQ(ui->overlay.entry_kind, 1);
    EXPECT_EQ(ui->overlay.entry_selected, 1);
    EXPECT_EQ(ui->overlay.entry_stage, -1);
    EXPECT_EQ(ui->overlay.entry_row, -1);
    EXPECT_STREQ(ui->overlay.entry_text, "New preset");
    EXPECT_EQ(ui->overlay.entry_x, 378.0f);
    EXPECT_EQ(ui->overlay.entry_y, 33.0f);
    EXPECT_EQ(ui->overlay.entry_w, 204.0f);
    EXPECT_EQ(ui->overlay.entry_h, 24.0f);
    // A file saved elsewhere shows up (the shortcut refreshes the list) and, once current,
    // prefills the entry.
    PresetFile r;
    memset(&r, 0, sizeof r);
    snprintf(r.name, sizeof r.name, "Elsewhere");
    r.stages = 1;
    ASSERT_TRUE(preset_save(&r));
    ui->presets.preset_cur = 13;
    preset_save_shortcut(ui, 2);
    EXPECT_EQ(ui->presets.user_preset_count, 1);
    EXPECT_EQ(ui->overlay.entry_kind, 2);
    EXPECT_STREQ(ui->overlay.entry_text, "Elsewhere");
    // The menu's entries open at the menu without a refresh.
    ui->presets.preset_cur = 14;
    preset_entry_open(ui, 1, 100, 200, 260, 24);
    EXPECT_STREQ(ui->overlay.entry_text, "New preset");
    EXPECT_EQ(ui->overlay.entry_y, 200.0f);
}

TEST_F(PresetEntry, NameConfirmTrimsSpacesAndIgnoresEmptyNames) {
    make_chain(1);
    EXPECT_TRUE(preset_name_confirm(ui, 1, "   My preset  "));
    EXPECT_TRUE(exists(file("My preset")));
    EXPECT_EQ(ui->presets.preset_cur, 13);
    EXPECT_FALSE(preset_name_confirm(ui, 1, "     "));
    EXPECT_FALSE(preset_name_confirm(ui, 2, ""));
    EXPECT_EQ(ui->presets.user_preset_count, 1);
}

class EditorDrag : public sections_test::SectionsFixture {};

TEST_F(EditorDrag, GainSliderInChainModeIsAChainTotalDragOfEveryStageUntilReleased) {
    make_chain(3);
    ui->chain.chain_mode = 1;
    drag_start(ui, HIT_GAIN_SLIDER, 0, P_GAIN, 36, 300);
    EXPECT_EQ(ui->input.drag_kind, (int)HIT_GAIN_SLIDER);
    EXPECT_EQ(ui->input.drag_row, (int)P_GAIN);
    EXPECT_EQ(ui->input.drag_chain_total, 1);
    EXPECT_EQ(ui->input.drag.drag_count, 3);
    drag_end(ui);
    EXPECT_EQ(ui->input.drag_kind, 0);
    EXPECT_EQ(ui->input.drag_chain_total, 0);
    EXPECT_EQ(ui->input.drag.drag_count, 0);
}

} // namespace
