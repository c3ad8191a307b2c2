// Platform services: the monotonic clock, randomness, mutexes, sleeping and the few
// file operations the system needs. Thin POSIX wrappers without state of their own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>

// [any-thread] Returns nanoseconds of the system's one time base, also between processes:
// CLOCK_MONOTONIC unless another source was installed with sys_set_clock. The audio thread
// included (one pointer load on top of the clock read; no lock).
uint64_t sys_time_ns();

// [any-thread] Returns sys_time_ns in seconds, for the editor's delays and ballistics.
double sys_time_s();

// A replacement time source: now(ctx) returns nanoseconds on CLOCK_MONOTONIC's scale and must
// never run backwards. Nothing in the plug-in or the host installs one; tests do, to step time.
struct SysClock {
    uint64_t (*now)(void *ctx);
    void *ctx;
};

// [any-thread] Makes clock the source of sys_time_ns (null: CLOCK_MONOTONIC again) and
// returns the source it replaces (null for CLOCK_MONOTONIC). The record must stay valid
// while it is installed; a reader sees either the old or the new source.
const SysClock *sys_set_clock(const SysClock *clock);

// [any-thread] Returns nanoseconds of CLOCK_MONOTONIC itself, whatever source is installed.
uint64_t sys_monotonic_ns();

// [any-thread] Returns 8 bytes from /dev/urandom; a time-derived value when that fails or
// reads all zero. Never fails.
uint64_t sys_random_u64();

// [any-thread] pthread's mutex calls; each returns pthread's result (0 on success).
int sys_mutex_init(pthread_mutex_t *m);
int sys_mutex_lock(pthread_mutex_t *m);
int sys_mutex_unlock(pthread_mutex_t *m);

// [any-thread] but never the audio thread.
void sys_sleep_ms(uint32_t ms);

// [main-thread] File operations, as below. mkdir with mode 0755; returns true when made or when it already exists.
bool sys_mkdir(const char *path);

// Builds and creates <config>/<vendor>/<product>, config being $XDG_CONFIG_HOME or
// $HOME/.config. False when neither variable is usable or a level cannot be made.
bool sys_user_dir(const char *vendor, const char *product, char *out, size_t size);

// Lists up to max names in dir ending in ext (case-insensitive, longer than ext), stored
// without the extension in records of stride bytes, sorted with cmp_ci. Returns the count.
// Only files are listed (regular files, and symbolic links to them); a name that does not
// fit in a record is left out, as a cut name would name another file. [main-thread]
int sys_list_files(const char *dir, const char *ext, char *out, size_t stride, int max);

// Removes a file, or a symbolic link itself (unlink); never a directory. True when removed.
bool sys_delete_file(const char *path);

// Writes size bytes to a new file in the folder of path (mode 0666 less the umask) and
// renames it over path. The old file stays whole until the new one is complete, and a
// symbolic link at path is replaced itself, never written through. False, with nothing
// changed and no temporary file left, when path names a directory, pipe, socket or
// device, or when creating, writing, syncing or renaming fails. [main-thread]
bool sys_replace_file(const char *path, const void *data, size_t size);

// Opens path read-only (non-blocking, close-on-exec) when it is a regular file whose
// resolved location lies inside dir: symbolic links are followed but must not lead out of
// dir. Returns the descriptor, or -1. [main-thread]
int sys_open_inside(const char *dir, const char *path);

// [any-thread] strcasecmp of two records taken as strings (qsort comparator): returns its sign.
int cmp_ci(const void *a, const void *b);
