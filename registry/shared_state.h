// This process's attachment to the segment: state owned by registry/shared.cpp, declared
// here only for the test helpers in registry/testing/, which forget it between tests.
// Nothing else reads or writes it. Main thread.
#pragma once
#include <atomic>
#include <cstdint>

#include "registry/shared.h"

namespace tk_shared {
extern SharedHeader *g_head; // the mapped segment, null when none
extern SharedSlot *g_slots;
extern bool g_tried;    // the attach was tried (once per process)
extern bool g_readonly; // attached for inspection
extern int g_fd;        // the segment opened again, holder of the slot locks
extern bool g_fd_failed;
extern bool g_locks;         // open-file-description locks work here
extern bool g_no_locks_test; // attach as without such locks
extern std::atomic<uint64_t> g_owned;
extern SharedView g_status;
extern int g_status_errno;
extern char g_refusal[320];
extern int g_local_n; // listed process-local records
extern uint64_t g_alive_when[SHARED_SLOTS];
extern uint32_t g_alive_gen[SHARED_SLOTS];
extern uint8_t g_alive_last[SHARED_SLOTS];

// Attaches to the segment the first time it is called; later calls do nothing.
void attach_once();
} // namespace tk_shared
