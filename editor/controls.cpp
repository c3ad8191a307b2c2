// The controls panel of the shown stage (knobs, switches, position and style, the
// gain-to-target and spread buttons) and the grid of every stage's settings side by side.
#include <cmath>
#include <cstdio>

#include "chainops/chain_gain.h"
#include "editor/sections.h"
#include "sys/assert.h"

// The grid's parameter rows and their labels, in display order.
const int GRID_ROWS[GRID_ROW_COUNT] = {P_GAIN,      P_CEILING,  P_RELEASE, P_LINK,   P_MIX,     P_LOOKAHEAD,
                                       P_TRUE_PEAK, P_ADAPTIVE, P_STYLE,   P_DITHER, P_SHAPING, P_GROUP};
const char *const GRID_LABELS[GRID_ROW_COUNT] = {"GAIN",  "OUT CEILING", "RELEASE",   "STEREO LINK",
                                                 "MIX",   "LOOKAHEAD",   "TRUE PEAK", "ADAPTIVE",
                                                 "STYLE", "DITHER",      "SHAPING",   "GROUP"};

// The controls panel's knobs and switches, left to right.
static const int KNOB_ROWS[5] = {P_CEILING, P_RELEASE, P_LINK, P_LOOKAHEAD, P_MIX};
static const char *const KNOB_LABELS[5] = {"OUT CEILING", "RELEASE", "STEREO LINK", "LOOKAHEAD", "MIX"};
static const int SWITCH_ROWS[2] = {P_TRUE_PEAK, P_ADAPTIVE};
static const char *const SWITCH_LABELS[2] = {"TRUE PEAK", "ADAPTIVE"};

constexpr float KNOB_A0 = 0.75f * NVG_PI; // start of the track arc
constexpr float KNOB_SWEEP = 1.5f * NVG_PI;

static bool midi_mapped(const SharedSlot *slot, int row) {
    return slot && row >= 0 && row < (int)PARAM_COUNT && shm_load(slot->midi.midi_cc[row]) >= 0;
}

static void midi_mark(NVGcontext *vg, float x, float y) {
    text(vg, x, y, 6.5f, COL_ACCENT, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, "M", 0.78f);
}

static float norm01(int row, double v) {
    double p = param_norm(row, v);
    if (!(p >= 0.0)) p = 0.0;
    if (p > 1.0) p = 1.0;
    return (float)p;
}

static void knob(Ui *ui, SharedSlot *slot, int s, int k) {
    NVGcontext *vg = ui->win.vg;
    int row = KNOB_ROWS[k];
    float x = 106.f + 64.f * (float)k;
    hit_push(ui, HIT_KNOB, s, row, x - 26.f, 496.f, 52.f, 52.f);
    if (!vg) return;
    bool active = (ui->input.hover_kind == HIT_KNOB && ui->input.hover_b == row) ||
                  (ui->input.drag_kind == HIT_KNOB && ui->input.drag_row == row);
    double value = slot_param(slot, row);
    float p = norm01(row, value);

    nvgBeginPath(vg);
    nvgCircle(vg, x, 524.f, 18.f);
    nvgFillPaint(vg, nvgRadialGradient(vg, x, 524.f, 9.6f, 18.f, nv(COL_KNOB_SHADOW), nv(COL_NONE)));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgCircle(vg, x, 522.f, 12.f);
    nvgFillPaint(vg, nvgRadialGradient(vg, x - 4.8f, 516.f, 2.4f, 14.4f, nv(COL_KNOB_TOP), nv(COL_KNOB_BOTTOM)));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgCircle(vg, x, 522.f, 11.5f);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(active ? COL_EDGE : COL_HAIRLINE));
    nvgStroke(vg);

    nvgLineCap(vg, NVG_ROUND);
    nvgBeginPath(vg);
    nvgArc(vg, x, 522.f, 17.f, KNOB_A0, KNOB_A0 + KNOB_SWEEP, NVG_CW);
    nvgStrokeWidth(vg, 2.f);
    nvgStrokeColor(vg, nv(COL_KNOB_ARC));
    nvgStroke(vg);
    float a = KNOB_A0 + p * KNOB_SWEEP;
    if (p > 0.002f) {
        nvgBeginPath(vg);
        nvgArc(vg, x, 522.f, 17.f, KNOB_A0, a, NVG_CW);
        nvgStrokeWidth(vg, 5.f);
        nvgStrokeColor(vg, nv(COL_KNOB_ARC_GLOW));
        nvgStroke(vg);
        nvgBeginPath(vg);
        nvgArc(vg, x, 522.f, 17.f, KNOB_A0, a, NVG_CW);
        nvgStrokeWidth(vg, 2.f);
        nvgStrokeColor(vg, nv(COL_ACCENT));
        nvgStroke(vg);
    }
    float ca = std::cos(a), sa = std::sin(a);
    nvgBeginPath(vg);
    nvgMoveTo(vg, x + ca * 12.f * 0.45f, 522.f + sa * 12.f * 0.45f);
    nvgLineTo(vg, x + ca * 9.f, 522.f + sa * 9.f);
    nvgStrokeWidth(vg, 1.6f);
    nvgStrokeColor(vg, nv(active ? COL_ACCENT : COL_TEXT));
    nvgStroke(vg);
    nvgLineCap(vg, NVG_BUTT);

    text(vg, x, 497.f, 8.5f, COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, KNOB_LABELS[k], 1.02f);
    char buf[32];
    param_format(row, buf, sizeof buf, value);
    text(vg, x, 545.f, 11.f, active ? COL_ACCENT : COL_TEXT, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);
    if (midi_mapped(slot, row)) midi_mark(vg, x + 22.f, 506.f);
    indication_marks(ui, slot, row, x - 22.f, 506.f, x - 22.f, 540.f);
}

