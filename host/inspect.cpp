// Reading the shared segment for `inspect`: a read-only mapping checked like an attach,
// bounded reads of claimed slots, and chain positions from the registry's resolution.
#include "host/inspect.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "host/host.h"
#include "registry/chain.h"
#include "registry/shared.h"

static bool pid_alive(int pid) {
    if (pid < 1) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

static double to_db(double lin) { return lin > 0 && std::isfinite(lin) ? 20.0 * log10(lin) : -999.0; }

bool inspect_segment(std::vector<StageView> *out, bool all, std::string *name, std::string *err) {
    out->clear();
    char nm[160];
    shared_name(nm, sizeof nm);
    if (name) *name = nm;
    int fd = shm_open(nm, O_RDONLY, 0);
    if (fd < 0) {
        if (err) *err = std::string("no segment ") + nm + (errno == ENOENT ? " (no stage has run)" : ": " + std::string(strerror(errno)));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || (size_t)st.st_size < SHARED_SIZE) {
        close(fd);
        if (err) *err = std::string("segment ") + nm + " is too small";
        return false;
    }
    void *m = mmap(nullptr, SHARED_SIZE, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) {
        if (err) *err = std::string("cannot map ") + nm;
        return false;
    }
    const SharedHeader *h = (const SharedHeader *)m;
    if (shm_load(h->init_state) != 2 || shm_load(h->magic) != SHARED_MAGIC || shm_load(h->version) != SHARED_VERSION ||
        shm_load(h->slot_size) != SHARED_SLOT_SIZE || shm_load(h->param_count) != SHARED_PARAMS) {
        munmap(m, SHARED_SIZE);
        if (err) *err = std::string("segment ") + nm + " has another layout";
        return false;
    }
    const SharedSlot *slots = (const SharedSlot *)((const uint8_t *)m + sizeof(SharedHeader));
    uint64_t now = host_now_ns();
    for (uint32_t i = 0; i < SHARED_SLOTS; i++) {
        const SharedSlot &s = slots[i];
        if (shm_load(s.in_use) != 1) continue;
        StageView v;
        v.slot = (int)i;
        v.pid = shm_load(s.pid);
        v.alive = pid_alive(v.pid);
        if (!v.alive && !all) continue;
        v.uid = shm_load(s.uid);
        v.generation = shm_load(s.generation);
        double g = shm_load(s.values[5]);
        v.group = (g >= 0 && g < 16) ? (int)g : -1;
        double sp = shm_load(s.values[4]);
        v.stage_param = (sp >= 0 && sp <= 8) ? (int)(sp + 0.5) : 0;
        v.gain_db = shm_load(s.values[1]);
        v.gr_db = -to_db(shm_load(s.meter_gain));
        if (!(v.gr_db > 0)) v.gr_db = 0; // also -0 and NaN
        v.tp_out_db = to_db(shm_load(s.meter_tp_out));
        v.lufs_s = shm_load(s.lufs_s);
        v.lufs_i = shm_load(s.lufs_i);
        v.latency = shm_load(s.latency);
        v.active = shm_load(s.active) != 0;
        v.rate = shm_load(s.sample_rate);
        uint32_t rc = shm_load(s.ring_count);
        if (rc > 0) {
            uint64_t end = shm_load(s.ring_end[(rc - 1) & (CALL_RING - 1)]);
            v.recent = end <= now ? now - end < 500000000ull : true;
        }
        out->push_back(v);
    }
    munmap(m, SHARED_SIZE);
    return true;
}

// Chain positions come from the registry's own resolution, so inspect shows what every
// editor shows. The registry maps the segment itself (read-write); no slot is claimed.
bool inspect_resolve_chains(std::vector<StageView> *stages) {
    if (!shared_mapped()) return false;
    ChainEntry entries[64];
    for (StageView &v : *stages) {
        if (!v.alive || v.group < 0 || v.slot < 0 || v.slot >= (int)SHARED_SLOTS) continue;
        SharedSlot *s = shared_at(v.slot);
        if (!s || shm_load(s->uid) != v.uid) continue;
        int n = registry_chain_for(s, (uint32_t)v.group, entries, 64);
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
