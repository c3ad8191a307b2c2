// Host-side CLAP event lists: an input list built by the host (parameter values, MIDI,
// gestures and raw headers for odd cases) and an output list that records every pushed event.
// Both preallocate their storage; adding, getting and pushing never allocate.
#pragma once
#include <clap/events.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// One recorded output event (or a flushed/processed input event, for the script's echo).
struct OutEvent {
    uint32_t stage = 0; // owner's stage index (0-based) when recorded by a chain; else 0
    uint16_t space_id = 0;
    uint16_t type = 0;
    uint32_t time = 0;
    uint32_t flags = 0;
    uint32_t size = 0;
    uint32_t param_id = 0; // param value, mod and gesture events; else 0
    double value = 0.0;    // param value (or mod amount); else 0
    uint8_t midi[3] = {0, 0, 0};
};

// Input event list handed to process or params flush. Events are returned in the order added
// (the host adds them in time order; `sort_by_time` is there for callers that don't).
class InputEvents {
  public:
    explicit InputEvents(size_t max_events = 1024, size_t max_bytes = 65536);
    InputEvents(const InputEvents &) = delete;
    InputEvents &operator=(const InputEvents &) = delete;

    // Each returns false when the list is full. [any-thread], one at a time (main or audio).
    bool add_param(uint32_t time, uint32_t param_id, double value, void *cookie = nullptr);
    bool add_param_mod(uint32_t time, uint32_t param_id, double amount);
    bool add_gesture(uint32_t time, uint32_t param_id, bool begin);
    bool add_midi(uint32_t time, uint8_t b0, uint8_t b1, uint8_t b2, uint16_t port = 0);
    bool add_note(uint32_t time, bool on, int16_t key, double velocity);
    // Copies header->size bytes (at least the header) as an event.
    bool add_raw(const clap_event_header_t *header);
    // An entry whose get() returns null (a broken host).
    bool add_null();
    void clear();
    void sort_by_time(); // [main-thread] stable; no allocation beyond its storage
    uint32_t size() const { return (uint32_t)count_; }
    const clap_event_header_t *at(uint32_t i) const;

    // The CLAP view of this list; valid while the object lives.
    const clap_input_events_t *clap() const { return &list_; }

    // Lists concatenated: `first` then `second` (either may be null), without copying.
    struct Pair {
        const InputEvents *first = nullptr;
        const InputEvents *second = nullptr;
        clap_input_events_t list{};
        Pair();
    };

  private:
    bool append(const void *data, uint32_t bytes);
    static uint32_t cb_size(const clap_input_events_t *l);
    static const clap_event_header_t *cb_get(const clap_input_events_t *l, uint32_t i);
    std::vector<uint8_t> store_;
    std::vector<int64_t> offsets_; // -1 = null entry
    size_t count_ = 0;
    size_t used_ = 0;
    clap_input_events_t list_{};
};

// Output event list: records pushed events into a preallocated array (the last call's
// events) and passes each to an optional sink (the instance's lock-free record queue).
class OutputEvents {
  public:
    explicit OutputEvents(size_t max_events = 4096);
    OutputEvents(const OutputEvents &) = delete;
    OutputEvents &operator=(const OutputEvents &) = delete;

    void clear(); // before a call; [any-thread]: the thread of the call
    uint32_t size() const { return (uint32_t)count_; }
    const OutEvent &at(uint32_t i) const { return events_[i]; }
    uint64_t pushes() const { return pushes_; }   // try_push calls since the last clear
    uint64_t refused() const { return refused_; } // of which refused
    // When set, every try_push returns false (and is still counted), to test plug-ins
    // against a host that refuses events.
    void set_refuse(bool r) { refuse_ = r; }

    typedef void (*Sink)(void *ctx, const OutEvent &e);
    void set_sink(Sink sink, void *ctx) {
        sink_ = sink;
        sink_ctx_ = ctx;
    }
    bool has_sink() const { return sink_ != nullptr; }
    void set_stage(uint32_t stage) { stage_ = stage; }

    const clap_output_events_t *clap() const { return &list_; }

    static OutEvent decode(const clap_event_header_t *h); // null-safe

  private:
    static bool cb_push(const clap_output_events_t *l, const clap_event_header_t *e);
    std::vector<OutEvent> events_;
    size_t count_ = 0;
    uint64_t pushes_ = 0, refused_ = 0;
    bool refuse_ = false;
    Sink sink_ = nullptr;
    void *sink_ctx_ = nullptr;
    uint32_t stage_ = 0;
    clap_output_events_t list_{};
};
