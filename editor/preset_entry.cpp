// The preset name entry: opened from the preset menu or the save shortcuts, prefilled with
// the current user preset's name, and its confirm step, which saves the preset.
#include <cstdio>
#include <cstring>

#include "chainops/user_presets.h"
#include "editor/events.h"

void preset_entry_open(Ui *ui, int mode, float x, float y, float w, float h) {
    if (!ui) return;
    int pos = ui->presets.preset_cur - PRESET_USER_FIRST;
    const char *text = (pos >= 0 && pos < user_count(&ui->presets)) ? ui->presets.user_presets[pos] : "New preset";
    snprintf(ui->overlay.entry_text, sizeof ui->overlay.entry_text, "%.63s", text);
    ui->overlay.entry_x = x;
    ui->overlay.entry_y = y;
    ui->overlay.entry_w = w;
    ui->overlay.entry_h = h;
    ui->overlay.entry_kind = mode == 1 ? 1 : 2;
    ui->overlay.entry_stage = -1;
    ui->overlay.entry_row = -1;
    ui->overlay.entry_selected = 1;
    ui->overlay.entry_active = 1;
}

void preset_save_shortcut(Ui *ui, int mode) {
    if (!ui) return;
    // Without a drawn field (no frame yet) the box goes below the preset selector's place.
    float x = 350, y = 9, w = 260, h = 22;
    if (ui->overlay.preset_field_drawn) {
        x = ui->overlay.preset_field_x;
        y = ui->overlay.preset_field_y;
        w = ui->overlay.preset_field_w;
        h = ui->overlay.preset_field_h;
    }
    presets_refresh(&ui->presets);
    preset_entry_open(ui, mode, x, y + h + 2, w, 24);
}

bool preset_name_confirm(Ui *ui, int mode, const char *text) {
    if (!ui || !text) return false;
    while (*text == ' ')
        text++;
    char name[64];
    size_t n = strnlen(text, 63);
    memcpy(name, text, n);
    while (n > 0 && name[n - 1] == ' ')
        n--;
    name[n] = 0;
    if (n == 0) return false;
    return save_user_preset(&ui->ops, mode, name);
}