void draw_controls(Ui *ui) {
    TK_ASSERT(ui && ui->owner.prefs);
    if (!ui->owner.prefs->show_controls) return;
    NVGcontext *vg = ui->win.vg;
    const EditorPrefs *prefs = ui->owner.prefs;
    int s = 0;
    SharedSlot *slot = shown_stage(&ui->chain, &s);
    int n = chain_count(&ui->chain);
    char buf[48];

    if (vg) {
        overlay_panel(vg, 466.f, 94.f);
        if (ui->chain.chain_mode) {
            text(vg, 74.f, 479.f, 8.5f, COL_ACCENT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, "ALL STAGES", 1.02f);
        } else {
            int pos = (n > 0 && s >= 0 && s < n) ? (int)ui->chain.chain[s].pos : 0;
            if (pos > 98) pos = 0;
            snprintf(buf, sizeof buf, "STAGE %d", pos);
            text(vg, 74.f, 479.f, 8.5f, COL_DIM, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, buf, 1.02f);
        }
    }

    if (ui->chain.chain_mode) {
        uint32_t sp = prefs->gain.spread > 2 ? 0 : prefs->gain.spread;
        snprintf(buf, sizeof buf, "Spread: %s", DIST_NAMES[sp]);
        if (vg) pill(vg, 578.f, 470.f, 92.f, 18.f, buf, false, ui->input.hover_kind == HIT_SPREAD);
        hit_push(ui, HIT_SPREAD, -1, 0, 578.f, 470.f, 92.f, 18.f);
    }
    float tx = ui->chain.chain_mode ? 474.f : 578.f;
    snprintf(buf, sizeof buf, "To %d LUFS", (int)std::lround(loudness_target(&prefs->gain)));
    if (vg) pill(vg, tx, 470.f, 92.f, 18.f, buf, false, ui->input.hover_kind == HIT_TO_TARGET);
    hit_push(ui, HIT_TO_TARGET, -1, 0, tx, 470.f, 92.f, 18.f);

    for (int k = 0; k < 5; k++)
        knob(ui, slot, s, k);

    for (int k = 0; k < 2; k++) {
        int row = SWITCH_ROWS[k];
        float x = 418.f + 64.f * (float)k;
        if (vg) {
            bool on = slot_param(slot, row) >= 0.5;
            text(vg, x + 29.f, 502.f, 7.5f, COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, SWITCH_LABELS[k], 0.9f);
            pill(vg, x, 514.f, 58.f, 20.f, on ? "On" : "Off", on,
                 ui->input.hover_kind == HIT_TOGGLE && ui->input.hover_b == row);
            if (midi_mapped(slot, row)) midi_mark(vg, x + 58.f, 502.f);
            indication_marks(ui, slot, row, x + 8.f, 524.f, x + 50.f, 524.f);
        }
        hit_push(ui, HIT_TOGGLE, s, row, x, 514.f, 58.f, 20.f);
    }

    double stage_v = slot_param(slot, P_STAGE);
    if (vg) {
        text(vg, 575.f, 502.f, 7.5f, COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, "POSITION", 0.9f);
        param_format(P_STAGE, buf, sizeof buf, stage_v);
        pill(vg, 546.f, 514.f, 58.f, 20.f, buf, stage_v >= 0.5, ui->input.hover_kind == HIT_POSITION);
        indication_marks(ui, slot, P_STAGE, 554.f, 524.f, 596.f, 524.f);
    }
    hit_push(ui, HIT_POSITION, s, P_STAGE, 546.f, 514.f, 58.f, 20.f);

    double style_v = slot_param(slot, P_STYLE);
    if (vg) {
        text(vg, 644.f, 502.f, 7.5f, COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, "STYLE", 0.9f);
        param_format(P_STYLE, buf, sizeof buf, style_v);
        pill(vg, 610.f, 514.f, 68.f, 20.f, buf, style_v >= 0.5,
             ui->input.hover_kind == HIT_STYLE || ui->overlay.menu_kind == HIT_STYLE);
        if (midi_mapped(slot, P_STYLE)) midi_mark(vg, 678.f, 502.f);
        indication_marks(ui, slot, P_STYLE, 618.f, 524.f, 670.f, 524.f);
    }
    hit_push(ui, HIT_STYLE, s, P_STYLE, 610.f, 514.f, 68.f, 20.f);
}

