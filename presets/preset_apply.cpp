// Presets applied without an editor: the stage's chain is resolved from the registry (its
// own group), each value goes through plugin_edit_begin/value/end so that the owning hosts
// hear it, and the chain before the change becomes one step of the stage's undo history.
#include "presets/preset_apply.h"

#include "plugin/edits.h"
#include "plugin/params.h"
#include "plugin/plugin.h"
#include "presets/factory.h"
#include "presets/history.h"
#include "presets/user_presets.h"
#include "registry/chain.h"

namespace {

struct StageChain {
    SharedSlot *slots[64];
    int n;
};

// The stage's chain in chain order; at least the stage itself.
void resolve(Plugin *owner, StageChain *c) {
    ChainEntry e[64];
    double g = shm_load(owner->slot->values[P_GROUP]);
    uint32_t group = (g > -1.0 && g < 16.0) ? (uint32_t)g : 16u;
    int n = registry_chain_for(owner->slot, group, e, 64);
    c->n = 0;
    for (int i = 0; i < n; i++)
        if (e[i].slot) c->slots[c->n++] = e[i].slot;
    if (c->n == 0) c->slots[c->n++] = owner->slot;
}

void edit(SharedSlot *s, int index, double value) {
    plugin_edit_begin(s, index);
    plugin_edit_value(s, index, value);
    plugin_edit_end(s, index);
}

} // namespace

bool preset_apply_factory(Plugin *owner, int number) {
    if (!owner || !owner->slot || number < 0 || number >= PRESET_USER_FIRST) return false;
    StageChain c;
    resolve(owner, &c);
    undo_mark_stages(owner, c.slots, c.n, 0);
    if (number < PRESET_STAGE_COUNT) {
        for (int k = 0; k < PRESET_VALUE_COUNT; k++)
            edit(owner->slot, idxs[k], PRESETS[number].values[k]);
        return true;
    }
    const ChainPreset &cp = CHAIN_PRESETS[number - PRESET_STAGE_COUNT];
    for (int i = 0; i < c.n; i++) {
        const StagePreset &st = cp.stages[i < cp.count - 1 ? i : cp.count - 1];
        for (int k = 0; k < PRESET_VALUE_COUNT; k++)
            edit(c.slots[i], idxs[k], st.values[k]);
    }
    return true;
}

bool preset_apply_file(Plugin *owner, const PresetFile *rec) {
    if (!owner || !owner->slot || !rec) return false;
    StageChain c;
    resolve(owner, &c);
    undo_mark_stages(owner, c.slots, c.n, 0);
    int stages = rec->stages < 1 ? 1 : rec->stages > PRESET_MAX_STAGES ? PRESET_MAX_STAGES : rec->stages;
    if (stages == 1) {
        for (int i = 0; i < (int)PARAM_COUNT; i++)
            if (param_recalled(i)) edit(owner->slot, i, rec->values[0][i]);
        return true;
    }
    for (int k = 0; k < c.n; k++) {
        const double *v = rec->values[k < stages - 1 ? k : stages - 1];
        for (int i = 0; i < (int)PARAM_COUNT; i++)
            if (param_recalled(i)) edit(c.slots[k], i, v[i]);
    }
    return true;
}
