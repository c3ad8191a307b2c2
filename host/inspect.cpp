// Reading the shared segment for `inspect`: a read-only attach checked like the plug-in's,
// bounded reads of claimed slots, and chain positions from the registry's read-only query.
#include "host/inspect.h"

#include <cmath>
#include <cstring>

#include "host/host.h"
#include "registry/chain.h"
#include "registry/param_rows.h"
#include "registry/shared.h"

static double to_db(double lin) { return lin > 0 && std::isfinite(lin) ? 20.0 * log10(lin) : -999.0; }

static std::string view_error(SharedView why, int error, const std::string &nm) {
    switch (why) {
    case SHARED_VIEW_NONE:
        return "no segment " + nm + " (no stage has run)";
    case SHARED_VIEW_DENIED:
        return "no segment " + nm + ": " + strerror(error);
    case SHARED_VIEW_FOREIGN:
        return "segment " + nm + " refused: not owned by this user or open to other users";
    case SHARED_VIEW_SHORT:
        return "segment " + nm + " is too small";
    case SHARED_VIEW_MAP:
        return "cannot map " + nm;
    default:
        return "segment " + nm + " has another layout";
    }
}

bool inspect_segment(std::vector<StageView> *out, bool all, std::string *name, std::string *err) {
    out->clear();
    char nm[160];
    shared_name(nm, sizeof nm);
    if (name) *name = nm;
    int error = 0;
    SharedView why = shared_attach_view(&error);
    if (why != SHARED_VIEW_OK) {
        if (err) *err = view_error(why, error, nm);
        return false;
    }
    uint64_t now = host_now_ns();
    for (int i = 0; i < (int)SHARED_SLOTS; i++) {
        SharedSlot *sp = shared_at(i);
        if (!sp || shm_load(sp->ident.in_use) != 1) continue;
        const SharedSlot &s = *sp;
        StageView v;
        v.slot = i;
        v.pid = shm_load(s.ident.pid);
        v.alive = shared_alive(sp);
        if (!v.alive && !all) continue;
        v.uid = shm_load(s.ident.uid);
        v.generation = shm_load(s.ident.generation);
        double g = shm_load(s.values[P_GROUP]);
        v.group = (g >= 0 && g < 16) ? (int)g : -1;
        double sp4 = shm_load(s.values[P_STAGE]);
        v.stage_param = (sp4 >= 0 && sp4 <= 8) ? (int)(sp4 + 0.5) : 0;
        v.gain_db = shm_load(s.values[P_GAIN]);
        v.gr_db = -to_db(shm_load(s.meters.meter_gain));
        if (!(v.gr_db > 0)) v.gr_db = 0; // also -0 and NaN
        v.tp_out_db = to_db(shm_load(s.meters.meter_tp_out));
        v.lufs_s = shm_load(s.meters.lufs_s);
        v.lufs_i = shm_load(s.meters.lufs_i);
        v.latency = shm_load(s.engine.latency);
        v.active = shm_load(s.engine.active) != 0;
        v.rate = shm_load(s.engine.sample_rate);
        uint32_t rc = shm_load(s.calls.ring_count);
        if (rc > 0) {
            uint64_t end = shm_load(s.calls.ring_end[(rc - 1) & (CALL_RING - 1)]);
            v.recent = end <= now ? now - end < 500000000ull : true;
        }
        out->push_back(v);
    }
    return true;
}

// Chain positions come from the registry's own resolution, so inspect shows what every
// editor shows, through its read-only form: no tag is written and no counter moves.
bool inspect_resolve_chains(std::vector<StageView> *stages) {
    if (shared_attach_view(nullptr) != SHARED_VIEW_OK) return false;
    ChainEntry entries[64];
    for (StageView &v : *stages) {
        if (!v.alive || v.group < 0 || v.slot < 0 || v.slot >= (int)SHARED_SLOTS) continue;
        SharedSlot *s = shared_at(v.slot);
        if (!s || shm_load(s->ident.uid) != v.uid) continue;
        int n = registry_chain_view(s, (uint32_t)v.group, entries, 64);
        if (n < 0) n = 0;
        if (n > 64) n = 64;
        for (int k = 0; k < n; k++) {
            if (entries[k].slot != s) continue;
            v.position_known = true;
            v.position = entries[k].pos;
            v.manual = entries[k].manual != 0;
            v.recent = entries[k].recent != 0;
            v.chain_size = (uint32_t)n;
        }
    }
    return true;
}
