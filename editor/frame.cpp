// One editor frame: the 960 x 600 design space letterboxed into the window, the sections
// in order, the bottom bar, and the overlays (popup menu or tooltip, text entry, about
// box), with every clickable area recorded as a hit target. Allocates nothing.
//
// Sections: the bottom bar; tooltips; popup menus; text entry and about box; the frame
// (frame_build, draw).
#include <cmath>
#include <cstdio>
#include <cstring>

#include "chainops/chain_gain.h"
#include "chainops/factory.h"
#include "editor/design.h"
#include "editor/draw.h"
#include "editor/events.h"
#include "editor/gl.h"
#include "params/params.h"
#include "registry/shared.h"
#include "sys/sys.h"

extern "C" {
#include <pugl/pugl.h>
}

#include "nanovg.h"
#include "sys/assert.h"

static constexpr double TOOLTIP_DELAY_S = 0.55;

static void fill_rect(NVGcontext *vg, float x, float y, float w, float h, NVGcolor c) {
    nvgBeginPath(vg);
    nvgRect(vg, x, y, w, h);
    nvgFillColor(vg, c);
    nvgFill(vg);
}

static void hline(NVGcontext *vg, float x0, float x1, float y, NVGcolor c) {
    nvgBeginPath(vg);
    nvgMoveTo(vg, x0, y);
    nvgLineTo(vg, x1, y);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, c);
    nvgStroke(vg);
}

void ui_refresh_chain(Ui *ui) { chain_view_refresh(&ui->chain); }

// ---------------------------------------------------------------------------------------
// Bottom bar

static void bottom_bar(Ui *ui) {
    NVGcontext *vg = ui->win.vg;
    const EditorPrefs *prefs = ui->owner.prefs;
    int si = 0;
    SharedSlot *shown = shown_stage(&ui->chain, &si);
    if (vg) {
        nvgBeginPath(vg);
        nvgRect(vg, 0.f, 572.f, DESIGN_WF, 28.f);
        nvgFillPaint(vg, nvgLinearGradient(vg, 0.f, 572.f, 0.f, DESIGN_HF, nv(COL_BAR_TOP), nv(COL_BAR_BOTTOM)));
        nvgFill(vg);
        hline(vg, 0.f, DESIGN_WF, 572.5f, nv(COL_HAIRLINE));
    }

    bool controls = prefs->show_controls;
    bool grid = prefs->show_grid;
    pill(vg, 12.f, 576.f, 96.f, 20.f, controls ? "Controls  v" : "Controls  ^", controls,
         ui->input.hover_kind == HIT_CONTROLS_TOGGLE);
    hit_push(ui, HIT_CONTROLS_TOGGLE, -1, 0, 12.f, 576.f, 96.f, 20.f);
    pill(vg, 116.f, 576.f, 76.f, 20.f, grid ? "Grid  v" : "Grid  ^", grid, ui->input.hover_kind == HIT_GRID_TOGGLE);
    hit_push(ui, HIT_GRID_TOGGLE, -1, 0, 116.f, 576.f, 76.f, 20.f);

    char value[32], label[64];
    double dither = slot_param(shown, P_DITHER);
    param_format(P_DITHER, value, sizeof value, dither);
    snprintf(label, sizeof label, "Dither: %s", value);
    pill(vg, 212.f, 576.f, 104.f, 20.f, label, dither >= 0.5, ui->input.hover_kind == HIT_DITHER);
    indication_marks(ui, shown, P_DITHER, 220.f, 586.f, 308.f, 586.f);
    hit_push(ui, HIT_DITHER, si, P_DITHER, 212.f, 576.f, 104.f, 20.f);
    param_format(P_SHAPING, value, sizeof value, slot_param(shown, P_SHAPING));
    snprintf(label, sizeof label, "Shaping: %s", value);
    pill(vg, 324.f, 576.f, 128.f, 20.f, label, false, ui->input.hover_kind == HIT_SHAPING);
    indication_marks(ui, shown, P_SHAPING, 332.f, 586.f, 444.f, 586.f);
    hit_push(ui, HIT_SHAPING, si, P_SHAPING, 324.f, 576.f, 128.f, 20.f);

    if (vg) {
        const char *learn = nullptr;
        if (ui->input.midi_learn_ui)
            learn = "MIDI learn: click a control";
        else if (shown && shm_load(shown->midi.midi_learn) >= 0)
            learn = "MIDI learn: move a controller...";
        if (learn) text(vg, 464.f, 586.f, 9.5f, COL_ACCENT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, learn);

        double latency_ms = 0.0;
        int n = chain_count(&ui->chain);
        for (int i = 0; i < n; i++) {
            const SharedSlot *s = ui->chain.chain[i].slot;
            if (!s || !ui->chain.chain[i].recent || !shm_load(s->engine.active)) continue;
            double rate = shm_load(s->engine.sample_rate);
            if (!(rate > 0.0) || !std::isfinite(rate)) continue;
            latency_ms += shm_load(s->engine.latency) * 1000.0 / rate;
        }
        char status[160];
        snprintf(status, sizeof status, "%.1f ms chain latency", latency_ms);
        text(vg, 934.f, 586.f, 9.f, COL_DIM, NVG_ALIGN_RIGHT | NVG_ALIGN_MIDDLE, status);

        const SharedSlot *last = n > 0 ? ui->chain.chain[n - 1].slot : ui->chain.own_slot;
        if (last) {
            const SlotMeters &m = last->meters;
            snprintf(status, sizeof status, "blk %d  max %d  over %d  rst %d  act %d", (int)shm_load(m.block_frames),
                     (int)shm_load(m.block_max), (int)shm_load(m.block_over), (int)shm_load(m.reset_count),
                     (int)shm_load(m.activate_count));
            text(vg, 760.f, 586.f, 8.f, COL_FAINT, NVG_ALIGN_RIGHT | NVG_ALIGN_MIDDLE, status);
        }

        Rgba grip = ui->input.hover_kind == HIT_GRIP ? COL_ACCENT : COL_FAINT;
        for (int i = 0; i <= 8; i += 4) {
            nvgBeginPath(vg);
            nvgMoveTo(vg, 956.f, 586.f + i);
            nvgLineTo(vg, 946.f + i, 596.f);
            nvgStrokeWidth(vg, 1.2f);
            nvgStrokeColor(vg, nv(grip));
            nvgStroke(vg);
        }
    }
    hit_push(ui, HIT_GRIP, -1, 0, 940.f, 580.f, 20.f, 20.f);
}

