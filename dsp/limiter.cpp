// The limiter of one stage: construction and setters, the attack/release style table, and
// the per-sample kernel (detection, sliding-window gain computer, release, delay, output
// gain, mix, delta, unity gain, bypass fades and the nine meters), run in short chunks.
#include "dsp/limiter.h"

#include <emmintrin.h>

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
    std::free(c->win_pos);
    std::free(c->box1);
    std::free(c->box2);
    c->win_vals = nullptr;
    c->win_pos = nullptr;
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

// ---- Vector math for the two channels at once (SSE2, double precision) ----------------
// Both follow the classic fdlibm reductions and stay within about one unit in the last
// place of the libm results; they exist so that the two channels share one evaluation.

inline __m128d pd(double v) { return _mm_set1_pd(v); }

// log10(x) for positive normal x.
inline __m128d log10_pd(__m128d x) {
    const __m128i bits = _mm_castpd_si128(x);
    const __m128d two52 = pd(4503599627370496.0);
    // Biased exponent as a double (the exponent field is below 2^11, so OR-ing it into the
    // mantissa of 2^52 and subtracting 2^52 converts it exactly).
    __m128d e = _mm_sub_pd(_mm_or_pd(_mm_castsi128_pd(_mm_srli_epi64(bits, 52)), two52), two52);
    e = _mm_sub_pd(e, pd(1023.0));
    __m128d m = _mm_or_pd(_mm_and_pd(x, _mm_castsi128_pd(_mm_set1_epi64x(0x000fffffffffffffLL))), pd(1.0));
    const __m128d big = _mm_cmpgt_pd(m, pd(1.41421356237309504880));
    m = _mm_sub_pd(m, _mm_and_pd(big, _mm_mul_pd(m, pd(0.5))));
    e = _mm_add_pd(e, _mm_and_pd(big, pd(1.0)));
    const __m128d f = _mm_sub_pd(m, pd(1.0));
    const __m128d s = _mm_div_pd(f, _mm_add_pd(pd(2.0), f));
    const __m128d z = _mm_mul_pd(s, s);
    const __m128d w = _mm_mul_pd(z, z);
    const __m128d t1 =
        _mm_mul_pd(w, _mm_add_pd(pd(3.999999999940941908e-01),
                                 _mm_mul_pd(w, _mm_add_pd(pd(2.222219843214978396e-01),
                                                          _mm_mul_pd(w, pd(1.531383769920937332e-01))))));
    const __m128d t2 = _mm_mul_pd(
        z,
        _mm_add_pd(pd(6.666666666666735130e-01),
                   _mm_mul_pd(w, _mm_add_pd(pd(2.857142874366239149e-01),
                                            _mm_mul_pd(w, _mm_add_pd(pd(1.818357216161805012e-01),
                                                                     _mm_mul_pd(w, pd(1.479819860511658591e-01))))))));
    const __m128d r = _mm_add_pd(t2, t1);
    const __m128d hfsq = _mm_mul_pd(pd(0.5), _mm_mul_pd(f, f));
    const __m128d logm = _mm_sub_pd(f, _mm_sub_pd(hfsq, _mm_mul_pd(s, _mm_add_pd(hfsq, r))));
    const __m128d lo =
        _mm_add_pd(_mm_mul_pd(e, pd(3.69423907715893078616e-13)), _mm_mul_pd(logm, pd(4.34294481903251816668e-01)));
    return _mm_add_pd(lo, _mm_mul_pd(e, pd(3.01029995663611771306e-01)));
}

