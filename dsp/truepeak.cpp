// The limiter's true-peak detector: the tables of its three interpolators, the per-block
// driver (history, groups of cells, the late check where it can matter) and the choice
// between the SSE2 and the AVX2 kernels.
#include "dsp/truepeak.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

float g_tp_half[3][20], g_tp_sum[3][20], g_tp_diff[3][20];
float g_tp_qsum[3][20], g_tp_qdiff[3][20];
int32_t g_tp_avx2, g_tp_avx512;

namespace {
// A bound on the meter's value from the largest sample magnitude among the 16 it reads (with
// room for the rounding of the single-precision sums).
float g_meter_bound;
// The meter's taps other than the two central pairs, as factors of the largest sample they
// read: for the half point the sum of their magnitudes (times 2: both samples of a pair); for
// the quarter points, |s| + |d| with s and d the pair sums and differences under the halved
// weights, the sum over the pairs of max(|sum weight|, |difference weight|) (a |u + v| + b |u - v|
// <= 2 max(a, b) max(|u|, |v|)). Both rounded up.
float g_meter_tails[2];
} // namespace

namespace k_sse2 {
#include "dsp/simd.h"
// (the kernels need the vector types above)
#include "dsp/truepeak_kernels.inc"
} // namespace k_sse2

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace k_avx2 {
#define TK_SIMD_AVX2
#include "dsp/simd.h"
// (the kernels need the vector types above)
#include "dsp/truepeak_kernels.inc"
#undef TK_SIMD_AVX2
} // namespace k_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,fma,avx512f,avx512vl")
namespace k_avx512 {
#define TK_SIMD_AVX512
#include "dsp/simd.h"
// (the kernels need the vector types above)
#include "dsp/truepeak_kernels.inc"
#undef TK_SIMD_AVX512
} // namespace k_avx512
#pragma GCC pop_options