// ---------------------------------------------------------------------------------------
// Tooltips

static const char *const HELP[PARAM_COUNT] = {
    "Input gain.",
    "How hard this stage is pushed (threshold = -gain).",
    "Max true peak out; drive comes from Gain. Red line = last stage's ceiling; dashed = this stage's, when not last.",
    "Recovery time of the transient envelope.",
    "Auto = order taken from the host's processing order.",
    "Chain this instance belongs to. Instances on different buses go in different groups.",
    "0% = channels limited independently, 100% = fully linked.",
    "Catch inter-sample peaks (4x oversampled detection).",
    "Sustained reduction recovers slowly, transients fast.",
    "Attack window. Changes the latency.",
    "Attack ramp and release character. Transparent < Allround < Punchy < Aggressive; Bus glues, Safe never pumps.",
    "TPDF dither to 24 or 16 bit; last stage only.",
    "Where the dither noise goes: flat, high-passed or ear-weighted.",
    "True bypass with a click-free fade. Latency stays constant.",
    "Listen to what limiting removes. Silence = no limiting.",
    "Monitor at input loudness: the static gain is undone at the output.",
    "Parallel blend: 100% the limited signal, 0% the raw input. Latency-aligned, phase-true.",
};

// Title and body of the fixed-text targets; null when the kind has none here.
struct TipText {
    int kind;
    const char *title;
    const char *body;
};
static const TipText TIPS[] = {
    {HIT_CHAIN_MODE, "Chain mode", "Edit every stage at once; the slider becomes the chain total."},
    {HIT_PRESET_PREV, "Presets",
     "Stage presets apply to the focused stage (or all in chain mode); chain presets to every position."},
    {HIT_PRESET_NEXT, "Presets",
     "Stage presets apply to the focused stage (or all in chain mode); chain presets to every position."},
    {HIT_PRESET_MENU, "Presets",
     "Stage presets apply to the focused stage (or all in chain mode); chain presets to every position."},
    {HIT_LOUD_TARGET, "Loudness target", "Reference line on the meter. Custom: wheel over this button."},
    {HIT_LOUD_MODE, "Loudness readout", "Short term (3 s), momentary (400 ms) or integrated."},
    {HIT_LOUD_RESET, "Reset",
     "Start the integrated (INT) number over on every stage. Reset, play the whole song: INT is the average a "
     "streaming platform sees."},
    {HIT_LOUD_PAUSE, "Pause",
     "Freeze the loudness numbers to note them, e.g. before stopping. Metering keeps running; Resume catches up."},
    {HIT_LOUD_INT, "Integrated loudness",
     "Gated average since the last Reset - the number streaming platforms check. Always shown here, whatever the big "
     "readout displays."},
    {HIT_GRIP, "Resize", "Drag to resize the window. Remembered with the project."},
    {HIT_SPREAD, "Spread", "How a chain-total change is shared: Even, Front (first stages more) or Back."},
    {HIT_GRID_TOGGLE, "Grid", "All stages side by side, editable. Remembered with the project."},
    {HIT_MIDI, "MIDI learn", "Click, then a control, then move a controller. Click a mapped control to unmap."},
    {HIT_CONTROLS_TOGGLE, "Controls", "Controls of the focused stage. Remembered with the project."},
    {HIT_AB, "A / B", "Compare two settings of the whole chain."},
    {HIT_COPY, "Copy", "Copy the current settings to the other slot."},
    {HIT_UNDO, "Undo", "Ctrl+Z. Steps back through edits made from this window."},
    {HIT_REDO, "Redo", "Ctrl+Y or Ctrl+Shift+Z."},
    {HIT_DITHER, "Dither",
     "TPDF dither to 24 or 16 bit. Use it on the last stage only, when rendering to a fixed word length."},
    {HIT_SHAPING, "Noise shaping",
     "Pushes the dither noise where the ear is least sensitive. Weighted = 9-tap E-weighted curve."},
    {HIT_ABOUT, "Tervik", "About this plugin."},
    {HIT_TO_TARGET, "Gain to target",
     "Move the chain's gain so the loudness readout meets the target, shared out by Spread. Limiting is nonlinear: "
     "click again to refine."},
};

