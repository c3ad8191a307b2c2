// Right-click on a parameter of the editor's own stage: the owner is asked to have its host
// pop up the host's menu for that parameter (automation, modulation, and the plug-in's own
// items from plugin/context_menu.cpp). Without a host menu the right button does nothing.
#include "editor/events.h"
#include "params/params.h"

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

bool ui_context_menu(Ui *ui, double px, double py) {
    if (!ui || !ui->chain.own_slot || !ui->owner.context_menu) return false;
    double z = ui_frame_z(ui);
    const Hit *h = ui_hit_test(ui, px / z, py / z);
    int row = h ? row_of(*h) : -1;
    if (row < 0) return false;
    // The host knows the parameters of its own instance only: other stages of the chain
    // have no menu here.
    int n = chain_count(&ui->chain);
    SharedSlot *slot = h->a >= 0 && h->a < n ? ui->chain.chain[h->a].slot : ui->chain.own_slot;
    if (slot != ui->chain.own_slot) return false;
    return ui->owner.context_menu(ui->owner.ctx, PARAMS[row].id, (int32_t)px, (int32_t)py);
}