namespace {

const double PI = 3.14159265358979323846;

double sinc(double t) { return t == 0.0 ? 1.0 : std::sin(PI * t) / (PI * t); }

// BS.1770-style 4x interpolator: a sinc under a Hann window six samples wide each side.
double short_weight(double t) { return std::fabs(t) < 6.0 ? sinc(t) * 0.5 * (1.0 + std::cos(PI * t / 6.0)) : 0.0; }

double bessel_i0(double b) {
    const double q = (b * 0.5) * (b * 0.5);
    double sum = 1.0, term = 1.0;
    for (double k = 1.0; k < 200.0; k += 1.0) {
        term *= q / (k * k);
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

// Long interpolator of the late check: a sinc under a Kaiser window (beta 5), 20 samples
// each side; flat to beyond 0.45 of the rate.
double long_weight(double t) {
    const double r = t / 20.0;
    return std::fabs(r) < 1.0 ? sinc(t) * bessel_i0(5.0 * std::sqrt(1.0 - r * r)) / bessel_i0(5.0) : 0.0;
}

// Row `row` from weights w(distance) for pairs k = 0 .. pairs - 1 whose samples lie at
// distances (c - k - tau) and (k + 1 - c - tau) from the point tau of the cell, c being the
// distance of the pair's first sample from the cell's left sample plus one. Each point's
// weights are normalised to unity gain at DC.
void make_row(int row, int pairs, double c, double (*w)(double)) {
    double a[20], b[20], h[20], sa = 0, sh = 0;
    for (int k = 0; k < pairs; k++) {
        a[k] = w(c - k - 0.25); // quarter point, first sample of the pair
        b[k] = w(c - k - 0.75); // quarter point, second sample (mirror of the three-quarter's first)
        h[k] = w(c - k - 0.5);  // half point, both samples
        sa += a[k] + b[k];
        sh += 2.0 * h[k];
    }
    for (int k = 0; k < pairs; k++) {
        g_tp_half[row][k] = (float)(h[k] / sh);
        g_tp_sum[row][k] = (float)((a[k] + b[k]) / sa);
        g_tp_diff[row][k] = (float)((a[k] - b[k]) / sa);
    }
}

int design() {
    os4_global_init();
    std::memset(g_tp_half, 0, sizeof g_tp_half);
    std::memset(g_tp_sum, 0, sizeof g_tp_sum);
    std::memset(g_tp_diff, 0, sizeof g_tp_diff);
    // Row 0: the output meter's own phases (half: phase 1; quarter: phase 0, three-quarter:
    // phase 2, its mirror), pairs (t - k, t - 15 + k).
    for (int k = 0; k < 8; k++) {
        const double h = 0.5 * ((double)g_coef[1][k] + g_coef[1][15 - k]);
        const double a = 0.5 * ((double)g_coef[0][k] + g_coef[2][15 - k]);
        const double b = 0.5 * ((double)g_coef[0][15 - k] + g_coef[2][k]);
        g_tp_half[0][k] = (float)h;
        g_tp_sum[0][k] = (float)(a + b);
        g_tp_diff[0][k] = (float)(a - b);
    }
    double half = 0, quarter = 0;
    for (int k = 0; k < 8; k++) {
        half += 2.0 * std::fabs(g_tp_half[0][k]);
        quarter += std::fabs(g_tp_sum[0][k]) + std::fabs(g_tp_diff[0][k]);
    }
    g_meter_bound = (float)((half > quarter ? (half > 1 ? half : 1) : (quarter > 1 ? quarter : 1)) * (1 + 1e-5));
    double tail_h = 0, tail_q = 0;
    for (int k = 0; k < 6; k++) {
        tail_h += 2.0 * std::fabs(g_tp_half[0][k]);
        tail_q += std::fmax(std::fabs(g_tp_sum[0][k]), std::fabs(g_tp_diff[0][k]));
    }
    g_meter_tails[0] = (float)(tail_h * (1 + 1e-5));
    g_meter_tails[1] = (float)(tail_q * (1 + 1e-5));
    make_row(1, 8, 8.0, short_weight);
    make_row(2, 20, 20.0, long_weight);
    for (int row = 0; row < 3; row++)
        for (int k = 0; k < 20; k++) {
            g_tp_qsum[row][k] = g_tp_sum[row][k] * 0.5f;
            g_tp_qdiff[row][k] = g_tp_diff[row][k] * 0.5f;
        }
    __builtin_cpu_init();
    g_tp_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? 1 : 0;
    g_tp_avx512 = g_tp_avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") ? 1 : 0;
    return 1;
}

void fast_values(const float *x, uint32_t n, float *out) {
    if (g_tp_avx512 && g_tp_avx2)
        k_avx512::fast_kernel(x, n, out);
    else if (g_tp_avx2)
        k_avx2::fast_kernel(x, n, out);
    else
        k_sse2::fast_kernel(x, n, out);
}

float meter_max(const float *x, uint32_t n) {
    if (g_tp_avx512 && g_tp_avx2) return k_avx512::meter_kernel(x, n);
    return g_tp_avx2 ? k_avx2::meter_kernel(x, n) : k_sse2::meter_kernel(x, n);
}

void late_values(const float *x, int i0, float *out8) {
    if (g_tp_avx512 && g_tp_avx2)
        k_avx512::late_kernel(x, i0, out8);
    else if (g_tp_avx2)
        k_avx2::late_kernel(x, i0, out8);
    else
        k_sse2::late_kernel(x, i0, out8);
}

// Largest of four lanes.
inline float hmax4(__m128 a) {
    a = _mm_max_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)));
    a = _mm_max_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtss_f32(a);
}

// Largest of 8 floats.
inline float max8(const float *p) { return hmax4(_mm_max_ps(_mm_loadu_ps(p), _mm_loadu_ps(p + 4))); }

// Group g's slot in the ring, one place on: a whole chunk aligned to the samples' count (its
// sixteen groups from 16k - 1 on) then lies in a row in both copies.
inline int64_t group_slot(int64_t g) { return (g + 1) & (TPDET_GROUPS - 1); }

// Whether group g of cells gets the late check: it came within TPDET_LATE_RATIO of the largest
// fast value of the five groups before it, and of the threshold thr.
bool late_wanted(const TpDetector *d, int64_t g, double thr) {
    const float own = d->group_max[group_slot(g)] * TPDET_LATE_RATIO;
    const float *five = d->group_max + group_slot(g - 5); // groups g - 5 .. g - 1, in a row
    return own >= hmax4(_mm_max_ps(_mm_loadu_ps(five), _mm_load_ss(five + 4))) && (double)own > thr;
}

