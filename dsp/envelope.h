// The limiter's release envelopes over whole chunks as scans of eight samples at a time on
// AVX-512 (dsp/envelope_avx512.cpp), for processors that have it; dsp/limiter.cpp keeps the
// narrower kernels for the others. No host or ABI types.
#pragma once
#include <cstdint>

#include "dsp/limiter.h"

// The envelope of linked channels without hold (both channels' reductions and envelopes
// equal) over g0 (and g1 when it is a separate array of the same values) from sample 0 on,
// in place: reductions in dB in, results in dB out. Stops where the channels part (or hold
// starts to matter); returns how many samples it did and sets *any when a result is above 0.
// The results do not depend on how a signal is split into calls. Audio thread; allocates
// nothing. Only where g_tp_avx512 is set.
uint32_t envelope_scan8(Limiter *lim, double *g0, double *g1, uint32_t n, bool *any);
