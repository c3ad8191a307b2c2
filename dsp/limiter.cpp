// The limiter of one stage: construction and setters, the attack/release style table, and
// the per-sample kernel (detection, sliding-window gain computer, release, delay, output
// gain, mix, delta, unity gain, bypass fades and the nine meters), run in short chunks.
//
// Sections: small helpers (dB sanity, ring fills, channel clear and free, window length);
// construction and setters (channels, attack and release, style table, reset, monitors);
// the kernel (its state and the sample-by-sample definition); the gain computer (window
// minimum, linked twins, running averages, settled channels); delay lines, the wet path
// and peaks; the entry points (limiter_process, limiter_process_into).
#include "dsp/limiter.h"

#include "dsp/envelope.h"

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

const double STYLES[6][5] = {
    {1.0, 0.8, 5.0, 1.0, 0},   // Transparent
    {0.8, 0.6, 4.0, 0.8, 2},   // Allround
    {0.5, 2.0, 4.0, 0.5, 0},   // Punchy
    {0.35, 3.0, 3.0, 0.35, 0}, // Aggressive
    {1.0, 0.3, 8.0, 1.5, 10},  // Bus
    {1.0, 0.5, 6.0, 1.6, 30},  // Safe
};
const char *const STYLE_NAMES[6] = {"Transparent", "Allround", "Punchy", "Aggressive", "Bus", "Safe"};

namespace {

constexpr int32_t MAX_LOOKAHEAD = 1 << 20; // samples; larger requests are clamped
constexpr double MAX_DB = 300.0;           // gains in dB are clamped to +-MAX_DB
// Smallest gain the gain computer works with (200 dB of reduction); a signal that needs
// still more is held at the ceiling by the output clamp of the wet path.
constexpr double GAIN_FLOOR = 1e-10;

// Room of each delay line: the `keep` samples of history and at least four chunks after
// them, so that the history moves back to the front at most once per `keep` samples. The
// true-peak detector reads up to DELAY_PAD floats past the samples it is given.
int32_t delay_cap_of(int32_t keep) { return keep + (keep > 512 ? keep : 512); }
constexpr size_t DELAY_PAD = 16;

// One-pole coefficient for a time constant of t samples (below one sample: exp(-1)).
double pole_coef(double t) { return t >= 1.0 ? 1.0 - std::exp(-1.0 / t) : 1.0 - std::exp(-1.0); }

double db_to_gain(double db) { return std::pow(10.0, db / 20.0); }

// dB argument as used: a non-finite value keeps the previous one, the rest is clamped.
double sane_db(double db, double previous_gain) {
    if (!std::isfinite(db)) return previous_gain;
    if (db > MAX_DB) db = MAX_DB;
    if (db < -MAX_DB) db = -MAX_DB;
    return db_to_gain(db);
}

double clamp01(double v) {
    return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0; // NaN gives 0
}

void fill(float *ring, int32_t n, float v) {
    for (int32_t i = 0; i < n; i++)
        ring[i] = v;
}

// Restarts the running averages of a channel over their current lengths.
void chan_clear(LimiterChan *c) {
    c->head = c->tail = 0;
    c->pos = 0;
    c->below_end = 0;
    fill(c->box1, c->len1, 1.0f);
    fill(c->box2, c->len2, 1.0f);
    c->pos1 = c->pos2 = 0;
    c->sum1 = c->len1;
    c->sum2 = c->len2;
    tpdet_reset(&c->det);
    os4_reset(&c->out);
    c->env_slow = c->env_fast = c->env_hold = 0.0;
    c->hold_left = 0;
}

void chan_free(LimiterChan *c) {
    std::free(c->win_vals);
    std::free(c->box1);
    std::free(c->box2);
    c->win_vals = nullptr;
    c->box1 = c->box2 = nullptr;
}

// Changes the length of one running average, carrying its current mean over.
void set_len(float *box, int32_t *len, int32_t *pos, double *sum, int32_t new_len) {
    if (new_len == *len) return;
    const float v = (float)(*sum / *len);
    fill(box, new_len, v);
    *pos = 0;
    *sum = (double)v * new_len;
    *len = new_len;
}

} // namespace

// ---- Construction and setters ---------------------------------------------------------

int chan_init(LimiterChan *c, int lookahead) {
    if (lookahead < 1) lookahead = 1;
    c->window = lookahead + 1;
    c->cap = 1;
    while (c->cap <= c->window)
        c->cap <<= 1;
    c->mask = c->cap - 1;
    c->cap1 = c->cap2 = lookahead;
    c->win_vals = (float *)std::calloc((size_t)c->cap, sizeof(float));
    c->box1 = (float *)std::malloc((size_t)c->cap1 * sizeof(float));
    c->box2 = (float *)std::malloc((size_t)c->cap2 * sizeof(float));
    if (!c->win_vals || !c->box1 || !c->box2) {
        chan_free(c);
        return 0;
    }
    c->len1 = c->cap1;
    c->len2 = c->cap2;
    chan_clear(c);
    chan_set_attack(c, lookahead, 1.0);
    return 1;
}

void chan_set_attack(LimiterChan *c, int lookahead, double fraction) {
    if (!c->box1 || !c->box2) return;
    const double a = lookahead * fraction + 0.5;
    int32_t n = a >= lookahead ? lookahead : (a >= 2.0 ? (int32_t)a : 2); // NaN gives 2
    if (n > lookahead) n = lookahead;
    int32_t l1 = n / 2 > 1 ? n / 2 : 1;
    int32_t l2 = n - n / 2 > 1 ? n - n / 2 : 1;
    if (l1 > c->cap1) l1 = c->cap1;
    if (l2 > c->cap2) l2 = c->cap2;
    set_len(c->box1, &c->len1, &c->pos1, &c->sum1, l1);
    set_len(c->box2, &c->len2, &c->pos2, &c->sum2, l2);
}

void recalc_release(Limiter *lim) {
    const double r = lim->release_ms * 0.001 * lim->rate;
    lim->rel_fast = pole_coef(lim->style_fast_rel * r);
    lim->rel_slow = pole_coef(lim->style_slow_rel * r);
    double att_ms = lim->style_slow_att * lim->release_ms;
    if (!(att_ms >= 20.0)) att_ms = 20.0;
    lim->att_slow = pole_coef(att_ms * 0.001 * lim->rate);
}