void late_values16(const float *x, int i0, float *out16) {
    if (g_tp_avx512 && g_tp_avx2)
        k_avx512::late_kernel16(x, i0, out16);
    else if (g_tp_avx2)
        k_avx2::late_kernel16(x, i0, out16);
    else
        k_sse2::late_kernel16(x, i0, out16);
}

} // namespace

void tpdet_global_init() {
    static const int designed = design(); // thread-safe one-time initialisation
    (void)designed;
}

void tpdet_reset(TpDetector *d) {
    std::memset(d, 0, sizeof *d);
    d->decided = -1;
}

void tpdet_pass(TpDetector *d, const float *x, uint32_t n) {
    if (n >= (uint32_t)TPDET_HIST) {
        std::memcpy(d->hist, x + n - TPDET_HIST, sizeof d->hist);
    } else {
        std::memmove(d->hist, d->hist + n, (TPDET_HIST - n) * sizeof(float));
        std::memcpy(d->hist + TPDET_HIST - n, x, n * sizeof(float));
    }
    d->count += n;
    // The groups start afresh when true-peak detection comes back.
    if (d->grouped) {
        std::memset(d->group_max, 0, sizeof d->group_max);
        d->group_cur = 0.0f;
        d->decided = -1;
        d->grouped = 0;
    }
}

// Samples the detector works on at a time, and its groups of cells.
constexpr uint32_t DET_CHUNK = 128;
constexpr int DET_CHUNK_GROUPS = (int)DET_CHUNK / 8;

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace {

// Largest of each row of eight in 64 floats, in row order, by halving pairs of rows.
inline __m256 row_maxima8(const float *x) {
    __m256 t[4];
    for (int i = 0; i < 4; i++) {
        const __m256 a = _mm256_loadu_ps(x + 16 * i), b = _mm256_loadu_ps(x + 16 * i + 8);
        t[i] = _mm256_max_ps(_mm256_permute2f128_ps(a, b, 0x20), _mm256_permute2f128_ps(a, b, 0x31));
    }
    // t[i]: rows 2i (low half) and 2i + 1 (high half), four values each.
    __m256 u[2];
    for (int i = 0; i < 2; i++)
        u[i] = _mm256_max_ps(_mm256_shuffle_ps(t[2 * i], t[2 * i + 1], _MM_SHUFFLE(1, 0, 1, 0)),
                             _mm256_shuffle_ps(t[2 * i], t[2 * i + 1], _MM_SHUFFLE(3, 2, 3, 2)));
    // u[i]: rows 4i, 4i + 2 (low half), 4i + 1, 4i + 3 (high half), two values each.
    const __m256 v = _mm256_max_ps(_mm256_shuffle_ps(u[0], u[1], _MM_SHUFFLE(2, 0, 2, 0)),
                                   _mm256_shuffle_ps(u[0], u[1], _MM_SHUFFLE(3, 1, 3, 1)));
    // v: rows 0, 2, 4, 6, 1, 3, 5, 7.
    return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// x[o .. o + 7] of the sixteen floats lo, hi (o = 0 .. 8).
template <int O> inline __m256 window8(__m256 lo, __m256 hi) {
    if constexpr (O == 0) return lo;
    if constexpr (O == 8) return hi;
    const __m256i mid = _mm256_castps_si256(_mm256_permute2f128_ps(lo, hi, 0x21)); // lo[4 .. 7], hi[0 .. 3]
    if constexpr (O < 4)
        return _mm256_castsi256_ps(_mm256_alignr_epi8(mid, _mm256_castps_si256(lo), 4 * O));
    else if constexpr (O == 4)
        return _mm256_castsi256_ps(mid);
    else
        return _mm256_castsi256_ps(_mm256_alignr_epi8(_mm256_castps_si256(hi), mid, 4 * (O - 4)));
}

// The decisions of the eight groups whose values (times TPDET_LATE_RATIO) are lo, hi [7 .. 14],
// the five before each being lo, hi [2 + k .. 9 + k], k = 0 .. 4: bit j when group j came
// within the ratio of them and of the threshold.
inline uint32_t decide8(__m256 lo, __m256 hi, __m256d thr) {
    const __m256 own = _mm256_mul_ps(window8<7>(lo, hi), _mm256_set1_ps(TPDET_LATE_RATIO));
    __m256 five = window8<2>(lo, hi);
    five = _mm256_max_ps(five, window8<3>(lo, hi));
    five = _mm256_max_ps(five, window8<4>(lo, hi));
    five = _mm256_max_ps(five, window8<5>(lo, hi));
    five = _mm256_max_ps(five, window8<6>(lo, hi));
    const uint32_t near = (uint32_t)_mm256_movemask_ps(_mm256_cmp_ps(own, five, _CMP_GE_OQ));
    const uint32_t l4 =
        (uint32_t)_mm256_movemask_pd(_mm256_cmp_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(own)), thr, _CMP_GT_OQ));
    const uint32_t h4 =
        (uint32_t)_mm256_movemask_pd(_mm256_cmp_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(own, 1)), thr, _CMP_GT_OQ));
    return near & (l4 | h4 << 4);
}