// exp(y) for -700 < y < 700.
inline __m128d exp_pd(__m128d y) {
    const __m128d shifter = pd(6755399441055744.0); // 1.5 * 2^52: rounds to an integer
    const __m128d t = _mm_add_pd(_mm_mul_pd(y, pd(1.44269504088896338700)), shifter);
    const __m128d k = _mm_sub_pd(t, shifter);
    const __m128d r = _mm_sub_pd(_mm_sub_pd(y, _mm_mul_pd(k, pd(6.93147180369123816490e-01))),
                                 _mm_mul_pd(k, pd(1.90821492927058770002e-10)));
    // Taylor series to degree 13 (the remainder on |r| <= ln(2)/2 is below 1e-17), summed
    // by Estrin's scheme: pairs of terms, then pairs of pairs, with r^2, r^4 and r^8.
    const __m128d r2 = _mm_mul_pd(r, r), r4 = _mm_mul_pd(r2, r2), r8 = _mm_mul_pd(r4, r4);
    auto lin = [&](double c0, double c1) { return _mm_add_pd(pd(c0), _mm_mul_pd(pd(c1), r)); };
    const __m128d p01 = _mm_add_pd(pd(1.0), r);
    const __m128d p23 = lin(1.0 / 2, 1.0 / 6), p45 = lin(1.0 / 24, 1.0 / 120), p67 = lin(1.0 / 720, 1.0 / 5040);
    const __m128d p89 = lin(1.0 / 40320, 1.0 / 362880), p1011 = lin(1.0 / 3628800, 1.0 / 39916800);
    const __m128d p1213 = lin(1.0 / 479001600, 1.0 / 6227020800.0);
    const __m128d q0 = _mm_add_pd(p01, _mm_mul_pd(r2, p23)), q1 = _mm_add_pd(p45, _mm_mul_pd(r2, p67));
    const __m128d q2 = _mm_add_pd(p89, _mm_mul_pd(r2, p1011));
    const __m128d s0 = _mm_add_pd(q0, _mm_mul_pd(r4, q1)), s1 = _mm_add_pd(q2, _mm_mul_pd(r4, p1213));
    const __m128d p = _mm_add_pd(s0, _mm_mul_pd(r8, s1));
    // 2^k from the integer left in the low mantissa bits of t.
    const __m128i ki = _mm_sub_epi64(_mm_castpd_si128(t), _mm_castpd_si128(shifter));
    const __m128i scale = _mm_slli_epi64(_mm_add_epi64(ki, _mm_set1_epi64x(1023)), 52);
    return _mm_mul_pd(p, _mm_castsi128_pd(scale));
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
    c->win_pos = (uint32_t *)std::calloc((size_t)c->cap, sizeof(uint32_t));
    c->box1 = (float *)std::malloc((size_t)c->cap1 * sizeof(float));
    c->box2 = (float *)std::malloc((size_t)c->cap2 * sizeof(float));
    if (!c->win_vals || !c->win_pos || !c->box1 || !c->box2) {
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
    const size_t bytes = (size_t)lim->delay_len * sizeof(float);
    lim->wet_l = (float *)std::calloc(1, bytes);
    lim->wet_r = (float *)std::calloc(1, bytes);
    lim->dry_l = (float *)std::calloc(1, bytes);
    lim->dry_r = (float *)std::calloc(1, bytes);
    lim->thr_len = lim->lookahead + 1;
    lim->thr_ring = (double *)std::calloc((size_t)lim->thr_len, sizeof(double));
    if (!lim->wet_l || !lim->wet_r || !lim->dry_l || !lim->dry_r || !lim->thr_ring ||
        !chan_init(&lim->chan[0], lim->lookahead) ||
        !chan_init(&lim->chan[1], lim->lookahead)) {
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
    for (int32_t i = 0; i < lim->thr_len; i++) lim->thr_ring[i] = lim->cur_thr;
    lim->thr_pos = 0;
    lim->thr_busy = 0;
}

void limiter_reset(Limiter *lim) {
    if (!lim->wet_l) return;
    const size_t bytes = (size_t)lim->delay_len * sizeof(float);
    std::memset(lim->wet_l, 0, bytes);
    std::memset(lim->wet_r, 0, bytes);
    std::memset(lim->dry_l, 0, bytes);
    std::memset(lim->dry_r, 0, bytes);
    lim->delay_pos = 0;
    chan_clear(&lim->chan[0]);
    chan_clear(&lim->chan[1]);
    snap_smoothers(lim);
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
//   win_vals, win_pos, head, tail, pos  monotonic deque: minimum of the last `window`
//                                       required gains
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

constexpr uint32_t CHUNK = 64;

// Two consecutive floats (any alignment) as doubles, and back.
inline __m128d load2(const float *p) { return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64((const __m128i_u *)p))); }
inline void store2(float *p, __m128 v) { _mm_storel_epi64((__m128i_u *)p, _mm_castps_si128(v)); }

// Per-chunk work arrays.
struct Chunk {
    alignas(16) float wl[CHUNK], wr[CHUNK];   // input-gained samples
    alignas(16) float dl[CHUNK], dr[CHUNK];   // detector values
    alignas(16) float dwl[CHUNK], dwr[CHUNK]; // delayed input-gained samples
    alignas(16) float ddl[CHUNK], ddr[CHUNK]; // delayed raw input
    alignas(16) float ol[CHUNK], orr[CHUNK];  // output samples
    alignas(16) float tl[CHUNK], tr[CHUNK];   // output true peaks
    alignas(16) double cin[CHUNK];            // cur_in per sample
    alignas(16) double cthr[CHUNK];           // cur_thr per sample
    alignas(16) double thrd[CHUNK];           // threshold that detected each leaving sample
    alignas(16) double sum[CHUNK][2];         // running sums of both channels
    alignas(16) float avg[CHUNK][4];          // a1 of both channels (lanes 0, 1)
    alignas(16) double gain[CHUNK][2];        // a2, then dB of reduction, then linear gain
};

// The gain-computer state of one channel, held in registers over a chunk.
struct GainState {
    float *vals;
    uint32_t *wp;
    uint32_t mask, window, head, tail;
    uint64_t pos;
    float *box1, *box2;
    int32_t len1, pos1, len2, pos2;
    double sum1, sum2;

    explicit GainState(const LimiterChan *c)
        : vals(c->win_vals), wp(c->win_pos), mask((uint32_t)c->mask), window((uint32_t)c->window), head(c->head),
          tail(c->tail), pos(c->pos), box1(c->box1), box2(c->box2), len1(c->len1), pos1(c->pos1), len2(c->len2),
          pos2(c->pos2), sum1(c->sum1), sum2(c->sum2) {}
    void store(LimiterChan *c) const {
        c->head = head;
        c->tail = tail;
        c->pos = pos;
        c->pos1 = pos1;
        c->pos2 = pos2;
        c->sum1 = sum1;
        c->sum2 = sum2;
    }

    // Sliding-window minimum: pushes g, returns the minimum of the last `window` values.
    float window_push(float g) {
        const uint32_t idx = (uint32_t)pos & mask;
        vals[idx] = g;
        uint32_t t = tail;
        while (t != head && vals[wp[(t - 1) & mask]] >= g)
            t--;
        wp[t & mask] = idx;
        tail = t + 1;
        if (wp[head & mask] == ((uint32_t)(pos - window) & mask)) head += 1;
        pos += 1;
        return vals[wp[head & mask]];
    }
    // First running average over the window minima.
    void average1(float mn) {
        sum1 += (double)mn - (double)box1[pos1];
        box1[pos1] = mn;
        pos1 = pos1 + 1 == len1 ? 0 : pos1 + 1;
    }
    // Second running average, over a1.
    void average2(float a1) {
        sum2 += (double)a1 - (double)box2[pos2];
        box2[pos2] = a1;
        pos2 = pos2 + 1 == len2 ? 0 : pos2 + 1;
    }
    // True when the window minimum and both averages stand at exactly 1. A sum equal to its
    // length means every entry is 1: entries are at most 1, one below 1 is at least 2^-24
    // below, and the rounding a running sum can pick up stays many orders under that.
    bool settled() const { return tail != head && vals[wp[head & mask]] == 1.0f && sum1 == len1 && sum2 == len2; }
    // n pushes of the value 1 into a settled state: the deque keeps one entry, the newest;
    // the averages keep their sums and move their positions.
    void skip_ones(uint32_t n) {
        const uint32_t idx = (uint32_t)(pos + n - 1) & mask;
        vals[idx] = 1.0f;
        wp[head & mask] = idx;
        pos += n;
        pos1 = (int32_t)(((uint32_t)pos1 + n) % (uint32_t)len1);
        pos2 = (int32_t)(((uint32_t)pos2 + n) % (uint32_t)len2);
    }
};

// Required gains with link, window minima and both averages for the chunk; leaves a2 of
// both channels in k.gain (or, when everything stays at unity, 0 dB of reduction directly).
// Returns 1 when k.gain holds a2 values of which some are below 1, 0 when it holds 0 dB.
int gain_computer(Limiter *lim, Chunk &k, uint32_t n, double link) {
    GainState s0(&lim->chan[0]), s1(&lim->chan[1]);
    const __m128d one = _mm_set1_pd(1.0);

    // Does any detector value exceed the threshold in this chunk?
    __m128d over_any = _mm_setzero_pd();
    for (uint32_t j = 0; j < n; j++)
        over_any = _mm_or_pd(over_any, _mm_cmpgt_pd(_mm_set_pd(k.dr[j], k.dl[j]), _mm_set1_pd(k.cthr[j])));
    const bool over = _mm_movemask_pd(over_any) != 0;

    if (!over && s0.settled() && s1.settled()) {
        s0.skip_ones(n);
        s1.skip_ones(n);
        s0.store(&lim->chan[0]);
        s1.store(&lim->chan[1]);
        for (uint32_t j = 0; j < n; j++)
            _mm_store_pd(k.gain[j], _mm_setzero_pd());
        return 0;
    }

    // Required gains (gl = thr / dl if dl > thr else 1, likewise gr), link, window minimum,
    // first average.
    const __m128d vlink = _mm_set1_pd(link);
    for (uint32_t j = 0; j < n; j++) {
        __m128d g = one;
        if (over) {
            const __m128d d = _mm_set_pd(k.dr[j], k.dl[j]);
            const __m128d thr = _mm_set1_pd(k.cthr[j]);
            const __m128d above = _mm_cmpgt_pd(d, thr);
            g = _mm_or_pd(_mm_and_pd(above, _mm_div_pd(thr, d)), _mm_andnot_pd(above, one));
            const __m128d m = _mm_min_pd(g, _mm_shuffle_pd(g, g, 1));
            g = _mm_add_pd(g, _mm_mul_pd(vlink, _mm_sub_pd(m, g)));
        }
        const __m128 gf = _mm_cvtpd_ps(g);
        s0.average1(s0.window_push(_mm_cvtss_f32(gf)));
        s1.average1(s1.window_push(_mm_cvtss_f32(_mm_shuffle_ps(gf, gf, 1))));
        k.sum[j][0] = s0.sum1;
        k.sum[j][1] = s1.sum1;
    }
    // a1 = sum1 / len1 as f32.
    const __m128d len1 = _mm_set_pd(s1.len1, s0.len1);
    for (uint32_t j = 0; j < n; j++)
        store2(k.avg[j], _mm_cvtpd_ps(_mm_div_pd(_mm_load_pd(k.sum[j]), len1)));
    // Second average.
    for (uint32_t j = 0; j < n; j++) {
        s0.average2(k.avg[j][0]);
        s1.average2(k.avg[j][1]);
        k.sum[j][0] = s0.sum2;
        k.sum[j][1] = s1.sum2;
    }
    // a2 = sum2 / len2 as f32.
    const __m128d len2 = _mm_set_pd(s1.len2, s0.len2);
    __m128d any = _mm_setzero_pd();
    for (uint32_t j = 0; j < n; j++) {
        const __m128d a2 = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_div_pd(_mm_load_pd(k.sum[j]), len2)));
        any = _mm_or_pd(any, _mm_cmplt_pd(a2, one));
        _mm_store_pd(k.gain[j], a2);
    }
    s0.store(&lim->chan[0]);
    s1.store(&lim->chan[1]);
    return _mm_movemask_pd(any) != 0;
}

