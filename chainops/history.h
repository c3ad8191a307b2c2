// Undo, redo and A/B snapshots of a whole chain, kept in a record of the owning stage, and
// set_param_all, the editor's one-parameter edit with its undo mark. Host main thread only;
// every write goes through the edit path.
#pragma once
#include <cstdint>

#include "chainops/chain_view.h"

struct SharedSlot;

// One undo or redo step: the first 16 stages of the chain with their identities.
struct Snapshot {
    int32_t count;
    SharedSlot *slots[16];
    uint64_t uids[16];
    double values[16][17];
};

// One side of the A/B compare: up to 64 stages, matched by slot pointer.
struct AbRecord {
    int32_t count;
    uint8_t filled;
    SharedSlot *slots[64];
    double values[64][17];
};

constexpr int UNDO_DEPTH = 64;

// A stage's chain history: what its editor's undo, redo and A/B act on. Owned by the stage
// for its whole life (it outlives the editor window), zeroed when made.
struct ChainHistory {
    Snapshot undo[UNDO_DEPTH];
    Snapshot redo[UNDO_DEPTH];
    int32_t undo_n;
    int32_t redo_n;
    uint32_t undo_tag; // tag of the last mark, for coalescing
    double undo_time;  // when it was made (s)
    AbRecord ab[2];
    int32_t ab_cur; // 1 while B is current
};

// [main-thread] Records the chain as a new undo step and clears redo, unless tag is not 0 and equals the
// last mark's tag within 0.5 s (then the last step stands). Returns the stages recorded, or
// the steps held when coalesced; 0 without a history.
int undo_mark(ChainOps *ops, uint32_t tag);
// [main-thread] The same mark for stages the caller gives (the first 16 are recorded), for changes made
// without an editor, such as a host's preset load or its context menu. Returns as undo_mark.
int undo_mark_stages(ChainHistory *history, SharedSlot *const *slots, int n, uint32_t tag);
// [main-thread] Sets a parameter row on chain entry stage (the owner's own stage when stage does not index
// the chain), or on every stage in chain mode or for a negative stage, as one undo step
// (unless a preset is being applied).
void set_param_all(ChainOps *ops, int stage, int index, double value);
// [main-thread] Undo and redo one step (nothing without one).
void undo_do(ChainOps *ops);
void redo_do(ChainOps *ops);
// [main-thread] Writes a step's values back into its stages that still hold the recorded identity, then
// refreshes the chain view.
void snap_apply(ChainOps *ops, const Snapshot *snap);
// [main-thread] A/B: switch to the other side (keeping the current one), copy the current
// side to the other.
void ab_switch(ChainOps *ops);
void ab_copy(ChainOps *ops);

// [any-thread] Tags for undo_mark: each returns the tag of an edit of a stage's row, by a
// parameter's gesture or by the wheel.
inline uint32_t undo_tag_param(int stage, int index) {
    return 0x10001u + (((uint32_t)stage * 256u) & 0xFFFFu) + ((uint32_t)index & 0xFFu);
}
inline uint32_t undo_tag_wheel(int stage, int index) {
    return 0x100001u + (((uint32_t)stage * 256u) & 0xFFFFu) + ((uint32_t)index & 0xFFu);
}