int limiter_init(Limiter *lim, double rate, double lookahead_ms) {
    std::memset(lim, 0, sizeof *lim);
    if (!(rate >= 1.0 && rate <= 1e7)) return 0; // no usable sample rate
    os4_global_init();
    tpdet_global_init();
    lim->rate = rate;
    const double la = lookahead_ms * 0.001 * rate + 0.5;
    lim->lookahead = la >= 2.0 ? (la < MAX_LOOKAHEAD ? (int32_t)la : MAX_LOOKAHEAD) : 2; // NaN gives 2
    lim->delay_len = lim->lookahead + 8;
    lim->delay_keep = lim->delay_len > TPDET_HIST ? lim->delay_len : TPDET_HIST;
    lim->delay_cap = delay_cap_of(lim->delay_keep);
    const size_t bytes = ((size_t)lim->delay_cap + DELAY_PAD) * sizeof(float);
    lim->wet_l = (float *)std::calloc(1, bytes);
    lim->wet_r = (float *)std::calloc(1, bytes);
    lim->dry_l = (float *)std::calloc(1, bytes);
    lim->dry_r = (float *)std::calloc(1, bytes);
    lim->thr_len = lim->lookahead + 1;
    lim->thr_ring = (double *)std::calloc((size_t)lim->thr_len, sizeof(double));
    if (!lim->wet_l || !lim->wet_r || !lim->dry_l || !lim->dry_r || !lim->thr_ring ||
        !chan_init(&lim->chan[0], lim->lookahead) || !chan_init(&lim->chan[1], lim->lookahead)) {
        limiter_free(lim);
        return 0;
    }
    lim->cur_in = lim->cur_thr = lim->cur_out = lim->cur_mix = lim->cur_ceil = 1.0;
    lim->tgt_in = lim->tgt_thr = lim->tgt_out = lim->tgt_mix = lim->tgt_ceil = 1.0;
    lim->smooth_coef = pole_coef(rate * 0.005);
    lim->fade_coef = pole_coef(rate * 0.015);
    lim->style = -1;
    lim->out_gain = 1.0;
    lim->link = 1.0;
    lim->true_peak = 1;
    lim->adaptive = 1;
    lim->release_ms = 100.0;
    limiter_set_style(lim, 0);
    limiter_reset(lim);
    lim->primed = 0;
    return 1;
}

void limiter_free(Limiter *lim) {
    std::free(lim->wet_l);
    std::free(lim->wet_r);
    std::free(lim->dry_l);
    std::free(lim->dry_r);
    std::free(lim->thr_ring);
    chan_free(&lim->chan[0]);
    chan_free(&lim->chan[1]);
    std::memset(lim, 0, sizeof *lim);
}

// The smoothers stand at their targets, and the thresholds in flight through the delay
// are all the current one.
static void snap_smoothers(Limiter *lim) {
    lim->cur_in = lim->tgt_in;
    lim->cur_thr = lim->tgt_thr;
    lim->cur_out = lim->tgt_out;
    lim->cur_mix = lim->tgt_mix;
    lim->cur_ceil = lim->tgt_ceil;
    for (int32_t i = 0; i < lim->thr_len; i++)
        lim->thr_ring[i] = lim->cur_thr;
    lim->thr_pos = 0;
    lim->thr_busy = 0;
}

void limiter_reset(Limiter *lim) {
    if (!lim->wet_l) return;
    const size_t bytes = ((size_t)lim->delay_cap + DELAY_PAD) * sizeof(float);
    std::memset(lim->wet_l, 0, bytes);
    std::memset(lim->wet_r, 0, bytes);
    std::memset(lim->dry_l, 0, bytes);
    std::memset(lim->dry_r, 0, bytes);
    lim->delay_pos = lim->delay_keep;
    chan_clear(&lim->chan[0]);
    chan_clear(&lim->chan[1]);
    snap_smoothers(lim);
    lim->twin = 1;
    lim->env_pend = 0;
    lim->fade_bypass = lim->bypass ? 1.0 : 0.0;
    lim->fade_delta = lim->delta ? 1.0 : 0.0;
    lim->fade_unity = lim->unity ? 1.0 : 0.0;
    lim->meters = LimiterMeters{1.0f, 0, 0, 0, 0, 0, 0, 0, 0};
}

int limiter_latency(const Limiter *lim) { return lim->delay_len; }

void limiter_set(Limiter *lim, bool true_peak, bool adaptive, double input_db, double threshold_db, double ceiling_db,
                 double release_ms, double link, double mix) {
    lim->tgt_in = sane_db(input_db, lim->tgt_in);
    if (std::isfinite(threshold_db) && std::isfinite(ceiling_db)) {
        lim->tgt_thr = sane_db(threshold_db, lim->tgt_thr);
        lim->tgt_ceil = sane_db(ceiling_db, lim->tgt_ceil);
        lim->tgt_out = sane_db(ceiling_db - threshold_db, lim->tgt_out);
    }
    lim->tgt_mix = clamp01(mix);
    lim->link = clamp01(link);
    lim->true_peak = true_peak;
    lim->adaptive = adaptive;
    if (release_ms != lim->release_ms && std::isfinite(release_ms)) {
        lim->release_ms = release_ms;
        recalc_release(lim);
    }
    // The placeholders of construction are not a setting to glide from: the first targets
    // apply at once, as after a reset.
    if (!lim->primed && lim->wet_l) {
        snap_smoothers(lim);
        lim->primed = 1;
    }
}

void limiter_set_style(Limiter *lim, int index) {
    if (index < 0) index = 0;
    if (index > 5) index = 5;
    if (index == lim->style) return;
    lim->style = index;
    const double *row = STYLES[index];
    lim->style_attack = row[0];
    lim->style_slow_att = row[1];
    lim->style_slow_rel = row[2];
    lim->style_fast_rel = row[3];
    lim->hold = (int32_t)std::trunc(0.001 * row[4] * lim->rate + 0.5);
    chan_set_attack(&lim->chan[0], lim->lookahead, row[0]);
    chan_set_attack(&lim->chan[1], lim->lookahead, row[0]);
    recalc_release(lim);
}

void limiter_set_monitor(Limiter *lim, bool bypass, bool delta, bool unity) {
    lim->bypass = bypass;
    lim->delta = delta;
    lim->unity = unity;
}

// ---- The kernel -----------------------------------------------------------------------
//
// State, per stage (Limiter):
//   cur_in, cur_thr, cur_out, cur_mix   smoothed input gain, threshold, output gain, mix
//                                       (5 ms one-poles toward tgt_*, smooth_coef)
//   wet_l/r, dry_l/r, delay_pos         delay lines of lookahead + 8 samples: input-gained
//                                       signal and raw input, one shared position
//   link                                stereo link 0..1, taken once per call
//   rel_fast, rel_slow, att_slow        release and slow-envelope coefficients
//   hold                                hold after a new peak, samples
//   fade_bypass, fade_delta, fade_unity 15 ms monitor crossfades (fade_coef)
//   out_gain                            static gain input-gained signal -> output
//   meters                              the nine meters of the call
// and per channel (LimiterChan):
//   det                                 true-peak detector (dsp/truepeak.h)
//   out                                 4x interpolator of the output meter
//   win_vals, pos, head, tail           ring of the required gains and the counters of the
//                                       deque that defines the minimum of the last `window`
//   box1/len1/pos1/sum1, box2/...       two running averages shaping the attack ramp
//   env_slow, env_fast                  adaptive release: slow envelope and the peak part
//                                       above it, dB of reduction
//   env_hold, hold_left                 held release (and the hold counter of both modes)
//
// Each sample runs: smoothers, input gain, detection, required gains with link, window
// minimum, two averages, dB, release envelope, gain, delay, output gain, mix, delta, unity,
// bypass, meters. The wet output is clamped to the smoothed ceiling: the gain computer
// reaches it by itself down to GAIN_FLOOR (and to within rounding), the clamp holds it for
// any finite input beyond that. The work is done over chunks of up to CHUNK samples in several passes,
// each pass carrying one step for all samples of the chunk; nothing flows backward between
// the steps of one sample, so the results are those of the sample-by-sample order.