float grid_column_width(int n) {
    if (n < 1) return 170.f;
    float cw = 526.f / (float)n;
    return cw > 170.f ? 170.f : cw;
}

static void grid_cell(Ui *ui, int i, int r, float x, float ry, float cw) {
    NVGcontext *vg = ui->win.vg;
    int row = GRID_ROWS[r];
    hit_push(ui, HIT_GRID_CELL, i, row, x, ry, cw, 17.f);
    if (!vg) return;
    SharedSlot *slot = ui->chain.chain[i].slot;
    bool active = (ui->input.hover_kind == HIT_GRID_CELL && ui->input.hover_a == i && ui->input.hover_b == row) ||
                  (ui->input.drag_kind == HIT_GRID_CELL && ui->input.drag_row == row &&
                   (ui->chain.chain_mode || ui->input.drag_a == i));
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x + 1.f, ry + 2.f, cw - 2.f, 13.f, 3.f);
    nvgFillColor(vg, nv(active ? COL_SHADOW : COL_WELL));
    nvgFill(vg);
    if (active) {
        nvgBeginPath(vg);
        nvgRoundedRect(vg, x + 1.5f, ry + 2.5f, cw - 3.f, 12.f, 3.f);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_ACCENT));
        nvgStroke(vg);
    }
    double value = slot_param(slot, row);
    Rgba ink = COL_TEXT;
    if (param_is_switch(row)) {
        if (value >= 0.5) ink = COL_ACCENT;
    } else {
        float p = norm01(row, value);
        float len = p * (cw - 4.f);
        if (len > 0.f) {
            nvgBeginPath(vg);
            nvgRoundedRect(vg, x + 2.f, ry + 17.f - 5.f, len, 2.f, 1.f);
            nvgFillColor(vg, nv(COL_GRID_BAR));
            nvgFill(vg);
        }
    }
    char buf[32];
    param_format(row, buf, sizeof buf, value);
    text(vg, x + cw * 0.5f, ry + 8.5f, 10.5f, ink, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);
    if (midi_mapped(slot, row)) midi_mark(vg, x + 6.f, ry + 8.5f);
    indication_marks(ui, slot, row, x + cw - 5.f, ry + 8.5f, x + cw - 13.f, ry + 8.5f, 0.7f);
}

// The header and twelve rows of 17 units need 6 + 22 + 12 x 17 + 6 = 238 units; the panel
// sits just above the controls panel (466) when that is shown, else just above the graph's
// bottom edge (564), so that no row hides under the controls or the bottom bar.
constexpr float GRID_PANEL_H = 238.f;
constexpr float GRID_Y_WITH_CONTROLS = 466.f - 4.f - GRID_PANEL_H;
constexpr float GRID_Y_ALONE = 564.f - GRID_PANEL_H;

void draw_grid(Ui *ui) {
    TK_ASSERT(ui && ui->owner.prefs);
    if (!ui->owner.prefs->show_grid) return;
    NVGcontext *vg = ui->win.vg;
    float y = ui->owner.prefs->show_controls ? GRID_Y_WITH_CONTROLS : GRID_Y_ALONE;
    int n = chain_count(&ui->chain);
    if (vg) {
        overlay_panel(vg, y, GRID_PANEL_H);
        for (int r = 0; r < GRID_ROW_COUNT; r++)
            text(vg, 72.f, y + 36.5f + 17.f * (float)r, 7.5f, COL_DIM, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE,
                 GRID_LABELS[r], 0.9f);
    }
    if (n == 0) return;
    float cw = grid_column_width(n);
    int o = own_index(&ui->chain);
    int f = (ui->chain.focus >= 0 && ui->chain.focus < n) ? ui->chain.focus : (o >= 0 ? o : 0);
    for (int i = 0; i < n; i++) {
        float x = 144.f + (float)i * cw;
        const ChainEntry &e = ui->chain.chain[i];
        if (vg) {
            if (i == f) {
                nvgBeginPath(vg);
                nvgRect(vg, x, y + 6.f, cw, 22.f);
                nvgFillColor(vg, nv(COL_GRID_FOCUS));
                nvgFill(vg);
            }
            char buf[16];
            snprintf(buf, sizeof buf, "%d", e.pos > 98 ? 0 : (int)e.pos);
            Rgba c = i == f ? COL_ACCENT : (e.recent ? COL_TEXT : COL_FAINT);
            text(vg, x + cw * 0.5f, y + 17.f, 13.f, c, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);
            if (i == o) {
                nvgBeginPath(vg);
                nvgCircle(vg, x + cw - 6.f, y + 13.f, 2.f);
                nvgFillColor(vg, nv(COL_ACCENT));
                nvgFill(vg);
            }
        }
        hit_push(ui, HIT_STAGE, i, 0, x, y + 6.f, cw, 22.f);
        for (int r = 0; r < GRID_ROW_COUNT; r++)
            grid_cell(ui, i, r, x, y + 28.f + 17.f * (float)r, cw);
    }
}
