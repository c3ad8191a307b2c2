// Chain-wide gain: the spread of a total change over the stages, the chain-total drag of
// the gain slider in chain mode, and loudness matching ("To %d LUFS"). Editor (host main)
// thread only; every write goes through plugin_edit_begin/value/end.
#pragma once
#include <cstdint>

struct Ui;
struct Plugin;
struct SharedSlot;

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
// when not a number) for 4, the table row for 0..3, -14 for any other index.
double loudness_target(const Plugin *owner);

// Chain-total drag of the gain slider (HIT_GAIN_SLIDER) in chain mode. Start: one undo step
// (tag 0), drag_kind = HIT_GAIN_SLIDER, drag_a = a, drag_row = Gain, drag_x0/y0 = (x, y) in
// design units, and for every chain stage (the owner's stage when the chain is empty) its
// slot in drag_slots, its start Gain / 30 in drag_norm and a gesture begin on Gain.
void chain_drag_start(Ui *ui, int a, double x, double y);
// Motion to pointer y (design units), Shift = fine (x 0.1): every dragged stage gets
// clamp(norm, 0, 1) x 30 + w_i x T with T = (drag_y0 - y) / 424 x 30 x n dB, always from
// the start values; stages saturate at 0 and 30 dB without passing their share on.
void chain_drag_motion(Ui *ui, double y, bool shift);
// Release: gesture end on every dragged stage; drag_count = 0, drag_kind = 0.
void chain_drag_end(Ui *ui);

// The stage whose loudness is matched: the last chain entry that processed audio recently,
// else the owner's own slot (null without an owner slot).
SharedSlot *loudness_ref_slot(const Ui *ui);
// The loudness matched: the reference stage's readout for lufs_mode (outside 0..2 counts
// as short term), or loud_frozen while the readouts are paused. -100 when there is none.
double loudness_measured(const Ui *ui);
// "To %d LUFS": moves the chain's total gain by D = target - measured, shared by spread,
// as one undo step. Does nothing (false, no undo step) when the measured loudness is at or
// below -60 LUFS or not a number, or |D| < 0.05.
bool loudness_match(Ui *ui);
