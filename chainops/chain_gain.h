// Chain-wide gain: the spread of a total change over the stages, the chain-total drag of
// the gain slider in chain mode, and loudness matching ("To %d LUFS"). Host main thread
// only; every write goes through plugin_edit_begin/value/end.
#pragma once
#include <cstdint>

#include "chainops/chain_view.h"

struct SharedSlot;

// The owner's preferences for chain-wide gain, saved in its state.
struct GainPrefs {
    uint32_t target_idx;  // row of TARGETS
    double target_custom; // the Custom target (LUFS)
    uint32_t lufs_mode;   // row of LUFS_MODES
    uint32_t spread;      // row of DIST_NAMES
};

// Spread modes, index = owner's spread: "Even", "Front", "Back".
constexpr int DIST_COUNT = 3;
extern const char *const DIST_NAMES[DIST_COUNT];

// Loudness targets, index = owner's target_idx. Row 4 ("Custom") uses target_custom.
struct LoudTarget {
    const char *label;       // menu label, e.g. "-14 LUFS (Streaming)"
    const char *short_label; // e.g. "Strm"
    double lufs;
};
constexpr int TARGET_COUNT = 5;
constexpr int TARGET_CUSTOM = 4;
extern const LoudTarget TARGETS[TARGET_COUNT];
// Bounds of the Custom target (LUFS); outside them it is clamped, in the state refused.
constexpr double TARGET_CUSTOM_MIN = -40.0;
constexpr double TARGET_CUSTOM_MAX = 0.0;

// Readout modes, index = owner's lufs_mode: "Short term" (lufs_s), "Momentary" (lufs_m),
// "Integrated" (lufs_i).
constexpr int LUFS_MODE_COUNT = 3;
extern const char *const LUFS_MODES[LUFS_MODE_COUNT];

// Chain-total drag: 424 design units of pointer travel change the total by 30 dB per stage.
constexpr double CHAIN_DRAG_UNITS = 424.0;

// Weights of n stages (chain order) for a spread mode; they sum to 1. n = 1 gives 1;
// Even 1/n; Front (n - i) / S; Back (i + 1) / S with S = 1 + ... + n. A spread outside
// 0..2 counts as Even. Writes n entries of w (n at most 64; n < 1 writes nothing).
void spread_weights(uint32_t spread, int n, double *w);

// The target in LUFS for the owner's target_idx: target_custom (clamped to -40..0, -16
// when not a number) for 4, the table row for 0..3, -14 for any other index (or no prefs).
double loudness_target(const GainPrefs *prefs);
// Row of TARGETS that target_idx stands for (above 4 counts as 1, as does no prefs).
int target_index(const GainPrefs *prefs);

// Readouts held by the loudness panel's Pause: loudness matching uses the held value.
struct LoudHold {
    uint8_t loud_paused;
    float loud_frozen;     // the readout when paused
    float loud_frozen_int; // the integrated readout when paused
};

// The stages of a drag, taken at its start: where the pointer started (design units), each
// stage's slot and identity (a stage removed during the drag is left alone) and its start
// value normalised to 0..1.
struct DragStages {
    double drag_x0, drag_y0;
    int32_t drag_count;
    SharedSlot *drag_slots[CHAIN_MAX];
    uint64_t drag_uids[CHAIN_MAX];
    double drag_norm[CHAIN_MAX];
};

// drag_count bounded to 0..CHAIN_MAX.
int drag_stage_count(const DragStages *drag);
// Whether dragged stage i is still a live slot holding the same stage.
bool drag_stage_live(const DragStages *drag, int i);

// Chain-total drag of the gain slider in chain mode. Start: one undo step (tag 0),
// drag_x0/y0 = (x, y) in design units, and for every stage of the chain (the owner's stage
// when the chain is empty) its slot, identity, start Gain / 30 in drag_norm and a gesture
// begin on Gain.
void chain_drag_start(ChainOps *ops, DragStages *drag, double x, double y);
// Motion to pointer y (design units), Shift = fine (x 0.1): every dragged stage gets
// clamp(norm, 0, 1) x 30 + w_i x T with T = (drag_y0 - y) / 424 x 30 x n dB, always from
// the start values; stages saturate at 0 and 30 dB without passing their share on.
void chain_drag_motion(const ChainOps *ops, DragStages *drag, double y, bool shift);
// Release: gesture end on every dragged stage still live; drag_count = 0.
void chain_drag_end(DragStages *drag);

// The stage whose loudness is matched: the last chain entry that processed audio recently,
// else the owner's own slot (null without an owner slot).
SharedSlot *loudness_ref_slot(const ChainView *view);
// The loudness matched: the reference stage's readout for lufs_mode (outside 0..2 counts
// as short term), or loud_frozen while the readouts are paused. -100 when there is none.
double loudness_measured(const ChainOps *ops);
// "To %d LUFS": moves the chain's total gain by D = target - measured, shared by spread,
// as one undo step. Does nothing (false, no undo step) when the measured loudness is at or
// below -60 LUFS or not a number, or |D| < 0.05.
bool loudness_match(ChainOps *ops);
