// The meters and loudness panel on the right: true-peak IN and OUT with their display
// ballistics, the stacked gain reduction, the loudness column with its target, the big
// readout, the loudness controls and the monitor switches of the shown stage.
#include <cmath>
#include <cstdio>

#include "chainops/chain_gain.h"
#include "editor/sections.h"
#include "sys/assert.h"

constexpr float METER_TOP = 126.f;
constexpr float METER_H = 288.f;
constexpr float METER_BOTTOM = 414.f;

void meter_ballistics(MeterBall *m, float x, double t) {
    // Linear peak from a slot: NaN and negative values count as silence, +inf as +120 dB.
    if (!(x >= 0.000001f)) x = 0.000001f;
    if (x > 1000000.f) x = 1000000.f;
    float v = 20.f * std::log10(x);
    // A meter never updated (expiry 0, as the editor record starts) takes the first value
    // at once instead of decaying from its start value through the first second.
    if (m->expiry == 0.0) {
        m->level = m->hold = v;
        m->expiry = t + 1.6;
        return;
    }
    if (!std::isfinite(m->level)) m->level = -100.f;
    if (!std::isfinite(m->hold)) m->hold = -100.f;
    // The displayed level jumps up and falls 0.3 dB per frame, never below the signal.
    float fallen = m->level - 0.3f;
    m->level = v > fallen ? v : fallen;
    if (m->level < -200.f) m->level = -200.f;
    if (v >= m->hold || t > m->expiry + 1.0) {
        m->hold = v;
        m->expiry = t + 1.6;
    } else if (t > m->expiry) {
        m->hold -= 0.3f;
    }
}

// Loudness from a slot as a finite LUFS value; NaN counts as no value (-100).
static float lufs_of(const float &field) {
    float v = shm_load(field);
    if (std::isnan(v)) return -100.f;
    return bounded(v, -100.f, 100.f);
}

static void format_lufs(char *buf, size_t size, const char *prefix, float v) {
    if (v <= -99.f)
        snprintf(buf, size, "%s-inf", prefix);
    else
        snprintf(buf, size, "%s%.1f", prefix, v);
}

void meters_update(Ui *ui, double t, MetersView *view) {
    *view = MetersView{};
    const GainPrefs *gain = &ui->owner.prefs->gain;
    SharedSlot *own = ui->chain.own_slot;
    int n = chain_count(&ui->chain);
    int first = -1, last = -1;
    float total = 0.f;
    for (int i = 0; i < n; i++) {
        if (!ui->chain.chain[i].recent || !ui->chain.chain[i].slot) continue;
        if (first < 0) first = i;
        last = i;
        total += reduction_db(shm_load(ui->chain.chain[i].slot->meters.meter_gain));
    }
    view->in_slot = first >= 0 ? ui->chain.chain[first].slot : own;
    view->out_slot = last >= 0 ? ui->chain.chain[last].slot : own;
    SharedSlot *in = view->in_slot, *out = view->out_slot;

    meter_ballistics(&ui->meters.m_in, in ? shm_load(in->meters.meter_tp_in) : 0.f, t);
    meter_ballistics(&ui->meters.m_out, out ? shm_load(out->meters.meter_tp_out) : 0.f, t);
    for (int c = 0; c < 4; c++) {
        SharedSlot *s = c < 2 ? in : out;
        meter_ballistics(&ui->meters.m_ch[c], s ? shm_load(s->meters.meter_tp_ch[c]) : 0.f, t);
    }
    view->ceiling = (float)slot_param(out, P_CEILING);
    float clip_at = view->ceiling + 0.05f;
    view->out_clip[0] = ui->meters.m_ch[2].hold > clip_at;
    view->out_clip[1] = ui->meters.m_ch[3].hold > clip_at;
    view->out_red = ui->meters.m_out.hold > clip_at;

    view->gr_total = total;
    float shown = ui->meters.gr_total_shown - 0.5f;
    if (!std::isfinite(shown)) shown = 0.f;
    ui->meters.gr_total_shown = total > shown ? total : shown;
    if (ui->meters.gr_total_shown < 0.f) ui->meters.gr_total_shown = 0.f;

    int mode = gain->lufs_mode <= 2 ? (int)gain->lufs_mode : 0;
    view->mode = mode;
    float value = -100.f, integrated = -100.f;
    if (out) {
        const SlotMeters &m = out->meters;
        value = mode == 1 ? lufs_of(m.lufs_m) : (mode == 2 ? lufs_of(m.lufs_i) : lufs_of(m.lufs_s));
        integrated = lufs_of(out->meters.lufs_i);
    }
    if (ui->meters.loud.loud_paused) {
        value = std::isnan(ui->meters.loud.loud_frozen) ? -100.f : ui->meters.loud.loud_frozen;
        integrated = std::isnan(ui->meters.loud.loud_frozen_int) ? -100.f : ui->meters.loud.loud_frozen_int;
    } else {
        ui->meters.loud.loud_frozen = value;
        ui->meters.loud.loud_frozen_int = integrated;
    }
    view->loud_value = value;
    view->loud_int = integrated;
    view->target = loudness_target(gain);
    format_lufs(view->readout, sizeof view->readout, "", value);
    view->readout_red = value > -99.f && (double)value > view->target + 0.5;
    double dist = value <= -99.f ? 0.0 : (double)value - view->target;
    snprintf(view->distance, sizeof view->distance, "%+.1f LU", dist);
    format_lufs(view->int_text, sizeof view->int_text, "INT  ", integrated);
}

