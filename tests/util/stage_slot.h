// A stage as the registry sees it, for tests that work on slots without a plug-in: a claimed
// slot with a fresh identity and the parameter defaults, as an instance's init leaves it.
#pragma once
#include "params/params.h"
#include "registry/shared.h"
#include "sys/sys.h"

namespace tk_test {

// [main-thread] Returns the claimed slot, or nullptr when no slot is free.
inline SharedSlot *claim_stage_slot() {
    SharedSlot *s = shared_acquire();
    if (!s) return nullptr;
    shm_store(s->ident.uid, sys_random_u64() | 1u);
    for (uint32_t i = 0; i < PARAM_COUNT; i++)
        shm_store(s->values[i], PARAMS[i].def);
    return s;
}

} // namespace tk_test
