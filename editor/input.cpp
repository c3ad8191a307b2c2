// Everything the user does with pointer and keyboard: the pugl event dispatch, hit tests
// against the last frame's targets, clicks, drags, the wheel, text entry, shortcuts, group
// moves, MIDI learn, the resize grip and the popup menus' actions.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "editor/draw.h"
#include "editor/events.h"
#include "plugin/edits.h"
#include "plugin/params.h"
#include "plugin/plugin.h"
#include "presets/factory.h"
#include "presets/history.h"
#include "presets/user_presets.h"
#include "registry/chain_gain.h"
#include "registry/registry.h"
#include "registry/shared.h"

const char TERVIK_URL[] = "https://morvane.example/tervik";

static constexpr double DOUBLE_CLICK_S = 0.35;

static int chain_count(const Ui *ui) { return ui->chain_len < 0 ? 0 : ui->chain_len > 64 ? 64 : ui->chain_len; }
static SharedSlot *owner_slot(const Ui *ui) { return ui->owner ? ui->owner->slot : nullptr; }

// Stage a: chain entry a when it exists, otherwise the owner's own slot.
static SharedSlot *stage_slot(const Ui *ui, int a) {
    if (a >= 0 && a < chain_count(ui) && ui->chain[a].slot) return ui->chain[a].slot;
    return owner_slot(ui);
}

static double value_of(const SharedSlot *slot, int row) {
    if (!slot || row < 0 || row >= (int)PARAM_COUNT) return 0.0;
    return param_clamp(row, shm_load(slot->values[row]));
}

static bool valid_row(int row) { return row >= 0 && row < (int)PARAM_COUNT; }

static bool debug_keys() { return getenv("TERVIK_KEYDBG") != nullptr; }

// The owner's editor preferences are saved in its state: the host is told they changed.
static void mark_dirty(Ui *ui) {
    Plugin *p = ui->owner;
    if (p && p->host && p->host_state && p->host_state->mark_dirty) p->host_state->mark_dirty(p->host);
}

// A slot taken at the start of a drag may have been released since (its instance
// destroyed) or claimed by another stage; it is written only while it is still a live
// slot holding the same stage.
static bool drag_slot_live(const Ui *ui, int i) { return registry_contains(ui->drag_slots[i], ui->drag_uids[i]); }

// Every stage of the chain, or the owner's own stage while the chain is empty.
static int all_stages(const Ui *ui, SharedSlot **out) {
    int n = chain_count(ui), k = 0;
    for (int i = 0; i < n; i++)
        if (ui->chain[i].slot) out[k++] = ui->chain[i].slot;
    if (n == 0 && owner_slot(ui)) out[k++] = owner_slot(ui);
    return k;
}

// The stages an edit of stage a reaches: the whole chain in chain mode or for a < 0,
// otherwise stage a.
static int edited_stages(const Ui *ui, int a, SharedSlot **out) {
    if (ui->chain_mode || a < 0) return all_stages(ui, out);
    SharedSlot *s = stage_slot(ui, a);
    if (!s) return 0;
    out[0] = s;
    return 1;
}

