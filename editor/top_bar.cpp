// The top bar: product mark, undo and redo, A/B and Copy, the preset selector, the MIDI
// pill and the group letters with the new-group button. Draws and records hit targets only.
#include <cmath>
#include <cstdio>

#include "chainops/factory.h"
#include "chainops/history.h"
#include "editor/design.h"
#include "editor/sections.h"
#include "registry/registry.h"
#include "sys/assert.h"

// The curved arrow of undo (mirrored: redo), centred at (cx, cy).
static void undo_glyph(NVGcontext *vg, float cx, float cy, bool mirrored, Rgba c) {
    nvgSave(vg);
    nvgTranslate(vg, cx, cy);
    if (mirrored) nvgScale(vg, -1.f, 1.f);
    nvgBeginPath(vg);
    nvgArc(vg, 0.f, 0.f, 5.5f, 0.3142f, 2.6704f, NVG_CCW);
    nvgStrokeWidth(vg, 1.6f);
    nvgLineCap(vg, NVG_ROUND);
    nvgStrokeColor(vg, nv(c));
    nvgStroke(vg);
    nvgBeginPath(vg);
    nvgMoveTo(vg, -3.9018f, 4.4572f);
    nvgLineTo(vg, -8.3033f, 1.9861f);
    nvgLineTo(vg, -3.3137f, -0.5562f);
    nvgClosePath(vg);
    nvgFillColor(vg, nv(c));
    nvgFill(vg);
    nvgRestore(vg);
}

static void undo_button(Ui *ui, int kind, float x, float cx, bool available, bool mirrored) {
    NVGcontext *vg = ui->win.vg;
    if (vg) {
        Rgba c = !available ? COL_FAINT : (ui->input.hover_kind == kind ? COL_ACCENT : COL_TEXT);
        undo_glyph(vg, cx, 20.f, mirrored, c);
    }
    hit_push(ui, kind, -1, 0, x, 9.f, 22.f, 22.f);
}

static void preset_selector(Ui *ui) {
    NVGcontext *vg = ui->win.vg;
    if (vg) {
        nvgBeginPath(vg);
        nvgRect(vg, 350.f, 9.f, 260.f, 22.f);
        nvgFillColor(vg, nv(COL_WELL));
        nvgFill(vg);
        nvgBeginPath(vg);
        nvgRect(vg, 350.5f, 9.5f, 259.f, 21.f);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_BORDER));
        nvgStroke(vg);
        text(vg, 364.f, 20.f, 12.f, ui->input.hover_kind == HIT_PRESET_PREV ? COL_ACCENT : COL_DIM,
             NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, "<");
        text(vg, 596.f, 20.f, 12.f, ui->input.hover_kind == HIT_PRESET_NEXT ? COL_ACCENT : COL_DIM,
             NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, ">");
        char name[72];
        snprintf(name, sizeof name, "%s", preset_name(&ui->presets, ui->presets.preset_cur));
        // A long user preset name stays inside the name area.
        nvgSave(vg);
        nvgIntersectScissor(vg, 378.f, 9.f, 204.f, 22.f);
        text(vg, 480.f, 20.f, 11.f, ui->input.hover_kind == HIT_PRESET_MENU ? COL_ACCENT : COL_TEXT,
             NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, name);
        nvgRestore(vg);
    }
    hit_push(ui, HIT_PRESET_PREV, -1, 0, 350.f, 9.f, 28.f, 22.f);
    hit_push(ui, HIT_PRESET_NEXT, -1, 0, 582.f, 9.f, 28.f, 22.f);
    hit_push(ui, HIT_PRESET_MENU, -1, 0, 378.f, 9.f, 204.f, 22.f);
    ui->overlay.preset_field_drawn = 1;
    ui->overlay.preset_field_x = 378.f;
    ui->overlay.preset_field_y = 9.f;
    ui->overlay.preset_field_w = 204.f;
    ui->overlay.preset_field_h = 22.f;
}

static void group_button(NVGcontext *vg, float x, float w, const char *label, bool filled, Rgba outline, Rgba ink) {
    if (!vg) return;
    if (filled) {
        nvgBeginPath(vg);
        nvgRoundedRect(vg, x, 10.f, w, 20.f, 4.f);
        nvgFillColor(vg, nv(COL_ACCENT));
        nvgFill(vg);
    } else {
        nvgBeginPath(vg);
        nvgRoundedRect(vg, x + 0.5f, 10.5f, w - 1.f, 19.f, 4.f);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(outline));
        nvgStroke(vg);
    }
    text(vg, x + w * 0.5f, 20.f, 11.f, ink, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, label);
}