// a2 -> dB of reduction: 0 if a2 >= 1, else -20 log10(max(a2, GAIN_FLOOR)).
void reduction_db(Chunk &k, uint32_t n, int any) {
    if (!any) {
        for (uint32_t j = 0; j < n; j++)
            _mm_store_pd(k.gain[j], _mm_setzero_pd());
        return;
    }
    const __m128d one = _mm_set1_pd(1.0);
    for (uint32_t j = 0; j < n; j++) {
        const __m128d a2 = _mm_load_pd(k.gain[j]);
        const __m128d below = _mm_cmplt_pd(a2, one);
        const __m128d db = _mm_mul_pd(_mm_set1_pd(-20.0), log10_pd(_mm_max_pd(a2, _mm_set1_pd(GAIN_FLOOR))));
        _mm_store_pd(k.gain[j], _mm_and_pd(below, db));
    }
}

inline __m128d select(__m128d mask, __m128d a, __m128d b) {
    return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}

// Release envelopes of both channels (one lane each): dB of reduction in, dB of the result
// out. Every branch of the per-channel rules is evaluated and selected, which gives the
// same numbers as taking it. Returns 1 when some result is above 0.
int envelope(Limiter *lim, Chunk &k, uint32_t n) {
    LimiterChan *c0 = &lim->chan[0], *c1 = &lim->chan[1];
    const __m128d zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0);
    const __m128d hold = _mm_set1_pd((double)lim->hold);
    const __m128d rel_fast = _mm_set1_pd(lim->rel_fast);
    __m128d hl = _mm_set_pd((double)c1->hold_left, (double)c0->hold_left); // small integers, exact
    __m128d any = zero;
    if (lim->adaptive) {
        const __m128d att = _mm_set1_pd(lim->att_slow), rel = _mm_set1_pd(lim->rel_slow);
        __m128d es = _mm_set_pd(c1->env_slow, c0->env_slow), ef = _mm_set_pd(c1->env_fast, c0->env_fast);
        for (uint32_t j = 0; j < n; j++) {
            const __m128d gr = _mm_load_pd(k.gain[j]);
            es = _mm_add_pd(es, _mm_mul_pd(_mm_sub_pd(gr, es), select(_mm_cmpgt_pd(gr, es), att, rel)));
            const __m128d d = _mm_sub_pd(gr, es);
            const __m128d over = select(_mm_cmpgt_pd(d, zero), d, zero);
            const __m128d peak = _mm_cmpgt_pd(over, ef);
            const __m128d free = _mm_cmplt_pd(hl, one);
            const __m128d released = _mm_add_pd(ef, _mm_mul_pd(_mm_sub_pd(over, ef), rel_fast));
            ef = select(peak, over, select(free, released, ef));
            hl = select(peak, hold, select(free, hl, _mm_sub_pd(hl, one)));
            const __m128d sum = _mm_add_pd(es, ef);
            const __m128d res = select(_mm_cmpgt_pd(gr, sum), gr, sum);
            any = _mm_or_pd(any, _mm_cmpgt_pd(res, zero));
            _mm_store_pd(k.gain[j], res);
        }
        alignas(16) double v[2];
        _mm_store_pd(v, es);
        c0->env_slow = v[0];
        c1->env_slow = v[1];
        _mm_store_pd(v, ef);
        c0->env_fast = v[0];
        c1->env_fast = v[1];
    } else {
        __m128d eh = _mm_set_pd(c1->env_hold, c0->env_hold);
        for (uint32_t j = 0; j < n; j++) {
            const __m128d gr = _mm_load_pd(k.gain[j]);
            const __m128d up = _mm_cmpgt_pd(gr, eh);
            const __m128d free = _mm_cmplt_pd(hl, one);
            const __m128d released = _mm_add_pd(eh, _mm_mul_pd(_mm_sub_pd(gr, eh), rel_fast));
            eh = select(up, gr, select(free, released, eh));
            hl = select(up, hold, select(free, hl, _mm_sub_pd(hl, one)));
            const __m128d res = select(_mm_cmpgt_pd(gr, eh), gr, eh); // gr itself after a new peak
            any = _mm_or_pd(any, _mm_cmpgt_pd(res, zero));
            _mm_store_pd(k.gain[j], res);
        }
        alignas(16) double v[2];
        _mm_store_pd(v, eh);
        c0->env_hold = v[0];
        c1->env_hold = v[1];
    }
    alignas(16) double h[2];
    _mm_store_pd(h, hl);
    c0->hold_left = (int32_t)h[0];
    c1->hold_left = (int32_t)h[1];
    return _mm_movemask_pd(any) != 0;
}

