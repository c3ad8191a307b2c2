// 4x oversampling polyphase interpolator: designs the 63-tap Kaiser-windowed sinc once per
// process and runs its four phases with SSE2 (or AVX where present), per sample or per block.
#include "dsp/os4.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

float g_coef[4][16];
int32_t g_ntaps[4];
int32_t g_ready;
int32_t g_avx;

namespace {

// The same table rearranged for the SSE kernels: by_tap[k] holds tap k of phases 0..3 (the
// per-sample kernel, one lane per phase); splat[p][k] holds tap k of phase p in all four
// lanes (the block kernel, one lane per sample). Phase 3's missing 16th tap is 0.
alignas(16) float by_tap[16][4];
alignas(16) float splat[4][16][4];

// Modified Bessel function of the first kind, order 0, by its power series.
double bessel_i0(double b) {
    const double q = (b * 0.5) * (b * 0.5);
    double sum = 1.0, term = 1.0;
    double k = 1.0;
    do {
        term *= q / (k * k);
        k += 1.0;
        sum += term;
    } while (term > sum * 1e-12);
    return sum;
}

int design() {
    const double pi = 3.14159265358979323846;
    const double norm = bessel_i0(9.0);
    double h[63];
    for (int n = 0; n < 63; n++) {
        const double x = n - 31;
        const double t = x * 0.25;
        const double s = t == 0.0 ? 1.0 : std::sin(pi * t) / (pi * t);
        const double r = x / 31.0;
        const double w = bessel_i0(9.0 * std::sqrt(1.0 - r * r)) / norm;
        h[n] = w * s;
    }
    std::memset(g_coef, 0, sizeof g_coef);
    for (int p = 0; p < 4; p++) {
        float tap[16];
        int nt = 0;
        double sum = 0.0;
        for (int n = p; n < 63; n += 4) {
            tap[nt] = (float)h[n];
            sum += tap[nt];
            nt++;
        }
        for (int k = 0; k < nt; k++)
            g_coef[p][k] = (float)(tap[k] / sum);
        g_ntaps[p] = nt;
    }
    for (int k = 0; k < 16; k++)
        for (int p = 0; p < 4; p++) {
            const float c = k < g_ntaps[p] ? g_coef[p][k] : 0.0f;
            by_tap[k][p] = c;
            for (int l = 0; l < 4; l++)
                splat[p][k][l] = c;
        }
    __builtin_cpu_init();
    g_avx = __builtin_cpu_supports("avx") ? 1 : 0;
    __atomic_store_n(&g_ready, 1, __ATOMIC_RELEASE);
    return 1;
}

// Lanes kept per tap in the per-sample kernel: phase 3 has no 16th tap, so that product is
// masked out rather than multiplied by zero (which would turn an infinity into a NaN).
inline __m128 lane_mask(int k) {
    return k < 15 ? _mm_castsi128_ps(_mm_set1_epi32(-1)) : _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1));
}

inline __m128 abs_ps(__m128 v) { return _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))); }

// Writes sample x with counter value c into the mirrored ring.
inline void ring_store(Os4 *s, uint32_t c, float x) {
    s->hist[c & 31] = x;
    s->hist[(c & 31) + 32] = x;
}

} // namespace

void os4_global_init() {
    static const int designed = design(); // thread-safe one-time initialisation
    (void)designed;
}

void os4_reset(Os4 *s) {
    std::memset(s->hist, 0, sizeof s->hist);
    s->count = 0;
}

// One lane per phase: lane p accumulates g_coef[p][k] * x[n - k] for k = 0, 1, ... 15 in
// that order, exactly as a scalar loop over k would.
static inline __m128 push4(Os4 *s, float x) {
    const uint32_t i = s->count & 31;
    ring_store(s, s->count, x);
    s->count += 1;
    const float *h = &s->hist[i + 32]; // h[-k] is the sample k steps back
    __m128 acc = _mm_setzero_ps();
    for (int k = 0; k < 16; k += 4) {
        const __m128 v = _mm_loadu_ps(h - k - 3); // samples k+3, k+2, k+1, k back
        const __m128 x0 = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3));
        const __m128 x1 = _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 2, 2, 2));
        const __m128 x2 = _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1));
        const __m128 x3 = _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 0, 0, 0));
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(by_tap[k]), x0));
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(by_tap[k + 1]), x1));
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(by_tap[k + 2]), x2));
        acc = _mm_add_ps(acc, _mm_and_ps(_mm_mul_ps(_mm_load_ps(by_tap[k + 3]), x3), lane_mask(k + 3)));
    }
    return acc;
}

