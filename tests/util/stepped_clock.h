// Stepped time for tests: sys_time_ns runs on CLOCK_MONOTONIC plus every step taken, so the
// system's own time constants (caches, settle windows, delays) pass at once instead of being
// slept through. Only for tests that link the libraries directly: Tervik.clap keeps its own clock.
#pragma once
#include <atomic>
#include <cstdint>

#include "sys/sys.h"

namespace tk_test {

// Moves this process's sys_time_ns forward by ns. The stepped source is installed on the
// first step and stays for the process's life, so time never runs backwards for the records
// stamped with it. A child forked later starts with the steps taken so far; other processes
// keep the plain monotonic clock. Any thread.
inline void step_time_ns(uint64_t ns) {
    static std::atomic<uint64_t> offset{0};
    static const SysClock clock{[](void *ctx) { return sys_monotonic_ns() + ((std::atomic<uint64_t> *)ctx)->load(); },
                                &offset};
    offset.fetch_add(ns);
    sys_set_clock(&clock);
}

inline void step_time_ms(uint64_t ms) { step_time_ns(ms * 1000000ull); }

} // namespace tk_test