// Group letters, the "+" button and the MIDI pill, laid out from the right edge.
static void groups(Ui *ui) {
    NVGcontext *vg = ui->win.vg;
    SharedSlot *own = ui->chain.own_slot;
    int own_group = own ? bounded_int(shm_load(own->values[P_GROUP]), 0, 15) : 0;
    int shown = ui->chain.group < 0 ? 0 : (ui->chain.group > 15 ? 15 : ui->chain.group);
    uint32_t usage[16];
    registry_group_usage(usage);
    int g_max = own_group > shown ? own_group : shown;
    for (int g = 15; g > g_max; g--) {
        if (usage[g]) {
            g_max = g;
            break;
        }
    }
    int c = g_max + 1;
    bool plus_exists = g_max + 1 < 16;
    int slots = g_max + 2;
    float B = c <= 4 ? 162.f : 300.f;
    float w = std::floor(B / (float)slots) - 4.f, step;
    if (w > 26.f) {
        w = 26.f;
        step = 30.f;
    } else if (w < 14.f) {
        w = 14.f;
        step = 18.f;
    } else {
        step = w + 4.f;
    }
    float x_first = 944.f - step * (float)slots + 4.f;
    if (vg && c < 4) text(vg, x_first - 8.f, 20.f, 7.5f, COL_DIM, NVG_ALIGN_RIGHT | NVG_ALIGN_MIDDLE, "GROUP", 0.9f);
    for (int g = 0; g <= g_max; g++) {
        float x = x_first + step * (float)g;
        char label[4];
        snprintf(label, sizeof label, "%c", 'A' + g);
        bool hovered = ui->input.hover_kind == HIT_GROUP && ui->input.hover_b == g;
        if (g == shown)
            group_button(vg, x, w, label, true, COL_ACCENT, COL_INK_ON_ACCENT);
        else if (hovered)
            group_button(vg, x, w, label, false, COL_ACCENT, COL_ACCENT);
        else
            group_button(vg, x, w, label, false, COL_FAINT, COL_DIM);
        if (vg && g == own_group) {
            nvgBeginPath(vg);
            nvgCircle(vg, x + w * 0.5f, 6.f, 1.6f);
            nvgFillColor(vg, nv(COL_ACCENT));
            nvgFill(vg);
        }
        hit_push(ui, HIT_GROUP, -1, g, x, 10.f, w, 20.f);
    }
    float xp = x_first + step * (float)c;
    bool plus_hover = plus_exists && ui->input.hover_kind == HIT_GROUP && ui->input.hover_b >= 100;
    if (plus_hover)
        group_button(vg, xp, w, "+", false, COL_ACCENT, COL_ACCENT);
    else
        group_button(vg, xp, w, "+", false, COL_BORDER, plus_exists ? COL_DIM : COL_FAINT);
    if (plus_exists) hit_push(ui, HIT_GROUP, -1, 100 + (g_max + 1), xp, 10.f, w, 20.f);

    // MIDI learn pill, left of the letters (and of the caption while it stands there).
    float mx = x_first - 8.f - 64.f - (c < 4 ? 52.f : 0.f);
    int idx = 0;
    SharedSlot *st = shown_stage(&ui->chain, &idx);
    bool armed = st && shm_load(st->midi.midi_learn) >= 0;
    if (vg) pill(vg, mx, 9.f, 64.f, 22.f, "MIDI", ui->input.midi_learn_ui || armed, ui->input.hover_kind == HIT_MIDI);
    hit_push(ui, HIT_MIDI, -1, 0, mx, 9.f, 64.f, 22.f);
}

void draw_top_bar(Ui *ui) {
    TK_ASSERT(ui);
    NVGcontext *vg = ui->win.vg;
    const ChainHistory *history = ui->owner.history;
    if (vg) {
        nvgBeginPath(vg);
        nvgRect(vg, 0.f, 0.f, DESIGN_WF, 40.f);
        nvgFillPaint(vg, nvgLinearGradient(vg, 0.f, 0.f, 0.f, 40.f, nv(COL_TOP_BAR_TOP), nv(COL_TOP_BAR_BOTTOM)));
        nvgFill(vg);
        nvgBeginPath(vg);
        nvgMoveTo(vg, 0.f, 39.5f);
        nvgLineTo(vg, DESIGN_WF, 39.5f);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_TOP_BAR_EDGE));
        nvgStroke(vg);
        text(vg, 18.f, 20.f, 17.f, COL_ACCENT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, "TERVIK", 2.04f);
        text(vg, 110.f, 21.f, 9.5f, COL_DIM, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, "stacked limiter");
    }
    hit_push(ui, HIT_ABOUT, -1, 0, 12.f, 4.f, 168.f, 32.f);

    bool can_undo = history && history->undo_n > 0;
    bool can_redo = history && history->redo_n > 0;
    undo_button(ui, HIT_UNDO, 188.f, 199.f, can_undo, false);
    undo_button(ui, HIT_REDO, 213.f, 224.f, can_redo, true);

    bool b_current = history && history->ab_cur == 1;
    if (vg) {
        pill(vg, 241.f, 9.f, 52.f, 22.f, b_current ? "a | B" : "A | b", true, ui->input.hover_kind == HIT_AB);
        pill(vg, 297.f, 9.f, 42.f, 22.f, "Copy", false, ui->input.hover_kind == HIT_COPY);
    }
    hit_push(ui, HIT_AB, -1, 0, 241.f, 9.f, 52.f, 22.f);
    hit_push(ui, HIT_COPY, -1, 0, 297.f, 9.f, 42.f, 22.f);

    preset_selector(ui);
    groups(ui);
}