// The groups of a whole chunk of DET_CHUNK fast values whose first cell starts a group (time
// t0, a multiple of 8, past the first groups), with the threshold thr_c throughout: the same
// group maxima and late-check decisions as the sample-by-sample loops of detect_chunk, sixteen
// at a time. Returns the groups wanted for the late check (bit g - g_lo, g_lo = the group
// before the first one decided here); *top takes the chunk's largest fast value.
uint32_t chunk_groups(TpDetector *d, const float *fast, int64_t t0, double thr_c, float *top) {
    static_assert(DET_CHUNK_GROUPS == 16, "two vectors of group maxima");
    const int64_t g0 = (t0 - 8) >> 3; // the chunk's first group
    float *const ring = d->group_max;
    // The groups g0 - 8 .. g0 - 1 from the ring (mirrored: in a row), then the chunk's.
    const __m256 before = _mm256_loadu_ps(ring + group_slot(g0 - 8));
    const __m256 g_a = row_maxima8(fast), g_b = row_maxima8(fast + 64);
    // Into the ring, both copies: the sixteen in a row from the slot of g0 (crossing into the
    // mirror, which repeats the slots), and the other copy of each.
    const int s = (int)group_slot(g0);
    _mm256_storeu_ps(ring + s, g_a);
    _mm256_storeu_ps(ring + s + 8, g_b);
    if (s <= 16) {
        _mm256_storeu_ps(ring + s + 32, g_a);
        _mm256_storeu_ps(ring + s + 40, g_b);
    } else {
        alignas(32) float gm[16];
        _mm256_store_ps(gm, g_a);
        _mm256_store_ps(gm + 8, g_b);
        for (int j = 0; j < 16; j++)
            ring[(s + j + 32) & 63] = gm[j];
    }
    d->group_cur = 0.0f;
    const __m256 both = _mm256_max_ps(g_a, g_b);
    *top = hmax4(_mm_max_ps(_mm256_castps256_ps128(both), _mm256_extractf128_ps(both, 1)));
    // Group g0 - 1 + j is decided at time 8 j + 4 of the chunk: its own value against the
    // five groups before it and the threshold.
    const int64_t g_lo = g0 - 2;
    const __m256d thr = _mm256_set1_pd(thr_c);
    uint32_t want = d->decided == g_lo && d->wanted ? 1u : 0u;
    want |= decide8(before, g_a, thr) << 1;
    want |= decide8(g_a, g_b, thr) << 9;
    d->decided = g0 + 14;
    d->wanted = (uint8_t)((want >> 16) & 1u);
    return want;
}

} // namespace
#pragma GCC pop_options

