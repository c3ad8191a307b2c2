// The editors' edit path: values stored into a stage's slot at once and posted to its edit
// queue under the slot's spin lock, with room kept for gesture ends; the owner is told.
#include "params/edit_path.h"

#include <sched.h>

#include "params/owner.h"
#include "params/params.h"
#include "registry/registry.h"
#include "sys/sys.h"

// A poster holds edit_lock for a handful of stores. A lock word that stays the same non-zero
// value for longer than this was left by a process that died inside the critical section,
// or written by one that misbehaves: whatever it holds, it is broken and taken afresh.
static constexpr uint64_t EDIT_LOCK_STALE_NS = 20000000;
// A poster that cannot take the lock for this long (another process keeps writing the word)
// gives up and drops its entry: the value is in the slot already and the owner's drain sends
// it. So no edit call waits longer, whatever the word holds.
static constexpr uint64_t EDIT_LOCK_GIVE_UP_NS = 40000000;

// Takes the slot's edit lock; false when it could not be had within the give-up time.
static bool lock_edits(SharedSlot *s) {
    uint64_t start = 0, since = 0;
    uint32_t seen = 0;
    for (uint32_t spins = 0;; spins++) {
        if (shm_cas(s->edits.edit_lock, 0u, 1u)) return true;
        if ((spins & 63) != 63) continue;
        uint64_t now = sys_time_ns();
        uint32_t held = shm_load(s->edits.edit_lock);
        if (start == 0) start = now;
        if (since == 0 || held != seen) {
            seen = held;
            since = now;
        } else if (held != 0 && now - since > EDIT_LOCK_STALE_NS) {
            shm_cas(s->edits.edit_lock, held, 0u); // dead or misbehaving holder: break the lock
            since = 0;
        }
        if (now - start > EDIT_LOCK_GIVE_UP_NS) return false;
        sched_yield();
    }
}

// Whether an end for id is already queued after the last begin for it: a second one would
// only take room that ends of other gestures need. Under the edit lock.
static bool end_already_queued(const SharedSlot *s, uint32_t r, uint32_t w, uint32_t id) {
    for (uint32_t n = w; n != r && w - n < EDIT_QUEUE_LEN;) {
        n--;
        const EditEntry &e = s->edits.edit_queue[n % EDIT_QUEUE_LEN];
        if (shm_load(e.id) != id) continue;
        uint32_t kind = shm_load(e.kind);
        if (kind == EDIT_END) return true;
        if (kind == EDIT_BEGIN) return false;
    }
    return false;
}

// Gestures this thread began whose begin could not be queued: their values and end are
// dropped too, so the queue never holds half a gesture. Posters are main threads.
struct DroppedGestures {
    const SharedSlot *slot;
    uint32_t rows; // bit per PARAMS index
};
static thread_local DroppedGestures t_dropped[SHARED_SLOTS];

static DroppedGestures *dropped_of(const SharedSlot *slot, bool make) {
    DroppedGestures *free_one = nullptr;
    for (DroppedGestures &d : t_dropped) {
        if (d.slot == slot && d.rows) return &d;
        if (!free_one && !d.rows) free_one = &d;
    }
    if (!make || !free_one) return nullptr;
    free_one->slot = slot;
    return free_one;
}

static bool gesture_dropped(const SharedSlot *slot, int index) {
    DroppedGestures *d = dropped_of(slot, false);
    return d && (d->rows & (1u << index));
}

static void set_gesture_dropped(const SharedSlot *slot, int index, bool dropped) {
    DroppedGestures *d = dropped_of(slot, dropped);
    if (!d) return;
    if (dropped)
        d->rows |= 1u << index;
    else
        d->rows &= ~(1u << index);
}

// Stores one entry under the lock when the room rules allow. Returns whether it was stored;
// *needed is false for an end that another queued end makes redundant.
static bool store_entry(SharedSlot *slot, uint32_t id, uint32_t kind, double value, bool *needed) {
    *needed = true;
    if (!lock_edits(slot)) return false;
    uint32_t w = shm_load(slot->edits.edit_write);
    uint32_t r = shm_load(slot->edits.edit_read);
    uint32_t used = w - r;
    bool ok;
    if (kind == EDIT_END) {
        ok = used < EDIT_QUEUE_LEN;
        if (ok && used >= EDIT_QUEUE_LEN - EDIT_END_ROOM && end_already_queued(slot, r, w, id)) {
            ok = false;
            *needed = false;
        }
    } else {
        ok = used < EDIT_QUEUE_LEN - EDIT_END_ROOM;
    }
    if (ok) {
        EditEntry &e = slot->edits.edit_queue[w % EDIT_QUEUE_LEN];
        shm_store(e.id, id);
        shm_store(e.kind, kind);
        shm_store(e.value, value);
        shm_store(slot->edits.edit_write, w + 1);
    }
    shm_store(slot->edits.edit_lock, 0u);
    return ok;
}

void queue_edit(SharedSlot *slot, int index, uint32_t kind, double value) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    uint32_t id = PARAMS[index].id;
    const StageOwner *owner = registry_local(slot);
    bool stored = false, needed = true;
    if (kind != EDIT_BEGIN && gesture_dropped(slot, index)) {
        if (kind == EDIT_END) set_gesture_dropped(slot, index, false);
    } else {
        stored = store_entry(slot, id, kind, value, &needed);
        if (kind == EDIT_BEGIN) set_gesture_dropped(slot, index, !stored);
    }
    if (!stored && needed) owner_log(owner, OWNER_LOG_WARNING, "edit queue full, host will miss an event");
    if (owner) {
        owner_request_flush(owner);
    } else {
        std::atomic_ref<uint32_t>(slot->pending).fetch_or(PENDING_FLUSH, std::memory_order_seq_cst);
    }
}

static double current_value(SharedSlot *slot, int index) { return shm_load(slot->values[index]); }

void plugin_edit_begin(SharedSlot *slot, int index) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    queue_edit(slot, index, EDIT_BEGIN, current_value(slot, index));
}

void plugin_edit_value(SharedSlot *slot, int index, double value) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    double v = param_clamp(index, value);
    shm_store(slot->values[index], v);
    queue_edit(slot, index, EDIT_VALUE, v);
    const StageOwner *owner = registry_local(slot);
    if (owner) {
        owner_mark_dirty(owner);
    } else {
        std::atomic_ref<uint32_t>(slot->pending).fetch_or(PENDING_DIRTY, std::memory_order_seq_cst);
    }
}

void plugin_edit_end(SharedSlot *slot, int index) {
    if (!slot || index < 0 || index >= (int)PARAM_COUNT) return;
    queue_edit(slot, index, EDIT_END, current_value(slot, index));
}

void plugin_edit_one(SharedSlot *slot, int index, double value) {
    plugin_edit_begin(slot, index);
    plugin_edit_value(slot, index, value);
    plugin_edit_end(slot, index);
}
