// The process-wide instance registry: registered (slot, instance) pairs, the registry
// lock, the chain caches, group usage and the slot-identity check used by undo.
#include "registry/registry.h"

#include <cmath>
#include <cstring>

#include "plugin/plugin.h"
#include "sys/sys.h"

struct LocalPair {
    SharedSlot *slot;
    Plugin *inst;
};

static LocalPair g_locals[64];
static int g_locals_n = 0;
static pthread_mutex_t g_lock;
static bool g_lock_made = false;
static ChainCache g_cache[64];
static bool g_warned = false;

static void lock_make() {
    if (!g_lock_made) {
        sys_mutex_init(&g_lock);
        g_lock_made = true;
    }
}

void registry_lock() {
    lock_make();
    sys_mutex_lock(&g_lock);
}

void registry_unlock() { sys_mutex_unlock(&g_lock); }

ChainCache *registry_caches() { return g_cache; }

void registry_add(Plugin *p) {
    if (!p) return;
    registry_lock();
    p->slot = shared_acquire();
    if (p->slot && g_locals_n < 64) g_locals[g_locals_n++] = LocalPair{p->slot, p};
    registry_unlock();
}

void registry_remove(Plugin *p) {
    if (!p) return;
    registry_lock();
    for (int i = 0; i < g_locals_n; i++) {
        if (g_locals[i].inst == p) {
            memmove(&g_locals[i], &g_locals[i + 1], (size_t)(g_locals_n - i - 1) * sizeof g_locals[0]);
            g_locals_n--;
            break;
        }
    }
    if (p->slot) {
        shared_release(p->slot);
        p->slot = nullptr;
    }
    for (ChainCache &c : g_cache) c.key = nullptr;
    registry_unlock();
}

Plugin *registry_local(const SharedSlot *slot) {
    if (!slot) return nullptr;
    for (int i = 0; i < g_locals_n; i++)
        if (g_locals[i].slot == slot) return g_locals[i].inst;
    return nullptr;
}

uint64_t registry_next_seq() { return shared_seq_next(); }

void registry_group_usage(uint32_t counts[16]) {
    for (int g = 0; g < 16; g++) counts[g] = 0;
    int n = shared_max();
    for (int i = 0; i < n; i++) {
        SharedSlot *s = shared_at(i);
        if (!s || !shared_alive(s)) continue;
        double g = shm_load(s->values[5]);
        // Foreign slots may hold anything: only values in 0..15 (after truncation) count.
        if (!(g > -1.0 && g < 16.0)) continue;
        counts[(int)g]++;
    }
}

bool registry_contains(SharedSlot *slot, uint64_t uid) {
    // A remembered pointer may be a local record freed since: check before reading it.
    return shared_valid(slot) && shared_alive(slot) && shm_load(slot->ident.uid) == uid;
}

const char *registry_take_warning() {
    registry_lock();
    const char *w = g_warned ? nullptr : shared_refusal();
    if (w) g_warned = true;
    registry_unlock();
    return w;
}