namespace {

constexpr uint32_t CHUNK = 128;

// Two consecutive floats (any alignment) as doubles, and back.
inline __m128d load2(const float *p) { return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64((const __m128i_u *)p))); }
inline void store2(float *p, __m128 v) { _mm_storel_epi64((__m128i_u *)p, _mm_castps_si128(v)); }

// Per-chunk work arrays and views. The input-gained samples are written straight into the
// wet delay lines, after their history: the detectors read that history in place, and the
// detector without true peak is a view of the samples 7 before.
struct Chunk {
    float *wl, *wr;                         // input-gained samples (in the delay lines)
    alignas(16) float dl[CHUNK], dr[CHUNK]; // detector values (true peak)
    const float *dwl, *dwr;                 // delayed input-gained samples (in the delay lines)
    const float *ddl, *ddr;                 // delayed raw input (likewise)
    alignas(16) double cin[CHUNK];          // cur_in per sample
    alignas(16) double cthr[CHUNK];         // cur_thr per sample
    alignas(16) double thrd[CHUNK];         // threshold that detected each leaving sample
    alignas(64) double gain[2][CHUNK + 8];  // a2, then dB of reduction, then linear gain
};

} // namespace

namespace k_sse2 {
#include "dsp/simd.h"
// (the kernels need the vector types above)
#include "dsp/limiter_kernels.inc"
} // namespace k_sse2

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace k_avx2 {
#define TK_SIMD_AVX2
#include "dsp/simd.h"
// (the kernels need the vector types above)
#include "dsp/limiter_kernels.inc"
#undef TK_SIMD_AVX2
} // namespace k_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,fma,avx512f,avx512vl")
namespace k_avx512 {
#define TK_SIMD_AVX2
#define TK_SIMD_AVX512
#include "dsp/simd.h"
// (the kernels need the vector types above)
#include "dsp/limiter_kernels.inc"
#undef TK_SIMD_AVX512
#undef TK_SIMD_AVX2
} // namespace k_avx512
#pragma GCC pop_options

// The kernel f of the width chosen for this processor.
#define KERNEL(f, ...)                                                                                                 \
    (g_tp_avx512 ? k_avx512::f(__VA_ARGS__) : g_tp_avx2 ? k_avx2::f(__VA_ARGS__) : k_sse2::f(__VA_ARGS__))

namespace {

// ---- Gain computer ----------------------------------------------------------------------
//
// The sliding-window minimum is computed per piece of at most `window` values as the smaller
// of two scans: the minimum of the window's part before the piece (a suffix minimum over the
// history in the ring) and of its part inside the piece (a prefix minimum). The monotonic
// deque of the definition is not kept; its counters are: head, the values that left the
// window as its minimum (one whose successor in the window is larger when it expires), and
// tail = head + the deque's size, derived at the end of each call (chan_finish).

constexpr float INF = __builtin_inff();

// Bits set in each 4-bit value.
constexpr uint8_t BITS4[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

// Smallest ring value at the absolute positions [from, to) (positions before 0 do not exist).
float ring_min(const float *vals, uint32_t mask, int64_t from, int64_t to) {
    if (from < 0) from = 0;
    __m128 m = _mm_set1_ps(INF);
    float r = INF;
    while (from < to) {
        const uint32_t i = (uint32_t)from & mask;
        uint32_t run = mask + 1 - i;
        if ((int64_t)run > to - from) run = (uint32_t)(to - from);
        uint32_t j = 0;
        for (; j + 4 <= run; j += 4)
            m = _mm_min_ps(m, _mm_loadu_ps(vals + i + j));
        for (; j < run; j++)
            r = vals[i + j] < r ? vals[i + j] : r;
        from += run;
    }
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    const float v = _mm_cvtss_f32(m);
    return v < r ? v : r;
}

// Prefix minima of four lanes (lane i = min of lanes 0..i), and suffix minima.
inline __m128 prefix_min4(__m128 x) {
    const __m128 inf0 = _mm_castsi128_ps(_mm_set_epi32(0, 0, 0, 0x7f800000));
    const __m128 inf01 = _mm_castsi128_ps(_mm_set_epi32(0, 0, 0x7f800000, 0x7f800000));
    x = _mm_min_ps(x, _mm_or_ps(_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(x), 4)), inf0));
    return _mm_min_ps(x, _mm_or_ps(_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(x), 8)), inf01));
}
inline __m128 suffix_min4(__m128 x) {
    const __m128 inf3 = _mm_castsi128_ps(_mm_set_epi32(0x7f800000, 0, 0, 0));
    const __m128 inf23 = _mm_castsi128_ps(_mm_set_epi32(0x7f800000, 0x7f800000, 0, 0));
    x = _mm_min_ps(x, _mm_or_ps(_mm_castsi128_ps(_mm_srli_si128(_mm_castps_si128(x), 4)), inf3));
    return _mm_min_ps(x, _mm_or_ps(_mm_castsi128_ps(_mm_srli_si128(_mm_castps_si128(x), 8)), inf23));
}

// The scans of one piece of window_min four values at a time: hist[j] = the smallest of
// old[j + 1 .. m - 1] and carry (old holds INF from m on), the minima mn[j] = min(hist[j],
// g[0 .. j]) for j < m; returns how many old[j] are below mn[j].
uint32_t window_scans4(const float *old, const float *g, uint32_t m, float carry, float *mn) {
    alignas(16) float hist[CHUNK + 8], pre[CHUNK + 8];
    for (int32_t j = (int32_t)((m - 1) & ~3u); j >= 0; j -= 4) { // in fours from the end
        __m128 x = suffix_min4(_mm_loadu_ps(old + j + 1));
        x = _mm_min_ps(x, _mm_set1_ps(carry));
        _mm_store_ps(hist + j, x);
        carry = _mm_cvtss_f32(x);
    }
    // pre[j] = smallest of g[0 .. j]; the minimum is the smaller of the two.
    carry = INF;
    for (uint32_t j = 0; j < m; j += 4) {
        __m128 x = _mm_loadu_ps(g + j);
        if (m - j < 4) { // lanes past the piece
            alignas(16) float t[4];
            _mm_store_ps(t, x);
            for (uint32_t i = m - j; i < 4; i++)
                t[i] = INF;
            x = _mm_load_ps(t);
        }
        x = _mm_min_ps(prefix_min4(x), _mm_set1_ps(carry));
        _mm_store_ps(pre + j, x);
        carry = _mm_cvtss_f32(_mm_shuffle_ps(x, x, _MM_SHUFFLE(3, 3, 3, 3)));
    }
    // Minima, and the values that left as the minimum (the deque's front pops).
    uint32_t expired = 0, j = 0;
    for (; j + 4 <= m; j += 4) {
        const __m128 w = _mm_min_ps(_mm_load_ps(hist + j), _mm_load_ps(pre + j));
        _mm_storeu_ps(mn + j, w);
        expired += (uint32_t)BITS4[_mm_movemask_ps(_mm_cmplt_ps(_mm_load_ps(old + j), w))];
    }
    for (; j < m; j++) {
        const float w = hist[j] < pre[j] ? hist[j] : pre[j];
        mn[j] = w;
        expired += old[j] < w;
    }
    return expired;
}

