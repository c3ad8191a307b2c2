// POSIX implementation of the platform services.
#include "sys/sys.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The installed source; null (the monotonic clock) unless a test steps time.
static std::atomic<const SysClock *> g_clock{nullptr};

uint64_t sys_monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

uint64_t sys_time_ns() {
    const SysClock *c = g_clock.load(std::memory_order_acquire);
    return c ? c->now(c->ctx) : sys_monotonic_ns();
}

double sys_time_s() { return (double)sys_time_ns() * 1e-9; }

const SysClock *sys_set_clock(const SysClock *clock) { return g_clock.exchange(clock, std::memory_order_acq_rel); }

uint64_t sys_random_u64() {
    uint64_t v = 0;
    if (FILE *f = fopen("/dev/urandom", "rb")) {
        size_t got = fread(&v, 1, sizeof v, f);
        fclose(f);
        if (got == sizeof v && v != 0) return v;
    }
    uint64_t t = sys_time_ns();
    return t * 0x5851F42D4C957F2Dull + 0x14057B7EF767814Full;
}

int sys_mutex_init(pthread_mutex_t *m) { return pthread_mutex_init(m, nullptr); }
int sys_mutex_lock(pthread_mutex_t *m) { return pthread_mutex_lock(m); }
int sys_mutex_unlock(pthread_mutex_t *m) { return pthread_mutex_unlock(m); }

void sys_sleep_ms(uint32_t ms) { usleep((useconds_t)ms * 1000); }

bool sys_mkdir(const char *path) {
    if (!path || !*path) return false;
    if (mkdir(path, 0755) == 0) return true;
    return errno == EEXIST;
}

bool sys_user_dir(const char *vendor, const char *product, char *out, size_t size) {
    if (!out || size == 0) return false;
    char base[1024];
    const char *xdg = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    if (xdg && *xdg) {
        snprintf(base, sizeof base, "%s", xdg);
    } else if (home && *home) {
        snprintf(base, sizeof base, "%s/.config", home);
        sys_mkdir(base);
    } else {
        return false;
    }
    snprintf(out, size, "%s/%s", base, vendor);
    if (!sys_mkdir(out)) return false;
    size_t n = strlen(out);
    snprintf(out + n, size - n, "/%s", product);
    return sys_mkdir(out);
}

// A directory entry that is a regular file or a symbolic link to one.
static bool is_file_entry(DIR *d, const dirent *e) {
    if (e->d_type == DT_REG) return true;
    if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dirfd(d), e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

int sys_list_files(const char *dir, const char *ext, char *out, size_t stride, int max) {
    if (!dir || !ext || !out || stride < 1 || max < 1) return 0;
    DIR *d = opendir(dir);
    if (!d) return 0;
    size_t el = strlen(ext);
    int n = 0;
    while (n < max) {
        dirent *e = readdir(d);
        if (!e) break;
        size_t len = strlen(e->d_name);
        if (len <= el || strcasecmp(e->d_name + len - el, ext) != 0) continue;
        size_t keep = len - el;
        if (keep > stride - 1 || !is_file_entry(d, e)) continue;
        char *rec = out + (size_t)n * stride;
        memcpy(rec, e->d_name, keep);
        rec[keep] = 0;
        n++;
    }
    closedir(d);
    qsort(out, (size_t)n, stride, cmp_ci);
    return n;
}

bool sys_delete_file(const char *path) { return path && unlink(path) == 0; }

bool sys_replace_file(const char *path, const void *data, size_t size) {
    if (!path || !*path || (!data && size > 0)) return false;
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
    // The new file goes next to the old one, so that the rename stays within one file system.
    const char *slash = strrchr(path, '/');
    size_t dir_len = slash ? (size_t)(slash - path) + 1 : 0;
    char tmp[PATH_MAX];
    if (dir_len + 32 > sizeof tmp) return false;
    memcpy(tmp, path, dir_len);
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; attempt++) {
        snprintf(tmp + dir_len, sizeof tmp - dir_len, ".save-%016llx.tmp", (unsigned long long)sys_random_u64());
        fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = true;
    const char *p = (const char *)data;
    size_t left = size;
    while (ok && left > 0) {
        ssize_t w = write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ok = false;
        } else {
            p += w;
            left -= (size_t)w;
        }
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp, path) != 0) ok = false;
    if (!ok) unlink(tmp);
    return ok;
}

int sys_open_inside(const char *dir, const char *path) {
    if (!dir || !path) return -1;
    char real_dir[PATH_MAX], real_path[PATH_MAX];
    if (!realpath(dir, real_dir) || !realpath(path, real_path)) return -1;
    size_t n = strlen(real_dir);
    if (n == 1) n = 0; // the root folder: every path lies inside
    if (strncmp(real_path, real_dir, n) != 0 || real_path[n] != '/') return -1;
    int fd = open(real_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

int cmp_ci(const void *a, const void *b) { return strcasecmp((const char *)a, (const char *)b); }