static bool is_param_target(int kind) {
    return kind == HIT_KNOB || kind == HIT_TOGGLE || kind == HIT_POSITION || kind == HIT_GRID_CELL || kind == HIT_STYLE;
}

bool ui_tooltip_text(const Ui *ui, char *title, size_t tsize, char *body, size_t bsize) {
    int kind = ui->input.hover_kind;
    int n = chain_count(&ui->chain);
    int a = ui->input.hover_a;
    const SharedSlot *stage = (a >= 0 && a < n) ? ui->chain.chain[a].slot : shown_stage(&ui->chain, nullptr);
    char value[32];
    if (is_param_target(kind)) {
        int row = ui->input.hover_b;
        if (row < 0 || row >= (int)PARAM_COUNT) return false;
        param_format(row, value, sizeof value, slot_param(stage, row));
        snprintf(title, tsize, "%s  %s", PARAMS[row].name, value);
        snprintf(body, bsize, "%s  %s", HELP[row],
                 param_is_switch(row) ? "Click toggles." : "Drag, wheel, double-click to type, Shift = fine.");
        return true;
    }
    switch (kind) {
    case HIT_GAIN_SLIDER:
        if (ui->chain.chain_mode) {
            double total = 0.0;
            if (n > 0)
                for (int i = 0; i < n; i++)
                    total += slot_param(ui->chain.chain[i].slot, P_GAIN);
            else
                total = slot_param(stage, P_GAIN);
            snprintf(title, tsize, "Chain total  %+.1f dB", total);
            snprintf(body, bsize, "%s", "Drag: the change is shared by every stage (see Spread).");
        } else {
            param_format(P_GAIN, value, sizeof value, slot_param(stage, P_GAIN));
            snprintf(title, tsize, "Gain  %s", value);
            snprintf(body, bsize, "%s  Drag, wheel, double-click to type.", HELP[P_GAIN]);
        }
        return true;
    case HIT_STAGE: {
        int pos = 0;
        if (a >= 0 && a < n) pos = ui->chain.chain[a].pos > 98 ? 0 : (int)ui->chain.chain[a].pos;
        param_format(P_GAIN, value, sizeof value, slot_param(stage, P_GAIN));
        snprintf(title, tsize, "Stage %d  gain %s", pos, value);
        // What input.cpp does with a stage card: a click focuses it and starts a gain drag, a
        // double-click opens the value entry, Control- (or Alt-) click sets 0 dB.
        snprintf(body, bsize, "%s",
                 "Click focuses it. Drag (Shift = fine) or wheel: its gain. Double-click to type, Ctrl+click = 0 dB.");
        return true;
    }
    case HIT_GROUP: {
        int b = ui->input.hover_b;
        if (b >= 100) {
            int g = b - 100;
            snprintf(title, tsize, "%s", "New group");
            snprintf(body, bsize, "Put this instance alone in a chain of its own (group %c).",
                     (char)('A' + (g < 0    ? 0
                                   : g > 15 ? 15
                                            : g)));
        } else {
            snprintf(title, tsize, "Group %c", (char)('A' + (b < 0 ? 0 : b > 15 ? 15 : b)));
            snprintf(body, bsize, "%s",
                     "One group = one chain (bus). Click: show its chain. Double-click or Alt+click: move this "
                     "instance into it.");
        }
        return true;
    }
    default:
        break;
    }
    for (const TipText &t : TIPS) {
        if (t.kind != kind) continue;
        snprintf(title, tsize, "%s", t.title);
        snprintf(body, bsize, "%s", t.body);
        return true;
    }
    return false; // HIT_MENU_ITEM and unknown kinds
}

