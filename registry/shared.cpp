// Attaching to (or creating) the shared segment, claiming, taking over and releasing
// slots, liveness by slot locks with a one-second cache, the two counters and the
// process-local fallback.
#include "registry/shared.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "registry/shared_state.h"
#include "sys/sys.h"

// Ownership of a shared slot is marked twice: in_use in the slot, and a write lock on the
// slot's bytes taken through an open file description (F_OFD_SETLK) that this process keeps
// for its life. The kernel drops such a lock when its last holder goes, in whatever PID
// namespace that was, so "in_use and locked by another open file" means a live owner where
// a pid would mean nothing. The lock is taken before in_use is set and given back after it
// is cleared. Without OFD locks (old kernels) liveness falls back to kill(pid, 0).
// The locks live on an open file of their own, not the one mapped: a mapping keeps its
// file open, and a forked child inherits mappings, so locks on the mapped file would
// outlive their owner for as long as any forked child of it runs.

namespace tk_shared {
SharedHeader *g_head = nullptr;
SharedSlot *g_slots = nullptr;
bool g_tried = false;
bool g_readonly = false; // attached for inspection: nothing is ever stored
int g_fd = -1;           // the segment opened again, holder of this process's locks
static dev_t g_dev = 0;  // identity of the attached segment, to reopen it after fork
static ino_t g_ino = 0;
bool g_fd_failed = false; // opening it again failed: not tried again
bool g_locks = false;     // OFD locks work here
bool g_no_locks_test = false;
static bool g_atfork = false;
std::atomic<uint64_t> g_owned{0}; // bit i: this process holds shared slot i
SharedView g_status = SHARED_VIEW_NONE;
int g_status_errno = 0;
char g_refusal[320]; // the warning text and a name of up to 128 characters
static SharedSlot *g_local[SHARED_SLOTS];
int g_local_n = 0;
uint64_t g_alive_when[SHARED_SLOTS];
uint32_t g_alive_gen[SHARED_SLOTS];
uint8_t g_alive_last[SHARED_SLOTS];
static uint32_t g_serial_local = 0;
static uint64_t g_seq_local = 0;
} // namespace tk_shared
using namespace tk_shared;

static_assert(SHARED_SLOTS == 64, "g_owned has one bit per slot");

void shared_name(char *out, size_t size) {
    const char *env = getenv("TERVIK_SHM");
    char buf[128];
    if (env && *env)
        snprintf(buf, sizeof buf, "%s", env);
    else
        snprintf(buf, sizeof buf, "tervik%d-%d", (int)SHARED_VERSION, (int)getuid());
    snprintf(out, size, "/%s", buf);
}

const char *shared_refusal() { return g_refusal[0] ? g_refusal : nullptr; }

static bool header_ok(SharedHeader *h) {
    return shm_load(h->init_state) == INIT_READY && shm_load(h->magic) == SHARED_MAGIC &&
           shm_load(h->version) == SHARED_VERSION && shm_load(h->slot_size) == SHARED_SLOT_SIZE &&
           shm_load(h->param_count) == SHARED_PARAMS;
}

// Only a segment that no other user can have opened is trusted with stages' settings.
static bool private_to_me(const struct stat &st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

static void refuse(const char *name) {
    snprintf(g_refusal, sizeof g_refusal,
             "Tervik: shared segment %s refused: not owned by this user or open to other users; "
             "stages of this process are not shared",
             name);
    g_status = SHARED_VIEW_FOREIGN;
}

static void fail(SharedView why, int err = 0) {
    g_status = why;
    g_status_errno = err;
}

static uint64_t bit(uint32_t i) { return (uint64_t)1 << i; }
static bool owned(uint32_t i) { return (g_owned.load(std::memory_order_acquire) & bit(i)) != 0; }

static struct flock slot_range(uint32_t i, short type) {
    struct flock l;
    memset(&l, 0, sizeof l);
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = (off_t)(sizeof(SharedHeader) + (size_t)i * sizeof(SharedSlot));
    l.l_len = (off_t)sizeof(SharedSlot);
    return l;
}

// A forked child shares the parent's lock file, and with it the parent's slot locks: it
// drops its copy at once, so that the parent's slots die with the parent. Should the child
// claim or probe later, it opens a file of its own.
static void forget_after_fork() {
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    g_fd_failed = false;
    g_owned.store(0);
}

// The lock file, opened (once) when missing: the same segment, still private to this user.
static bool ensure_fd() {
    if (g_fd >= 0) return true;
    if (!g_head || g_fd_failed) return false;
    g_fd_failed = true;
    char name[160];
    shared_name(name, sizeof name);
    int fd = shm_open(name, g_readonly ? O_RDONLY : O_RDWR, 0);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_dev != g_dev || st.st_ino != g_ino || !private_to_me(st)) {
        close(fd);
        return false;
    }
    g_fd = fd;
    g_fd_failed = false;
    return true;
}

