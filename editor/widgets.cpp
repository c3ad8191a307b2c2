// The editor's shared drawing vocabulary: hit-target recording, the shown stage, text in
// the one face, and the small widgets (pill, glow, overlay panel, level bar).
#include <cmath>

#include "editor/draw.h"
#include "params/owner.h"
#include "params/params.h"
#include "registry/registry.h"
#include "registry/shared.h"

#include "nanovg.h"
#include "sys/assert.h"

Rgba stage_color(int index) {
    if (index < 0) index = 0;
    if (index > 5) index = 5;
    return STAGE_COLORS[index];
}

void hit_push(Ui *ui, int kind, int a, int b, float x, float y, float w, float h) {
    TK_ASSERT(ui);
    if (ui->input.hit_count < 0 || ui->input.hit_count >= MAX_HITS) return;
    ui->input.hits[ui->input.hit_count++] = Hit{kind, a, b, x, y, w, h};
}

void text(NVGcontext *vg, float x, float y, float size, Rgba c, int align, const char *s, float spacing) {
    if (!vg || !s) return;
    nvgFontSize(vg, size);
    nvgTextLetterSpacing(vg, spacing);
    nvgTextAlign(vg, align);
    nvgFillColor(vg, nv(c));
    nvgText(vg, x, y, s, nullptr);
}

float text_width(NVGcontext *vg, float size, const char *s, float spacing) {
    if (!vg || !s) return 0.f;
    nvgFontSize(vg, size);
    nvgTextLetterSpacing(vg, spacing);
    nvgTextAlign(vg, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE);
    return nvgTextBounds(vg, 0.f, 0.f, s, nullptr, nullptr);
}

void pill(NVGcontext *vg, float x, float y, float w, float h, const char *label, bool on, bool hover) {
    if (!vg) return;
    float r = h * 0.5f;
    NVGpaint fill = on ? nvgLinearGradient(vg, x, y, x, y + h, nv(COL_PILL_ON_TOP), nv(COL_PILL_ON_BOTTOM))
                       : nvgLinearGradient(vg, x, y, x, y + h, nv(COL_PILL_TOP), nv(COL_PILL_BOTTOM));
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x, y, w, h, r);
    nvgFillPaint(vg, fill);
    nvgFill(vg);
    Rgba border = hover ? COL_ACCENT : on ? with_alpha(COL_ACCENT, 120) : COL_BORDER;
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x + 0.5f, y + 0.5f, w - 1.f, h - 1.f, r);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(border));
    nvgStroke(vg);
    if (label)
        text(vg, x + w * 0.5f, y + h * 0.5f, 11.f, on ? COL_ACCENT : COL_TEXT, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE,
             label);
}

void glow(NVGcontext *vg, float x, float y, float w, float h, float radius, float feather, Rgba c) {
    if (!vg) return;
    NVGpaint p = nvgBoxGradient(vg, x, y, w, h, radius, feather, nv(c), nv(COL_NONE));
    nvgBeginPath(vg);
    nvgRect(vg, x - feather, y - feather, w + 2.f * feather, h + 2.f * feather);
    nvgRoundedRect(vg, x, y, w, h, radius);
    nvgPathWinding(vg, NVG_HOLE);
    nvgFillPaint(vg, p);
    nvgFill(vg);
}

void overlay_panel(NVGcontext *vg, float y, float h) {
    if (!vg) return;
    nvgBeginPath(vg);
    nvgRoundedRect(vg, 62.f, y, 620.f, h, 5.f);
    nvgFillPaint(vg, nvgLinearGradient(vg, 0.f, y, 0.f, y + h, nv(COL_OVERLAY_TOP), nv(COL_OVERLAY_BOTTOM)));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgMoveTo(vg, 68.f, y + 0.5f);
    nvgLineTo(vg, 676.f, y + 0.5f);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(COL_EDGE));
    nvgStroke(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, 62.5f, y + 0.5f, 619.f, h - 1.f, 5.f);
    nvgStrokeColor(vg, nv(COL_OVERLAY_EDGE));
    nvgStroke(vg);
}

// Height above the bottom (414) of a level on the -60..0 dB scale of 288 units.
static float level_height(float db) {
    float f = (db + 60.f) / 60.f;
    if (!(f > 0.f)) f = 0.f;
    if (f > 1.f) f = 1.f;
    return 288.f * f;
}