static void draw_tooltip(Ui *ui) {
    NVGcontext *vg = ui->win.vg;
    char title[96], body[200];
    if (!vg || !ui_tooltip_text(ui, title, sizeof title, body, sizeof body)) return;
    float w = text_width(vg, 11.f, title);
    float bw = text_width(vg, 9.5f, body);
    if (bw > w) w = bw;
    w += 24.f;
    float h = 40.f;
    // The pointer is in frame units; the overlay is drawn in design units.
    float pxd = (float)ui->input.pointer_x - ui->win.frame_ox, pyd = (float)ui->input.pointer_y - ui->win.frame_oy;
    float x = pxd + 14.f, y = pyd + 20.f;
    if (x + w > 954.f) x = 954.f - w;
    if (y + h > 594.f) y = pyd - 50.f;
    glow(vg, x, y, w, h, 5.f, 10.f, COL_SHADOW);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x, y, w, h, 5.f);
    nvgFillColor(vg, nv(COL_POPUP));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x + 0.5f, y + 0.5f, w - 1.f, h - 1.f, 5.f);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(COL_POPUP_EDGE));
    nvgStroke(vg);
    text(vg, x + 12.f, y + 14.f, 11.f, COL_TEXT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, title);
    text(vg, x + 12.f, y + 28.f, 9.5f, COL_DIM, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, body);
}

// ---------------------------------------------------------------------------------------
// Popup menus

static void menu_panel(NVGcontext *vg, float x, float y, float w, float h) {
    if (!vg) return;
    glow(vg, x, y, w, h, 6.f, 12.f, COL_MENU_SHADOW);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x, y, w, h, 6.f);
    nvgFillColor(vg, nv(COL_MENU));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x + 0.5f, y + 0.5f, w - 1.f, h - 1.f, 6.f);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(COL_EDGE));
    nvgStroke(vg);
}

static void menu_row(Ui *ui, float x, float y, float w, int section, int row, const char *label, bool current) {
    NVGcontext *vg = ui->win.vg;
    bool hovered = ui->input.hover_kind == HIT_MENU_ITEM && ui->input.hover_b == row;
    if (vg) {
        if (hovered) fill_rect(vg, x + 2.f, y, w - 4.f, 24.f, nv(COL_MENU_HOVER));
        if (current) {
            nvgBeginPath(vg);
            nvgCircle(vg, x + 15.f, y + 12.f, 3.f);
            nvgFillColor(vg, nv(COL_ACCENT));
            nvgFill(vg);
        }
        text(vg, x + 28.f, y + 12.f, 11.5f, hovered ? COL_ACCENT : COL_TEXT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, label);
    }
    hit_push(ui, HIT_MENU_ITEM, section, row, x, y, w, 24.f);
}

