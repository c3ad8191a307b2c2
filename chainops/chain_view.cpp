// The chain view's accessors and its refresh from the registry.
#include "chainops/chain_view.h"

#include <cstring>

#include "params/params.h"
#include "registry/registry.h"

int chain_len_bounded(int n) { return n < 0 ? 0 : n > CHAIN_MAX ? CHAIN_MAX : n; }

int chain_count(const ChainView *view) { return view ? chain_len_bounded(view->chain_len) : 0; }

int chain_stages(const ChainView *view, SharedSlot **out, int max) {
    int n = 0;
    int len = chain_count(view);
    for (int i = 0; i < len && n < max; i++)
        if (view->chain[i].slot) out[n++] = view->chain[i].slot;
    if (len == 0 && max > 0 && view && view->own_slot) out[n++] = view->own_slot;
    return n;
}

SharedSlot *chain_stage(const ChainView *view, int a) {
    if (!view) return nullptr;
    if (a >= 0 && a < chain_count(view) && view->chain[a].slot) return view->chain[a].slot;
    return view->own_slot;
}

int own_index(const ChainView *view) {
    if (!view || !view->own_slot) return -1;
    int n = chain_count(view);
    for (int i = 0; i < n; i++)
        if (view->chain[i].slot == view->own_slot) return i;
    return -1;
}

SharedSlot *shown_stage(const ChainView *view, int *index) {
    int i = 0;
    SharedSlot *slot = nullptr;
    int n = chain_count(view);
    if (n > 0) {
        if (view->focus >= 0 && view->focus < n) {
            i = view->focus;
        } else {
            int o = own_index(view);
            i = o >= 0 ? o : 0;
        }
        slot = view->chain[i].slot;
    } else {
        slot = view ? view->own_slot : nullptr;
    }
    if (index) *index = i;
    return slot;
}

void chain_view_refresh(ChainView *view) {
    if (!view) return;
    SharedSlot *own = view->own_slot;
    if (own) {
        int g = (int)param_clamp(P_GROUP, shm_load(own->values[P_GROUP]));
        if (g != view->group_seen) view->group_seen = view->group = g;
    }
    if (view->group < 0) view->group = 0;
    if (view->group > 15) view->group = 15;
    int n = registry_chain_for(own, (uint32_t)view->group, view->chain, CHAIN_MAX);
    view->chain_len = chain_len_bounded(n);
}

void chain_view_of_stage(ChainView *view, SharedSlot *own) {
    if (!view) return;
    memset(view, 0, sizeof *view);
    view->own_slot = own;
    view->focus = -1;
    if (!own) return;
    int g = slot_group(own);
    view->group = view->group_seen = g < 0 ? 0 : g;
    int n = registry_chain_for(own, g >= 0 ? (uint32_t)g : 16u, view->chain, CHAIN_MAX);
    view->chain_len = chain_len_bounded(n);
    if (view->chain_len == 0) {
        view->chain[0] = ChainEntry{own, 1, 0, 0};
        view->chain_len = 1;
    }
}