namespace {

// Detector values for m samples (at most DET_CHUNK) at xs, which has the detector's
// TPDET_HIST samples of history before it and 16 readable floats after xs[m - 1] (their values
// do not matter); pushes nothing into d->hist, which the caller brings up to date. Returns the
// largest of the values.
float detect_chunk(TpDetector *d, const float *xs, uint32_t m, float *out, const double *thr, double thr_c) {
    // A chunk fills DET_CHUNK / 8 groups before the late checks of the first of them read the 5
    // groups before it.
    static_assert(DET_CHUNK / 8 + 5 + 3 <= TPDET_GROUPS, "group ring too short for the chunk");
    static_assert(DET_CHUNK / 8 + 4 <= 32, "one bit per group of a block");
    alignas(32) float fast[DET_CHUNK + 8];
    alignas(64) float late[16];
    const int64_t t0 = (int64_t)d->count;
    // The kernels write whole vectors of 16: straight into out when m fills them.
    const float *fast_v = out;
    if ((m & 15) == 0) {
        fast_values(xs, m, out);
    } else {
        fast_values(xs, m, fast);
        std::memcpy(out, fast, m * sizeof(float));
        fast_v = fast;
    }
    // Groups of 8 cells by absolute cell index (cell of time t: t - 8), and the late cells of
    // this block: t0 - 20 .. t0 + m - 21, by groups; a group is decided when its first late
    // cell is due (time 8g + 20), with the threshold of that time. The decisions come first;
    // two wanted groups in a row are interpolated together.
    const int64_t c_lo = t0 - 20, c_hi = t0 + m - 20;
    const int64_t g_lo = (c_lo >= 0 ? c_lo : 0) >> 3;
    uint32_t want = 0; // bit g - g_lo: group g gets its late check in this block
    float top = -1.0f; // the largest value, when the groups gave it
    if (g_tp_avx2 && !thr && m == DET_CHUNK && (t0 & 7) == 0 && t0 >= 64) {
        want = chunk_groups(d, fast_v, t0, thr_c, &top);
    } else {
        float cur = d->group_cur;
        for (uint32_t i = t0 >= 8 ? 0 : (uint32_t)(8 - t0); i < m;) {
            const int64_t c = t0 + i - 8;
            const uint32_t left = 8 - (uint32_t)(c & 7), len = left < m - i ? left : m - i;
            float big = 0.0f;
            if (len == 8)
                big = max8(fast_v + i);
            else
                for (uint32_t j = i; j < i + len; j++)
                    big = fast_v[j] > big ? fast_v[j] : big;
            cur = big > cur ? big : cur;
            if (len == left) {
                const int64_t slot = group_slot(c >> 3);
                d->group_max[slot] = d->group_max[slot + TPDET_GROUPS] = cur;
                cur = 0.0f;
            }
            i += len;
        }
        d->group_cur = cur;
        for (int64_t g = g_lo; 8 * g < c_hi; g++) {
            const int i0 = (int)(8 * g + 20 - t0);
            if (i0 >= 0) {
                d->decided = g;
                d->wanted = late_wanted(d, g, thr ? thr[i0] : thr_c);
            }
            if (d->decided == g && d->wanted) want |= 1u << (uint32_t)(g - g_lo);
        }
    }
    __m128 merged = _mm_setzero_ps(); // the largest late values merged whole
    while (want) {
        const uint32_t b = (uint32_t)__builtin_ctz(want);
        const int i0 = (int)(8 * (g_lo + b) + 20 - t0);
        const bool pair = (want >> (b + 1)) & 1u;
        want &= ~(pair ? 3u << b : 1u << b);
        const int len = pair ? 16 : 8;
        if (pair)
            late_values16(xs, i0, late);
        else
            late_values(xs, i0, late);
        if (i0 >= 0 && i0 + len <= (int)m) {
            for (int j = 0; j < len; j += 4) {
                const __m128 v = _mm_load_ps(late + j);
                _mm_storeu_ps(out + i0 + j, _mm_max_ps(v, _mm_loadu_ps(out + i0 + j)));
                merged = _mm_max_ps(v, merged);
            }
            continue;
        }
        for (int j = 0; j < len; j++) {
            const int i = i0 + j;
            if (i >= 0 && i < (int)m && late[j] > out[i]) {
                out[i] = late[j];
                top = top >= 0.0f && late[j] > top ? late[j] : top;
            }
        }
    }
    d->count += m;
    if (top >= 0.0f) {
        const float t = hmax4(merged);
        top = t > top ? t : top;
    } else {
        top = 0.0f;
        for (uint32_t i = 0; i < m; i++)
            top = out[i] > top ? out[i] : top;
    }
    return top;
}

} // namespace

