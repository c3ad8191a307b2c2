// The process-wide instance registry: pairs each local stage's slot with its owner (an
// interface of the layer above, opaque here), tells which local owner a slot has, counts
// group usage and guards claims and chain queries with a lock.
#pragma once
#include <cstdint>
#include <pthread.h>

#include "registry/chain.h"
#include "registry/shared.h"

struct StageOwner; // params/owner.h

// [main-thread] Instance init: claims a slot for a stage of this process and pairs it with
// owner. Returns the slot, or null on failure.
SharedSlot *registry_add(StageOwner *owner);
// [main-thread] Instance destroy: releases slot (null is ignored) and its pairing and
// forgets every learned chain order.
void registry_remove(SharedSlot *slot);

// [main-thread] Returns the local owner of slot, or null (not a stage of this process).
// Takes no lock: the pairings change only on the main thread.
StageOwner *registry_local(const SharedSlot *slot);
// [any-thread] Returns the next segment-wide sequence stamp (from 1); the audio thread
// stamps every process call with it.
uint64_t registry_next_seq();
// [main-thread] Fills counts with the live stages per group, of all processes.
void registry_group_usage(uint32_t counts[16]);
// [any-thread] Returns the Group of a (possibly foreign) slot when its value truncates to
// 0..15, else -1.
int slot_group(const SharedSlot *slot);
// [main-thread] Returns true when slot (any remembered pointer, even one released and freed
// since) is a live stage holding identity uid. Editors check it before writing to a
// remembered slot.
bool registry_contains(SharedSlot *slot, uint64_t uid);
// [main-thread] Returns the warning for the host's log when this process refused the user's
// segment (see shared_refusal), once per process (after registry_add); null otherwise.
const char *registry_take_warning();

// [main-thread] The registry lock, held by chain resolution around each query.
void registry_lock();
void registry_unlock();
// [main-thread] Returns the 64 chain caches; only under the lock.
ChainCache *registry_caches();
