// The limiter's true-peak detector: the peak of the band-limited input within one sample
// interval, from two short 4x interpolators at once, then again, finer, a few samples later
// around the largest peaks. No host or ABI types.
#pragma once
#include <cstdint>

#include "dsp/os4.h"

// Samples of input history the detector keeps (its longest filter reaches 39 back, and a
// group of late cells may start 8 samples before a block).
constexpr int TPDET_HIST = 48;

// Groups of cells whose largest fast values the detector keeps.
constexpr int TPDET_GROUPS = 32;

// One channel's detector.
//   hist         the last TPDET_HIST input samples, oldest first
//   count        samples pushed since the reset (the time index of the next one)
//   group_max    largest fast value of each of the last TPDET_GROUPS groups of 8 cells (ring
//                by group, mirrored: entry j + TPDET_GROUPS repeats entry j)
//   group_cur    largest fast value so far of the group being filled
//   decided      the last group whose late check was decided (-1: none), wanted the decision
// The cell of time t is the interval (t - 8, t - 7] of the input: the fast value written for
// time t covers it. The late, finer value of cell t - 20 joins the value of time t when its
// group of 8 cells came within TPDET_LATE_RATIO of the largest fast value of the 5 groups
// before it and of the threshold at the time of its first late cell (the largest fast value
// of a group lies within 0.82 dB, a ratio of 1.098, of the group's true peak for sines up to
// 0.45 of the rate; the ratio leaves room for mixtures).
struct TpDetector {
    float hist[TPDET_HIST];
    uint64_t count;
    float group_max[2 * TPDET_GROUPS];
    float group_cur;
    int64_t decided;
    uint8_t wanted;
    uint8_t grouped; // the groups hold values (true-peak detection ran since they were cleared)
};
constexpr float TPDET_LATE_RATIO = 1.15f;

// Designs the tables once per process (from the 4x interpolator's, os4_global_init must have
// run). [main-thread] (activate); later calls return at once.
void tpdet_global_init();

// [any-thread] that owns the detector. Clears history and groups; allocates nothing.
void tpdet_reset(TpDetector *d);

// Pushes n samples (any n) and writes one detector value per sample into out: with true_peak
// the largest of the cell's points on both interpolators (and of the late check), else the
// magnitude of the input 7 samples back. thr (null: 0) holds the limiter's threshold per
// sample (null: thr_c throughout); values that cannot reach it need no late check. The
// results do not depend on how a signal is split into calls. [audio-thread] Allocates nothing.
void tpdet_block(TpDetector *d, const float *x, uint32_t n, float *out, bool true_peak, const double *thr = nullptr,
                 double thr_c = 0.0);
// The same with true peak, for samples that have this detector's TPDET_HIST samples of history
// in memory before x[0] and 16 readable floats after x[n - 1] (their values do not matter):
// reads them in place instead of copying them after d->hist. Returns the largest value written
// (0 for none). [audio-thread] Allocates nothing.
float tpdet_block_at(TpDetector *d, const float *x, uint32_t n, float *out, const double *thr, double thr_c);
// Pushes n samples (any n) without writing detector values: what tpdet_block does without
// true peak, apart from out (the caller reads the input 7 samples back itself). [audio-thread]
void tpdet_pass(TpDetector *d, const float *x, uint32_t n);

// The output true-peak meter over a block: pushes n samples into the 4x interpolator state s
// (the same history os4_push keeps) and returns the larger of running and the largest phase
// magnitude of those samples. Groups of 8 samples whose phase gains bound every output under
// the running maximum are not interpolated (the block with the largest sample goes first);
// the result is that of interpolating every sample. [audio-thread] Allocates nothing.
float tpmeter_block(Os4 *s, const float *x, uint32_t n, float running);

// The same meter over samples whose 15 predecessors are in memory before them: the largest
// phase magnitude of the outputs for x[0 .. n - 1] (x[-15 .. -1] read, and up to 15 floats
// after x[n - 1], whose values do not matter); returns it. [audio-thread]
float tpmeter_span(const float *x, uint32_t n);
// [any-thread] Returns a bound on the meter's value from the largest sample magnitude among
// those it reads.
float tpmeter_gain_bound();
// The largest of `running` and the meter's values for x[0 .. n - 1] (n at most TPMETER_SPAN;
// memory as for tpmeter_span; past: the largest magnitude of x[-15 .. -1]), found without
// interpolating the samples whose values provably stay at or under running: the result is
// that of max(running, tpmeter_span(x, n)) whenever that exceeds running. Returns it. [audio-thread]
constexpr uint32_t TPMETER_SPAN = 512;
float tpmeter_span_above(const float *x, uint32_t n, float past, float running);

// Tables, exposed for tests: for the pair of samples (t - k, t - 15 + k) of the fast cell and
// (t - k, t - 39 + k) of the late one, the weight of their sum for the half-sample point, the
// weight of their sum for (quarter + three-quarter point) and of their difference for
// (quarter - three-quarter point). Row 0: the 4x interpolator of the output meter, row 1: the
// BS.1770-style one (pairs 2..7 only), row 2: the late interpolator (pairs 0..19).
extern float g_tp_half[3][20], g_tp_sum[3][20], g_tp_diff[3][20];
// The sum and difference weights halved (exactly), as the kernels use them: their sums give
// (quarter + three-quarter) / 2 and (quarter - three-quarter) / 2, whose sum and difference
// are the two points themselves.
extern float g_tp_qsum[3][20], g_tp_qdiff[3][20];
// 1 when the AVX2 kernels run, and g_tp_avx512 when the detector's and the meter's run over
// AVX-512 as well (set from the processor's features by tpdet_global_init; tests may clear
// them to run the narrower ones).
extern int32_t g_tp_avx2, g_tp_avx512;