const Hit *ui_hit_test(const Ui *ui, double x, double y) {
    int n = ui->hit_count < 0 ? 0 : ui->hit_count > MAX_HITS ? MAX_HITS : ui->hit_count;
    for (int i = n - 1; i >= 0; i--) {
        const Hit &h = ui->hits[i];
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
    if (!ui || !hit || !valid_row(row)) return;
    int n = chain_count(ui);
    int a = hit->a;
    SharedSlot *slot;
    if (a >= 0 && a < n) slot = ui->chain[a].slot;
    else if (n > 0) slot = shown_stage(ui, nullptr);
    else slot = owner_slot(ui);
    ui->entry_stage = a;
    ui->entry_row = row;
    ui->entry_kind = 0;
    ui->entry_active = 1;
    ui->entry_selected = 1;
    param_format(row, ui->entry_text, sizeof ui->entry_text, value_of(slot, row));
    ui->entry_text[63] = 0;
    // The box is kept in design units: the hit rectangle carries the letterbox offset.
    float hx = hit->x - ui->frame_ox, hy = hit->y - ui->frame_oy;
    float x = hx + hit->w * 0.5f - 38.f, y = hy + hit->h * 0.5f - 11.f;
    if (x < 4.f) x = 4.f;
    else if (x + 76.f > 956.f) x = 880.f;
    ui->entry_x = x;
    ui->entry_y = y;
    ui->entry_w = 76.f;
    ui->entry_h = 22.f;
}

void edit_commit(Ui *ui) {
    if (!ui || !ui->entry_active) return;
    ui->entry_active = 0;
    if (ui->entry_kind == 0) {
        double v = 0.0;
        if (valid_row(ui->entry_row) && param_parse(ui->entry_row, ui->entry_text, &v))
            set_param_all(ui, ui->entry_stage, ui->entry_row, v);
    } else {
        preset_name_confirm(ui, ui->entry_kind, ui->entry_text);
    }
}

static void entry_char(Ui *ui, uint32_t ch) {
    size_t len = strlen(ui->entry_text);
    if (ui->entry_selected) {
        ui->entry_text[0] = (char)ch;
        ui->entry_text[1] = 0;
        ui->entry_selected = 0;
    } else if (len < 63) {
        ui->entry_text[len] = (char)ch;
        ui->entry_text[len + 1] = 0;
    }
}

static void entry_backspace(Ui *ui) {
    if (ui->entry_selected) {
        ui->entry_text[0] = 0;
        ui->entry_selected = 0;
        return;
    }
    size_t len = strlen(ui->entry_text);
    if (len > 0) ui->entry_text[len - 1] = 0;
}

// Enter, line feed, Escape and Backspace of an open entry; true when the code was one.
static bool entry_control(Ui *ui, uint32_t code) {
    switch (code) {
    case 13:
    case 10: edit_commit(ui); return true;
    case 27: ui->entry_active = 0; return true;
    case 8: entry_backspace(ui); return true;
    default: return false;
    }
}

// ---------------------------------------------------------------------------------------
// Drags

void drag_start(Ui *ui, int kind, int a, int row, double x, double y) {
    if (!ui || !valid_row(row)) return;
    if (kind == HIT_GAIN_SLIDER && ui->chain_mode && chain_count(ui) > 0) {
        chain_drag_start(ui, a, x, y);
        ui->drag_chain_total = 1;
        return;
    }
    undo_mark(ui, 0);
    ui->drag_kind = kind;
    ui->drag_a = a;
    ui->drag_row = row;
    ui->drag_x0 = x;
    ui->drag_y0 = y;
    ui->drag_chain_total = 0;
    SharedSlot *slots[64];
    int n = edited_stages(ui, a, slots);
    ui->drag_count = n;
    for (int i = 0; i < n; i++) {
        ui->drag_slots[i] = slots[i];
        ui->drag_uids[i] = shm_load(slots[i]->uid);
        ui->drag_norm[i] = param_norm(row, value_of(slots[i], row));
        plugin_edit_begin(slots[i], row);
    }
}

static void drag_motion(Ui *ui, double y, bool shift) {
    if (ui->drag_chain_total) {
        chain_drag_motion(ui, y, shift);
        return;
    }
    int row = ui->drag_row;
    if (!valid_row(row)) return;
    double span = ui->drag_kind == HIT_POSITION ? 120.0 : ui->drag_kind == HIT_GAIN_SLIDER ? 424.0 : 160.0;
    double d = (ui->drag_y0 - y) / span;
    if (shift) d *= 0.1;
    int n = ui->drag_count < 0 ? 0 : ui->drag_count > 64 ? 64 : ui->drag_count;
    for (int i = 0; i < n; i++) {
        if (!drag_slot_live(ui, i)) continue;
        double f = ui->drag_norm[i] + d;
        f = f < 0.0 ? 0.0 : f > 1.0 ? 1.0 : f;
        double v = param_denorm(row, f);
        // Motion that does not change the stored value sends nothing, so that a slow drag
        // does not fill the stage's edit queue with repeats.
        if (param_clamp(row, v) == value_of(ui->drag_slots[i], row)) continue;
        plugin_edit_value(ui->drag_slots[i], row, v);
    }
}

static void drag_end(Ui *ui) {
    if (ui->drag_chain_total) {
        ui->drag_chain_total = 0;
        chain_drag_end(ui);
        ui->drag_kind = 0;
        ui->drag_count = 0;
        return;
    }
    int n = ui->drag_count < 0 ? 0 : ui->drag_count > 64 ? 64 : ui->drag_count;
    for (int i = 0; i < n; i++)
        if (drag_slot_live(ui, i)) plugin_edit_end(ui->drag_slots[i], ui->drag_row);
    ui->drag_count = 0;
    ui->drag_kind = 0;
}

// ---------------------------------------------------------------------------------------
// Resize grip

static void grip_start(Ui *ui, double x, double y, double z) {
    ui->drag_kind = HIT_GRIP;
    ui->grip_w0 = ui->view_w;
    ui->drag_x0 = x;
    ui->drag_y0 = y;
    ui->grip_x0 = x * z;
}

static void grip_motion(Ui *ui, double px) {
    double s = ((double)ui->grip_w0 + (px - ui->grip_x0)) / 960.0;
    if (debug_keys())
        fprintf(stderr, "[grip] dev=%.1f x0=%.1f s=%.3f w=%u%c", px, ui->grip_x0, s, ui->view_w, '\n');
    request_resize_to_scale(ui, s);
}

static void grip_end(Ui *ui) {
    ui->drag_kind = 0;
    ui->req_time = 0;
    if (ui->req_pending) {
        ui->req_pending = 0;
        ui->req_w = ui->req_h = 0;
        request_resize_to_scale(ui, ui->req_pending_scale);
    }
}

// ---------------------------------------------------------------------------------------
// Wheel

void on_scroll(Ui *ui, double x, double y, double dy) {
    if (!ui) return;
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
    case HIT_SHAPING: row = hit.b; break;
    case HIT_STAGE: row = P_GAIN; break;
    case HIT_LOUD_TARGET:
        if (ui->owner && ui->owner->target_idx == TARGET_CUSTOM) {
            double t = ui->owner->target_custom;
            if (!std::isfinite(t)) t = -16.0;
            t += 0.5 * dy;
            ui->owner->target_custom = t < -40.0 ? -40.0 : t > 0.0 ? 0.0 : t;
            mark_dirty(ui);
        }
        return;
    default: return;
    }
    if (!valid_row(row)) return;
    SharedSlot *slots[64];
    int n = edited_stages(ui, hit.a, slots);
    if (n == 0) return;
    undo_mark(ui, undo_tag_wheel(hit.a, row));
    const ParamInfo &p = PARAMS[row];
    for (int i = 0; i < n; i++) {
        double v = value_of(slots[i], row), nv;
        if (p.flags & PF_STEPPED) nv = dy > 0 ? v + 1.0 : v - 1.0;
        else nv = param_denorm(row, param_norm(row, v) + 0.02 * dy);
        plugin_edit_begin(slots[i], row);
        plugin_edit_value(slots[i], row, nv);
        plugin_edit_end(slots[i], row);
    }
}