#pragma GCC push_options
#pragma GCC target("avx512f")
// (The masked forms of alignr, min and permute: GCC 12's unmasked ones start from an
// undefined vector and warn.)
inline __m512 min16(__m512 a, __m512 b) { return _mm512_mask_min_ps(a, (__mmask16)0xffff, a, b); }

// Lane i takes lane i + K (down) or i - K (up); the lanes shifted in are INF.
template <int K> inline __m512 lanes_down(__m512 x) {
    const __m512i inf = _mm512_castps_si512(_mm512_set1_ps(INF));
    return _mm512_castsi512_ps(_mm512_mask_alignr_epi32(inf, (__mmask16)0xffff, inf, _mm512_castps_si512(x), K));
}
template <int K> inline __m512 lanes_up(__m512 x) {
    const __m512i inf = _mm512_castps_si512(_mm512_set1_ps(INF));
    return _mm512_castsi512_ps(_mm512_mask_alignr_epi32(inf, (__mmask16)0xffff, _mm512_castps_si512(x), inf, 16 - K));
}

// Suffix minima of sixteen lanes (lane i = min of lanes i .. 15), and prefix minima.
inline __m512 suffix_min16(__m512 x) {
    x = min16(x, lanes_down<1>(x));
    x = min16(x, lanes_down<2>(x));
    x = min16(x, lanes_down<4>(x));
    return min16(x, lanes_down<8>(x));
}
inline __m512 prefix_min16(__m512 x) {
    x = min16(x, lanes_up<1>(x));
    x = min16(x, lanes_up<2>(x));
    x = min16(x, lanes_up<4>(x));
    return min16(x, lanes_up<8>(x));
}

// The same sixteen values at a time with AVX-512 (the same minima and count).
uint32_t window_scans16(const float *old, const float *g, uint32_t m, float carry, float *mn) {
    alignas(64) float hist[CHUNK + 16];
    for (int32_t j = (int32_t)((m - 1) & ~15u); j >= 0; j -= 16) { // in sixteens from the end
        const __m512 x = min16(suffix_min16(_mm512_loadu_ps(old + j + 1)), _mm512_set1_ps(carry));
        _mm512_store_ps(hist + j, x);
        carry = _mm512_cvtss_f32(x);
    }
    uint32_t expired = 0;
    __m512 run = _mm512_set1_ps(INF);
    for (uint32_t j = 0; j < m; j += 16) {
        const __mmask16 live = m - j >= 16 ? (__mmask16)0xffff : (__mmask16)((1u << (m - j)) - 1);
        const __m512 x = min16(prefix_min16(_mm512_mask_loadu_ps(_mm512_set1_ps(INF), live, g + j)), run);
        run = _mm512_mask_permutexvar_ps(x, (__mmask16)0xffff, _mm512_set1_epi32(15), x);
        const __m512 w = min16(_mm512_load_ps(hist + j), x);
        _mm512_mask_storeu_ps(mn + j, live, w);
        expired += (uint32_t)__builtin_popcount(_mm512_mask_cmp_ps_mask(live, _mm512_loadu_ps(old + j), w, _CMP_LT_OQ));
    }
    return expired;
}

// The deque's size after the last push (the window's values smaller than every later one),
// sixteen at a time from the newest back: within each sixteen the minima of the values after
// each, and the carry of all newer ones. The same count as the scalar scan.
uint32_t window_records16(const float *vals, uint32_t mask, uint64_t pos, uint32_t L) {
    uint32_t count = 0, left = (uint64_t)L < pos ? L : (uint32_t)pos;
    float carry = INF;
    uint64_t end = pos; // the entries left are the positions end - left .. end - 1
    while (left > 0) {
        const uint32_t last = (uint32_t)(end - 1) & mask;
        const uint32_t run = last + 1 < left ? last + 1 : left; // ring indices last - run + 1 .. last
        const float *base = vals + (last + 1 - run);
        for (int32_t j = (int32_t)run - 16;; j -= 16) {
            // Lanes before the run's start hold INF (never a record, never a minimum).
            const __m512 x =
                j >= 0 ? _mm512_loadu_ps(base + j)
                       : _mm512_mask_expandloadu_ps(_mm512_set1_ps(INF), (__mmask16)(0xffffu << (uint32_t)-j), base);
            const __m512 s = suffix_min16(x);
            const __m512 after = min16(lanes_down<1>(s), _mm512_set1_ps(carry)); // of the newer ones
            count += (uint32_t)__builtin_popcount(_mm512_cmp_ps_mask(x, after, _CMP_LT_OQ));
            carry = std::min(carry, _mm512_cvtss_f32(s));
            if (j <= 0) break;
        }
        left -= run;
        end -= run;
    }
    return count;
}
#pragma GCC pop_options

// Pushes the n values g into the channel's window and writes the window minima into mn.
void window_min(LimiterChan *c, const float *g, uint32_t n, float *mn) {
    const uint32_t L = (uint32_t)c->window, mask = (uint32_t)c->mask;
    float *const vals = c->win_vals;
    alignas(16) float old[CHUNK + 16];
    uint32_t done = 0;
    while (done < n) {
        const uint32_t m = n - done < L ? n - done : L;
        const int64_t p0 = (int64_t)c->pos;
        // old[j]: the value that leaves the window when g[j] comes in (position p0 + j - L);
        // positions before 0 hold nothing (INF), the rest is at most two runs of the ring.
        const uint32_t j0 = p0 >= (int64_t)L ? 0 : (L - (uint32_t)p0 < m ? L - (uint32_t)p0 : m);
        std::fill(old, old + j0, INF);
        if (j0 < m) {
            const uint32_t at = (uint32_t)(p0 - L + j0) & mask, run = mask + 1 - at < m - j0 ? mask + 1 - at : m - j0;
            std::memcpy(old + j0, vals + at, run * sizeof(float));
            std::memcpy(old + j0 + run, vals, (m - j0 - run) * sizeof(float));
        }
        std::fill(old + m, old + m + 16, INF);
        // hist[j] = smallest of the window's values before the piece, for g[j]: positions
        // p0 - L + j + 1 .. p0 - 1, that is old[j + 1 .. m - 1] and the common core; the
        // minima, and the values that left as the minimum (the deque's front pops).
        const float carry = ring_min(vals, mask, p0 - L + m, p0);
        c->head += g_tp_avx512 ? window_scans16(old, g + done, m, carry, mn + done)
                               : window_scans4(old, g + done, m, carry, mn + done);
        // The new values into the ring, in at most two runs.
        const uint32_t at = (uint32_t)p0 & mask, run = mask + 1 - at < m ? mask + 1 - at : m;
        std::memcpy(vals + at, g + done, run * sizeof(float));
        std::memcpy(vals, g + done + run, (m - run) * sizeof(float));
        for (uint32_t i = m; i-- > 0;)
            if (g[done + i] < 1.0f) {
                c->below_end = (uint64_t)(p0 + i + 1);
                break;
            }
        c->pos += m;
        done += m;
    }
}