// Takes slot i's lock for this process; false when another open file holds it.
static bool slot_lock(uint32_t i) {
    if (!ensure_fd()) return false;
    struct flock l = slot_range(i, F_WRLCK);
    return fcntl(g_fd, F_OFD_SETLK, &l) == 0;
}

static void slot_unlock(uint32_t i) {
    if (g_fd < 0) return;
    struct flock l = slot_range(i, F_UNLCK);
    (void)fcntl(g_fd, F_OFD_SETLK, &l);
}

// 1: another open file holds slot i's lock; 0: nobody does; -1: cannot tell.
static int slot_lock_held(uint32_t i) {
    if (!ensure_fd()) return -1;
    struct flock l = slot_range(i, F_WRLCK);
    if (fcntl(g_fd, F_OFD_GETLK, &l) != 0) return -1;
    return l.l_type != F_UNLCK ? 1 : 0;
}

// Keeps mapping m of the checked segment that fd (closed here) and st describe, and opens
// the segment again for the locks. Should that open fail, claims get local records and
// liveness is judged by pid.
static void adopt(int fd, void *m, const struct stat &st, bool readonly) {
    struct flock probe = slot_range(0, F_WRLCK);
    g_locks = !g_no_locks_test && fcntl(fd, F_OFD_GETLK, &probe) == 0;
    close(fd);
    g_dev = st.st_dev;
    g_ino = st.st_ino;
    g_readonly = readonly;
    g_head = (SharedHeader *)m;
    g_slots = (SharedSlot *)((char *)m + sizeof(SharedHeader));
    if (g_locks) (void)ensure_fd();
    if (!g_atfork) g_atfork = pthread_atfork(nullptr, nullptr, forget_after_fork) == 0;
    g_status = SHARED_VIEW_OK;
}

static void map_open() {
    char name[160];
    shared_name(name, sizeof name);
    bool created = true;
    int fd = shm_open(name, O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) {
        if (errno != EEXIST) return fail(SHARED_VIEW_DENIED, errno);
        created = false;
        fd = shm_open(name, O_RDWR, 0600);
        if (fd < 0) {
            int e = errno;
            if (e == EACCES)
                refuse(name); // someone else's segment under this user's name
            else
                fail(SHARED_VIEW_DENIED, e);
            return;
        }
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !private_to_me(st)) {
        refuse(name);
        close(fd);
        if (created) shm_unlink(name);
        return;
    }
    if (created) {
        if (ftruncate(fd, (off_t)SHARED_SIZE) != 0) {
            close(fd);
            shm_unlink(name);
            return fail(SHARED_VIEW_SHORT);
        }
    } else {
        // Its creator sizes it right after creating it; a segment still short after 2 s
        // never will be.
        bool big_enough = false;
        for (uint64_t give_up = sys_time_ns() + 2000000000ull;;) {
            if (fstat(fd, &st) == 0 && (size_t)st.st_size >= SHARED_SIZE) {
                big_enough = true;
                break;
            }
            if (sys_time_ns() >= give_up) break;
            sys_sleep_ms(10);
        }
        if (!big_enough) {
            close(fd);
            return fail(SHARED_VIEW_SHORT);
        }
    }
    void *m = mmap(nullptr, SHARED_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        close(fd);
        return fail(SHARED_VIEW_MAP);
    }
    SharedHeader *h = (SharedHeader *)m;
    if (shm_cas(h->init_state, (uint32_t)INIT_FRESH, (uint32_t)INIT_BUSY)) {
        shm_store(h->magic, SHARED_MAGIC);
        shm_store(h->version, SHARED_VERSION);
        shm_store(h->slot_size, SHARED_SLOT_SIZE);
        shm_store(h->param_count, SHARED_PARAMS);
        shm_store(h->slot_count, SHARED_SLOTS);
        shm_store(h->init_state, (uint32_t)INIT_READY);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    } else {
        for (int i = 0; i < 200 && shm_load(h->init_state) != INIT_READY; i++)
            sys_sleep_ms(10);
    }
    if (!header_ok(h)) {
        munmap(m, SHARED_SIZE);
        close(fd);
        return fail(SHARED_VIEW_LAYOUT);
    }
    adopt(fd, m, st, false);
}