// dB of reduction -> linear gain, exp(-result * 0.11512925464970229); 0 dB gives 1 exactly.
void linear_gain(Chunk &k, uint32_t n, int any) {
    if (!any) {
        for (uint32_t j = 0; j < n; j++)
            _mm_store_pd(k.gain[j], _mm_set1_pd(1.0));
        return;
    }
    for (uint32_t j = 0; j < n; j++) {
        const __m128d res = _mm_load_pd(k.gain[j]);
        const __m128d g = exp_pd(_mm_mul_pd(res, _mm_set1_pd(-0.11512925464970229)));
        _mm_store_pd(k.gain[j], select(_mm_cmpgt_pd(res, _mm_setzero_pd()), g, _mm_set1_pd(1.0)));
    }
}

// The four delay lines over the chunk: the values delay_len samples old come out into k,
// the chunk's values go in, in contiguous runs between the wrap points.
void delay_chunk(Limiter *lim, Chunk &k, const float *L, const float *R, uint32_t n) {
    uint32_t j = 0;
    while (j < n) {
        const uint32_t dp = (uint32_t)lim->delay_pos;
        uint32_t run = (uint32_t)lim->delay_len - dp;
        if (run > n - j) run = n - j;
        const size_t bytes = run * sizeof(float);
        std::memcpy(k.dwl + j, lim->wet_l + dp, bytes);
        std::memcpy(k.dwr + j, lim->wet_r + dp, bytes);
        std::memcpy(k.ddl + j, lim->dry_l + dp, bytes);
        std::memcpy(k.ddr + j, lim->dry_r + dp, bytes);
        std::memcpy(lim->wet_l + dp, k.wl + j, bytes);
        std::memcpy(lim->wet_r + dp, k.wr + j, bytes);
        std::memcpy(lim->dry_l + dp, L + j, bytes);
        std::memcpy(lim->dry_r + dp, R + j, bytes);
        lim->delay_pos = dp + run == (uint32_t)lim->delay_len ? 0 : (int32_t)(dp + run);
        j += run;
    }
}

