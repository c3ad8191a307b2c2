// The stage strip under the top bar (one cell per chain stage, the CHAIN pill) and the
// vertical gain slider over the graph's left edge. Draws and records hit targets only.
#include <cstdio>

#include "editor/design.h"
#include "editor/sections.h"
#include "sys/assert.h"

static void strip_cell(Ui *ui, int i, float x, float cw, int f, int o) {
    NVGcontext *vg = ui->win.vg;
    const ChainEntry &e = ui->chain.chain[i];
    SharedSlot *slot = e.slot;
    bool highlighted = i == f;
    double gain = slot_param(slot, P_GAIN);
    bool bypass = slot_param(slot, P_BYPASS) >= 0.5;
    bool live = e.recent && !bypass;

    // Reduction hold per chain position: follows a rise at once, falls 0.5 dB per frame.
    float r = (e.recent && slot) ? reduction_db(shm_load(slot->meters.meter_gain)) : 0.f;
    float hold = ui->meters.strip_hold[i] - 0.5f;
    if (!(hold >= 0.f)) hold = 0.f;
    if (r > hold) hold = r;
    ui->meters.strip_hold[i] = hold;

    if (vg) {
        if (highlighted) {
            glow(vg, x, 47.f, cw, 38.f, 6.f, 10.f, with_alpha(COL_ACCENT, 70));
            nvgBeginPath(vg);
            nvgRoundedRect(vg, x, 47.f, cw, 38.f, 6.f);
            nvgFillPaint(
                vg, nvgLinearGradient(vg, 0.f, 47.f, 0.f, 85.f, nv(COL_CELL_FOCUS_TOP), nv(COL_CELL_FOCUS_BOTTOM)));
            nvgFill(vg);
            nvgBeginPath(vg);
            nvgRoundedRect(vg, x + 0.5f, 47.5f, cw - 1.f, 37.f, 6.f);
            nvgStrokeWidth(vg, 1.5f);
            nvgStrokeColor(vg, nv(COL_ACCENT));
            nvgStroke(vg);
        } else {
            nvgBeginPath(vg);
            nvgRoundedRect(vg, x, 47.f, cw, 38.f, 6.f);
            nvgFillPaint(vg, nvgLinearGradient(vg, 0.f, 47.f, 0.f, 85.f, nv(COL_CELL_TOP), nv(COL_CELL_BOTTOM)));
            nvgFill(vg);
            bool hovered = ui->input.hover_kind == HIT_STAGE && ui->input.hover_a == i;
            nvgBeginPath(vg);
            nvgRoundedRect(vg, x + 0.5f, 47.5f, cw - 1.f, 37.f, 6.f);
            nvgStrokeWidth(vg, 1.f);
            nvgStrokeColor(vg, nv(hovered ? COL_CELL_HOVER_EDGE : COL_BORDER));
            nvgStroke(vg);
        }
        char buf[32];
        snprintf(buf, sizeof buf, "%d", e.pos > 98 ? 0 : (int)e.pos);
        text(vg, x + 14.f, 62.f, 16.f, highlighted ? COL_ACCENT : (live ? COL_TEXT : COL_FAINT),
             NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);
        snprintf(buf, sizeof buf, "%+.1f dB", gain);
        text(vg, x + cw - 10.f, 59.f, 11.f, live ? COL_TEXT : COL_FAINT, NVG_ALIGN_RIGHT | NVG_ALIGN_MIDDLE, buf);
        const char *word;
        Rgba wc = COL_DIM;
        if (!e.recent) {
            word = "IDLE";
        } else if (bypass) {
            word = "BYPASS";
            wc = COL_ACCENT;
        } else {
            word = e.manual ? "MANUAL" : "AUTO";
        }
        text(vg, x + 30.f, 60.f, 7.5f, wc, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, word, 0.9f);
        if (i == o) {
            nvgBeginPath(vg);
            nvgCircle(vg, x + cw - 8.f, 55.f, 2.2f);
            nvgFillColor(vg, nv(COL_ACCENT));
            nvgFill(vg);
        }
        nvgBeginPath(vg);
        nvgRoundedRect(vg, x + 10.f, 75.f, cw - 20.f, 3.f, 1.5f);
        nvgFillColor(vg, nv(COL_STRIP_BAR));
        nvgFill(vg);
        float frac = hold / 12.f;
        if (frac > 1.f) frac = 1.f;
        if (frac > 0.01f) {
            Rgba sc = stage_color(i);
            float len = (cw - 20.f) * frac;
            nvgBeginPath(vg);
            nvgRoundedRect(vg, x + 10.f, 75.f, len, 3.f, 1.5f);
            nvgFillPaint(vg,
                         nvgLinearGradient(vg, x + 10.f, 0.f, x + 10.f + len, 0.f, nv(sc), nv(with_alpha(sc, 127))));
            nvgFill(vg);
        }
    }
    hit_push(ui, HIT_STAGE, i, 0, x, 47.f, cw, 38.f);
}

