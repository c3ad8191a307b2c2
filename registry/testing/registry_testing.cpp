// Helpers that only tests use (see registry_testing.h): they reach the attachment state
// that registry/shared.cpp keeps, through registry/shared_state.h.
#include "registry/testing/registry_testing.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "registry/shared_state.h"

using namespace tk_shared;

void shared_test_reset(bool without_locks) {
    if (g_head) munmap(g_head, SHARED_SIZE);
    if (g_fd >= 0) close(g_fd); // this process's slot locks go with it
    g_fd = -1;
    g_fd_failed = false;
    g_head = nullptr;
    g_slots = nullptr;
    g_tried = false;
    g_readonly = false;
    g_locks = false;
    g_no_locks_test = without_locks;
    g_owned.store(0);
    g_status = SHARED_VIEW_NONE;
    g_status_errno = 0;
    g_refusal[0] = 0;
    g_local_n = 0;
    memset(g_alive_when, 0, sizeof g_alive_when);
    memset(g_alive_gen, 0, sizeof g_alive_gen);
    memset(g_alive_last, 0, sizeof g_alive_last);
}

bool shared_mapped() {
    attach_once();
    return g_head != nullptr;
}

int registry_chain(uint32_t group, ChainEntry *out, int max) { return registry_chain_for(nullptr, group, out, max); }
