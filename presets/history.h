// Undo, redo and A/B snapshots of a whole chain, and set_param_all, the editor's
// one-parameter edit with its undo mark. Editor (main) thread only.
#pragma once
#include <cstdint>

struct Plugin;
struct SharedSlot;
struct Ui;

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

int undo_mark(Ui *ui, uint32_t tag);
// The same mark in an owner's history for stages given by the caller (the first 16 are
// recorded), for changes made without an editor such as a host's preset load.
int undo_mark_stages(Plugin *owner, SharedSlot *const *slots, int n, uint32_t tag);
void set_param_all(Ui *ui, int stage, int index, double value);
void undo_do(Ui *ui);
void redo_do(Ui *ui);
void snap_apply(Ui *ui, const Snapshot *snap);
void ab_switch(Ui *ui);
void ab_copy(Ui *ui);

// Tags for undo_mark.
inline uint32_t undo_tag_param(int stage, int index) {
    return 0x10001u + (((uint32_t)stage * 256u) & 0xFFFFu) + ((uint32_t)index & 0xFFu);
}
inline uint32_t undo_tag_wheel(int stage, int index) {
    return 0x100001u + (((uint32_t)stage * 256u) & 0xFFFFu) + ((uint32_t)index & 0xFFu);
}
