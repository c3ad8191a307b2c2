// TPDF dither to 24 or 16 bit with error-feedback noise shaping (None, Light, Weighted),
// one channel per call, and the seeding of the two channel generators.
#include "dsp/dither.h"

#include <emmintrin.h>

#include <cmath>

namespace {

// Error filters: coefficient k applies to the error k + 1 samples back.
const double LIGHT[1] = {1.0};
const double WEIGHTED[9] = {2.412, -3.37, 3.937, -4.174, 3.353, -2.205, 1.281, -0.569, 0.0847};

inline uint32_t xorshift(uint32_t s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

// floor(t) for any t: exact for |t| < 2^52, where the magic-number rounding works; larger
// magnitudes are integers already; NaN stays NaN. Branch-free in the usual range.
inline double floor_exact(double t) {
    if (!(std::fabs(t) < 4503599627370496.0)) return t;
    const __m128d magic = _mm_set_sd(6755399441055744.0); // 1.5 * 2^52
    const __m128d vt = _mm_set_sd(t);
    const __m128d f = _mm_sub_sd(_mm_add_sd(vt, magic), magic); // t rounded to nearest
    return _mm_cvtsd_f64(_mm_sub_sd(f, _mm_and_pd(_mm_cmpgt_sd(f, vt), _mm_set_sd(1.0))));
}

// One channel's pass. The loop runs in units of the step (everything times scale, a power
// of two, so every product and sum equals scale times its counterpart in sample units, bit
// for bit): t1 = scale * v, qs = scale * q, es = scale * e. That takes two multiplications
// off the chain from one error to the next. The errors the filter reads, newest first, are
// held in registers; the ring is written as the loop goes and stays the record of the last
// 16 errors.
template <int TAPS> struct Pass {
    const double *coef;
    double scale, inv;
    uint32_t s, p;
    uint32_t *rng, *pos;
    double *err;
    double h[TAPS > 0 ? TAPS : 1];

    Pass(double scale_, const double *coef_, uint32_t *rng_, double *err_, uint32_t *pos_)
        : coef(coef_), scale(scale_), inv(1.0 / scale_), s(*rng_ ? *rng_ : 0x9E3779B9u), // a zero state stays zero
          p(*pos_ & 15), rng(rng_), pos(pos_), err(err_) {
        for (int k = 1; k <= TAPS; k++)
            h[k - 1] = err[(p - (uint32_t)k) & 15] * scale;
    }
    ~Pass() {
        *rng = s;
        *pos = p;
    }
    void step(float &x) {
        double fb = 0.0;
        for (int k = 1; k <= TAPS; k++)
            fb += coef[k - 1] * h[k - 1];
        const double in = x;
        const double t1 = in * scale - fb; // scale * (x - fb)
        const uint32_t s1 = xorshift(s);
        const uint32_t s2 = xorshift(s1);
        s = s2;
        const double d = ((s1 >> 8) * (1.0 / 16777216.0) - 0.5) + ((s2 >> 8) * (1.0 / 16777216.0) - 0.5);
        double qs = floor_exact(t1 + d + 0.5);
        if (qs < -scale) qs = -scale; // clamp q to -1 .. +1
        if (qs > scale) qs = scale;
        double es = qs - t1;
        if (!std::isfinite(in)) {
            // A non-finite sample would poison the error ring for good: it leaves silence
            // (NaN) or full scale (infinity) and records no error.
            qs = in > 0.0 ? scale : (in < 0.0 ? -scale : 0.0);
            es = 0.0;
        }
        err[p] = es * inv;
        p = (p + 1) & 15;
        for (int k = TAPS - 1; k > 0; k--)
            h[k] = h[k - 1];
        h[0] = es;
        x = (float)(qs * inv);
    }
};

template <int TAPS>
void run(float *x, uint32_t frames, double scale, const double *coef, uint32_t *rng, double *err, uint32_t *pos) {
    Pass<TAPS> c(scale, coef, rng, err, pos);
    for (uint32_t i = 0; i < frames; i++)
        c.step(x[i]);
}

template <int TAPS>
void run2(float *l, float *r, uint32_t frames, double scale, const double *coef, uint32_t rng[2], double err[2][16],
          uint32_t pos[2]) {
    Pass<TAPS> a(scale, coef, &rng[0], err[0], &pos[0]), b(scale, coef, &rng[1], err[1], &pos[1]);
    for (uint32_t i = 0; i < frames; i++) {
        a.step(l[i]);
        b.step(r[i]);
    }
}

const double *filter_of(int shape) {
    return shape == SHAPE_LIGHT ? LIGHT : shape == SHAPE_WEIGHTED ? WEIGHTED : nullptr;
}

} // namespace

void dither_seed(uint32_t rng[2], uint64_t r) {
    const uint32_t lo = (uint32_t)r;
    rng[0] = lo | 1u;
    rng[1] = (uint32_t)(lo * 0x9E3779B1u) | 1u;
    // For the 16 values lo = m * 2^28 the rule gives both channels the same state, and with
    // it the same dither; the right channel then takes a state from a second mixing.
    if (rng[1] == rng[0]) rng[1] = (uint32_t)((lo ^ 0x5851F42Du) * 0x9E3779B1u) | 1u;
}

void dither_process(float *samples, uint32_t frames, bool bits16, int shape, uint32_t *rng, double err[16],
                    uint32_t *pos) {
    if (!samples || !rng || !err || !pos) return;
    const double scale = bits16 ? 32768.0 : 8388608.0;
    const double *coef = filter_of(shape);
    if (coef == LIGHT)
        run<1>(samples, frames, scale, coef, rng, err, pos);
    else if (coef == WEIGHTED)
        run<9>(samples, frames, scale, coef, rng, err, pos);
    else
        run<0>(samples, frames, scale, coef, rng, err, pos);
}

void dither_process_stereo(float *left, float *right, uint32_t frames, bool bits16, int shape, uint32_t rng[2],
                           double err[2][16], uint32_t pos[2]) {
    if (!left || !right || !rng || !err || !pos) return;
    if (left == right) { // one buffer: the left pass only, as the pipeline does
        dither_process(left, frames, bits16, shape, &rng[0], err[0], &pos[0]);
        return;
    }
    const double scale = bits16 ? 32768.0 : 8388608.0;
    const double *coef = filter_of(shape);
    if (coef == LIGHT)
        run2<1>(left, right, frames, scale, coef, rng, err, pos);
    else if (coef == WEIGHTED)
        run2<9>(left, right, frames, scale, coef, rng, err, pos);
    else
        run2<0>(left, right, frames, scale, coef, rng, err, pos);
}
