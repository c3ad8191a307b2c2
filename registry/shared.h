// The shared segment: one POSIX shared-memory segment per user holding a header and 64
// slots, one per live stage. The byte layout is a format shared between processes.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr uint32_t SHARED_MAGIC = 0x544B5348; // "TKSH"
constexpr uint32_t SHARED_VERSION = 3;
constexpr uint32_t SHARED_SLOTS = 64;
constexpr uint32_t SHARED_PARAMS = 17;
constexpr uint32_t SHARED_SLOT_SIZE = 137112;
constexpr size_t SHARED_SIZE = 8775272;
constexpr uint32_t EDIT_QUEUE_LEN = 256;
constexpr uint32_t HIST_LEN = 8192;
constexpr uint32_t CALL_RING = 64;

// SharedHeader::init_state: who set the segment up. The first attacher moves it from fresh to
// busy, writes the rest of the header and marks it ready; later attachers wait for ready.
enum InitState : uint32_t { INIT_FRESH = 0, INIT_BUSY = 1, INIT_READY = 2 };

struct SharedHeader {
    uint32_t init_state; // InitState
    uint32_t magic;
    uint32_t version;
    uint32_t slot_size;
    uint32_t param_count;
    uint32_t slot_count;
    uint32_t serial_next;
    uint32_t reserved0;
    uint64_t seq_next;
    uint8_t reserved1[24];
};

enum EditKind : uint32_t { EDIT_VALUE = 0, EDIT_BEGIN = 1, EDIT_END = 2 };

// SharedSlot::pending: what editors of other processes ask of the slot's owner, set by an
// atomic OR and taken by the owner with an atomic exchange.
enum PendingBits : uint32_t {
    PENDING_FLUSH = 1u, // the edit queue holds entries: ask the host for a parameter flush
    PENDING_DIRTY = 2u, // a value changed: the host's copy of the state is out of date
};

struct EditEntry {
    uint32_t id;   // parameter id (not index)
    uint32_t kind; // EditKind
    double value;
};

// Who holds the slot (written on claim and by the registry) and which stage it is.
struct SlotIdentity {
    uint32_t in_use;
    int32_t pid;
    uint32_t generation;
    uint32_t reserved0;
    uint64_t uid;
};

// What the stage's engine runs at, written by activate and deactivate.
struct SlotEngine {
    uint32_t active;
    uint32_t latency;
    double sample_rate;
};

// The edit queue: editors of any process post under edit_lock, the owner drains.
struct SlotEditQueue {
    EditEntry edit_queue[EDIT_QUEUE_LEN];
    uint32_t edit_read;
    uint32_t edit_write;
    uint32_t edit_lock;
    uint32_t reserved1;
};

// Meters, block counters and loudness of the last process call.
struct SlotMeters {
    float meter_gain;
    float meter_peak_in;
    float meter_peak_out;
    float meter_tp_in;
    float meter_tp_out;
    float meter_tp_ch[4];
    uint32_t block_frames;
    uint32_t block_max;
    uint32_t block_over;
    uint32_t reset_count;
    uint32_t activate_count;
    float lufs_m;
    float lufs_s;
    float lufs_i;
};

// The rolling level history: one row per 64 frames.
struct SlotHistory {
    float hist_gain[HIST_LEN];
    float hist_in[HIST_LEN];
    float hist_out[HIST_LEN];
    float hist_lufs[HIST_LEN];
    uint32_t hist_count;
    int32_t hist_gap;
    uint64_t hist_time;
};

// MIDI learn: the controller mapped to each parameter row, and the row being learned.
struct SlotMidi {
    int32_t midi_cc[SHARED_PARAMS];
    int32_t midi_learn;
};

// Records of the last process calls, from which chains are resolved, and the serial tag.
struct SlotCalls {
    uint64_t proc_time;
    uint64_t proc_prev_time;
    uint64_t proc_seq;
    uint64_t ring_start[CALL_RING];
    uint64_t ring_end[CALL_RING];
    int64_t ring_steady[CALL_RING];
    int64_t steady;
    int64_t steady_prev;
    uint32_t ring_count;
    uint32_t serial;
};

// One stage's slot. Field meanings are given where they are written: identity and claim
// here and in the registry, values and queue in the plug-in core, the rest in the pipeline.
struct SharedSlot {
    SlotIdentity ident;
    SlotEngine engine;
    double values[SHARED_PARAMS]; // parameter values by PARAMS row
    SlotEditQueue edits;
    uint32_t pending; // PendingBits
    SlotMeters meters;
    SlotHistory history;
    SlotMidi midi;
    uint32_t loud_reset;  // an editor asks the pipeline to restart the loudness meter
    uint32_t render_mode; // 1 while the owner's host renders offline (clap.render), else 0
    SlotCalls calls;
};

