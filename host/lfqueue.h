// A bounded lock-free queue of plain records (many producers, one consumer), used where the
// audio thread hands records to the main thread: recorded host calls and output events.
// Storage is allocated once in the constructor; push and pop never allocate or lock.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

template <class T> class LfQueue {
  public:
    // capacity is rounded up to a power of two (at least 2).
    explicit LfQueue(size_t capacity) {
        size_t n = 2;
        while (n < capacity)
            n <<= 1;
        mask_ = n - 1;
        cells_.reset(new Cell[n]);
        for (size_t i = 0; i < n; i++)
            cells_[i].seq.store(i, std::memory_order_relaxed);
    }
    LfQueue(const LfQueue &) = delete;
    LfQueue &operator=(const LfQueue &) = delete;

    // [any-thread] False (and the record is counted as dropped) when the queue is full.
    bool push(const T &v) {
        size_t pos = enq_.load(std::memory_order_relaxed);
        for (;;) {
            Cell &c = cells_[pos & mask_];
            size_t seq = c.seq.load(std::memory_order_acquire);
            intptr_t dif = (intptr_t)seq - (intptr_t)pos;
            if (dif == 0) {
                if (enq_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    c.value = v;
                    c.seq.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (dif < 0) {
                dropped_.fetch_add(1, std::memory_order_relaxed);
                return false;
            } else {
                pos = enq_.load(std::memory_order_relaxed);
            }
        }
    }

    // [any-thread], one consumer at a time. False when nothing is ready.
    bool pop(T *out) {
        size_t pos = deq_;
        Cell &c = cells_[pos & mask_];
        size_t seq = c.seq.load(std::memory_order_acquire);
        if ((intptr_t)seq - (intptr_t)(pos + 1) != 0) return false;
        *out = c.value;
        c.seq.store(pos + mask_ + 1, std::memory_order_release);
        deq_ = pos + 1;
        return true;
    }

    // [any-thread] Returns the records refused because the queue was full, since construction.
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    struct Cell {
        std::atomic<size_t> seq;
        T value;
    };
    std::unique_ptr<Cell[]> cells_;
    size_t mask_ = 0;
    alignas(64) std::atomic<size_t> enq_{0};
    alignas(64) size_t deq_ = 0;
    std::atomic<uint64_t> dropped_{0};
};
