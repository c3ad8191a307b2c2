// Everything the user does with pointer and keyboard: the pugl event dispatch, hit tests
// against the last frame's targets, clicks, drags, the wheel, text entry, shortcuts, group
// moves, MIDI learn, the resize grip and the popup menus' actions.
//
// Sections: helpers and the hit test; value entry; drags; the resize grip; the wheel;
// clicks; the keyboard; dispatch of pugl events (on_event).
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chainops/chain_gain.h"
#include "chainops/factory.h"
#include "chainops/history.h"
#include "chainops/user_presets.h"
#include "editor/design.h"
#include "editor/draw.h"
#include "editor/events.h"
#include "params/edit_path.h"
#include "params/params.h"
#include "registry/shared.h"
#include "sys/assert.h"
#include "sys/sys.h"

const char TERVIK_URL[] = "https://morvane.example/tervik";

static constexpr double DOUBLE_CLICK_S = 0.35;

static bool valid_row(int row) { return row >= 0 && row < (int)PARAM_COUNT; }

static bool debug_keys() { return getenv("TERVIK_KEYDBG") != nullptr; }

// The owner's editor preferences are saved in its state: the host is told they changed.
static void mark_dirty(Ui *ui) { owner_mark_dirty(ui->owner.stage); }

// The stages an edit of stage a reaches: the whole chain in chain mode or for a < 0,
// otherwise stage a.
static int edited_stages(const Ui *ui, int a, SharedSlot **out) {
    if (ui->chain.chain_mode || a < 0) return chain_stages(&ui->chain, out, CHAIN_MAX);
    SharedSlot *s = chain_stage(&ui->chain, a);
    if (!s) return 0;
    out[0] = s;
    return 1;
}

const Hit *ui_hit_test(const Ui *ui, double x, double y) {
    int n = ui->input.hit_count < 0 ? 0 : ui->input.hit_count > MAX_HITS ? MAX_HITS : ui->input.hit_count;
    for (int i = n - 1; i >= 0; i--) {
        const Hit &h = ui->input.hits[i];
        if (x >= h.x && x < h.x + h.w && y >= h.y && y < h.y + h.h) return &h;
    }
    return nullptr;
}

void open_url() {
    char cmd[256];
    snprintf(cmd, sizeof cmd, "xdg-open \"%s\" >/dev/null 2>&1 &", TERVIK_URL);
    int rc = system(cmd);
    (void)rc;
}

// ---------------------------------------------------------------------------------------
// Value entry

void edit_begin(Ui *ui, const Hit *hit, int row) {
    TK_ASSERT(ui && hit);
    if (!valid_row(row)) return;
    int n = chain_count(&ui->chain);
    int a = hit->a;
    SharedSlot *slot;
    if (a >= 0 && a < n)
        slot = ui->chain.chain[a].slot;
    else if (n > 0)
        slot = shown_stage(&ui->chain, nullptr);
    else
        slot = ui->chain.own_slot;
    ui->overlay.entry_stage = a;
    ui->overlay.entry_row = row;
    ui->overlay.entry_kind = 0;
    ui->overlay.entry_active = 1;
    ui->overlay.entry_selected = 1;
    param_format(row, ui->overlay.entry_text, sizeof ui->overlay.entry_text, slot_param(slot, row));
    ui->overlay.entry_text[63] = 0;
    // The box is kept in design units: the hit rectangle carries the letterbox offset.
    float hx = hit->x - ui->win.frame_ox, hy = hit->y - ui->win.frame_oy;
    float x = hx + hit->w * 0.5f - 38.f, y = hy + hit->h * 0.5f - 11.f;
    if (x < 4.f)
        x = 4.f;
    else if (x + 76.f > 956.f)
        x = 880.f;
    ui->overlay.entry_x = x;
    ui->overlay.entry_y = y;
    ui->overlay.entry_w = 76.f;
    ui->overlay.entry_h = 22.f;
}

void edit_commit(Ui *ui) {
    TK_ASSERT(ui);
    if (!ui->overlay.entry_active) return;
    ui->overlay.entry_active = 0;
    if (ui->overlay.entry_kind == 0) {
        double v = 0.0;
        if (valid_row(ui->overlay.entry_row) && param_parse(ui->overlay.entry_row, ui->overlay.entry_text, &v))
            set_param_all(&ui->ops, ui->overlay.entry_stage, ui->overlay.entry_row, v);
    } else {
        preset_name_confirm(ui, ui->overlay.entry_kind, ui->overlay.entry_text);
    }
}