// ---------------------------------------------------------------------------------------
// Clicks

static void move_to_group(Ui *ui, int g) {
    if (g < 0) g = 0;
    if (g > 15) g = 15;
    SharedSlot *own = owner_slot(ui);
    if (!own) return;
    undo_mark(ui, 0);
    plugin_edit_begin(own, P_GROUP);
    plugin_edit_value(own, P_GROUP, (double)g);
    plugin_edit_end(own, P_GROUP);
    ui->group = g;
    ui->focus = -1;
}

static void toggle_switch(Ui *ui, int a, int row) {
    SharedSlot *s = chain_count(ui) > 0 ? stage_slot(ui, a) : owner_slot(ui);
    set_param_all(ui, a, row, value_of(s, row) >= 0.5 ? 0.0 : 1.0);
}

static void midi_pill(Ui *ui) {
    SharedSlot *s = shown_stage(ui, nullptr);
    if (s && shm_load(s->midi_learn) >= 0) {
        shm_store(s->midi_learn, -1);
        ui->midi_learn_ui = 0;
    } else {
        ui->midi_learn_ui = ui->midi_learn_ui ? 0 : 1;
    }
}

// A click while learn mode is on: a control is picked (armed, or unmapped when it has a
// controller); any other target just ends learn mode.
static void midi_pick(Ui *ui, const Hit &hit) {
    ui->midi_learn_ui = 0;
    bool control = hit.kind == HIT_KNOB || hit.kind == HIT_TOGGLE || hit.kind == HIT_GAIN_SLIDER ||
                   hit.kind == HIT_STAGE || hit.kind == HIT_GRID_CELL;
    if (!control) return;
    int row = hit.kind == HIT_STAGE ? (int)P_GAIN : hit.b;
    if (!valid_row(row)) return;
    SharedSlot *stage = stage_slot(ui, hit.a);
    SharedSlot *all[64];
    int n = all_stages(ui, all);
    for (int i = 0; i < n; i++) shm_store(all[i]->midi_learn, -1);
    if (!stage) return;
    shm_store(stage->midi_learn, -1);
    if (shm_load(stage->midi_cc[row]) < 0) shm_store(stage->midi_learn, (int32_t)row);
    else shm_store(stage->midi_cc[row], -1);
}