void tpdet_block(TpDetector *d, const float *x, uint32_t n, float *out, bool true_peak, const double *thr,
                 double thr_c) {
    alignas(32) float lin[TPDET_HIST + DET_CHUNK + 16];
    if (!true_peak) {
        // The input's magnitude 7 samples back, the first ones from the history.
        const uint32_t k = n < 7 ? n : 7;
        for (uint32_t i = 0; i < k; i++)
            out[i] = std::fabs(d->hist[TPDET_HIST - 7 + i]);
        for (uint32_t i = 7; i < n; i++)
            out[i] = std::fabs(x[i - 7]);
        tpdet_pass(d, x, n);
        return;
    }
    d->grouped = 1;
    while (n > 0) {
        const uint32_t m = n < DET_CHUNK ? n : DET_CHUNK;
        std::memcpy(lin, d->hist, sizeof d->hist);
        std::memcpy(lin + TPDET_HIST, x, m * sizeof(float));
        std::memset(lin + TPDET_HIST + m, 0, 16 * sizeof(float));
        detect_chunk(d, lin + TPDET_HIST, m, out, thr, thr_c);
        std::memcpy(d->hist, lin + m, sizeof d->hist);
        x += m;
        out += m;
        if (thr) thr += m;
        n -= m;
    }
}

float tpdet_block_at(TpDetector *d, const float *x, uint32_t n, float *out, const double *thr, double thr_c) {
    d->grouped = 1;
    const uint32_t total = n;
    float top = 0.0f;
    while (n > 0) {
        const uint32_t m = n < DET_CHUNK ? n : DET_CHUNK;
        const float t = detect_chunk(d, x, m, out, thr, thr_c);
        top = t > top ? t : top;
        x += m;
        out += m;
        if (thr) thr += m;
        n -= m;
    }
    if (total) std::memcpy(d->hist, x - TPDET_HIST, sizeof d->hist);
    return top;
}

float tpmeter_span(const float *x, uint32_t n) { return n ? meter_max(x, n) : 0.0f; }

float tpmeter_span_above(const float *x, uint32_t n, float past, float running) {
    if (n == 0) return running;
    if (g_tp_avx512 && g_tp_avx2) return k_avx512::meter_above(x, n, past, running, g_meter_tails);
    return g_tp_avx2 ? k_avx2::meter_above(x, n, past, running, g_meter_tails)
                     : k_sse2::meter_above(x, n, past, running, g_meter_tails);
}

float tpmeter_gain_bound() { return g_meter_bound; }

float tpmeter_block(Os4 *s, const float *x, uint32_t n, float running) {
    constexpr uint32_t CHUNK = 64;
    alignas(32) float lin[15 + CHUNK + 16];
    const __m128 absmask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    while (n > 0) {
        const uint32_t m = n < CHUNK ? n : CHUNK;
        std::memcpy(lin, &s->hist[(s->count - 15) & 31], 15 * sizeof(float));
        std::memcpy(lin + 15, x, m * sizeof(float));
        std::memset(lin + 15 + m, 0, 16 * sizeof(float));
        // The samples these outputs read, at their largest, bound every output.
        __m128 a = _mm_setzero_ps();
        for (uint32_t i = 0; i < 15 + m; i += 4)
            a = _mm_max_ps(a, _mm_and_ps(_mm_loadu_ps(lin + i), absmask));
        if (hmax4(a) * g_meter_bound > running) {
            const float top = meter_max(lin + 15, m);
            running = top > running ? top : running;
        }
        // Keep the last 16 samples in the mirrored ring (all os4_push needs).
        for (uint32_t i = m > 16 ? m - 16 : 0; i < m; i++) {
            const uint32_t j = (s->count + i) & 31;
            s->hist[j] = s->hist[j + 32] = x[i];
        }
        s->count += m;
        x += m;
        n -= m;
    }
    return running;
}