// The inspector's attach: the same checks, read-only, without creating or waiting.
static void view_open() {
    char name[160];
    shared_name(name, sizeof name);
    int fd = shm_open(name, O_RDONLY, 0);
    if (fd < 0) return fail(errno == ENOENT ? SHARED_VIEW_NONE : SHARED_VIEW_DENIED, errno);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        return fail(SHARED_VIEW_DENIED, e);
    }
    if (!private_to_me(st)) {
        close(fd);
        return refuse(name);
    }
    if ((size_t)st.st_size < SHARED_SIZE) {
        close(fd);
        return fail(SHARED_VIEW_SHORT);
    }
    void *m = mmap(nullptr, SHARED_SIZE, PROT_READ, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        close(fd);
        return fail(SHARED_VIEW_MAP);
    }
    if (!header_ok((SharedHeader *)m)) {
        munmap(m, SHARED_SIZE);
        close(fd);
        return fail(SHARED_VIEW_LAYOUT);
    }
    adopt(fd, m, st, true);
}

void tk_shared::attach_once() {
    if (g_tried) return;
    g_tried = true;
    map_open();
}

SharedView shared_attach_view(int *error) {
    if (!g_tried) {
        g_tried = true;
        view_open();
    }
    if (error) *error = g_status_errno;
    return g_head ? SHARED_VIEW_OK : g_status;
}

static bool in_segment(const SharedSlot *s) { return g_slots && s >= g_slots && s < g_slots + SHARED_SLOTS; }

bool shared_is_local(const SharedSlot *slot) { return slot && !in_segment(slot); }

bool shared_valid(const SharedSlot *slot) {
    if (!slot) return false;
    if (in_segment(slot)) return ((const char *)slot - (const char *)g_slots) % sizeof(SharedSlot) == 0;
    for (int i = 0; i < g_local_n; i++)
        if (g_local[i] == slot) return true;
    return false;
}

// Zero everything after the claim fields, then the "none" markers.
static void slot_init(SharedSlot *s) {
    constexpr size_t from = offsetof(SharedSlot, ident.uid);
    memset((char *)s + from, 0, sizeof(SharedSlot) - from);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    shm_store(s->history.hist_gap, -1);
    shm_store(s->midi.midi_learn, -1);
    for (uint32_t i = 0; i < SHARED_PARAMS; i++)
        shm_store(s->midi.midi_cc[i], -1);
}