static void open_menu(Ui *ui, const Hit &hit) {
    // Menus are kept in design units: the hit rectangle carries the letterbox offset.
    float x = hit.x - ui->frame_ox, y = hit.y - ui->frame_oy;
    ui->menu_kind = hit.kind;
    if (hit.kind == HIT_PRESET_MENU) {
        presets_refresh(ui);
        ui->menu_x = x;
        ui->menu_y = y + hit.h + 4.f;
        ui->menu_w = hit.w;
    } else if (hit.kind == HIT_LOUD_TARGET) {
        ui->menu_x = x - 60.f;
        ui->menu_y = y + hit.h + 4.f;
        ui->menu_w = hit.w + 60.f;
    } else { // HIT_STYLE
        ui->menu_stage = hit.a;
        ui->menu_x = x - 30.f;
        ui->menu_y = y + hit.h + 4.f;
        ui->menu_w = hit.w + 60.f;
    }
}

static void menu_action(Ui *ui, const Hit &hit) {
    if (ui->menu_kind == HIT_PRESET_MENU) {
        switch (hit.a) {
        case 0:
        case 1: preset_apply(ui, hit.b); break;
        case 2: apply_user_preset(ui, hit.b - PRESET_USER_FIRST); break;
        case 3:
        case 4: preset_entry_open(ui, hit.a == 3 ? 1 : 2, ui->menu_x, ui->menu_y, ui->menu_w, 24.f); break;
        case 5: preset_delete_current(ui); break;
        default: break;
        }
    } else if (ui->menu_kind == HIT_STYLE) {
        if (hit.b >= 0 && hit.b <= 5) set_param_all(ui, ui->menu_stage, P_STYLE, (double)hit.b);
    } else if (ui->owner && hit.b >= 0 && hit.b < TARGET_COUNT) {
        ui->owner->target_idx = (uint32_t)hit.b;
        mark_dirty(ui);
    }
}

