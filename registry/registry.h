// The process-wide instance registry: pairs each local stage's slot with its owner (an
// interface of the layer above, opaque here), tells which local owner a slot has, counts
// group usage and guards claims and chain queries with a lock.
#pragma once
#include <pthread.h>
#include <cstdint>

#include "registry/chain.h"
#include "registry/shared.h"

struct StageOwner; // params/owner.h

// Main thread (instance init/destroy).
// Claims a slot for a stage of this process and pairs it with owner; null on failure.
SharedSlot *registry_add(StageOwner *owner);
// Releases slot (null is ignored) and its pairing; forgets every learned chain order.
void registry_remove(SharedSlot *slot);

StageOwner *registry_local(const SharedSlot *slot); // the local owner, or null (no lock)
uint64_t registry_next_seq();                   // any thread
void registry_group_usage(uint32_t counts[16]); // live stages per group, all processes
// The Group of a (possibly foreign) slot when its value truncates to 0..15, else -1.
int slot_group(const SharedSlot *slot);
// True when slot (any remembered pointer, even one released and freed since) is a live
// stage holding identity uid. Editors check it before writing to a remembered slot.
bool registry_contains(SharedSlot *slot, uint64_t uid);
// The warning for the host's log when this process refused the user's segment (see
// shared_refusal); returned once per process, null otherwise. Main thread, after
// registry_add.
const char *registry_take_warning();

// Lock and chain caches, used by chain resolution.
void registry_lock();
void registry_unlock();
ChainCache *registry_caches(); // 64 entries; only under the lock
