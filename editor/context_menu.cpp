// Right-click on a parameter of the editor's own stage: when the host offers clap.context-
// menu and can pop up a menu, it is asked to show its menu for that parameter (automation,
// modulation, and the plug-in's own items from plugin/context_menu.cpp). Without it the
// right button does nothing, as before.
#include "editor/events.h"
#include "plugin/clap_ext.h"
#include "plugin/params.h"
#include "plugin/plugin.h"

// The PARAMS row a hit target edits, -1 for targets that are not one parameter.
static int row_of(const Hit &h) {
    switch (h.kind) {
    case HIT_KNOB:
    case HIT_TOGGLE:
    case HIT_POSITION:
    case HIT_GRID_CELL:
    case HIT_STYLE:
    case HIT_DITHER:
    case HIT_SHAPING:
        return h.b >= 0 && h.b < (int)PARAM_COUNT ? h.b : -1;
    case HIT_GAIN_SLIDER:
    case HIT_STAGE:
        return P_GAIN;
    default:
        return -1;
    }
}

static const clap_host_context_menu_t *host_menu(const Plugin *p) {
    if (!p || !p->host || !p->host->get_extension) return nullptr;
    const void *e = p->host->get_extension(p->host, CLAP_EXT_CONTEXT_MENU);
    if (!e) e = p->host->get_extension(p->host, CLAP_EXT_CONTEXT_MENU_COMPAT);
    return (const clap_host_context_menu_t *)e;
}

bool ui_context_menu(Ui *ui, double px, double py) {
    if (!ui || !ui->owner || !ui->owner->slot) return false;
    double z = ui_frame_z(ui);
    const Hit *h = ui_hit_test(ui, px / z, py / z);
    int row = h ? row_of(*h) : -1;
    if (row < 0) return false;
    // The host knows the parameters of its own instance only: other stages of the chain
    // have no menu here.
    int n = ui->chain_len < 0 ? 0 : ui->chain_len > 64 ? 64 : ui->chain_len;
    SharedSlot *slot = h->a >= 0 && h->a < n ? ui->chain[h->a].slot : ui->owner->slot;
    if (slot != ui->owner->slot) return false;
    const clap_host_context_menu_t *menu = host_menu(ui->owner);
    if (!menu || !menu->can_popup || !menu->popup || !menu->can_popup(ui->owner->host)) return false;
    clap_context_menu_target_t target = {CLAP_CONTEXT_MENU_TARGET_KIND_PARAM, PARAMS[row].id};
    return menu->popup(ui->owner->host, &target, 0, (int32_t)px, (int32_t)py);
}
