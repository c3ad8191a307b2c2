// The process-wide instance registry: registered (slot, instance) pairs, the registry
// lock, the chain caches, group usage and the slot-identity check used by undo.
#include "registry/registry.h"

#include <cmath>
#include <cstring>

#include "registry/param_rows.h"
#include "sys/sys.h"

struct LocalPair {
    SharedSlot *slot;
    StageOwner *owner;
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

SharedSlot *registry_add(StageOwner *owner) {
    if (!owner) return nullptr;
    registry_lock();
    SharedSlot *slot = shared_acquire();
    if (slot && g_locals_n < 64) g_locals[g_locals_n++] = LocalPair{slot, owner};
    registry_unlock();
    return slot;
}

void registry_remove(SharedSlot *slot) {
    registry_lock();
    for (int i = 0; slot && i < g_locals_n; i++) {
        if (g_locals[i].slot == slot) {
            memmove(&g_locals[i], &g_locals[i + 1], (size_t)(g_locals_n - i - 1) * sizeof g_locals[0]);
            g_locals_n--;
            break;
        }
    }
    shared_release(slot);
    for (ChainCache &c : g_cache)
        c.key = nullptr;
    registry_unlock();
}

StageOwner *registry_local(const SharedSlot *slot) {
    if (!slot) return nullptr;
    for (int i = 0; i < g_locals_n; i++)
        if (g_locals[i].slot == slot) return g_locals[i].owner;
    return nullptr;
}

uint64_t registry_next_seq() { return shared_seq_next(); }

void registry_group_usage(uint32_t counts[16]) {
    for (int g = 0; g < 16; g++)
        counts[g] = 0;
    int n = shared_max();
    for (int i = 0; i < n; i++) {
        SharedSlot *s = shared_at(i);
        if (!s || !shared_alive(s)) continue;
        int g = slot_group(s);
        if (g >= 0) counts[g]++;
    }
}

int slot_group(const SharedSlot *slot) {
    if (!slot) return -1;
    // Foreign slots may hold anything: only values in 0..15 (after truncation) count.
    double g = shm_load(slot->values[P_GROUP]);
    return (g > -1.0 && g < 16.0) ? (int)g : -1;
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