static void menu_separator(Ui *ui, float x, float w, float *y) {
    if (ui->win.vg) hline(ui->win.vg, x + 10.f, x + w - 10.f, *y + 5.f, nv(COL_EDGE));
    *y += 10.f;
}

static void preset_menu(Ui *ui) {
    int users = user_count(&ui->presets);
    bool cur_user = ui->presets.preset_cur >= PRESET_USER_FIRST && ui->presets.preset_cur < PRESET_USER_FIRST + users;
    int rows = PRESET_STAGE_COUNT + PRESET_CHAIN_COUNT + users + 2 + (cur_user ? 1 : 0);
    int seps = users > 0 ? 3 : 2;
    float w = ui->overlay.menu_w;
    float h = rows * 24.f + 8.f + 10.f * seps;
    float x = ui->overlay.menu_x, y = ui->overlay.menu_y;
    if (x + w > 956.f) x = 956.f - w;
    if (y + h > 596.f) y = 596.f - h;
    if (y < 4.f) y = 4.f;
    menu_panel(ui->win.vg, x, y, w, h);
    float ry = y + 4.f;
    int row = 0;
    for (int i = 0; i < PRESET_STAGE_COUNT; i++, row++, ry += 24.f)
        menu_row(ui, x, ry, w, 0, row, PRESETS[i].name ? PRESETS[i].name : "", ui->presets.preset_cur == row);
    menu_separator(ui, x, w, &ry);
    for (int i = 0; i < PRESET_CHAIN_COUNT; i++, row++, ry += 24.f)
        menu_row(ui, x, ry, w, 1, row, CHAIN_PRESETS[i].name ? CHAIN_PRESETS[i].name : "",
                 ui->presets.preset_cur == row);
    if (users > 0) {
        menu_separator(ui, x, w, &ry);
        for (int i = 0; i < users; i++, row++, ry += 24.f) {
            char name[64];
            snprintf(name, sizeof name, "%s", ui->presets.user_presets[i]);
            menu_row(ui, x, ry, w, 2, row, name, ui->presets.preset_cur == row);
        }
    }
    menu_separator(ui, x, w, &ry);
    menu_row(ui, x, ry, w, 3, row++, "Save stage preset...", false);
    ry += 24.f;
    menu_row(ui, x, ry, w, 4, row++, "Save chain preset...", false);
    ry += 24.f;
    if (cur_user) {
        char label[96];
        snprintf(label, sizeof label, "Delete \"%.63s\"",
                 ui->presets.user_presets[ui->presets.preset_cur - PRESET_USER_FIRST]);
        menu_row(ui, x, ry, w, 5, row++, label, false);
    }
}

static void list_menu(Ui *ui, const char *const *labels, int count, int current) {
    float w = ui->overlay.menu_w;
    float h = count * 24.f + 8.f;
    float x = ui->overlay.menu_x, y = ui->overlay.menu_y;
    if (x + w > 956.f) x = 956.f - w;
    if (y + h > 596.f) y = y - h - 28.f;
    menu_panel(ui->win.vg, x, y, w, h);
    for (int i = 0; i < count; i++)
        menu_row(ui, x, y + 4.f + 24.f * i, w, -1, i, labels[i], i == current);
}

static void draw_menu(Ui *ui) {
    if (ui->overlay.menu_kind == HIT_PRESET_MENU) {
        preset_menu(ui);
    } else if (ui->overlay.menu_kind == HIT_STYLE) {
        const char *names[6];
        for (int i = 0; i < 6; i++)
            names[i] = param_style_name(i);
        const SharedSlot *s = chain_stage(&ui->chain, ui->overlay.menu_stage);
        list_menu(ui, names, 6, (int)(slot_param(s, P_STYLE) + 0.5));
    } else {
        const char *names[TARGET_COUNT];
        for (int i = 0; i < TARGET_COUNT; i++)
            names[i] = TARGETS[i].label;
        list_menu(ui, names, TARGET_COUNT, target_index(&ui->owner.prefs->gain));
    }
}

