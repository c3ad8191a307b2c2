// POSIX implementation of the platform services.
#include "sys/sys.h"

#include <dirent.h>
#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

uint64_t sys_time_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

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
int sys_mutex_destroy(pthread_mutex_t *m) { return pthread_mutex_destroy(m); }
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
        if (keep > stride - 1) keep = stride - 1;
        char *rec = out + (size_t)n * stride;
        memcpy(rec, e->d_name, keep);
        rec[keep] = 0;
        n++;
    }
    closedir(d);
    qsort(out, (size_t)n, stride, cmp_ci);
    return n;
}

bool sys_delete_file(const char *path) { return path && remove(path) == 0; }

int cmp_ci(const void *a, const void *b) { return strcasecmp((const char *)a, (const char *)b); }