void os4_push(Os4 *s, float out[4], float x) { _mm_storeu_ps(out, push4(s, x)); }

float os4_peak(Os4 *s, float x) {
    const __m128 a = abs_ps(push4(s, x));
    // Same order of maxima as the block kernel: max(max(max(max(0, p0), p1), p2), p3).
    __m128 m = _mm_max_ss(_mm_setzero_ps(), a);
    m = _mm_max_ss(m, _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 1, 1, 1)));
    m = _mm_max_ss(m, _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 2, 2, 2)));
    m = _mm_max_ss(m, _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 3, 3, 3)));
    return _mm_cvtss_f32(m);
}

// One lane per sample: eight consecutive samples at a time, every phase summed over k from
// 0 upward. lin holds 15 older samples followed by the new ones (padded to a multiple of 16).
static void block_kernel(const float *lin, uint32_t m, float *peak, bool true_peak) {
    const __m128 absmask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    for (uint32_t j = 0; j < m; j += 8) {
        const float *x = lin + 15 + j; // x[i - k] is sample j + i, k steps back
        if (true_peak) {
            __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
            __m128 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
            for (int k = 0; k < 16; k++) {
                const __m128 xa = _mm_loadu_ps(x - k), xb = _mm_loadu_ps(x + 4 - k);
                const __m128 c0 = _mm_load_ps(splat[0][k]), c1 = _mm_load_ps(splat[1][k]);
                const __m128 c2 = _mm_load_ps(splat[2][k]);
                a0 = _mm_add_ps(a0, _mm_mul_ps(c0, xa));
                b0 = _mm_add_ps(b0, _mm_mul_ps(c0, xb));
                a1 = _mm_add_ps(a1, _mm_mul_ps(c1, xa));
                b1 = _mm_add_ps(b1, _mm_mul_ps(c1, xb));
                a2 = _mm_add_ps(a2, _mm_mul_ps(c2, xa));
                b2 = _mm_add_ps(b2, _mm_mul_ps(c2, xb));
                if (k < 15) {
                    const __m128 c3 = _mm_load_ps(splat[3][k]);
                    a3 = _mm_add_ps(a3, _mm_mul_ps(c3, xa));
                    b3 = _mm_add_ps(b3, _mm_mul_ps(c3, xb));
                }
            }
            __m128 ma = _mm_max_ps(_mm_setzero_ps(), _mm_and_ps(a0, absmask));
            __m128 mb = _mm_max_ps(_mm_setzero_ps(), _mm_and_ps(b0, absmask));
            ma = _mm_max_ps(ma, _mm_and_ps(a1, absmask));
            mb = _mm_max_ps(mb, _mm_and_ps(b1, absmask));
            ma = _mm_max_ps(ma, _mm_and_ps(a2, absmask));
            mb = _mm_max_ps(mb, _mm_and_ps(b2, absmask));
            ma = _mm_max_ps(ma, _mm_and_ps(a3, absmask));
            mb = _mm_max_ps(mb, _mm_and_ps(b3, absmask));
            _mm_storeu_ps(peak + j, ma);
            _mm_storeu_ps(peak + j + 4, mb);
        } else {
            __m128 a3 = _mm_setzero_ps(), b3 = a3;
            for (int k = 0; k < 15; k++) {
                const __m128 c3 = _mm_load_ps(splat[3][k]);
                a3 = _mm_add_ps(a3, _mm_mul_ps(c3, _mm_loadu_ps(x - k)));
                b3 = _mm_add_ps(b3, _mm_mul_ps(c3, _mm_loadu_ps(x + 4 - k)));
            }
            _mm_storeu_ps(peak + j, _mm_and_ps(a3, absmask));
            _mm_storeu_ps(peak + j + 4, _mm_and_ps(b3, absmask));
        }
    }
}

