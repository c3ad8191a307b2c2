// Stepped time for tests: while a SteppedClock lives, sys_time_ns runs on CLOCK_MONOTONIC plus
// every step taken, so the system's own time constants (caches, settle windows, delays) pass
// at once instead of being slept through. Only for code linked into the test program: a
// dlopened Tervik.clap and other processes keep their own monotonic clocks.
#pragma once
#include <atomic>
#include <cstdint>

#include "sys/sys.h"

namespace tk_test {

// One at a time per process. The stepped source lives in static storage, so a thread that
// reads the clock while the object goes away reads it safely. A child forked meanwhile
// starts with the steps taken so far.
class SteppedClock {
  public:
    SteppedClock() {
        offset().store(0);
        prev_ = sys_set_clock(&source());
    }
    ~SteppedClock() { sys_set_clock(prev_); }
    SteppedClock(const SteppedClock &) = delete;
    SteppedClock &operator=(const SteppedClock &) = delete;

    // Moves sys_time_ns forward by ns (ms). Any thread.
    void step_ns(uint64_t ns) { offset().fetch_add(ns); }
    void step_ms(uint64_t ms) { step_ns(ms * 1000000ull); }

  private:
    static std::atomic<uint64_t> &offset() {
        static std::atomic<uint64_t> o{0};
        return o;
    }
    static const SysClock &source() {
        static const SysClock c{[](void *) { return sys_monotonic_ns() + offset().load(); }, nullptr};
        return c;
    }
    const SysClock *prev_ = nullptr;
};

} // namespace tk_test
