// The process-wide instance registry: pairs each instance with its slot, tells which local
// instance owns a slot, counts group usage and guards claims and chain queries with a lock.
#pragma once
#include <pthread.h>
#include <cstdint>

#include "registry/chain.h"
#include "registry/shared.h"

struct Plugin;

// Main thread (instance init/destroy):
void registry_add(Plugin *p);    // claims a slot into p->slot (null on failure)
void registry_remove(Plugin *p); // releases the slot, forgets every learned chain order

Plugin *registry_local(const SharedSlot *slot); // local owner, or null (no lock)
uint64_t registry_next_seq();                   // any thread
void registry_group_usage(uint32_t counts[16]); // live stages per group, all processes
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