void draw_stage_strip(Ui *ui) {
    TK_ASSERT(ui);
    NVGcontext *vg = ui->win.vg;
    int n = chain_count(&ui->chain);
    if (n == 0) {
        if (vg) {
            pill(vg, 443.f, 53.f, 64.f, 26.f, "CHAIN", ui->chain.chain_mode, ui->input.hover_kind == HIT_CHAIN_MODE);
            text(vg, 480.f, 66.f, 11.f, COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, "no stages in this group");
        }
        hit_push(ui, HIT_CHAIN_MODE, -1, 0, 443.f, 47.f, 64.f, 38.f);
        return;
    }
    int o = own_index(&ui->chain);
    int f = (ui->chain.focus >= 0 && ui->chain.focus < n) ? ui->chain.focus : (o >= 0 ? o : 0);
    float total = (float)n * 132.f + 74.f + (float)(n - 1) * 10.f;
    float cw = 132.f, x0;
    if (total > 920.f) {
        cw = (846.f - (float)(n - 1) * 10.f) / (float)n;
        x0 = 20.f;
    } else {
        x0 = (DESIGN_WF - total) / 2.f;
    }
    if (vg) pill(vg, x0, 53.f, 64.f, 26.f, "CHAIN", ui->chain.chain_mode, ui->input.hover_kind == HIT_CHAIN_MODE);
    hit_push(ui, HIT_CHAIN_MODE, -1, 0, x0, 47.f, 64.f, 38.f);
    float x = x0 + 74.f;
    for (int i = 0; i < n; i++, x += cw + 10.f)
        strip_cell(ui, i, x, cw, f, o);
}

double gain_slider_fraction(const Ui *ui, double *value, int *stage) {
    int n = chain_count(&ui->chain);
    int s = 0;
    SharedSlot *slot = shown_stage(&ui->chain, &s);
    const ParamInfo &pg = PARAMS[P_GAIN];
    double shown_value = slot_param(slot, P_GAIN);
    double v = (shown_value - pg.min) / (pg.max - pg.min);
    if (ui->chain.chain_mode && n > 0) {
        double total = 0.0;
        for (int i = 0; i < n; i++)
            total += slot_param(ui->chain.chain[i].slot, P_GAIN);
        shown_value = total;
        v = total / ((double)n * (pg.max - pg.min));
    }
    if (v < 0.0) v = 0.0;
    if (v > 1.0) v = 1.0;
    if (value) *value = shown_value;
    if (stage) *stage = s;
    return v;
}

void draw_gain_slider(Ui *ui) {
    TK_ASSERT(ui);
    NVGcontext *vg = ui->win.vg;
    int n = chain_count(&ui->chain);
    bool total_mode = ui->chain.chain_mode && n > 0;
    double shown_value = 0.0;
    int s = 0;
    double v = gain_slider_fraction(ui, &shown_value, &s);
    hit_push(ui, HIT_GAIN_SLIDER, s, P_GAIN, 16.f, 100.f, 40.f, 464.f);
    if (!vg) return;
    bool active = ui->input.hover_kind == HIT_GAIN_SLIDER || ui->input.drag_kind == HIT_GAIN_SLIDER;

    nvgBeginPath(vg);
    nvgRoundedRect(vg, 16.f, 100.f, 40.f, 464.f, 6.f);
    nvgFillColor(vg, nv(COL_SLIDER_BG));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, 16.5f, 100.5f, 39.f, 463.f, 6.f);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(COL_HAIRLINE));
    nvgStroke(vg);

    nvgBeginPath(vg);
    nvgRoundedRect(vg, 33.f, 114.f, 6.f, 424.f, 3.f);
    nvgFillColor(vg, nv(COL_GROOVE));
    nvgFill(vg);
    float y = 114.f + 424.f * (float)(1.0 - v);
    if (v > 0.001) {
        nvgBeginPath(vg);
        nvgRoundedRect(vg, 33.f, y, 6.f, 538.f - y, 3.f);
        nvgFillPaint(vg,
                     nvgLinearGradient(vg, 0.f, y, 0.f, 538.f, nv(COL_SLIDER_FILL_TOP), nv(COL_SLIDER_FILL_BOTTOM)));
        nvgFill(vg);
    }

    nvgBeginPath(vg);
    nvgRoundedRect(vg, 22.f, y - 8.f, 28.f, 16.f, 4.f);
    nvgFillPaint(vg, nvgLinearGradient(vg, 0.f, y - 8.f, 0.f, y + 8.f, nv(COL_THUMB_TOP), nv(COL_THUMB_BOTTOM)));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, 22.5f, y - 7.5f, 27.f, 15.f, 4.f);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(active ? COL_ACCENT : COL_EDGE));
    nvgStroke(vg);
    nvgBeginPath(vg);
    nvgMoveTo(vg, 28.f, y);
    nvgLineTo(vg, 44.f, y);
    nvgStrokeColor(vg, nv(COL_ACCENT));
    nvgStroke(vg);

    float ly = y - 30.f < 102.f ? y + 12.f : y - 30.f;
    nvgBeginPath(vg);
    nvgRoundedRect(vg, 16.f, ly, 40.f, 18.f, 4.f);
    nvgFillColor(vg, nv(COL_VALUE_LABEL));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, 16.5f, ly + 0.5f, 39.f, 17.f, 4.f);
    nvgStrokeColor(vg, nv(COL_VALUE_LABEL_EDGE));
    nvgStroke(vg);
    char buf[32];
    snprintf(buf, sizeof buf, "%+.1f", shown_value);
    text(vg, 36.f, ly + 9.f, 11.f, COL_TEXT, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);
    text(vg, 36.f, 552.f, 8.f, total_mode ? COL_ACCENT : COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE,
         total_mode ? "TOTAL" : "GAIN", 0.96f);
    indication_marks(ui, shown_stage(&ui->chain, nullptr), P_GAIN, 20.f, 552.f, 52.f, 552.f, 0.8f);
}