static bool pid_alive(int32_t pid) {
    if (pid < 1) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

static SharedSlot *claimed(uint32_t i, int32_t me) {
    SharedSlot *s = &g_slots[i];
    shm_store(s->ident.pid, me);
    shm_fetch_add(s->ident.generation, 1u);
    slot_init(s);
    g_owned.fetch_or(bit(i));
    return s;
}

static SharedSlot *claim_shared() {
    const int32_t me = (int32_t)getpid();
    // A free slot. The lock comes first, so that a claimed slot is always locked.
    for (uint32_t i = 0; i < SHARED_SLOTS; i++) {
        SharedSlot *s = &g_slots[i];
        if (shm_load(s->ident.in_use) != 0) continue;
        if (g_locks && !slot_lock(i)) continue; // being claimed or released elsewhere
        if (shm_cas(s->ident.in_use, 0u, 1u)) return claimed(i, me);
        if (g_locks) slot_unlock(i);
    }
    // A slot whose owner is gone.
    for (uint32_t i = 0; i < SHARED_SLOTS; i++) {
        SharedSlot *s = &g_slots[i];
        if (shm_load(s->ident.in_use) == 0 || owned(i)) continue;
        if (g_locks) {
            // The lock is free only once its owner has died (or has just released the
            // slot, which is then free): holding it, this process takes the slot.
            if (!slot_lock(i)) continue;
            shm_store(s->ident.in_use, 1u);
            return claimed(i, me);
        }
        int32_t p = shm_load(s->ident.pid);
        if (p == me || pid_alive(p)) continue;
        if (shm_cas(s->ident.pid, p, me)) return claimed(i, me);
    }
    return nullptr;
}

SharedSlot *shared_acquire() {
    attach_once();
    if (g_slots && !g_readonly) {
        if (SharedSlot *s = claim_shared()) return s;
    }
    SharedSlot *s = (SharedSlot *)calloc(1, sizeof(SharedSlot));
    if (!s) return nullptr;
    s->ident.in_use = 1;
    s->ident.pid = (int32_t)getpid();
    s->ident.generation = 1;
    slot_init(s);
    if (g_local_n < (int)SHARED_SLOTS) g_local[g_local_n++] = s;
    return s;
}

void shared_release(SharedSlot *slot) {
    if (!slot) return;
    if (in_segment(slot)) {
        if (g_readonly) return;
        uint32_t i = (uint32_t)(slot - g_slots);
        shm_store(slot->ident.in_use, 0u);
        if (owned(i)) {
            g_owned.fetch_and(~bit(i));
            if (g_locks) slot_unlock(i); // after in_use: a locked slot is never free-looking
        }
        return;
    }
    for (int i = 0; i < g_local_n; i++) {
        if (g_local[i] == slot) {
            memmove(&g_local[i], &g_local[i + 1], (size_t)(g_local_n - i - 1) * sizeof g_local[0]);
            g_local_n--;
            break;
        }
    }
    free(slot);
}

int shared_max() {
    attach_once();
    return g_head ? (int)SHARED_SLOTS + g_local_n : g_local_n;
}

SharedSlot *shared_at(int index) {
    attach_once();
    if (index < 0) return nullptr;
    if (g_slots) {
        if (index < (int)SHARED_SLOTS) {
            SharedSlot *s = &g_slots[index];
            return shm_load(s->ident.in_use) ? s : nullptr;
        }
        index -= (int)SHARED_SLOTS;
    }
    return index < g_local_n ? g_local[index] : nullptr;
}

static bool owner_alive(uint32_t i, const SharedSlot *s) {
    if (g_locks) {
        int held = slot_lock_held(i);
        if (held >= 0) return held == 1;
    }
    return pid_alive(shm_load(s->ident.pid));
}

bool shared_alive(SharedSlot *slot) {
    if (!slot || shm_load(slot->ident.in_use) == 0) return false;
    if (!in_segment(slot)) return true; // a local record lives in this process
    uint32_t i = (uint32_t)(slot - g_slots);
    if (owned(i)) return true;
    // The verdict is kept for a second, for this claim only (generation).
    uint32_t gen = shm_load(slot->ident.generation);
    uint64_t now = sys_time_ns();
    if (g_alive_when[i] != 0 && now - g_alive_when[i] <= 1000000000ull && g_alive_gen[i] == gen)
        return g_alive_last[i] != 0;
    g_alive_when[i] = now;
    g_alive_gen[i] = gen;
    g_alive_last[i] = owner_alive(i, slot) ? 1 : 0;
    return g_alive_last[i] != 0;
}

uint32_t shared_serial_next() {
    attach_once();
    if (g_head && !g_readonly) return shm_fetch_add(g_head->serial_next, 1u) + 1u;
    return ++g_serial_local;
}

uint64_t shared_seq_next() {
    attach_once();
    if (g_head && !g_readonly) return shm_fetch_add(g_head->seq_next, (uint64_t)1) + 1;
    return __atomic_add_fetch(&g_seq_local, 1, __ATOMIC_SEQ_CST);
}

// When the library is unloaded (or the process ends) holding no slot, its file goes too.
static struct FileCloser {
    ~FileCloser() {
        if (g_fd >= 0 && g_owned.load() == 0) {
            close(g_fd);
            g_fd = -1;
        }
    }
} g_file_closer;