static float level_y(float db) {
    float f = (db + 60.f) / 60.f;
    f = f < 0.f ? 0.f : (f > 1.f ? 1.f : f);
    return METER_BOTTOM - METER_H * f;
}

static float lufs_y(float v) {
    float f = (v + 36.f) / 36.f;
    f = f < 0.f ? 0.f : (f > 1.f ? 1.f : f);
    return METER_BOTTOM - METER_H * f;
}

static void caption(NVGcontext *vg, float x, const char *s) {
    text(vg, x, 112.f, 8.f, COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, s, 0.96f);
}

static void track(NVGcontext *vg, float x, float w) {
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x, METER_TOP, w, METER_H, 2.f);
    nvgFillColor(vg, nv(COL_TRACK));
    nvgFill(vg);
}

static void draw_levels(Ui *ui, const MetersView &view) {
    NVGcontext *vg = ui->win.vg;
    const Rgba top = COL_LEVEL_TOP, bottom = COL_LEVEL_BOTTOM;
    char buf[32];
    caption(vg, 738.f, "IN");
    level_bar(vg, 728.f, ui->meters.m_ch[0].level, ui->meters.m_ch[0].hold, top, bottom, false);
    level_bar(vg, 739.f, ui->meters.m_ch[1].level, ui->meters.m_ch[1].hold, top, bottom, false);
    snprintf(buf, sizeof buf, "%.1f", ui->meters.m_in.hold);
    text(vg, 738.f, 426.f, 9.f, COL_TEXT, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);

    caption(vg, 770.f, "OUT");
    level_bar(vg, 760.f, ui->meters.m_ch[2].level, ui->meters.m_ch[2].hold, top, bottom, view.out_clip[0]);
    level_bar(vg, 771.f, ui->meters.m_ch[3].level, ui->meters.m_ch[3].hold, top, bottom, view.out_clip[1]);
    float cy = std::floor(level_y(view.ceiling)) + 0.5f;
    nvgBeginPath(vg);
    nvgMoveTo(vg, 757.f, cy);
    nvgLineTo(vg, 783.f, cy);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(COL_CEILING_MARK));
    nvgStroke(vg);
    snprintf(buf, sizeof buf, "%.1f", ui->meters.m_out.hold);
    text(vg, 770.f, 426.f, 9.f, view.out_red ? COL_RED : COL_TEXT, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);
    for (int db = 0; db >= -60; db -= 12) {
        snprintf(buf, sizeof buf, "%d", db);
        text(vg, 785.f, level_y((float)db), 7.f, COL_FAINT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, buf);
    }
}