static_assert(sizeof(SharedHeader) == 64);
static_assert(offsetof(SharedHeader, magic) == 4 && offsetof(SharedHeader, version) == 8);
static_assert(offsetof(SharedHeader, slot_size) == 12 && offsetof(SharedHeader, param_count) == 16);
static_assert(offsetof(SharedHeader, slot_count) == 20 && offsetof(SharedHeader, serial_next) == 24);
static_assert(offsetof(SharedHeader, seq_next) == 32);
static_assert(sizeof(EditEntry) == 16 && offsetof(EditEntry, value) == 8);
static_assert(sizeof(SharedSlot) == SHARED_SLOT_SIZE);
static_assert(64 + SHARED_SLOTS * sizeof(SharedSlot) + 40 == SHARED_SIZE);
// The sub-records: where each starts and how long it is.
static_assert(offsetof(SharedSlot, ident) == 0 && sizeof(SlotIdentity) == 24);
static_assert(offsetof(SharedSlot, engine) == 24 && sizeof(SlotEngine) == 16);
static_assert(offsetof(SharedSlot, edits) == 176 && sizeof(SlotEditQueue) == 4112);
static_assert(offsetof(SharedSlot, meters) == 4292 && sizeof(SlotMeters) == 68);
static_assert(offsetof(SharedSlot, history) == 4360 && sizeof(SlotHistory) == 131088);
static_assert(offsetof(SharedSlot, midi) == 135448 && sizeof(SlotMidi) == 72);
static_assert(offsetof(SharedSlot, calls) == 135528 && sizeof(SlotCalls) == 1584);
// Every field at its offset of the format.
static_assert(offsetof(SharedSlot, ident.pid) == 4 && offsetof(SharedSlot, ident.generation) == 8);
static_assert(offsetof(SharedSlot, ident.uid) == 16 && offsetof(SharedSlot, engine.active) == 24);
static_assert(offsetof(SharedSlot, engine.latency) == 28 && offsetof(SharedSlot, engine.sample_rate) == 32);
static_assert(offsetof(SharedSlot, values) == 40 && offsetof(SharedSlot, values) + 4 * 8 == 72);
static_assert(offsetof(SharedSlot, edits.edit_queue) == 176 && offsetof(SharedSlot, edits.edit_read) == 4272);
static_assert(offsetof(SharedSlot, edits.edit_write) == 4276 && offsetof(SharedSlot, edits.edit_lock) == 4280);
static_assert(offsetof(SharedSlot, pending) == 4288 && offsetof(SharedSlot, meters.meter_gain) == 4292);
static_assert(offsetof(SharedSlot, meters.meter_peak_in) == 4296);
static_assert(offsetof(SharedSlot, meters.meter_peak_out) == 4300);
static_assert(offsetof(SharedSlot, meters.meter_tp_in) == 4304 && offsetof(SharedSlot, meters.meter_tp_out) == 4308);
static_assert(offsetof(SharedSlot, meters.meter_tp_ch) == 4312 && offsetof(SharedSlot, meters.block_frames) == 4328);
static_assert(offsetof(SharedSlot, meters.block_max) == 4332 && offsetof(SharedSlot, meters.block_over) == 4336);
static_assert(offsetof(SharedSlot, meters.reset_count) == 4340 && offsetof(SharedSlot, meters.activate_count) == 4344);
static_assert(offsetof(SharedSlot, meters.lufs_m) == 4348 && offsetof(SharedSlot, meters.lufs_s) == 4352);
static_assert(offsetof(SharedSlot, meters.lufs_i) == 4356 && offsetof(SharedSlot, history.hist_gain) == 4360);
static_assert(offsetof(SharedSlot, history.hist_in) == 37128 && offsetof(SharedSlot, history.hist_out) == 69896);
static_assert(offsetof(SharedSlot, history.hist_lufs) == 102664 && offsetof(SharedSlot, history.hist_count) == 135432);
static_assert(offsetof(SharedSlot, history.hist_gap) == 135436 && offsetof(SharedSlot, history.hist_time) == 135440);
static_assert(offsetof(SharedSlot, midi.midi_cc) == 135448 && offsetof(SharedSlot, midi.midi_learn) == 135516);
static_assert(offsetof(SharedSlot, loud_reset) == 135520 && offsetof(SharedSlot, calls.proc_time) == 135528);
static_assert(offsetof(SharedSlot, render_mode) == 135524);
static_assert(offsetof(SharedSlot, calls.proc_prev_time) == 135536 && offsetof(SharedSlot, calls.proc_seq) == 135544);
static_assert(offsetof(SharedSlot, calls.ring_start) == 135552 && offsetof(SharedSlot, calls.ring_end) == 136064);
static_assert(offsetof(SharedSlot, calls.ring_steady) == 136576 && offsetof(SharedSlot, calls.steady) == 137088);
static_assert(offsetof(SharedSlot, calls.steady_prev) == 137096 && offsetof(SharedSlot, calls.ring_count) == 137104);
static_assert(offsetof(SharedSlot, calls.serial) == 137108);

