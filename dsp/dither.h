// TPDF dither to 24 or 16 bit with error-feedback noise shaping (None, Light, Weighted).
// One channel per call; the caller owns the generator state and the error ring.
#pragma once
#include <cstdint>

enum DitherShape { SHAPE_NONE = 0, SHAPE_LIGHT = 1, SHAPE_WEIGHTED = 2 };

// Seeds two channel generators from one 64-bit random value (each state odd, never 0).
void dither_seed(uint32_t rng[2], uint64_t r);

// Quantises samples in place: bits16 picks 16 bit (else 24 bit); shape picks the error
// filter. err is the channel's 16-entry error ring, pos its write index.
void dither_process(float *samples, uint32_t frames, bool bits16, int shape, uint32_t *rng,
                    double err[16], uint32_t *pos);