static void draw_reduction(Ui *ui) {
    NVGcontext *vg = ui->win.vg;
    int n = chain_count(&ui->chain);
    char buf[32];
    caption(vg, 816.f, "GR");
    track(vg, 806.f, 20.f);
    float y = METER_TOP;
    int drawn = 0;
    for (int i = 0; i < n && drawn < 8; i++) {
        const ChainEntry &e = ui->chain.chain[i];
        if (!e.recent || !e.slot) continue;
        drawn++;
        float h = reduction_db(shm_load(e.slot->meters.meter_gain)) * (METER_H / 24.f);
        if (y + h > METER_BOTTOM) h = METER_BOTTOM - y;
        if (h <= 0.5f) continue;
        Rgba c = stage_color(i);
        nvgBeginPath(vg);
        nvgRect(vg, 806.f, y, 20.f, h);
        nvgFillPaint(vg, nvgLinearGradient(vg, 0.f, y, 0.f, y + h, nv(c), nv(with_alpha(c, 178))));
        nvgFill(vg);
        y += h;
    }
    for (int db = 3; db <= 24; db += 3) {
        float ty = std::floor(METER_TOP + (float)db * (METER_H / 24.f)) + 0.5f;
        nvgBeginPath(vg);
        nvgMoveTo(vg, 806.f, ty);
        nvgLineTo(vg, 826.f, ty);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_GR_TICK));
        nvgStroke(vg);
    }
    for (int db = 0; db <= 24; db += 6) {
        snprintf(buf, sizeof buf, "%d", db);
        text(vg, 830.f, METER_TOP + (float)db * (METER_H / 24.f), 7.f, COL_FAINT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE,
             buf);
    }
    snprintf(buf, sizeof buf, "-%.1f", ui->meters.gr_total_shown);
    text(vg, 816.f, 426.f, 9.f, ui->meters.gr_total_shown > 0.05f ? COL_RED : COL_TEXT,
         NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);
}

static void loud_bar(NVGcontext *vg, float x, float w, float r, float v) {
    float f = (v + 36.f) / 36.f;
    f = f < 0.f ? 0.f : (f > 1.f ? 1.f : f);
    if (f <= 0.002f) return;
    float h = METER_H * f;
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x, METER_BOTTOM - h, w, h, r);
    nvgFillPaint(vg, nvgLinearGradient(vg, 0.f, METER_TOP, 0.f, METER_BOTTOM, nv(COL_LOUD_TOP), nv(COL_LOUD_BOTTOM)));
    nvgFill(vg);
}

static void draw_loudness(Ui *ui, const MetersView &view) {
    NVGcontext *vg = ui->win.vg;
    SharedSlot *out = view.out_slot;
    char buf[32];
    caption(vg, 872.f, "LOUDNESS");
    track(vg, 852.f, 40.f);
    float st = out ? lufs_of(out->meters.lufs_s) : -100.f;
    float mo = out ? lufs_of(out->meters.lufs_m) : -100.f;
    float in = out ? lufs_of(out->meters.lufs_i) : -100.f;
    loud_bar(vg, 852.f, 26.f, 2.f, st);
    loud_bar(vg, 881.f, 11.f, 1.5f, mo);
    for (int k = 0; k <= 34; k++) {
        float y = 406.f - 8.f * (float)k + 0.5f;
        nvgBeginPath(vg);
        nvgMoveTo(vg, 852.f, y);
        nvgLineTo(vg, 892.f, y);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_LOUD_TICK));
        nvgStroke(vg);
    }
    if (in > -36.f) {
        float y = lufs_y(in);
        nvgBeginPath(vg);
        nvgRect(vg, 849.f, y - 1.f, 8.f, 2.f);
        nvgFillColor(vg, nv(COL_LOUD_INT_MARK));
        nvgFill(vg);
    }
    float ty = lufs_y((float)view.target);
    nvgBeginPath(vg);
    nvgMoveTo(vg, 848.f, ty);
    nvgLineTo(vg, 896.f, ty);
    nvgStrokeWidth(vg, 1.5f);
    nvgStrokeColor(vg, nv(COL_TARGET_LINE));
    nvgStroke(vg);
    for (int v = 0; v >= -36; v -= 6) {
        snprintf(buf, sizeof buf, "%d", v);
        text(vg, 898.f, lufs_y((float)v), 7.f, COL_FAINT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, buf);
    }
    int idx = target_index(&ui->owner.prefs->gain);
    snprintf(buf, sizeof buf, "%d %s", (int)std::lround(view.target), TARGETS[idx].short_label);
    float tw = text_width(vg, 7.5f, buf);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, 898.f, ty - 6.f, tw + 8.f, 12.f, 2.f);
    nvgFillColor(vg, nv(COL_LABEL_BG));
    nvgFill(vg);
    text(vg, 902.f, ty, 7.5f, COL_ACCENT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, buf);
    text(vg, 865.f, 426.f, 7.f, COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, "S", 0.84f);
    text(vg, 886.f, 426.f, 7.f, COL_DIM, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, "M", 0.84f);

    static const char *const MODE_LABELS[3] = {"LUFS S", "LUFS M", "LUFS I"};
    text(vg, 826.f, 462.f, 26.f, view.readout_red ? COL_RED : COL_TEXT, NVG_ALIGN_RIGHT | NVG_ALIGN_MIDDLE,
         view.readout);
    text(vg, 832.f, 458.f, 8.f, COL_DIM, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, MODE_LABELS[view.mode], 0.96f);
    text(vg, 832.f, 472.f, 9.f, COL_DIM, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, view.distance);
}