static void entry_char(Ui *ui, uint32_t ch) {
    size_t len = strlen(ui->overlay.entry_text);
    if (ui->overlay.entry_selected) {
        ui->overlay.entry_text[0] = (char)ch;
        ui->overlay.entry_text[1] = 0;
        ui->overlay.entry_selected = 0;
    } else if (len < 63) {
        ui->overlay.entry_text[len] = (char)ch;
        ui->overlay.entry_text[len + 1] = 0;
    }
}

static void entry_backspace(Ui *ui) {
    if (ui->overlay.entry_selected) {
        ui->overlay.entry_text[0] = 0;
        ui->overlay.entry_selected = 0;
        return;
    }
    size_t len = strlen(ui->overlay.entry_text);
    if (len > 0) ui->overlay.entry_text[len - 1] = 0;
}

// Enter, line feed, Escape and Backspace of an open entry; true when the code was one.
static bool entry_control(Ui *ui, uint32_t code) {
    switch (code) {
    case 13:
    case 10:
        edit_commit(ui);
        return true;
    case 27:
        ui->overlay.entry_active = 0;
        return true;
    case 8:
        entry_backspace(ui);
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------------------
// Drags

void drag_start(Ui *ui, int kind, int a, int row, double x, double y) {
    TK_ASSERT(ui);
    if (!valid_row(row)) return;
    if (kind == HIT_GAIN_SLIDER && ui->chain.chain_mode && chain_count(&ui->chain) > 0) {
        chain_drag_start(&ui->ops, &ui->input.drag, x, y);
        ui->input.drag_kind = HIT_GAIN_SLIDER;
        ui->input.drag_a = a;
        ui->input.drag_row = P_GAIN;
        ui->input.drag_chain_total = 1;
        return;
    }
    undo_mark(&ui->ops, 0);
    ui->input.drag_kind = kind;
    ui->input.drag_a = a;
    ui->input.drag_row = row;
    ui->input.drag.drag_x0 = x;
    ui->input.drag.drag_y0 = y;
    ui->input.drag_chain_total = 0;
    SharedSlot *slots[CHAIN_MAX];
    int n = edited_stages(ui, a, slots);
    ui->input.drag.drag_count = n;
    for (int i = 0; i < n; i++) {
        ui->input.drag.drag_slots[i] = slots[i];
        ui->input.drag.drag_uids[i] = shm_load(slots[i]->ident.uid);
        ui->input.drag.drag_norm[i] = param_norm(row, slot_param(slots[i], row));
        plugin_edit_begin(slots[i], row);
    }
}

static void drag_motion(Ui *ui, double y, bool shift) {
    if (ui->input.drag_chain_total) {
        chain_drag_motion(&ui->ops, &ui->input.drag, y, shift);
        return;
    }
    int row = ui->input.drag_row;
    if (!valid_row(row)) return;
    double span = ui->input.drag_kind == HIT_POSITION ? 120.0 : ui->input.drag_kind == HIT_GAIN_SLIDER ? 424.0 : 160.0;
    double d = (ui->input.drag.drag_y0 - y) / span;
    if (shift) d *= 0.1;
    int n = drag_stage_count(&ui->input.drag);
    for (int i = 0; i < n; i++) {
        if (!drag_stage_live(&ui->input.drag, i)) continue;
        double f = ui->input.drag.drag_norm[i] + d;
        f = f < 0.0 ? 0.0 : f > 1.0 ? 1.0 : f;
        double v = param_denorm(row, f);
        // Motion that does not change the stored value sends nothing, so that a slow drag
        // does not fill the stage's edit queue with repeats.
        if (param_clamp(row, v) == slot_param(ui->input.drag.drag_slots[i], row)) continue;
        plugin_edit_value(ui->input.drag.drag_slots[i], row, v);
    }
}

void drag_end(Ui *ui) {
    if (ui->input.drag_chain_total) {
        ui->input.drag_chain_total = 0;
        chain_drag_end(&ui->input.drag);
        ui->input.drag_kind = 0;
        return;
    }
    int n = drag_stage_count(&ui->input.drag);
    for (int i = 0; i < n; i++)
        if (drag_stage_live(&ui->input.drag, i)) plugin_edit_end(ui->input.drag.drag_slots[i], ui->input.drag_row);
    ui->input.drag.drag_count = 0;
    ui->input.drag_kind = 0;
}

// ---------------------------------------------------------------------------------------
// Resize grip

static void grip_start(Ui *ui, double x, double y, double z) {
    ui->input.drag_kind = HIT_GRIP;
    ui->input.grip_w0 = ui->win.view_w;
    ui->input.drag.drag_x0 = x;
    ui->input.drag.drag_y0 = y;
    ui->input.grip_x0 = x * z;
}

static void grip_motion(Ui *ui, double px) {
    double s = ((double)ui->input.grip_w0 + (px - ui->input.grip_x0)) / DESIGN_W;
    if (debug_keys())
        fprintf(stderr, "[grip] dev=%.1f x0=%.1f s=%.3f w=%u%c", px, ui->input.grip_x0, s, ui->win.view_w, '\n');
    request_resize_to_scale(ui, s);
}

static void grip_end(Ui *ui) {
    ui->input.drag_kind = 0;
    ui->win.req_time = 0;
    if (ui->win.req_pending) {
        ui->win.req_pending = 0;
        ui->win.req_w = ui->win.req_h = 0;
        request_resize_to_scale(ui, ui->win.req_pending_scale);
    }
}

// ---------------------------------------------------------------------------------------
// Wheel

void on_scroll(Ui *ui, double x, double y, double dy) {
    TK_ASSERT(ui);
    const Hit *hp = ui_hit_test(ui, x, y);
    if (!hp) return;
    Hit hit = *hp;
    int row;
    switch (hit.kind) {
    case HIT_KNOB:
    case HIT_GAIN_SLIDER:
    case HIT_POSITION:
    case HIT_GRID_CELL:
    case HIT_STYLE:
    case HIT_DITHER:
    case HIT_SHAPING:
        row = hit.b;
        break;
    case HIT_STAGE:
        row = P_GAIN;
        break;
    case HIT_LOUD_TARGET:
        if (ui->owner.prefs->gain.target_idx == TARGET_CUSTOM) {
            GainPrefs &gain = ui->owner.prefs->gain;
            double t = gain.target_custom;
            if (!std::isfinite(t)) t = TARGETS[TARGET_CUSTOM].lufs;
            t += 0.5 * dy;
            if (t < TARGET_CUSTOM_MIN) t = TARGET_CUSTOM_MIN;
            gain.target_custom = t > TARGET_CUSTOM_MAX ? TARGET_CUSTOM_MAX : t;
            mark_dirty(ui);
        }
        return;
    default:
        return;
    }
    if (!valid_row(row)) return;
    SharedSlot *slots[CHAIN_MAX];
    int n = edited_stages(ui, hit.a, slots);
    if (n == 0) return;
    undo_mark(&ui->ops, undo_tag_wheel(hit.a, row));
    const ParamInfo &p = PARAMS[row];
    for (int i = 0; i < n; i++) {
        double v = slot_param(slots[i], row), nv;
        if (p.flags & PF_STEPPED)
            nv = dy > 0 ? v + 1.0 : v - 1.0;
        else
            nv = param_denorm(row, param_norm(row, v) + 0.02 * dy);
        plugin_edit_one(slots[i], row, nv);
    }
}

// ---------------------------------------------------------------------------------------
// Clicks

static void move_to_group(Ui *ui, int g) {
    if (g < 0) g = 0;
    if (g > 15) g = 15;
    SharedSlot *own = ui->chain.own_slot;
    if (!own) return;
    undo_mark(&ui->ops, 0);
    plugin_edit_one(own, P_GROUP, (double)g);
    ui->chain.group = g;
    ui->chain.focus = -1;
}

static void toggle_switch(Ui *ui, int a, int row) {
    SharedSlot *s = chain_stage(&ui->chain, a);
    set_param_all(&ui->ops, a, row, slot_param(s, row) >= 0.5 ? 0.0 : 1.0);
}

static void midi_pill(Ui *ui) {
    SharedSlot *s = shown_stage(&ui->chain, nullptr);
    if (s && shm_load(s->midi.midi_learn) >= 0) {
        shm_store(s->midi.midi_learn, -1);
        ui->input.midi_learn_ui = 0;
    } else {
        ui->input.midi_learn_ui = ui->input.midi_learn_ui ? 0 : 1;
    }
}

// A click while learn mode is on: a control is picked (armed, or unmapped when it has a
// controller); any other target just ends learn mode.
static void midi_pick(Ui *ui, const Hit &hit) {
    ui->input.midi_learn_ui = 0;
    bool control = hit.kind == HIT_KNOB || hit.kind == HIT_TOGGLE || hit.kind == HIT_GAIN_SLIDER ||
                   hit.kind == HIT_STAGE || hit.kind == HIT_GRID_CELL;
    if (!control) return;
    int row = hit.kind == HIT_STAGE ? (int)P_GAIN : hit.b;
    if (!valid_row(row)) return;
    SharedSlot *stage = chain_stage(&ui->chain, hit.a);
    SharedSlot *all[CHAIN_MAX];
    int n = chain_stages(&ui->chain, all, CHAIN_MAX);
    for (int i = 0; i < n; i++)
        shm_store(all[i]->midi.midi_learn, -1);
    if (!stage) return;
    shm_store(stage->midi.midi_learn, -1);
    if (shm_load(stage->midi.midi_cc[row]) < 0)
        shm_store(stage->midi.midi_learn, (int32_t)row);
    else
        shm_store(stage->midi.midi_cc[row], -1);
}

static void open_menu(Ui *ui, const Hit &hit) {
    // Menus are kept in design units: the hit rectangle carries the letterbox offset.
    float x = hit.x - ui->win.frame_ox, y = hit.y - ui->win.frame_oy;
    ui->overlay.menu_kind = hit.kind;
    if (hit.kind == HIT_PRESET_MENU) {
        presets_refresh(&ui->presets);
        ui->overlay.menu_x = x;
        ui->overlay.menu_y = y + hit.h + 4.f;
        ui->overlay.menu_w = hit.w;
    } else if (hit.kind == HIT_LOUD_TARGET) {
        ui->overlay.menu_x = x - 60.f;
        ui->overlay.menu_y = y + hit.h + 4.f;
        ui->overlay.menu_w = hit.w + 60.f;
    } else { // HIT_STYLE
        ui->overlay.menu_stage = hit.a;
        ui->overlay.menu_x = x - 30.f;
        ui->overlay.menu_y = y + hit.h + 4.f;
        ui->overlay.menu_w = hit.w + 60.f;
    }
}

static void menu_action(Ui *ui, const Hit &hit) {
    if (ui->overlay.menu_kind == HIT_PRESET_MENU) {
        switch (hit.a) {
        case 0:
        case 1:
            preset_apply(&ui->ops, hit.b);
            break;
        case 2:
            apply_user_preset(&ui->ops, hit.b - PRESET_USER_FIRST);
            break;
        case 3:
        case 4:
            preset_entry_open(ui, hit.a == 3 ? 1 : 2, ui->overlay.menu_x, ui->overlay.menu_y, ui->overlay.menu_w, 24.f);
            break;
        case 5:
            preset_delete_current(&ui->presets);
            break;
        default:
            break;
        }
    } else if (ui->overlay.menu_kind == HIT_STYLE) {
        if (hit.b >= 0 && hit.b <= 5) set_param_all(&ui->ops, ui->overlay.menu_stage, P_STYLE, (double)hit.b);
    } else if (hit.b >= 0 && hit.b < TARGET_COUNT) {
        ui->owner.prefs->gain.target_idx = (uint32_t)hit.b;
        mark_dirty(ui);
    }
}

static void act(Ui *ui, const Hit &hit, bool reset, bool dbl, double x, double y, double z) {
    EditorPrefs *p = ui->owner.prefs;
    int a = hit.a, b = hit.b;
    switch (hit.kind) {
    case HIT_KNOB:
    case HIT_GAIN_SLIDER:
        if (!valid_row(b)) break;
        if (reset)
            set_param_all(&ui->ops, a, b, PARAMS[b].def);
        else if (dbl)
            edit_begin(ui, &hit, b);
        else
            drag_start(ui, hit.kind, a, b, x, y);
        break;
    case HIT_TOGGLE:
        if (valid_row(b)) toggle_switch(ui, a, b);
        break;
    case HIT_STAGE:
        ui->chain.focus = a;
        if (reset)
            set_param_all(&ui->ops, a, P_GAIN, 0.0);
        else if (dbl)
            edit_begin(ui, &hit, P_GAIN);
        else
            drag_start(ui, HIT_STAGE, a, P_GAIN, x, y);
        break;
    case HIT_CHAIN_MODE:
        ui->chain.chain_mode = ui->chain.chain_mode ? 0 : 1;
        break;
    case HIT_GROUP:
        if (b >= 100)
            move_to_group(ui, b - 100);
        else if (reset || dbl)
            move_to_group(ui, b);
        else {
            ui->chain.group = b < 0 ? 0 : b > 15 ? 15 : b;
            ui->chain.focus = -1;
        }
        break;
    case HIT_PRESET_PREV:
        preset_step(&ui->ops, -1);
        break;
    case HIT_PRESET_NEXT:
        preset_step(&ui->ops, 1);
        break;
    case HIT_PRESET_MENU:
    case HIT_LOUD_TARGET:
        open_menu(ui, hit);
        break;
    case HIT_LOUD_MODE:
        if (p) {
            p->gain.lufs_mode = (p->gain.lufs_mode + 1) % LUFS_MODE_COUNT;
            mark_dirty(ui);
        }
        break;
    case HIT_LOUD_RESET: {
        SharedSlot *all[CHAIN_MAX];
        int n = chain_stages(&ui->chain, all, CHAIN_MAX);
        for (int i = 0; i < n; i++)
            shm_store(all[i]->loud_reset, 1u);
        if (ui->chain.own_slot) shm_store(ui->chain.own_slot->loud_reset, 1u);
        break;
    }
    case HIT_LOUD_PAUSE:
        ui->meters.loud.loud_paused = ui->meters.loud.loud_paused ? 0 : 1;
        break;
    case HIT_POSITION:
        if (dbl && !reset)
            set_param_all(&ui->ops, a, P_STAGE, 0.0);
        else
            drag_start(ui, HIT_POSITION, a, P_STAGE, x, y);
        break;
    case HIT_GRIP:
        grip_start(ui, x, y, z);
        break;
    case HIT_SPREAD:
        if (p) {
            p->gain.spread = (p->gain.spread + 1) % DIST_COUNT;
            mark_dirty(ui);
        }
        break;
    case HIT_GRID_TOGGLE:
    case HIT_CONTROLS_TOGGLE:
        if (p) {
            uint32_t &flag = hit.kind == HIT_GRID_TOGGLE ? p->show_grid : p->show_controls;
            flag = flag ? 0 : 1;
            mark_dirty(ui);
        }
        break;
    case HIT_GRID_CELL:
        if (!valid_row(b)) break;
        if (param_is_switch(b))
            toggle_switch(ui, a, b);
        else if (reset)
            set_param_all(&ui->ops, a, b, PARAMS[b].def);
        else if (dbl)
            edit_begin(ui, &hit, b);
        else
            drag_start(ui, HIT_GRID_CELL, a, b, x, y);
        break;
    case HIT_MIDI:
        midi_pill(ui);
        break;
    case HIT_AB:
        ab_switch(&ui->ops);
        break;
    case HIT_COPY:
        ab_copy(&ui->ops);
        break;
    case HIT_STYLE:
        if (reset)
            set_param_all(&ui->ops, a, P_STYLE, PARAMS[P_STYLE].def);
        else
            open_menu(ui, hit);
        break;
    case HIT_UNDO:
        undo_do(&ui->ops);
        break;
    case HIT_REDO:
        redo_do(&ui->ops);
        break;
    case HIT_DITHER:
    case HIT_SHAPING: {
        if (!valid_row(b)) break;
        if (reset) {
            set_param_all(&ui->ops, a, b, PARAMS[b].def);
        } else {
            SharedSlot *s = chain_stage(&ui->chain, a);
            int v = (int)slot_param(s, b);
            set_param_all(&ui->ops, a, b, (double)((v + 1) % 3));
        }
        break;
    }
    case HIT_ABOUT:
        ui->overlay.about_open = 1;
        break;
    case HIT_TO_TARGET:
        loudness_match(&ui->ops);
        break;
    default:
        break; // HIT_LOUD_INT, a stray HIT_MENU_ITEM
    }
}

static void on_press(Ui *ui, const PuglButtonEvent &e) {
    // The right button (pugl's 1) asks the host's menu for a parameter, unless an overlay
    // or MIDI learn holds the pointer.
    if (e.button == 1 && !ui->overlay.entry_active && !ui->overlay.about_open && ui->overlay.menu_kind == 0 &&
        !ui->input.midi_learn_ui && ui->input.drag_kind == 0) {
        ui_refresh_chain(ui);
        ui_context_menu(ui, e.x, e.y);
        return;
    }
    if (e.button != 0) return;
    ui_refresh_chain(ui);
    double z = ui_frame_z(ui);
    double x = e.x / z, y = e.y / z;
    const Hit *hp = ui_hit_test(ui, x, y);
    Hit hit = hp ? *hp : Hit{0, -1, -1, 0, 0, 0, 0};
    puglGrabFocus(ui->win.view);
    if (ui->overlay.entry_active) {
        if (ui->overlay.entry_kind == 0)
            edit_commit(ui);
        else
            ui->overlay.entry_active = 0;
        return;
    }
    if (ui->overlay.about_open) {
        if (hit.kind == HIT_ABOUT && hit.b == 2) open_url();
        ui->overlay.about_open = 0;
        return;
    }
    if (ui->overlay.menu_kind != 0) {
        if (hit.kind == HIT_MENU_ITEM) menu_action(ui, hit);
        ui->overlay.menu_kind = 0;
        return;
    }
    if (hit.kind == 0) return;
    if (ui->input.midi_learn_ui && hit.kind != HIT_MIDI) {
        midi_pick(ui, hit);
        return;
    }
    bool dbl = e.time - ui->input.click_time < DOUBLE_CLICK_S && ui->input.click_kind == hit.kind &&
               ui->input.click_a == hit.a && ui->input.click_b == hit.b;
    ui->input.click_time = e.time;
    ui->input.click_kind = hit.kind;
    ui->input.click_a = hit.a;
    ui->input.click_b = hit.b;
    bool reset = (e.state & (PUGL_MOD_CTRL | PUGL_MOD_ALT)) != 0;
    act(ui, hit, reset, dbl, x, y, z);
}

static void on_release(Ui *ui, const PuglButtonEvent &e) {
    if (e.button != 0) return;
    if (ui->input.drag_kind == HIT_GRIP)
        grip_end(ui);
    else if (ui->input.drag_kind != 0)
        drag_end(ui);
}

static void on_motion(Ui *ui, const PuglMotionEvent &e) {
    double z = ui_frame_z(ui);
    double x = e.x / z, y = e.y / z;
    ui->input.pointer_x = x;
    ui->input.pointer_y = y;
    if (ui->input.drag_kind == HIT_GRIP) {
        grip_motion(ui, e.x);
        return;
    }
    if (ui->input.drag_kind != 0) {
        drag_motion(ui, y, (e.state & PUGL_MOD_SHIFT) != 0);
        return;
    }
    const Hit *hp = ui_hit_test(ui, x, y);
    int kind = hp ? hp->kind : 0, a = hp ? hp->a : -1, b = hp ? hp->b : -1;
    if (kind != ui->input.hover_kind || a != ui->input.hover_a || b != ui->input.hover_b)
        ui->input.hover_since = sys_time_s();
    ui->input.hover_kind = kind;
    ui->input.hover_a = a;
    ui->input.hover_b = b;
}

// ---------------------------------------------------------------------------------------
// Keyboard
//
// pugl delivers a key press and then, for a key that produces a character, a text event for
// the same keystroke (Enter, Escape, Backspace, Control+Z, Control+Y and Control+S
// included), both carrying the X event's time and keycode. One keystroke acts once: when
// a key press acts, its time and keycode are remembered and the text event that follows
// with the same time and keycode is swallowed. Keys whose press does nothing (printable
// characters, "," and ".") act through their text event. Text events that arrive without
// an acting key press (input methods, synthetic events) still act.

static void on_key(Ui *ui, const PuglKeyEvent &e) {
    if (debug_keys())
        fprintf(stderr, "[key] press key=%u state=%x edit=%d%c", e.key, e.state, (int)ui->overlay.entry_active, '\n');
    bool acted = false;
    bool shift = (e.state & PUGL_MOD_SHIFT) != 0;
    if (ui->overlay.entry_active) {
        acted = entry_control(ui, e.key);
    } else if (!(e.state & PUGL_MOD_CTRL)) {
        if (e.key == PUGL_KEY_PAGE_UP) {
            preset_step(&ui->ops, -1);
            acted = true;
        } else if (e.key == PUGL_KEY_PAGE_DOWN) {
            preset_step(&ui->ops, 1);
            acted = true;
        }
    } else {
        uint32_t k = e.key < 128 ? (uint32_t)tolower((int)e.key) : e.key;
        if (k == 'z') {
            if (shift)
                redo_do(&ui->ops);
            else
                undo_do(&ui->ops);
            acted = true;
        } else if (k == 'y') {
            redo_do(&ui->ops);
            acted = true;
        } else if (k == 's') {
            preset_save_shortcut(ui, shift ? 2 : 1);
            acted = true;
        }
    }
    ui->input.key_acted = acted ? 1 : 0;
    ui->input.key_acted_time = e.time;
    ui->input.key_acted_code = e.keycode;
}

static void on_text(Ui *ui, const PuglTextEvent &e) {
    uint32_t ch = e.character;
    if (debug_keys()) fprintf(stderr, "[key] text ch=%u key=%u edit=%d%c", ch, ch, (int)ui->overlay.entry_active, '\n');
    bool same_keystroke =
        ui->input.key_acted && e.time == ui->input.key_acted_time && e.keycode == ui->input.key_acted_code;
    ui->input.key_acted = 0;
    if (same_keystroke) return;
    bool shift = (e.state & PUGL_MOD_SHIFT) != 0;
    if (ui->overlay.entry_active) {
        if (ch >= 32 && ch <= 126)
            entry_char(ui, ch);
        else
            entry_control(ui, ch);
        return;
    }
    switch (ch) {
    case 26:
        if (shift)
            redo_do(&ui->ops);
        else
            undo_do(&ui->ops);
        break;
    case 25:
        redo_do(&ui->ops);
        break;
    case ',':
    case '<':
        preset_step(&ui->ops, -1);
        break;
    case '.':
    case '>':
        preset_step(&ui->ops, 1);
        break;
    case 19:
        preset_save_shortcut(ui, shift ? 2 : 1);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------
// Dispatch

PuglStatus on_event(PuglView *view, const PuglEvent *event) {
    Ui *ui = view ? (Ui *)puglGetHandle(view) : nullptr;
    if (!ui || !event) return PUGL_SUCCESS;
    switch (event->type) {
    case PUGL_CREATE:
        ui_on_realize(ui);
        break;
    case PUGL_DESTROY:
        ui_on_unrealize(ui);
        break;
    case PUGL_CONFIGURE:
        ui_on_configure(ui, event->configure.width, event->configure.height);
        break;
    case PUGL_EXPOSE:
        ui_on_expose(ui);
        break;
    case PUGL_TIMER:
        if (event->timer.id == 0) ui_on_timer(ui);
        break;
    case PUGL_KEY_PRESS:
        on_key(ui, event->key);
        break;
    case PUGL_TEXT:
        on_text(ui, event->text);
        break;
    case PUGL_POINTER_OUT:
        if (ui->input.drag_kind == 0) {
            ui->input.hover_kind = 0;
            ui->input.hover_a = ui->input.hover_b = -1;
        }
        break;
    case PUGL_BUTTON_PRESS:
        on_press(ui, event->button);
        break;
    case PUGL_BUTTON_RELEASE:
        on_release(ui, event->button);
        break;
    case PUGL_MOTION:
        on_motion(ui, event->motion);
        break;
    case PUGL_SCROLL: {
        ui_refresh_chain(ui);
        double z = ui_frame_z(ui);
        on_scroll(ui, event->scroll.x / z, event->scroll.y / z, event->scroll.dy);
        break;
    }
    default:
        break;
    }
    return PUGL_SUCCESS;
}
