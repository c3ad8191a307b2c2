// Helpers that only tests use: forgetting the attached segment between tests, whether a
// segment is mapped, and the chain query without an asking stage. Built into
// tk_registry_testing, which the plug-in does not link.
#pragma once
#include <cstdint>

#include "registry/chain.h"
#include "registry/shared.h"

// [main-thread] Forgets the attached segment and the local records' list, so that the next
// call attaches afresh (to the segment TERVIK_SHM names now). With without_locks, the next
// attach behaves as on a kernel without open-file-description locks (liveness by kill).
void shared_test_reset(bool without_locks = false);

// [main-thread] Attaches if not yet tried; returns whether a shared segment is mapped
// (false: this process works with local records).
bool shared_mapped();

// [main-thread] registry_chain_for without an asking stage: the group's largest cluster.
// Returns the count written to out (at most max and 64); takes the registry lock.
int registry_chain(uint32_t group, ChainEntry *out, int max);