void draw_meters(Ui *ui, double t) {
    TK_ASSERT(ui);
    NVGcontext *vg = ui->win.vg;
    MetersView view;
    meters_update(ui, t, &view);
    int s = 0;
    SharedSlot *shown = shown_stage(&ui->chain, &s);

    if (vg) {
        nvgBeginPath(vg);
        nvgRoundedRect(vg, 716.f, 100.f, 236.f, 464.f, 6.f);
        nvgFillColor(vg, nv(COL_PANEL_TINT));
        nvgFill(vg);
        nvgBeginPath(vg);
        nvgRoundedRect(vg, 716.5f, 100.5f, 235.f, 463.f, 6.f);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_BORDER));
        nvgStroke(vg);
        draw_levels(ui, view);
        draw_reduction(ui);
        draw_loudness(ui, view);
        pill(vg, 728.f, 490.f, 82.f, 20.f, LUFS_MODES[view.mode], false, ui->input.hover_kind == HIT_LOUD_MODE);
        pill(vg, 816.f, 490.f, 124.f, 20.f, TARGETS[target_index(&ui->owner.prefs->gain)].label, false,
             ui->input.hover_kind == HIT_LOUD_TARGET);
        pill(vg, 728.f, 516.f, 60.f, 20.f, ui->meters.loud.loud_paused ? "Resume" : "Pause",
             ui->meters.loud.loud_paused != 0, ui->input.hover_kind == HIT_LOUD_PAUSE);
        pill(vg, 794.f, 516.f, 56.f, 20.f, "Reset", false, ui->input.hover_kind == HIT_LOUD_RESET);
    }
    hit_push(ui, HIT_LOUD_MODE, -1, 0, 728.f, 490.f, 82.f, 20.f);
    hit_push(ui, HIT_LOUD_TARGET, -1, 0, 816.f, 490.f, 124.f, 20.f);
    hit_push(ui, HIT_LOUD_PAUSE, -1, 0, 728.f, 516.f, 60.f, 20.f);
    hit_push(ui, HIT_LOUD_RESET, -1, 0, 794.f, 516.f, 56.f, 20.f);

    float iw = vg ? text_width(vg, 10.f, view.int_text) : 0.f;
    if (vg)
        text(vg, 940.f, 526.f, 10.f, ui->input.hover_kind == HIT_LOUD_INT ? COL_TEXT_HOVER : COL_TEXT,
             NVG_ALIGN_RIGHT | NVG_ALIGN_MIDDLE, view.int_text);
    hit_push(ui, HIT_LOUD_INT, -1, 0, 940.f - iw - 4.f, 516.f, iw + 8.f, 20.f);

    static const int MON_ROWS[3] = {P_DELTA, P_UNITY, P_BYPASS};
    static const char *const MON_LABELS[3] = {"Delta", "Unity", "Bypass"};
    static const float MON_W[3] = {64.f, 64.f, 72.f};
    float x = 728.f;
    for (int k = 0; k < 3; k++) {
        int row = MON_ROWS[k];
        if (vg) {
            pill(vg, x, 542.f, MON_W[k], 20.f, MON_LABELS[k], slot_param(shown, row) >= 0.5,
                 ui->input.hover_kind == HIT_TOGGLE && ui->input.hover_b == row);
            indication_marks(ui, shown, row, x + 8.f, 552.f, x + MON_W[k] - 8.f, 552.f);
        }
        hit_push(ui, HIT_TOGGLE, s, row, x, 542.f, MON_W[k], 20.f);
        x += MON_W[k] + 6.f;
    }
}
