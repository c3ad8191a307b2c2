// 4x oversampling polyphase interpolator (63-tap Kaiser-windowed sinc, four phases of
// 16/16/16/15 taps) used for true-peak detection and metering. No host or ABI types.
#pragma once
#include <cstdint>

// Phase coefficients, designed once per process by os4_global_init, then read only.
extern float g_coef[4][16];
extern int32_t g_ntaps[4];
extern int32_t g_ready;
// 1 when os4_peak_block runs its 8-lane AVX kernel (same results as the SSE2 one), set by
// os4_global_init from the processor's features. Tests may clear it to run the SSE2 kernel.
extern int32_t g_avx;

// One filter's state: a 32-entry history ring, stored twice (entries i and i + 32 hold
// the same sample) so that the 16 newest samples are always contiguous, and a write counter.
struct Os4 {
    float hist[64];
    uint32_t count;
};

// [main-thread] os4_global_init (activate); [audio-thread] the others, with no allocation.
void os4_global_init();                       // designs the table unless already done
void os4_reset(Os4 *s);                       // zero history and counter
void os4_push(Os4 *s, float out[4], float x); // store x, write the four phase outputs
float os4_peak(Os4 *s, float x);              // push, then returns max(0, |out[0..3]|)

// Pushes n samples (any n) and writes, per sample, max(0, |out[0..3]|) when true_peak is
// set, else |out[3]| (the input 7 samples late); same results as n calls of os4_push.
// [audio-thread] Allocates nothing.
void os4_peak_block(Os4 *s, const float *x, uint32_t n, float *peak, bool true_peak);
