// The slot of a stage owned by a tervik-host script child, as this process's view of the
// shared segment shows it (found by the stage's identity and the child's pid).
#pragma once
#include "registry/shared.h"
#include "tests/util/testutil.h"

namespace tk_test {

inline SharedSlot *script_slot(ScriptHost &host, int stage) {
    uint64_t uid = host.uid(stage);
    for (int i = 0; uid && i < shared_max(); i++) {
        SharedSlot *s = shared_at(i);
        if (s && shm_load(s->ident.uid) == uid && shm_load(s->ident.pid) == host.child.pid()) return s;
    }
    return nullptr;
}

} // namespace tk_test