static void act(Ui *ui, const Hit &hit, bool reset, bool dbl, double x, double y, double z) {
    Plugin *p = ui->owner;
    int a = hit.a, b = hit.b;
    switch (hit.kind) {
    case HIT_KNOB:
    case HIT_GAIN_SLIDER:
        if (!valid_row(b)) break;
        if (reset) set_param_all(ui, a, b, PARAMS[b].def);
        else if (dbl) edit_begin(ui, &hit, b);
        else drag_start(ui, hit.kind, a, b, x, y);
        break;
    case HIT_TOGGLE:
        if (valid_row(b)) toggle_switch(ui, a, b);
        break;
    case HIT_STAGE:
        ui->focus = a;
        if (reset) set_param_all(ui, a, P_GAIN, 0.0);
        else if (dbl) edit_begin(ui, &hit, P_GAIN);
        else drag_start(ui, HIT_STAGE, a, P_GAIN, x, y);
        break;
    case HIT_CHAIN_MODE: ui->chain_mode = ui->chain_mode ? 0 : 1; break;
    case HIT_GROUP:
        if (b >= 100) move_to_group(ui, b - 100);
        else if (reset || dbl) move_to_group(ui, b);
        else {
            ui->group = b < 0 ? 0 : b > 15 ? 15 : b;
            ui->focus = -1;
        }
        break;
    case HIT_PRESET_PREV: preset_step(ui, -1); break;
    case HIT_PRESET_NEXT: preset_step(ui, 1); break;
    case HIT_PRESET_MENU:
    case HIT_LOUD_TARGET: open_menu(ui, hit); break;
    case HIT_LOUD_MODE:
        if (p) {
            p->lufs_mode = (p->lufs_mode + 1) % 3;
            mark_dirty(ui);
        }
        break;
    case HIT_LOUD_RESET: {
        SharedSlot *all[64];
        int n = all_stages(ui, all);
        for (int i = 0; i < n; i++) shm_store(all[i]->loud_reset, 1u);
        if (owner_slot(ui)) shm_store(owner_slot(ui)->loud_reset, 1u);
        break;
    }
    case HIT_LOUD_PAUSE: ui->loud_paused = ui->loud_paused ? 0 : 1; break;
    case HIT_POSITION:
        if (dbl && !reset) set_param_all(ui, a, P_STAGE, 0.0);
        else drag_start(ui, HIT_POSITION, a, P_STAGE, x, y);
        break;
    case HIT_GRIP: grip_start(ui, x, y, z); break;
    case HIT_SPREAD:
        if (p) {
            p->spread = (p->spread + 1) % 3;
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
        if (param_is_switch(b)) toggle_switch(ui, a, b);
        else if (reset) set_param_all(ui, a, b, PARAMS[b].def);
        else if (dbl) edit_begin(ui, &hit, b);
        else drag_start(ui, HIT_GRID_CELL, a, b, x, y);
        break;
    case HIT_MIDI: midi_pill(ui); break;
    case HIT_AB: ab_switch(ui); break;
    case HIT_COPY: ab_copy(ui); break;
    case HIT_STYLE:
        if (reset) set_param_all(ui, a, P_STYLE, PARAMS[P_STYLE].def);
        else open_menu(ui, hit);
        break;
    case HIT_UNDO: undo_do(ui); break;
    case HIT_REDO: redo_do(ui); break;
    case HIT_DITHER:
    case HIT_SHAPING: {
        if (!valid_row(b)) break;
        if (reset) {
            set_param_all(ui, a, b, PARAMS[b].def);
        } else {
            SharedSlot *s = chain_count(ui) > 0 ? stage_slot(ui, a) : owner_slot(ui);
            int v = (int)value_of(s, b);
            set_param_all(ui, a, b, (double)((v + 1) % 3));
        }
        break;
    }
    case HIT_ABOUT: ui->about_open = 1; break;
    case HIT_TO_TARGET: loudness_match(ui); break;
    default: break; // HIT_LOUD_INT, a stray HIT_MENU_ITEM
    }
}

static void on_press(Ui *ui, const PuglButtonEvent &e) {
    // The right button (pugl's 1) asks the host's menu for a parameter, unless an overlay
    // or MIDI learn holds the pointer.
    if (e.button == 1 && !ui->entry_active && !ui->about_open && ui->menu_kind == 0 && !ui->midi_learn_ui &&
        ui->drag_kind == 0) {
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
    puglGrabFocus(ui->view);
    if (ui->entry_active) {
        if (ui->entry_kind == 0) edit_commit(ui);
        else ui->entry_active = 0;
        return;
    }
    if (ui->about_open) {
        if (hit.kind == HIT_ABOUT && hit.b == 2) open_url();
        ui->about_open = 0;
        return;
    }
    if (ui->menu_kind != 0) {
        if (hit.kind == HIT_MENU_ITEM) menu_action(ui, hit);
        ui->menu_kind = 0;
        return;
    }
    if (hit.kind == 0) return;
    if (ui->midi_learn_ui && hit.kind != HIT_MIDI) {
        midi_pick(ui, hit);
        return;
    }
    bool dbl = e.time - ui->click_time < DOUBLE_CLICK_S && ui->click_kind == hit.kind && ui->click_a == hit.a &&
               ui->click_b == hit.b;
    ui->click_time = e.time;
    ui->click_kind = hit.kind;
    ui->click_a = hit.a;
    ui->click_b = hit.b;
    bool reset = (e.state & (PUGL_MOD_CTRL | PUGL_MOD_ALT)) != 0;
    act(ui, hit, reset, dbl, x, y, z);
}

static void on_release(Ui *ui, const PuglButtonEvent &e) {
    if (e.button != 0) return;
    if (ui->drag_kind == HIT_GRIP) grip_end(ui);
    else if (ui->drag_kind != 0) drag_end(ui);
}

static void on_motion(Ui *ui, const PuglMotionEvent &e) {
    double z = ui_frame_z(ui);
    double x = e.x / z, y = e.y / z;
    ui->pointer_x = x;
    ui->pointer_y = y;
    if (ui->drag_kind == HIT_GRIP) {
        grip_motion(ui, e.x);
        return;
    }
    if (ui->drag_kind != 0) {
        drag_motion(ui, y, (e.state & PUGL_MOD_SHIFT) != 0);
        return;
    }
    const Hit *hp = ui_hit_test(ui, x, y);
    int kind = hp ? hp->kind : 0, a = hp ? hp->a : -1, b = hp ? hp->b : -1;
    if (kind != ui->hover_kind || a != ui->hover_a || b != ui->hover_b)
        ui->hover_since = puglGetTime(puglGetWorld(ui->view));
    ui->hover_kind = kind;
    ui->hover_a = a;
    ui->hover_b = b;
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
        fprintf(stderr, "[key] press key=%u state=%x edit=%d%c", e.key, e.state, (int)ui->entry_active, '\n');
    bool acted = false;
    bool shift = (e.state & PUGL_MOD_SHIFT) != 0;
    if (ui->entry_active) {
        acted = entry_control(ui, e.key);
    } else if (!(e.state & PUGL_MOD_CTRL)) {
        if (e.key == PUGL_KEY_PAGE_UP) {
            preset_step(ui, -1);
            acted = true;
        } else if (e.key == PUGL_KEY_PAGE_DOWN) {
            preset_step(ui, 1);
            acted = true;
        }
    } else {
        uint32_t k = e.key < 128 ? (uint32_t)tolower((int)e.key) : e.key;
        if (k == 'z') {
            if (shift) redo_do(ui);
            else undo_do(ui);
            acted = true;
        } else if (k == 'y') {
            redo_do(ui);
            acted = true;
        } else if (k == 's') {
            preset_save_shortcut(ui, shift ? 2 : 1);
            acted = true;
        }
    }
    ui->key_acted = acted ? 1 : 0;
    ui->key_acted_time = e.time;
    ui->key_acted_code = e.keycode;
}

static void on_text(Ui *ui, const PuglTextEvent &e) {
    uint32_t ch = e.character;
    if (debug_keys()) fprintf(stderr, "[key] text ch=%u key=%u edit=%d%c", ch, ch, (int)ui->entry_active, '\n');
    bool same_keystroke = ui->key_acted && e.time == ui->key_acted_time && e.keycode == ui->key_acted_code;
    ui->key_acted = 0;
    if (same_keystroke) return;
    bool shift = (e.state & PUGL_MOD_SHIFT) != 0;
    if (ui->entry_active) {
        if (ch >= 32 && ch <= 126) entry_char(ui, ch);
        else entry_control(ui, ch);
        return;
    }
    switch (ch) {
    case 26:
        if (shift) redo_do(ui);
        else undo_do(ui);
        break;
    case 25: redo_do(ui); break;
    case ',':
    case '<': preset_step(ui, -1); break;
    case '.':
    case '>': preset_step(ui, 1); break;
    case 19: preset_save_shortcut(ui, shift ? 2 : 1); break;
    default: break;
    }
}

// ---------------------------------------------------------------------------------------
// Dispatch

PuglStatus on_event(PuglView *view, const PuglEvent *event) {
    Ui *ui = view ? (Ui *)puglGetHandle(view) : nullptr;
    if (!ui || !event) return PUGL_SUCCESS;
    switch (event->type) {
    case PUGL_CREATE: ui_on_realize(ui); break;
    case PUGL_DESTROY: ui_on_unrealize(ui); break;
    case PUGL_CONFIGURE: ui_on_configure(ui, event->configure.width, event->configure.height); break;
    case PUGL_EXPOSE: ui_on_expose(ui); break;
    case PUGL_TIMER:
        if (event->timer.id == 0) ui_on_timer(ui);
        break;
    case PUGL_KEY_PRESS: on_key(ui, event->key); break;
    case PUGL_TEXT: on_text(ui, event->text); break;
    case PUGL_POINTER_OUT:
        if (ui->drag_kind == 0) {
            ui->hover_kind = 0;
            ui->hover_a = ui->hover_b = -1;
        }
        break;
    case PUGL_BUTTON_PRESS: on_press(ui, event->button); break;
    case PUGL_BUTTON_RELEASE: on_release(ui, event->button); break;
    case PUGL_MOTION: on_motion(ui, event->motion); break;
    case PUGL_SCROLL: {
        ui_refresh_chain(ui);
        double z = ui_frame_z(ui);
        on_scroll(ui, event->scroll.x / z, event->scroll.y / z, event->scroll.dy);
        break;
    }
    default: break;
    }
    return PUGL_SUCCESS;
}