// ---------------------------------------------------------------------------------------
// Text entry and about box

static void draw_entry(Ui *ui) {
    NVGcontext *vg = ui->win.vg;
    if (!vg) return;
    float x = ui->overlay.entry_x, y = ui->overlay.entry_y, w = ui->overlay.entry_w, h = ui->overlay.entry_h;
    glow(vg, x, y, w, h, 4.f, 8.f, with_alpha(COL_ACCENT, 60));
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x, y, w, h, 4.f);
    nvgFillColor(vg, nv(COL_FIELD));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x + 0.5f, y + 0.5f, w - 1.f, h - 1.f, 4.f);
    nvgStrokeWidth(vg, 1.f);
    nvgStrokeColor(vg, nv(COL_ACCENT));
    nvgStroke(vg);
    char shown[64];
    snprintf(shown, sizeof shown, "%s", ui->overlay.entry_text);
    float cx = x + w * 0.5f, cy = y + h * 0.5f;
    float tw = text_width(vg, 12.f, shown);
    if (ui->overlay.entry_selected) {
        fill_rect(vg, cx - tw * 0.5f - 2.f, y + 4.f, tw + 4.f, h - 8.f, nv(COL_SELECTION));
    } else {
        fill_rect(vg, cx + tw * 0.5f + 1.f, y + 5.f, 1.f, h - 10.f, nv(COL_ACCENT));
    }
    text(vg, cx, cy, 12.f, COL_TEXT, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, shown);
    if (ui->overlay.entry_kind == 1 || ui->overlay.entry_kind == 2)
        text(vg, cx, y + h + 9.f, 7.f, COL_ACCENT, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE,
             ui->overlay.entry_kind == 1 ? "NAME FOR THE STAGE PRESET  -  ENTER SAVES, ESC CANCELS"
                                         : "NAME FOR THE CHAIN PRESET  -  ENTER SAVES, ESC CANCELS",
             0.84f);
}

static void draw_about(Ui *ui) {
    NVGcontext *vg = ui->win.vg;
    const int cm = NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE;
    if (vg) {
        fill_rect(vg, 0.f, 0.f, DESIGN_WF, DESIGN_HF, nv(COL_SCRIM));
        nvgBeginPath(vg);
        nvgRoundedRect(vg, 280.f, 160.f, 400.f, 280.f, 10.f);
        nvgFillColor(vg, nv(COL_ABOUT));
        nvgFill(vg);
        nvgBeginPath(vg);
        nvgRoundedRect(vg, 280.5f, 160.5f, 399.f, 279.f, 10.f);
        nvgStrokeWidth(vg, 1.f);
        nvgStrokeColor(vg, nv(COL_ABOUT_EDGE));
        nvgStroke(vg);

        nvgBeginPath(vg);
        nvgCircle(vg, 480.f, 204.f, 6.154f);
        nvgFillColor(vg, nv(COL_ACCENT));
        nvgFill(vg);
        NVGcolor arc = nv(COL_LOGO_ARC);
        nvgLineCap(vg, NVG_ROUND);
        nvgStrokeWidth(vg, 3.791f);
        nvgStrokeColor(vg, arc);
        nvgBeginPath(vg);
        nvgArc(vg, 480.f, 204.f, 17.f, -1.5708f, -0.3247f, NVG_CW);
        nvgStroke(vg);
        nvgBeginPath(vg);
        nvgArc(vg, 480.f, 204.f, 17.f, 1.5708f, 2.8169f, NVG_CW);
        nvgStroke(vg);
        nvgLineCap(vg, NVG_BUTT);

        text(vg, 480.f, 244.f, 20.f, COL_ACCENT, cm, "TERVIK", 2.4f);
        text(vg, 480.f, 268.f, 10.5f, COL_TEXT, cm, "Stacked limiter - version 1.0.1");
        text(vg, 480.f, 288.f, 10.5f, COL_ACCENT, cm, "Morvane - morvane.example/tervik");
        hline(vg, 310.f, 650.f, 336.f, nv(COL_HAIRLINE));
        text(vg, 480.f, 356.f, 9.5f, COL_TEXT, cm, "CLAP");
        text(vg, 480.f, 374.f, 9.f, COL_TEXT, cm, "Built on pugl (ISC), NanoVG (zlib),");
        text(vg, 480.f, 388.f, 9.f, COL_DIM, cm, "the CLAP headers (MIT) and Roboto (Apache 2.0)");
        text(vg, 480.f, 414.f, 9.f, COL_FAINT, cm, "Click anywhere to close");
    }
    // The panel first and the web-address line after it, so that the line lies on top and
    // a click on it reaches it.
    hit_push(ui, HIT_ABOUT, -1, 1, 280.f, 160.f, 400.f, 280.f);
    hit_push(ui, HIT_ABOUT, -1, 2, 385.f, 279.f, 190.f, 18.f);
}