// While the channels are twins, the right channel's counters and sums follow the left's.
void twin_sync(Limiter *lim) {
    const LimiterChan *c0 = &lim->chan[0];
    LimiterChan *c1 = &lim->chan[1];
    c1->head = c0->head;
    c1->tail = c0->tail;
    c1->pos = c0->pos;
    c1->below_end = c0->below_end;
    c1->len1 = c0->len1;
    c1->pos1 = c0->pos1;
    c1->sum1 = c0->sum1;
    c1->len2 = c0->len2;
    c1->pos2 = c0->pos2;
    c1->sum2 = c0->sum2;
}

// The deque's size after the last push: the values of the window smaller than every later one.
uint32_t window_records(const LimiterChan *c) {
    const uint32_t L = (uint32_t)c->window, mask = (uint32_t)c->mask;
    if (g_tp_avx512) return window_records16(c->win_vals, mask, c->pos, L);
    uint32_t count = 0;
    float later = INF;
    for (uint32_t i = 1; i <= L && i <= c->pos; i++) {
        const float v = c->win_vals[(uint32_t)(c->pos - i) & mask];
        if (v < later) {
            count++;
            later = v;
        }
    }
    return count;
}

// One running average over the n values x: the ring box of len entries at pos holds the
// previous len values; sum is their sum. Writes the averages sum / len as f32 into avg. The
// sum moves by whole differences of f32 values, which a double holds exactly for gains
// above 2^-23 (138 dB of reduction) and lengths up to 128, and almost exactly beyond: so it
// equals the sample-by-sample sum.
void running_average(float *box, int32_t len, int32_t *pos, double *sum, const float *x, uint32_t n, float *avg) {
    // old[j]: the value that leaves the average when x[j] comes in (the ring from pos on,
    // oldest first, then x itself).
    alignas(32) float old[CHUNK + 8];
    const uint32_t L = (uint32_t)len, P = (uint32_t)*pos;
    const uint32_t k = n < L ? n : L, first = L - P < k ? L - P : k;
    std::memcpy(old, box + P, first * sizeof(float));
    std::memcpy(old + first, box, (k - first) * sizeof(float));
    if (n > L) std::memcpy(old + L, x, (n - L) * sizeof(float));
    *sum = KERNEL(prefix_average, x, old, n, *sum, (double)len, avg);
    // Ring: the last k values of x, at their places.
    const uint32_t at = (uint32_t)(((uint64_t)P + (n - k)) % L), run = L - at < k ? L - at : k;
    std::memcpy(box + at, x + (n - k), run * sizeof(float));
    std::memcpy(box, x + (n - k) + run, (k - run) * sizeof(float));
    *pos = (int32_t)(((uint64_t)P + n) % L);
}

// True when the window holds only 1 and both averages stand at exactly 1. A sum equal to its
// length means every entry is 1: entries are at most 1, one below 1 is at least 2^-24 below,
// and the sums are exact.
bool chan_settled(const LimiterChan *c) {
    return c->below_end + (uint64_t)c->window <= c->pos && c->sum1 == c->len1 && c->sum2 == c->len2;
}

// n values 1 pushed into a settled channel: the window and the averages keep their contents.
void chan_skip_ones(LimiterChan *c, uint32_t n) {
    const uint32_t mask = (uint32_t)c->mask, at = (uint32_t)c->pos & mask;
    if (n > mask) {
        std::fill(c->win_vals, c->win_vals + mask + 1, 1.0f);
    } else {
        const uint32_t run = mask + 1 - at < n ? mask + 1 - at : n;
        std::fill(c->win_vals + at, c->win_vals + at + run, 1.0f);
        std::fill(c->win_vals, c->win_vals + (n - run), 1.0f);
    }
    c->pos += n;
    c->pos1 = (int32_t)(((uint32_t)c->pos1 + n) % (uint32_t)c->len1);
    c->pos2 = (int32_t)(((uint32_t)c->pos2 + n) % (uint32_t)c->len2);
}

// The right channel's window and averages, kept as the left's while the two received the
// same required gains, become its own: their rings and counters are copied over.
void twin_split(Limiter *lim) {
    LimiterChan *c0 = &lim->chan[0], *c1 = &lim->chan[1];
    std::memcpy(c1->win_vals, c0->win_vals, (size_t)c0->cap * sizeof(float));
    std::memcpy(c1->box1, c0->box1, (size_t)c0->cap1 * sizeof(float));
    std::memcpy(c1->box2, c0->box2, (size_t)c0->cap2 * sizeof(float));
    twin_sync(lim);
    lim->twin = 0;
}

// Required gains with link, window minima and both averages for the chunk; leaves a2 of
// both channels in k.gain (twins: of the left only), or, when everything stays at unity,
// nothing. Returns 1 when k.gain holds a2 values of which some are below 1, else 0 (the
// reductions are then 0 dB throughout).
// dl, dr: the detector values (their magnitudes count); thr: the threshold of each sample, or
// null when it is thr_c throughout; top: the largest magnitude among them.
int gain_computer(Limiter *lim, Chunk &k, const float *dl, const float *dr, const double *thr, double thr_c, uint32_t n,
                  double link, float top) {
    LimiterChan *c0 = &lim->chan[0], *c1 = &lim->chan[1];

    // Does any detector value exceed the threshold in this chunk?
    const bool over = thr ? KERNEL(any_over, dl, dr, thr, thr_c, n) : (double)top > thr_c;

    if (!over && chan_settled(c0) && (lim->twin || chan_settled(c1))) {
        chan_skip_ones(c0, n);
        if (!lim->twin) chan_skip_ones(c1, n);
        return 0;
    }

    // Required gains (gl = thr / dl if dl > thr else 1, likewise gr) with link.
    alignas(16) float g[2][CHUNK + 4], w[2][CHUNK + 4], a1[2][CHUNK + 4], a2[2][CHUNK + 4];
    KERNEL(required_gains, dl, dr, thr, thr_c, link, n, g[0], g[1]);
    if (lim->twin && std::memcmp(g[0], g[1], n * sizeof(float)) != 0) twin_split(lim);
    for (int c = 0; c < (lim->twin ? 1 : 2); c++) {
        LimiterChan *ch = &lim->chan[c];
        window_min(ch, g[c], n, w[c]);
        running_average(ch->box1, ch->len1, &ch->pos1, &ch->sum1, w[c], n, a1[c]);
        running_average(ch->box2, ch->len2, &ch->pos2, &ch->sum2, a1[c], n, a2[c]);
    }
    bool any = false;
    for (int c = 0; c < (lim->twin ? 1 : 2); c++)
        any = KERNEL(widen, a2[c], n, k.gain[c]) < 1.0f || any;
    return any;
}