// The same kernel with 8-lane AVX registers (no fused multiply-add: every lane does exactly
// the single-precision multiplications and additions of the SSE kernel, so the results are
// identical), sixteen samples at a time. Chosen at run time on processors that have AVX.
__attribute__((target("avx"))) static void block_kernel_avx(const float *lin, uint32_t m, float *peak, bool true_peak) {
    const __m256 absmask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 zero = _mm256_setzero_ps();
    for (uint32_t j = 0; j < m; j += 16) {
        const float *x = lin + 15 + j;
        if (true_peak) {
            __m256 a0 = zero, a1 = zero, a2 = zero, a3 = zero, b0 = zero, b1 = zero, b2 = zero, b3 = zero;
            for (int k = 0; k < 16; k++) {
                const __m256 xa = _mm256_loadu_ps(x - k), xb = _mm256_loadu_ps(x + 8 - k);
                const __m256 c0 = _mm256_broadcast_ss(&g_coef[0][k]), c1 = _mm256_broadcast_ss(&g_coef[1][k]);
                const __m256 c2 = _mm256_broadcast_ss(&g_coef[2][k]);
                a0 = _mm256_add_ps(a0, _mm256_mul_ps(c0, xa));
                b0 = _mm256_add_ps(b0, _mm256_mul_ps(c0, xb));
                a1 = _mm256_add_ps(a1, _mm256_mul_ps(c1, xa));
                b1 = _mm256_add_ps(b1, _mm256_mul_ps(c1, xb));
                a2 = _mm256_add_ps(a2, _mm256_mul_ps(c2, xa));
                b2 = _mm256_add_ps(b2, _mm256_mul_ps(c2, xb));
                if (k < 15) {
                    const __m256 c3 = _mm256_broadcast_ss(&g_coef[3][k]);
                    a3 = _mm256_add_ps(a3, _mm256_mul_ps(c3, xa));
                    b3 = _mm256_add_ps(b3, _mm256_mul_ps(c3, xb));
                }
            }
            __m256 ma = _mm256_max_ps(zero, _mm256_and_ps(a0, absmask));
            __m256 mb = _mm256_max_ps(zero, _mm256_and_ps(b0, absmask));
            ma = _mm256_max_ps(ma, _mm256_and_ps(a1, absmask));
            mb = _mm256_max_ps(mb, _mm256_and_ps(b1, absmask));
            ma = _mm256_max_ps(ma, _mm256_and_ps(a2, absmask));
            mb = _mm256_max_ps(mb, _mm256_and_ps(b2, absmask));
            ma = _mm256_max_ps(ma, _mm256_and_ps(a3, absmask));
            mb = _mm256_max_ps(mb, _mm256_and_ps(b3, absmask));
            _mm256_storeu_ps(peak + j, ma);
            _mm256_storeu_ps(peak + j + 8, mb);
        } else {
            __m256 a3 = zero, b3 = zero;
            for (int k = 0; k < 15; k++) {
                const __m256 c3 = _mm256_broadcast_ss(&g_coef[3][k]);
                a3 = _mm256_add_ps(a3, _mm256_mul_ps(c3, _mm256_loadu_ps(x - k)));
                b3 = _mm256_add_ps(b3, _mm256_mul_ps(c3, _mm256_loadu_ps(x + 8 - k)));
            }
            _mm256_storeu_ps(peak + j, _mm256_and_ps(a3, absmask));
            _mm256_storeu_ps(peak + j + 8, _mm256_and_ps(b3, absmask));
        }
    }
}

void os4_peak_block(Os4 *s, const float *x, uint32_t n, float *peak, bool true_peak) {
    constexpr uint32_t CHUNK = 64;
    alignas(32) float lin[15 + CHUNK + 16];
    alignas(32) float out[CHUNK + 16];
    while (n > 0) {
        const uint32_t m = n < CHUNK ? n : CHUNK;
        std::memcpy(lin, &s->hist[(s->count - 15) & 31], 15 * sizeof(float));
        std::memcpy(lin + 15, x, m * sizeof(float));
        std::memset(lin + 15 + m, 0, 16 * sizeof(float));
        if (g_avx)
            block_kernel_avx(lin, m, out, true_peak);
        else
            block_kernel(lin, m, out, true_peak);
        std::memcpy(peak, out, m * sizeof(float));
        for (uint32_t i = m > 32 ? m - 32 : 0; i < m; i++)
            ring_store(s, s->count + i, x[i]);
        s->count += m;
        x += m;
        peak += m;
        n -= m;
    }
}