// ---------------------------------------------------------------------------------------
// The frame

void frame_build(Ui *ui, double t) {
    NVGcontext *vg = ui->win.vg;
    ui_refresh_chain(ui);
    ui->input.hit_count = 0;
    double z = ui_frame_z(ui);
    float ox = 0.f, oy = 0.f;
    if (ui->win.view_w && ui->win.view_h) {
        ox = (float)((ui->win.view_w / z - DESIGN_WF) / 2.0);
        oy = (float)((ui->win.view_h / z - DESIGN_HF) / 2.0);
    }
    ui->win.frame_ox = ox;
    ui->win.frame_oy = oy;
    if (vg) {
        nvgFontFaceId(vg, ui->win.font);
        nvgSave(vg);
        nvgTranslate(vg, ox, oy);
        nvgBeginPath(vg);
        nvgRect(vg, 0.f, 0.f, DESIGN_WF, DESIGN_HF);
        nvgFillPaint(vg, nvgLinearGradient(vg, 0.f, 0.f, 0.f, DESIGN_HF, nv(COL_BG_TOP), nv(COL_BG_BOTTOM)));
        nvgFill(vg);
    }

    draw_top_bar(ui);
    draw_stage_strip(ui);
    draw_graph(ui, sys_time_ns());
    draw_meters(ui, t);
    draw_grid(ui);
    draw_controls(ui);
    draw_gain_slider(ui);
    if (vg) nvgFontFaceId(vg, ui->win.font);
    bottom_bar(ui);

    if (ui->overlay.menu_kind != 0) {
        draw_menu(ui);
    } else if (ui->input.drag_kind == 0 && ui->input.hover_kind != 0 && t - ui->input.hover_since >= TOOLTIP_DELAY_S) {
        draw_tooltip(ui);
    }
    if (ui->overlay.entry_active) draw_entry(ui);
    if (ui->overlay.about_open) draw_about(ui);

    if (vg) nvgRestore(vg);
    int n = ui->input.hit_count < 0 ? 0 : ui->input.hit_count > MAX_HITS ? MAX_HITS : ui->input.hit_count;
    for (int i = 0; i < n; i++) {
        ui->input.hits[i].x += ox;
        ui->input.hits[i].y += oy;
    }
}

void draw(Ui *ui) {
    TK_ASSERT(ui);
    if (!tkgl_glViewport || !tkgl_glClearColor || !tkgl_glClear) return; // nothing loaded: nothing to do
    double z = ui_frame_z(ui);
    tkgl_glViewport(0, 0, (GLsizei)ui->win.view_w, (GLsizei)ui->win.view_h);
    tkgl_glClearColor(COL_CLEAR.r / 255.f, COL_CLEAR.g / 255.f, COL_CLEAR.b / 255.f, COL_CLEAR.a / 255.f);
    tkgl_glClear(GL_COLOR_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    if (!ui->win.vg) return;
    double t = sys_time_s();
    nvgBeginFrame(ui->win.vg, (float)(ui->win.view_w / z), (float)(ui->win.view_h / z), (float)z);
    frame_build(ui, t);
    nvgEndFrame(ui->win.vg);
    ui->win.frames++;
    frame_probe(ui);
    frame_screenshot(ui);
}