// Room for n more samples in the four delay lines (a full line moves its history back to the
// front first); the chunk's input-gained samples go to k.wl, k.wr, right after the history.
void delay_room(Limiter *lim, Chunk &k, uint32_t n) {
    const int32_t keep = lim->delay_keep;
    if (lim->delay_pos + (int32_t)n > lim->delay_cap) {
        const size_t hist = (size_t)keep * sizeof(float), from = (size_t)(lim->delay_pos - keep);
        std::memmove(lim->wet_l, lim->wet_l + from, hist);
        std::memmove(lim->wet_r, lim->wet_r + from, hist);
        std::memmove(lim->dry_l, lim->dry_l + from, hist);
        std::memmove(lim->dry_r, lim->dry_r + from, hist);
        lim->delay_pos = keep;
    }
    k.wl = lim->wet_l + lim->delay_pos;
    k.wr = lim->wet_r + lim->delay_pos;
}

// The dry lines take the chunk's raw input, and the values delay_len samples older than the
// chunk's are read where they lie (k.dwl and the others).
void delay_chunk(Limiter *lim, Chunk &k, const float *L, const float *R, uint32_t n) {
    const int32_t dp = lim->delay_pos, back = dp - lim->delay_len;
    std::memcpy(lim->dry_l + dp, L, n * sizeof(float));
    std::memcpy(lim->dry_r + dp, R, n * sizeof(float));
    k.dwl = lim->wet_l + back;
    k.dwr = lim->wet_r + back;
    k.ddl = lim->dry_l + back;
    k.ddr = lim->dry_r + back;
    lim->delay_pos = dp + (int32_t)n;
}

inline float fmaxf_(float a, float b) { return b > a ? b : a; }

// The larger magnitudes of a and b, lane by lane, NaN counting as 0; the largest of four lanes.
inline __m128 max_magnitude(__m128 a, __m128 b) {
    const __m128 abs = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    a = _mm_and_ps(_mm_and_ps(a, abs), _mm_cmpord_ps(a, a));
    b = _mm_and_ps(_mm_and_ps(b, abs), _mm_cmpord_ps(b, b));
    return _mm_max_ps(a, b);
}
inline float max_magnitude4(__m128 a) {
    a = _mm_max_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm_cvtss_f32(_mm_max_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1))));
}

// The output meter's 15 samples of history as four vectors (the last two overlap), read all
// before any is written; their largest magnitude (NaN counting as 0).
struct History15 {
    __m128 v[4];
};
inline History15 load15(const float *p) {
    return History15{{_mm_loadu_ps(p), _mm_loadu_ps(p + 4), _mm_loadu_ps(p + 8), _mm_loadu_ps(p + 11)}};
}
inline void store15(float *p, const History15 &h) {
    _mm_storeu_ps(p, h.v[0]);
    _mm_storeu_ps(p + 4, h.v[1]);
    _mm_storeu_ps(p + 8, h.v[2]);
    _mm_storeu_ps(p + 11, h.v[3]);
}
inline float peak15(const History15 &h) {
    return max_magnitude4(_mm_max_ps(max_magnitude(h.v[0], h.v[1]), max_magnitude(h.v[2], h.v[3])));
}

// An input-gained sample as the wet path stores it: NaN becomes 0 (in the detector's
// filter it would hide the samples around it, and it would reach the output), and
// magnitudes beyond the f32 range saturate there instead of turning into infinities.
inline __m128d wet_pd(__m128d v) {
    v = _mm_and_pd(_mm_cmpord_pd(v, v), v);
    return _mm_min_pd(_mm_max_pd(v, _mm_set1_pd(-FLT_MAX)), _mm_set1_pd(FLT_MAX));
}
inline float wet_ss(double v) {
    if (!(v == v)) return 0.0f;
    return (float)(v > FLT_MAX ? FLT_MAX : (v < -FLT_MAX ? -FLT_MAX : v));
}
// v limited to -c..c (c >= 0).
inline __m128d clamp_pd(__m128d v, __m128d c) { return _mm_min_pd(_mm_max_pd(v, _mm_sub_pd(_mm_setzero_pd(), c)), c); }
inline double clamp_sd(double v, double c) { return v > c ? c : (v < -c ? -c : v); }

// Whether a smoother still moves: once cur + (tgt - cur) * coef rounds back to cur it has
// reached its fixed point (its target, or the nearest value it can reach) and stays there.
inline bool moves(double cur, double tgt, double coef) { return cur + (tgt - cur) * coef != cur; }

// Running maximum m = max(m, a[j], b[j]) over n samples (of |a[j]|, |b[j]| with magnitude).
float peak2(float m, const float *a, const float *b, uint32_t n, bool magnitude) {
    const __m128 absmask = _mm_castsi128_ps(_mm_set1_epi32(magnitude ? 0x7fffffff : -1));
    __m128 v = _mm_set1_ps(m);
    uint32_t j = 0;
    for (; j + 4 <= n; j += 4) {
        v = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(a + j), absmask), v);
        v = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(b + j), absmask), v);
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, v);
    for (int i = 0; i < 4; i++)
        m = fmaxf_(m, lanes[i]);
    for (; j < n; j++) {
        m = fmaxf_(m, magnitude ? std::fabs(a[j]) : a[j]);
        m = fmaxf_(m, magnitude ? std::fabs(b[j]) : b[j]);
    }
    return m;
}

} // namespace

void limiter_process(Limiter *lim, float *left, float *right, uint32_t frames) {
    limiter_process_into(lim, left, right, left, right, frames);
}