inline float fmaxf_(float a, float b) { return b > a ? b : a; }

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
    if (!lim->wet_l) return;
    if (!left || !right) frames = 0;
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
    for (uint32_t base = 0; base < frames; base += CHUNK) {
        const uint32_t n = frames - base < CHUNK ? frames - base : CHUNK;
        float *L = left + base, *R = right + base;

        // Smoothers of input gain and threshold, input gain, input sample peak.
        if (!moves(cur_in, tgt_in, sc) && !moves(cur_thr, tgt_thr, sc)) {
            const __m128d gin = _mm_set1_pd(cur_in);
            uint32_t j = 0;
            for (; j + 2 <= n; j += 2) {
                _mm_store_pd(k.cin + j, gin);
                _mm_store_pd(k.cthr + j, _mm_set1_pd(cur_thr));
                const __m128d l = load2(L + j);
                const __m128d r = load2(R + j);
                store2(k.wl + j, _mm_cvtpd_ps(wet_pd(_mm_mul_pd(l, gin))));
                store2(k.wr + j, _mm_cvtpd_ps(wet_pd(_mm_mul_pd(r, gin))));
            }
            for (; j < n; j++) {
                k.cin[j] = cur_in;
                k.cthr[j] = cur_thr;
                k.wl[j] = wet_ss(L[j] * cur_in);
                k.wr[j] = wet_ss(R[j] * cur_in);
            }
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
        }
        // The threshold each sample was detected with, for the sample leaving the delay now
        // (lookahead + 1 samples later, the detector's own 7 samples being part of the delay).
        const bool thr_varies = thr_busy > 0;
        if (thr_varies) {
            for (uint32_t j = 0; j < n; j++) {
                k.thrd[j] = thr_ring[thr_pos];
                thr_ring[thr_pos] = k.cthr[j];
                thr_pos = thr_pos + 1 == thr_len ? 0 : thr_pos + 1;
            }
            thr_busy -= (int32_t)n;
        }
        peak_in = peak2(peak_in, k.wl, k.wr, n, true);

        // Detector: true peak, or the input 7 samples late.
        tpdet_block(&c0->det, k.wl, n, k.dl, tp);
        tpdet_block(&c1->det, k.wr, n, k.dr, tp);
        det_l = peak2(det_l, k.dl, k.dl, n, false);
        det_r = peak2(det_r, k.dr, k.dr, n, false);

        // Gain computer: required gains, window minimum, averages, dB, release, gain.
        reduction_db(k, n, gain_computer(lim, k, n, link));
        linear_gain(k, n, envelope(lim, k, n));

        // Delay, output gain, mix, monitors.
        delay_chunk(lim, k, L, R, n);
        const bool settled = !thr_varies && !moves(cur_ceil, tgt_ceil, sc) && !moves(cur_mix, tgt_mix, sc);
        if (settled) cur_out = cur_ceil / cur_thr;
        if (settled && !running) {
            const bool mix = cur_mix < 0.9999;
            const __m128d vout = _mm_set1_pd(cur_out), vmix = _mm_set1_pd(cur_mix), one = _mm_set1_pd(1.0);
            const __m128d vceil = _mm_set1_pd(cur_ceil);
            __m128d mg = _mm_set1_pd(min_gain);
            uint32_t j = 0;
            for (; j + 2 <= n; j += 2) {
                const __m128d ga = _mm_load_pd(k.gain[j]), gb = _mm_load_pd(k.gain[j + 1]);
                const __m128d g0 = _mm_unpacklo_pd(ga, gb), g1 = _mm_unpackhi_pd(ga, gb);
                const __m128d dwl = load2(k.dwl + j);
                const __m128d dwr = load2(k.dwr + j);
                __m128d yl = clamp_pd(_mm_mul_pd(_mm_mul_pd(g0, dwl), vout), vceil);
                __m128d yr = clamp_pd(_mm_mul_pd(_mm_mul_pd(g1, dwr), vout), vceil);
                __m128d g = _mm_min_pd(g0, g1);
                if (mix) {
                    const __m128d ddl = load2(k.ddl + j);
                    const __m128d ddr = load2(k.ddr + j);
                    yl = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(yl, ddl), vmix), ddl);
                    yr = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(yr, ddr), vmix), ddr);
                    g = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(g, one), vmix), one);
                }
                store2(k.ol + j, _mm_cvtpd_ps(yl));
                store2(k.orr + j, _mm_cvtpd_ps(yr));
                mg = _mm_min_pd(g, mg);
            }
            alignas(16) double v[2];
            _mm_store_pd(v, mg);
            min_gain = v[1] < v[0] ? v[1] : v[0];
            for (; j < n; j++) {
                const double g0 = k.gain[j][0], g1 = k.gain[j][1];
                double yl = clamp_sd(g0 * k.dwl[j] * cur_out, cur_ceil);
                double yr = clamp_sd(g1 * k.dwr[j] * cur_out, cur_ceil);
                double g = g0 < g1 ? g0 : g1;
                if (mix) {
                    yl = (yl - k.ddl[j]) * cur_mix + k.ddl[j];
                    yr = (yr - k.ddr[j]) * cur_mix + k.ddr[j];
                    g = (g - 1.0) * cur_mix + 1.0;
                }
                k.ol[j] = (float)yl;
                k.orr[j] = (float)yr;
                min_gain = g < min_gain ? g : min_gain;
            }
        } else {
            for (uint32_t j = 0; j < n; j++) {
                cur_ceil += (tgt_ceil - cur_ceil) * sc;
                cur_out = cur_ceil / (thr_varies ? k.thrd[j] : cur_thr);
                cur_mix += (tgt_mix - cur_mix) * sc;
                const double dwl = k.dwl[j], dwr = k.dwr[j], ddl = k.ddl[j], ddr = k.ddr[j];
                const double g0 = k.gain[j][0], g1 = k.gain[j][1];
                double yl = clamp_sd(g0 * dwl * cur_out, cur_ceil), yr = clamp_sd(g1 * dwr * cur_out, cur_ceil);
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
                        const double u = 1.0 + fade_u * (1.0 / (cur_out * k.cin[j]) - 1.0);
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
                k.ol[j] = (float)yl;
                k.orr[j] = (float)yr;
                min_gain = g < min_gain ? g : min_gain;
            }
        }
        // Write back, output sample peak, output true peak.
        std::memcpy(L, k.ol, n * sizeof(float));
        std::memcpy(R, k.orr, n * sizeof(float));
        peak_out = peak2(peak_out, k.ol, k.orr, n, true);
        os4_peak_block(&c0->out, k.ol, n, k.tl, true);
        os4_peak_block(&c1->out, k.orr, n, k.tr, true);
        tp_l = peak2(tp_l, k.tl, k.tl, n, false);
        tp_r = peak2(tp_r, k.tr, k.tr, n, false);
    }

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
