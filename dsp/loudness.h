// BS.1770 loudness meter: K-weighting, momentary (400 ms), short-term (3 s) and gated
// integrated loudness in LUFS (-100 = no value). No heap memory; no host or ABI types.
#pragma once
#include <cstdint>

struct Biquad {
    double b0, b1, b2, a1, a2;
    double s1, s2;
};

// shelf/hp: the two K-weighting stages per channel; blocks: the last 30 100 ms powers;
// gate_count/gate_power: 0.1 LU histogram of 400 ms windows from -70 LUFS up. The filters
// take two samples per step; pend holds a sample (left, right) whose partner has not come
// yet (pending = 1), which the filters and sum_l/sum_r do not include.
struct Loudness {
    double rate;
    Biquad shelf[2];
    Biquad hp[2];
    int32_t hop;
    int32_t hop_count;
    double sum_l, sum_r;
    double blocks[30];
    int32_t block_pos;
    int32_t block_count;
    uint32_t gate_count[750];
    double gate_power[750];
    int32_t gate_lo, gate_hi; // the lowest and highest bin holding a window (lo > hi: none)
    double lufs_m, lufs_s, lufs_i;
    float pend[2];
    int32_t pending;
};

// [main-thread] (activate) Sets the filters for rate and resets.
void loudness_init(Loudness *m, double rate);
// [any-thread] that owns the meter (activate, reset, or process on an editor's request).
void loudness_reset(Loudness *m);
// [audio-thread] Allocates nothing.
void loudness_process(Loudness *m, const float *left, const float *right, uint32_t frames);