void limiter_process_into(Limiter *lim, const float *in_left, const float *in_right, float *left, float *right,
                          uint32_t frames) {
    if (!lim->wet_l) return;
    if (!left || !right || !in_left || !in_right) frames = 0;
    // The call's input is read chunk by chunk; ask for all of it at once.
    for (uint32_t i = 0; i < frames && i < 2048; i += 16) {
        _mm_prefetch((const char *)(in_left + i), _MM_HINT_T0);
        _mm_prefetch((const char *)(in_right + i), _MM_HINT_T0);
    }
    LimiterChan *c0 = &lim->chan[0], *c1 = &lim->chan[1];
    const double link = lim->link;
    const double sc = lim->smooth_coef, fc = lim->fade_coef;
    const bool running = lim->bypass || lim->delta || lim->unity || lim->fade_bypass > 0.0001 ||
                         lim->fade_delta > 0.0001 || lim->fade_unity > 0.0001;
    const double tb = lim->bypass ? 1.0 : 0.0, td = lim->delta ? 1.0 : 0.0, tu = lim->unity ? 1.0 : 0.0;
    const bool tp = lim->true_peak;
    const double tgt_in = lim->tgt_in, tgt_thr = lim->tgt_thr, tgt_ceil = lim->tgt_ceil, tgt_mix = lim->tgt_mix;

    double cur_in = lim->cur_in, cur_thr = lim->cur_thr, cur_out = lim->cur_out, cur_mix = lim->cur_mix;
    double cur_ceil = lim->cur_ceil;
    double *const thr_ring = lim->thr_ring;
    const int32_t thr_len = lim->thr_len;
    int32_t thr_pos = lim->thr_pos, thr_busy = lim->thr_busy;
    double fade_b = lim->fade_bypass, fade_d = lim->fade_delta, fade_u = lim->fade_unity;
    double min_gain = 1.0;
    float peak_in = 0, det_l = 0, det_r = 0, peak_out = 0, tp_l = 0, tp_r = 0;

    Chunk k;
    // Outputs of up to TPMETER_SPAN samples with the 15 before them (the output meter's
    // history), per channel: the meter reads a whole span at once, so that its loudest block,
    // read first, sets the maximum that lets the others go.
    alignas(32) float outbuf[2][16 + TPMETER_SPAN + 16];
    float *const span[2] = {outbuf[0] + 16, outbuf[1] + 16};
    uint32_t filled = 0;    // outputs in the span
    float span_peak = 0.0f; // a bound for their magnitudes
    float hist_peak[2];
    for (int c = 0; c < 2; c++) {
        // (The meter's ring is mirrored: its last 15 samples lie in a row.)
        const Os4 *o = &lim->chan[c].out;
        const History15 h = load15(o->hist + ((o->count - 15) & 31));
        store15(span[c] - 15, h);
        hist_peak[c] = peak15(h);
    }
    const float meter_bound = tpmeter_gain_bound();
    for (uint32_t base = 0; base < frames; base += CHUNK) {
        const uint32_t n = frames - base < CHUNK ? frames - base : CHUNK;
        float *const out[2] = {span[0] + filled, span[1] + filled};
        const float *L = in_left + base, *R = in_right + base;
        delay_room(lim, k, n);

        // Smoothers of input gain and threshold, input gain, input sample peak. While they
        // stand still, cin and cthr are not filled (thr_arr is null).
        const bool steady_in = !moves(cur_in, tgt_in, sc) && !moves(cur_thr, tgt_thr, sc);
        float late[2];           // the detector's maxima without true peak, when late_known
        bool late_known = false; // (given by the unity input)
        const double *const thr_arr = steady_in ? nullptr : k.cthr;
        if (steady_in) {
            // Without true peak the detector's maxima come with the unity input.
            const float p = cur_in != 1.0 ? KERNEL(input_gain, L, R, cur_in, n, k.wl, k.wr)
                            : tp          ? KERNEL(input_unity<false>, L, R, n, k.wl, k.wr, nullptr)
                                          : KERNEL(input_unity<true>, L, R, n, k.wl, k.wr, late);
            late_known = cur_in == 1.0 && !tp;
            peak_in = p > peak_in ? p : peak_in;
        } else {
            const bool thr_moves = moves(cur_thr, tgt_thr, sc);
            for (uint32_t j = 0; j < n; j++) {
                cur_in += (tgt_in - cur_in) * sc;
                cur_thr += (tgt_thr - cur_thr) * sc;
                k.cin[j] = cur_in;
                k.cthr[j] = cur_thr;
                k.wl[j] = wet_ss(L[j] * cur_in);
                k.wr[j] = wet_ss(R[j] * cur_in);
            }
            if (thr_moves) thr_busy = thr_len + (int32_t)n;
            peak_in = peak2(peak_in, k.wl, k.wr, n, true);
        }
        // The threshold each sample was detected with, for the sample leaving the delay now
        // (lookahead + 1 samples later, the detector's own 7 samples being part of the delay).
        const bool thr_varies = thr_busy > 0;
        if (thr_varies) {
            for (uint32_t j = 0; j < n; j++) {
                k.thrd[j] = thr_ring[thr_pos];
                thr_ring[thr_pos] = thr_arr ? thr_arr[j] : cur_thr;
                thr_pos = thr_pos + 1 == thr_len ? 0 : thr_pos + 1;
            }
            thr_busy -= (int32_t)n;
        }

        // Detector: true peak, or the input 7 samples late (a view of the input-gained samples).
        const float *dl = k.wl - 7, *dr = k.wr - 7;
        float top_l, top_r; // the largest detector values
        if (tp) {
            top_l = tpdet_block_at(&c0->det, k.wl, n, k.dl, thr_arr, cur_thr);
            top_r = tpdet_block_at(&c1->det, k.wr, n, k.dr, thr_arr, cur_thr);
            dl = k.dl;
            dr = k.dr;
        } else {
            tpdet_pass(&c0->det, k.wl, n);
            tpdet_pass(&c1->det, k.wr, n);
            top_l = late_known ? late[0] : KERNEL(block_max, dl, n, 0.0f);
            top_r = late_known ? late[1] : KERNEL(block_max, dr, n, 0.0f);
        }
        det_l = top_l > det_l ? top_l : det_l;
        det_r = top_r > det_r ? top_r : det_r;

        // Gain computer: required gains, window minimum, averages, dB, release, gain.
        const int reduced = gain_computer(lim, k, dl, dr, thr_arr, cur_thr, n, link, top_l > top_r ? top_l : top_r);
        const bool twin = lim->twin;
        const uint32_t rounded = (n + 7) & ~7u; // kernels work in whole vectors
        // (Twins keep their gains in the left's row only.)
        if (!reduced) {
            std::fill_n(k.gain[0], n, 0.0);
            if (!twin) std::fill_n(k.gain[1], n, 0.0);
        } else {
            KERNEL(reduction_db, k.gain[0], rounded, GAIN_FLOOR);
            if (!twin) KERNEL(reduction_db, k.gain[1], rounded, GAIN_FLOOR);
        }
        const int released = KERNEL(envelope, lim, k.gain[0], k.gain[1], n, twin);
        if (!released) {
            std::fill_n(k.gain[0], n, 1.0);
            if (!twin) std::fill_n(k.gain[1], n, 1.0);
        } else {
            KERNEL(linear_gain, k.gain[0], rounded);
            if (!twin) KERNEL(linear_gain, k.gain[1], rounded);
        }
        const double *const gain1 = twin ? k.gain[0] : k.gain[1]; // twins share the left's gains

        // Delay, output gain, mix, monitors.
        delay_chunk(lim, k, L, R, n);
        const bool settled = !thr_varies && !moves(cur_ceil, tgt_ceil, sc) && !moves(cur_mix, tgt_mix, sc);
        if (settled) cur_out = cur_ceil / cur_thr;
        bool peaked = false; // peak_out already taken
        if (settled && !running && cur_mix >= 0.9999) {
            const float p = twin ? KERNEL(output_wet<true>, k.gain[0], gain1, k.dwl, k.dwr, cur_out, cur_ceil, n,
                                          out[0], out[1], &min_gain)
                                 : KERNEL(output_wet<false>, k.gain[0], gain1, k.dwl, k.dwr, cur_out, cur_ceil, n,
                                          out[0], out[1], &min_gain);
            peak_out = p > peak_out ? p : peak_out;
            peaked = true;
        } else if (settled && !running) {
            const __m128d vout = _mm_set1_pd(cur_out), vmix = _mm_set1_pd(cur_mix), one = _mm_set1_pd(1.0);
            const __m128d vceil = _mm_set1_pd(cur_ceil);
            __m128d mg = _mm_set1_pd(min_gain);
            uint32_t j = 0;
            for (; j + 2 <= n; j += 2) {
                const __m128d g0 = _mm_load_pd(k.gain[0] + j), g1 = _mm_load_pd(gain1 + j);
                const __m128d dwl = load2(k.dwl + j);
                const __m128d dwr = load2(k.dwr + j);
                __m128d yl = clamp_pd(_mm_mul_pd(_mm_mul_pd(g0, vout), dwl), vceil);
                __m128d yr = clamp_pd(_mm_mul_pd(_mm_mul_pd(g1, vout), dwr), vceil);
                __m128d g = _mm_min_pd(g0, g1);
                const __m128d ddl = load2(k.ddl + j);
                const __m128d ddr = load2(k.ddr + j);
                yl = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(yl, ddl), vmix), ddl);
                yr = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(yr, ddr), vmix), ddr);
                g = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(g, one), vmix), one);
                store2(out[0] + j, _mm_cvtpd_ps(yl));
                store2(out[1] + j, _mm_cvtpd_ps(yr));
                mg = _mm_min_pd(g, mg);
            }
            alignas(16) double v[2];
            _mm_store_pd(v, mg);
            min_gain = v[1] < v[0] ? v[1] : v[0];
            for (; j < n; j++) {
                const double g0 = k.gain[0][j], g1 = gain1[j];
                double yl = clamp_sd(g0 * cur_out * k.dwl[j], cur_ceil);
                double yr = clamp_sd(g1 * cur_out * k.dwr[j], cur_ceil);
                double g = g0 < g1 ? g0 : g1;
                yl = (yl - k.ddl[j]) * cur_mix + k.ddl[j];
                yr = (yr - k.ddr[j]) * cur_mix + k.ddr[j];
                g = (g - 1.0) * cur_mix + 1.0;
                out[0][j] = (float)yl;
                out[1][j] = (float)yr;
                min_gain = g < min_gain ? g : min_gain;
            }
        } else {
            for (uint32_t j = 0; j < n; j++) {
                cur_ceil += (tgt_ceil - cur_ceil) * sc;
                cur_out = cur_ceil / (thr_varies ? k.thrd[j] : cur_thr);
                cur_mix += (tgt_mix - cur_mix) * sc;
                const double dwl = k.dwl[j], dwr = k.dwr[j], ddl = k.ddl[j], ddr = k.ddr[j];
                const double g0 = k.gain[0][j], g1 = gain1[j];
                double yl = clamp_sd(g0 * cur_out * dwl, cur_ceil), yr = clamp_sd(g1 * cur_out * dwr, cur_ceil);
                double g = g0 < g1 ? g0 : g1;
                if (cur_mix < 0.9999) {
                    yl = (yl - ddl) * cur_mix + ddl;
                    yr = (yr - ddr) * cur_mix + ddr;
                    g = (g - 1.0) * cur_mix + 1.0;
                }
                if (running) {
                    fade_b += (tb - fade_b) * fc;
                    fade_d += (td - fade_d) * fc;
                    fade_u += (tu - fade_u) * fc;
                    if (fade_d > 0.0001) {
                        yl += fade_d * ((dwl * cur_out - g0 * dwl * cur_out) - yl);
                        yr += fade_d * ((dwr * cur_out - g1 * dwr * cur_out) - yr);
                    }
                    if (fade_u > 0.0001) {
                        const double u = 1.0 + fade_u * (1.0 / (cur_out * (steady_in ? cur_in : k.cin[j])) - 1.0);
                        yl *= u;
                        yr *= u;
                    }
                    if (fade_b > 0.0001) {
                        yl += (ddl - yl) * fade_b;
                        yr += (ddr - yr) * fade_b;
                        g += fade_b * (1.0 - g);
                    }
                    // What delta removes from an enormous input can pass the f32 range.
                    yl = clamp_sd(yl, FLT_MAX);
                    yr = clamp_sd(yr, FLT_MAX);
                }
                out[0][j] = (float)yl;
                out[1][j] = (float)yr;
                min_gain = g < min_gain ? g : min_gain;
            }
        }
        // Write back, output sample peak, output true peak.
        std::memcpy(left + base, out[0], n * sizeof(float));
        std::memcpy(right + base, out[1], n * sizeof(float));
        float chunk_peak = peak_out; // a bound for this chunk's samples
        if (!peaked) {
            chunk_peak = peak2(0.0f, out[0], out[1], n, true);
            peak_out = chunk_peak > peak_out ? chunk_peak : peak_out;
        }
        filled += n;
        span_peak = chunk_peak > span_peak ? chunk_peak : span_peak;
        if (filled + CHUNK <= TPMETER_SPAN && base + n < frames) continue;

        // Output true peak of the span: only where the samples read could beat the running
        // maximum.
        float *const meter[2] = {&tp_l, &tp_r};
        for (int c = 0; c < 2; c++) {
            const float bound = (span_peak > hist_peak[c] ? span_peak : hist_peak[c]) * meter_bound;
            if (bound > *meter[c]) *meter[c] = tpmeter_span_above(span[c], filled, hist_peak[c], *meter[c]);
            // The last 15 outputs go before the next span's (a short span's tail reaches into
            // the history itself), with their largest magnitude.
            const History15 tail = load15(span[c] + (int)filled - 15);
            store15(span[c] - 15, tail);
            hist_peak[c] = peak15(tail);
        }
        filled = 0;
        span_peak = 0.0f;
    }

    // The output meters' histories.
    for (int c = 0; c < 2; c++) {
        Os4 *o = &lim->chan[c].out;
        o->count += frames;
        // Both copies of the mirrored ring: the 15 in a row from the first one's slot (running
        // into the mirror), and the other copy of each.
        const uint32_t at = (o->count - 15) & 31;
        const History15 h = load15(span[c] - 15);
        store15(o->hist + at, h);
        if (at <= 17) {
            store15(o->hist + at + 32, h);
        } else {
            for (uint32_t i = 0; i < 15; i++)
                o->hist[(at + i + 32) & 63] = span[c][(int)i - 15];
        }
    }
    c0->tail = c0->head + window_records(c0);
    if (lim->twin)
        twin_sync(lim);
    else
        c1->tail = c1->head + window_records(c1);
    lim->cur_in = cur_in;
    lim->cur_thr = cur_thr;
    lim->cur_out = cur_out;
    lim->cur_mix = cur_mix;
    lim->cur_ceil = cur_ceil;
    lim->thr_pos = thr_pos;
    lim->thr_busy = thr_busy > 0 ? thr_busy : 0;
    lim->fade_bypass = fade_b;
    lim->fade_delta = fade_d;
    lim->fade_unity = fade_u;
    lim->out_gain = (1.0 - fade_u) * cur_out + fade_u / cur_in;
    LimiterMeters &m = lim->meters;
    m.min_gain = (float)min_gain;
    m.peak_in = peak_in;
    // A detector filter fed samples near the end of the f32 range can ring past it.
    det_l = det_l < FLT_MAX ? det_l : FLT_MAX;
    det_r = det_r < FLT_MAX ? det_r : FLT_MAX;
    m.det_l = det_l;
    m.det_r = det_r;
    m.det_peak = fmaxf_(det_l, det_r);
    m.peak_out = peak_out;
    m.tp_l = tp_l;
    m.tp_r = tp_r;
    m.tp_out = fmaxf_(tp_l, tp_r);
}
