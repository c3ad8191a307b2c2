// TPDF dither to 24 or 16 bit with error-feedback noise shaping (None, Light, Weighted).
// One channel per call, or both at once; the caller owns the generator states and the error
// rings.
#pragma once
#include <cstdint>

enum DitherShape { SHAPE_NONE = 0, SHAPE_LIGHT = 1, SHAPE_WEIGHTED = 2 };

// [main-thread] Seeds two channel generators from one 64-bit random value (each state odd, never 0).
void dither_seed(uint32_t rng[2], uint64_t r);

// Quantises samples in place: bits16 picks 16 bit (else 24 bit); shape picks the error
// filter. err is the channel's 16-entry error ring, pos its write index. [audio-thread]:
// allocates nothing.
void dither_process(float *samples, uint32_t frames, bool bits16, int shape, uint32_t *rng, double err[16],
                    uint32_t *pos);

// Both channels in one call, with the same results as dither_process over left and then
// over right (left only when both are the same buffer), in about half the time: the two
// error-feedback loops run side by side. [audio-thread]: allocates nothing.
void dither_process_stereo(float *left, float *right, uint32_t frames, bool bits16, int shape, uint32_t rng[2],
                           double err[2][16], uint32_t pos[2]);
