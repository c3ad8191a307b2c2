// Small helpers shared by the section painters (top bar, strip, controls, grid, meters,
// graph), and the computational halves of the meters and the graph, which run without a
// NanoVG context so that they can be checked on their own. Editor (main) thread only.
#pragma once
#include <cmath>
#include <cstdint>

#include "editor/draw.h"
#include "params/params.h"
#include "registry/shared.h"

#include "nanovg.h"

// [any-thread] Returns the reduction in dB (positive) for a linear gain: 120 below 0.000001, 0 above 1 and for NaN.
inline float reduction_db(float gain) {
    if (std::isnan(gain)) return 0.f;
    if (gain < 0.000001f) return 120.f;
    if (gain > 1.f) return 0.f;
    return -20.f * std::log10(gain);
}

// [any-thread] Returns a float from a foreign slot as a finite value in [lo, hi] (NaN gives lo).
inline float bounded(float v, float lo, float hi) {
    if (!(v >= lo)) return lo;
    if (v > hi) return hi;
    return v;
}

// [any-thread] Returns the integer of a bounded value, for use as an index: NaN and out-of-range values clamp.
inline int bounded_int(double v, int lo, int hi) {
    if (!(v >= (double)lo)) return lo;
    if (v > (double)hi) return hi;
    return (int)v;
}

// The grid's parameter rows (PARAMS indexes) and labels, in display order.
constexpr int GRID_ROW_COUNT = 12;
extern const int GRID_ROWS[GRID_ROW_COUNT];
extern const char *const GRID_LABELS[GRID_ROW_COUNT];
// [main-thread] Returns the width of a grid column for n stages: 526 / n, at most 170.
float grid_column_width(int n);

// [main-thread] Returns the gain slider's position (0..1 from the bottom): the shown stage's Gain over its range,
// or in chain mode with a non-empty chain the chain total over n x 30 dB. value receives the
// number the label shows, stage the chain index the slider edits (both may be null).
double gain_slider_fraction(const Ui *ui, double *value, int *stage);

// What the loudness panel shows in this frame, computed from the slots without drawing.
struct MetersView {
    SharedSlot *in_slot;  // first recent chain stage (owner's slot when none)
    SharedSlot *out_slot; // last recent chain stage
    float ceiling;        // output stage's Ceiling (dB)
    bool out_clip[2];     // output L/R hold above ceiling + 0.05
    bool out_red;         // OUT hold readout above ceiling + 0.05
    float gr_total;       // summed reduction of the recent stages (dB)
    float loud_value;     // big readout value (frozen while paused)
    float loud_int;       // integrated value (frozen while paused)
    char readout[16];     // "%.1f" or "-inf"
    bool readout_red;     // above target + 0.5
    char distance[24];    // "%+.1f LU"
    char int_text[24];    // "INT  %.1f" or "INT  -inf"
    double target;        // loudness target (LUFS)
    int mode;             // lufs_mode bounded to 0..2
};

// [main-thread] Runs the display ballistics of one frame (t in seconds) and fills view. draw_meters calls
// it once per frame; with vg null draw_meters does only this (plus the hit targets).
void meters_update(Ui *ui, double t, MetersView *view);

// [main-thread] One meter's ballistics step: value x linear (NaN and negatives count as silence), frame
// time t (s). A meter whose expiry is still 0 (never updated) takes the value at once.
void meter_ballistics(MeterBall *m, float x, double t);

// The graph: draw_graph(ui, now_ns) (draw.h) with vg null runs the whole computation --
// reference stage, anchor, offsets, buckets and columns -- and fills graph_cols,
// graph_col_count, graph_info and the ".cols.txt" dump, drawing nothing.