// Cross-process access to mapped words: address-free, lock-free atomics.
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<int64_t>::is_always_lock_free);
static_assert(std::atomic_ref<float>::is_always_lock_free);
static_assert(std::atomic_ref<double>::is_always_lock_free);

// [any-thread] Word access to the segment (and to process-local records).
// A store into the segment: one aligned store followed by a full fence.
template <class T> inline void shm_store(T &field, T v) {
    std::atomic_ref<T>(field).store(v, std::memory_order_seq_cst);
}
// A lock-free read of a field that another thread or process may be writing.
template <class T> inline T shm_load(const T &field) {
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_acquire);
}
// An atomic add; returns the value before it.
template <class T> inline T shm_fetch_add(T &field, T v) {
    return std::atomic_ref<T>(field).fetch_add(v, std::memory_order_seq_cst);
}
// A compare-and-swap; returns true when field held expected and now holds desired.
template <class T> inline bool shm_cas(T &field, T expected, T desired) {
    return std::atomic_ref<T>(field).compare_exchange_strong(expected, desired, std::memory_order_seq_cst);
}

// [main-thread] Attach (once per process), claim, release, scan and liveness, unless noted.
// The segment is used only when it is a regular file owned by the effective user with no
// group or other permission bits; otherwise the process works with local records and
// shared_refusal() says why.
SharedSlot *shared_acquire();          // returns a shared slot, or a process-local record; null on OOM
void shared_release(SharedSlot *slot); // null is ignored
int shared_max();                      // returns the number of indexes shared_at understands
SharedSlot *shared_at(int index);      // returns the claimed slot at a scan index, or null
// Returns true when the slot is claimed and its owner alive: an owner holds a lock on its
// slot's bytes for as long as it has the slot, so this holds across PID namespaces; where
// locks are unavailable the owner's pid is probed with kill. Foreign verdicts are cached
// for a second per claim.
bool shared_alive(SharedSlot *slot);
uint32_t shared_serial_next(); // returns the next serial-chain tag, from 1
// [any-thread] Returns the next sequence stamp, from 1.
uint64_t shared_seq_next();
// [any-thread] Returns true when slot is a process-local record.
bool shared_is_local(const SharedSlot *slot);
// Returns whether a remembered pointer still designates a slot that may be read: a slot of
// the attached segment, or a process-local record that is still listed (not freed).
bool shared_valid(const SharedSlot *slot);
// [any-thread] Writes the segment name for this process: "/" + $TERVIK_SHM, or
// "/tervik3-<uid>".
void shared_name(char *out, size_t size);
// Returns the warning text when the attach refused a segment that is not this user's own
// (another owner, or group or other permission bits); null otherwise.
const char *shared_refusal();

// How an attach for inspection ended.
enum SharedView {
    SHARED_VIEW_OK = 0,
    SHARED_VIEW_NONE,    // no segment under the name
    SHARED_VIEW_DENIED,  // it cannot be opened (errno in *error)
    SHARED_VIEW_FOREIGN, // not this user's own (shared_refusal() has the text)
    SHARED_VIEW_SHORT,   // smaller than the format
    SHARED_VIEW_MAP,     // mmap failed
    SHARED_VIEW_LAYOUT,  // another layout, or not initialised
};
// Attaches this process to the existing segment for reading only (instead of the usual
// attach, which this then is for the process's life): a read-only mapping, no creation,
// no waiting, no claim and no store; claims get local records and the counters are the
// process's own. When the process is already attached, the attached segment serves.
// [main-thread] Returns how the attach ended; *error gets errno for SHARED_VIEW_DENIED
// (may be null).
SharedView shared_attach_view(int *error);
