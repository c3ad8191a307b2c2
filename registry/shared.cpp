// Attaching to (or creating) the shared segment, claiming, taking over and releasing
// slots, liveness with a one-second cache, the two counters and the process-local fallback.
#include "registry/shared.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sys/sys.h"

static SharedHeader *g_head = nullptr;
static SharedSlot *g_slots = nullptr;
static bool g_tried = false;
static SharedSlot *g_local[SHARED_SLOTS];
static int g_local_n = 0;
static uint64_t g_alive_when[SHARED_SLOTS];
static uint8_t g_alive_last[SHARED_SLOTS];
static uint32_t g_serial_local = 0;
static uint64_t g_seq_local = 0;

void shared_name(char *out, size_t size) {
    const char *env = getenv("TERVIK_SHM");
    char buf[128];
    if (env && *env) snprintf(buf, sizeof buf, "%s", env);
    else snprintf(buf, sizeof buf, "tervik%d-%d", (int)SHARED_VERSION, (int)getuid());
    snprintf(out, size, "/%s", buf);
}

static bool header_ok(SharedHeader *h) {
    return shm_load(h->init_state) == 2 && shm_load(h->magic) == SHARED_MAGIC &&
           shm_load(h->version) == SHARED_VERSION && shm_load(h->slot_size) == SHARED_SLOT_SIZE &&
           shm_load(h->param_count) == SHARED_PARAMS;
}

static void map_open() {
    char name[160];
    shared_name(name, sizeof name);
    int fd = shm_open(name, O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd >= 0) {
        if (ftruncate(fd, (off_t)SHARED_SIZE) != 0) {
            close(fd);
            shm_unlink(name);
            return;
        }
    } else {
        if (errno != EEXIST) return;
        fd = shm_open(name, O_RDWR, 0600);
        if (fd < 0) return;
        bool big_enough = false;
        for (int i = 0; i <= 200; i++) {
            struct stat st{};
            if (fstat(fd, &st) == 0 && (size_t)st.st_size >= SHARED_SIZE) { big_enough = true; break; }
            if (i < 200) sys_sleep_ms(10);
        }
        if (!big_enough) {
            close(fd);
            return;
        }
    }
    void *m = mmap(nullptr, SHARED_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) return;
    SharedHeader *h = (SharedHeader *)m;
    if (shm_cas(h->init_state, 0u, 1u)) {
        shm_store(h->magic, SHARED_MAGIC);
        shm_store(h->version, SHARED_VERSION);
        shm_store(h->slot_size, SHARED_SLOT_SIZE);
        shm_store(h->param_count, SHARED_PARAMS);
        shm_store(h->slot_count, SHARED_SLOTS);
        shm_store(h->init_state, 2u);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    } else {
        for (int i = 0; i < 200 && shm_load(h->init_state) != 2; i++) sys_sleep_ms(10);
    }
    if (!header_ok(h)) {
        munmap(m, SHARED_SIZE);
        return;
    }
    g_head = h;
    g_slots = (SharedSlot *)((char *)m + sizeof(SharedHeader));
}

static void attach_once() {
    if (g_tried) return;
    g_tried = true;
    map_open();
}

bool shared_mapped() {
    attach_once();
    return g_head != nullptr;
}

static bool in_segment(const SharedSlot *s) {
    return g_slots && s >= g_slots && s < g_slots + SHARED_SLOTS;
}

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
    memset((char *)s + 16, 0, sizeof(SharedSlot) - 16);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    shm_store(s->hist_gap, -1);
    shm_store(s->midi_learn, -1);
    for (uint32_t i = 0; i < SHARED_PARAMS; i++) shm_store(s->midi_cc[i], -1);
}

static bool pid_alive(int32_t pid) {
    if (pid < 1) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

SharedSlot *shared_acquire() {
    attach_once();
    int32_t me = (int32_t)getpid();
    if (g_slots) {
        for (uint32_t i = 0; i < SHARED_SLOTS; i++) {
            SharedSlot *s = &g_slots[i];
            if (shm_cas(s->in_use, 0u, 1u)) {
                shm_store(s->pid, me);
                shm_fetch_add(s->generation, 1u);
                slot_init(s);
                return s;
            }
        }
        for (uint32_t i = 0; i < SHARED_SLOTS; i++) {
            SharedSlot *s = &g_slots[i];
            if (shm_load(s->in_use) == 0) continue;
            int32_t p = shm_load(s->pid);
            if (p == me || pid_alive(p)) continue;
            if (shm_cas(s->pid, p, me)) {
                shm_fetch_add(s->generation, 1u);
                slot_init(s);
                return s;
            }
        }
    }
    SharedSlot *s = (SharedSlot *)calloc(1, sizeof(SharedSlot));
    if (!s) return nullptr;
    s->in_use = 1;
    s->pid = me;
    s->generation = 1;
    slot_init(s);
    if (g_local_n < (int)SHARED_SLOTS) g_local[g_local_n++] = s;
    return s;
}

void shared_release(SharedSlot *slot) {
    if (!slot) return;
    if (in_segment(slot)) {
        shm_store(slot->in_use, 0u);
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
            return shm_load(s->in_use) ? s : nullptr;
        }
        index -= (int)SHARED_SLOTS;
    }
    return index < g_local_n ? g_local[index] : nullptr;
}

bool shared_alive(SharedSlot *slot) {
    if (!slot || shm_load(slot->in_use) == 0) return false;
    int32_t pid = shm_load(slot->pid);
    if (pid == (int32_t)getpid()) return true;
    if (in_segment(slot)) {
        size_t i = (size_t)(slot - g_slots);
        uint64_t now = sys_time_ns();
        if (g_alive_when[i] != 0 && now - g_alive_when[i] <= 1000000000ull) return g_alive_last[i] != 0;
        g_alive_when[i] = now;
        g_alive_last[i] = pid_alive(pid) ? 1 : 0;
        return g_alive_last[i] != 0;
    }
    return pid_alive(pid);
}

uint32_t shared_serial_next() {
    attach_once();
    if (g_head) return shm_fetch_add(g_head->serial_next, 1u) + 1u;
    return ++g_serial_local;
}

uint64_t shared_seq_next() {
    attach_once();
    if (g_head) return shm_fetch_add(g_head->seq_next, (uint64_t)1) + 1;
    return __atomic_add_fetch(&g_seq_local, 1, __ATOMIC_SEQ_CST);
}

void shared_test_reset() {
    if (g_head) munmap(g_head, SHARED_SIZE);
    g_head = nullptr;
    g_slots = nullptr;
    g_tried = false;
    g_local_n = 0;
    memset(g_alive_when, 0, sizeof g_alive_when);
    memset(g_alive_last, 0, sizeof g_alive_last);
}