void level_bar(NVGcontext *vg, float x, float level, float hold, Rgba top, Rgba bottom, bool clip) {
    if (!vg) return;
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x, 126.f, 9.f, 288.f, 2.f);
    nvgFillColor(vg, nv(COL_TRACK));
    nvgFill(vg);
    float lh = level_height(level);
    if (lh > 0.f) {
        nvgBeginPath(vg);
        nvgRoundedRect(vg, x, 414.f - lh, 9.f, lh, 1.5f);
        nvgFillPaint(vg, nvgLinearGradient(vg, x, 126.f, x, 414.f, nv(top), nv(bottom)));
        nvgFill(vg);
    }
    if (clip) {
        nvgBeginPath(vg);
        nvgRoundedRect(vg, x, 126.f, 9.f, 2.f, 0.5f);
        nvgFillColor(vg, nv(COL_RED));
        nvgFill(vg);
    }
    float hh = level_height(hold);
    if (hh > 0.5f) {
        float y = 414.f - hh + 0.5f;
        nvgBeginPath(vg);
        nvgMoveTo(vg, x, y);
        nvgLineTo(vg, x + 9.f, y);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_LEVEL_HOLD));
        nvgStroke(vg);
    }
}

static Rgba host_colour(uint8_t has, const uint8_t rgba[4], Rgba fallback) {
    if (!has || rgba[3] == 0) return fallback;
    return Rgba{rgba[0], rgba[1], rgba[2], 255};
}

static void triangle(NVGcontext *vg, float x, float y, float r) {
    nvgBeginPath(vg);
    nvgMoveTo(vg, x - r * 0.8f, y - r);
    nvgLineTo(vg, x + r, y);
    nvgLineTo(vg, x - r * 0.8f, y + r);
    nvgClosePath(vg);
}

void indication_marks(Ui *ui, const SharedSlot *slot, int row, float mx, float my, float ax, float ay, float size) {
    TK_ASSERT(ui && row >= 0 && row < (int)PARAM_COUNT);
    if (!ui->win.vg || !slot || row < 0 || row >= (int)PARAM_COUNT) return;
    // Indications belong to the host of the stage: only stages of this process have them.
    const StageOwner *owner = registry_local(slot);
    if (!owner || !owner->indication) return;
    const ParamIndication &ind = owner->indication[row];
    NVGcontext *vg = ui->win.vg;
    if (ind.mapped) {
        nvgBeginPath(vg);
        nvgCircle(vg, mx, my, 3.f * size);
        nvgFillColor(vg, nv(host_colour(ind.map_has_color, ind.map_rgba, COL_MARK_MAPPED)));
        nvgFill(vg);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_MARK_OUTLINE));
        nvgStroke(vg);
    }
    float r = 3.5f * size;
    switch (ind.automation) {
    case INDICATION_AUTOMATION_PLAYING:
        triangle(vg, ax, ay, r);
        nvgFillColor(vg, nv(host_colour(ind.auto_has_color, ind.auto_rgba, COL_MARK_PLAYING)));
        nvgFill(vg);
        break;
    case INDICATION_AUTOMATION_RECORDING:
        nvgBeginPath(vg);
        nvgCircle(vg, ax, ay, r * 0.6f);
        nvgFillColor(vg, nv(host_colour(ind.auto_has_color, ind.auto_rgba, COL_MARK_RECORDING)));
        nvgFill(vg);
        nvgBeginPath(vg);
        nvgCircle(vg, ax, ay, r);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(host_colour(ind.auto_has_color, ind.auto_rgba, COL_MARK_RECORDING)));
        nvgStroke(vg);
        break;
    case INDICATION_AUTOMATION_OVERRIDING:
        triangle(vg, ax, ay, r);
        nvgStrokeWidth(vg, 1.2f);
        nvgStrokeColor(vg, nv(host_colour(ind.auto_has_color, ind.auto_rgba, COL_MARK_OVERRIDING)));
        nvgStroke(vg);
        break;
    default:
        break; // none, or automation that is present but not playing
    }
}

static bool log_row(int row) { return row == P_RELEASE || row == P_LOOKAHEAD; }

double param_norm(int row, double v) {
    if (row < 0 || row >= (int)PARAM_COUNT || std::isnan(v)) return 0.0;
    const ParamInfo &p = PARAMS[row];
    double f;
    if (log_row(row)) {
        if (!(v > 0.0) || !(p.min > 0.0) || p.max <= p.min) return 0.0;
        f = std::log(v / p.min) / std::log(p.max / p.min);
    } else {
        if (p.max <= p.min) return 0.0;
        f = (v - p.min) / (p.max - p.min);
    }
    if (!(f > 0.0)) return 0.0;
    return f > 1.0 ? 1.0 : f;
}

double param_denorm(int row, double f) {
    if (row < 0 || row >= (int)PARAM_COUNT) return 0.0;
    const ParamInfo &p = PARAMS[row];
    if (!(f > 0.0)) f = 0.0;
    if (f > 1.0) f = 1.0;
    if (log_row(row) && p.min > 0.0 && p.max > p.min) return p.min * std::pow(p.max / p.min, f);
    return p.min + f * (p.max - p.min);
}
