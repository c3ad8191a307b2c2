// The adaptive release envelope of linked channels as a scan over groups of eight samples
// with AVX-512: the slow envelope's steps composed as affine maps, the fast part's as
// max-plus maps, so that only one multiply-add (and a maximum) lies between one group's
// envelopes and the next.
#include <immintrin.h>

#include <cmath>

#include "dsp/envelope.h"

#pragma GCC push_options
#pragma GCC target("avx2,fma,avx512f,avx512vl,avx512dq")

namespace {

// (The masked forms of alignr, permute and max: GCC 12's unmasked ones start from an undefined vector
// and warn.)

// Lane k = x[k - S]; the lanes below S take `fill`.
template <int S> inline __m512d shift_in(__m512d x, __m512d fill) {
    const __m512i xi = _mm512_castpd_si512(x);
    return _mm512_castsi512_pd(_mm512_mask_alignr_epi64(xi, (__mmask8)0xff, xi, _mm512_castpd_si512(fill), 8 - S));
}

inline __m512d max_pd(__m512d a, __m512d b) { return _mm512_mask_max_pd(a, (__mmask8)0xff, a, b); }

// Every lane = lane 7 of x.
inline __m512d last(__m512d x) { return _mm512_mask_permutexvar_pd(x, (__mmask8)0xff, _mm512_set1_epi64(7), x); }

// The coefficients of one call, in all lanes: slow attack and release (att, rel) with their
// complements, fast release rf; q^1, q^2, q^4 (q = 1 - rf) for the rounds of the fast part's
// scan, qk (lane k: q^(k+1), composed as the rounds compose it) and q8 (q^8 in every lane).
struct Coefs {
    __m512d att, rel, keep_a, keep_r, rf, q1, q2, q4, qk, q8;
    __m512d rel8; // the slow envelope's factor over eight releasing samples, in every lane
    // For a group whose samples all attack (index 1) or all release (0): the composed factors
    // of the slow envelope after each round of slow_maps, as those rounds compute them.
    __m512d round[2][3];
};

Coefs coefs_of(double att, double rel, double rf) {
    Coefs c;
    c.att = _mm512_set1_pd(att);
    c.rel = _mm512_set1_pd(rel);
    c.keep_a = _mm512_set1_pd(1.0 - att);
    c.keep_r = _mm512_set1_pd(1.0 - rel);
    c.rf = _mm512_set1_pd(rf);
    const double q = 1.0 - rf, q2 = q * q, q4 = q2 * q2;
    c.q1 = _mm512_set1_pd(q);
    c.q2 = _mm512_set1_pd(q2);
    c.q4 = _mm512_set1_pd(q4);
    const __m512d one = _mm512_set1_pd(1.0);
    __m512d a = c.q1;
    a = _mm512_mul_pd(a, shift_in<1>(a, one));
    a = _mm512_mul_pd(a, shift_in<2>(a, one));
    a = _mm512_mul_pd(a, shift_in<4>(a, one));
    c.qk = a;
    c.q8 = last(a);
    for (int atk = 0; atk < 2; atk++) {
        __m512d k = atk ? c.keep_a : c.keep_r;
        k = _mm512_mul_pd(k, shift_in<1>(k, one));
        c.round[atk][0] = k;
        k = _mm512_mul_pd(k, shift_in<2>(k, one));
        c.round[atk][1] = k;
        k = _mm512_mul_pd(k, shift_in<4>(k, one));
        c.round[atk][2] = k;
    }
    c.rel8 = last(c.round[0][2]);
    return c;
}

// The slow envelope's steps of a group composed, with the branch of every sample given by
// atk (attack where set): es after sample k = a[k] * es before the group + b[k].
inline void slow_maps(const Coefs &c, __m512d g, __mmask8 atk, __m512d &a, __m512d &b) {
    const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
    if (atk == 0 || atk == 0xff) { // one branch throughout: the factors are the call's constants
        const int u = atk ? 1 : 0;
        b = _mm512_mul_pd(u ? c.att : c.rel, g);
        b = _mm512_fmadd_pd(u ? c.keep_a : c.keep_r, shift_in<1>(b, zero), b);
        b = _mm512_fmadd_pd(c.round[u][0], shift_in<2>(b, zero), b);
        b = _mm512_fmadd_pd(c.round[u][1], shift_in<4>(b, zero), b);
        a = c.round[u][2];
        return;
    }
    a = _mm512_mask_blend_pd(atk, c.keep_r, c.keep_a);
    b = _mm512_mul_pd(_mm512_mask_blend_pd(atk, c.rel, c.att), g);
    b = _mm512_fmadd_pd(a, shift_in<1>(b, zero), b);
    a = _mm512_mul_pd(a, shift_in<1>(a, one));
    b = _mm512_fmadd_pd(a, shift_in<2>(b, zero), b);
    a = _mm512_mul_pd(a, shift_in<2>(a, one));
    b = _mm512_fmadd_pd(a, shift_in<4>(b, zero), b);
    a = _mm512_mul_pd(a, shift_in<4>(a, one));
}

// The fast part's steps ef = max(o, q ef + rf o) of a group composed as maps max(m, q^j x + fb).
inline void fast_maps(const Coefs &c, __m512d o, __m512d &m, __m512d &fb) {
    const __m512d ninf = _mm512_set1_pd(-__builtin_inf()), zero = _mm512_setzero_pd();
    m = o;
    fb = _mm512_mul_pd(c.rf, o);
    m = max_pd(m, _mm512_fmadd_pd(c.q1, shift_in<1>(m, ninf), fb));
    fb = _mm512_fmadd_pd(c.q1, shift_in<1>(fb, zero), fb);
    m = max_pd(m, _mm512_fmadd_pd(c.q2, shift_in<2>(m, ninf), fb));
    fb = _mm512_fmadd_pd(c.q2, shift_in<2>(fb, zero), fb);
    m = max_pd(m, _mm512_fmadd_pd(c.q4, shift_in<4>(m, ninf), fb));
    fb = _mm512_fmadd_pd(c.q4, shift_in<4>(fb, zero), fb);
}

// One group: from the envelopes before it (ev, fv, in every lane), the reductions g and a
// guess of the branches, the slow envelope (s) and the fast part (fo) after each sample, and
// the results. A wrong guess is corrected from the envelopes it gave until they confirm it:
// each round settles at least the first sample it got wrong, and the values depend only on
// the branches, not on the guess. *ev_next and *fv_next (when given) take the envelopes after
// the group in every lane, with one multiply-add (and a maximum) after ev and fv.
inline __m512d group(const Coefs &c, __m512d g, __m512d ev, __m512d fv, __mmask8 atk, __m512d &s, __m512d &fo,
                     __m512d *ev_next, __m512d *fv_next) {
    __m512d a, b;
    for (;;) {
        slow_maps(c, g, atk, a, b);
        s = _mm512_fmadd_pd(a, ev, b);
        const __mmask8 actual = _mm512_cmp_pd_mask(g, shift_in<1>(s, ev), _CMP_GT_OQ);
        if (actual == atk) break;
        atk = actual;
    }
    // (Lane 7 of s, without waiting for s; a group that releases throughout has a known factor.)
    if (ev_next) *ev_next = _mm512_fmadd_pd(atk ? last(a) : c.rel8, ev, last(b));
    const __m512d zero = _mm512_setzero_pd();
    if (_mm512_cmp_pd_mask(g, s, _CMP_GT_OQ) == 0) {
        // No sample rises over the slow envelope: the fast part only decays (its maps are
        // max(0, q^j x + 0) in every lane). It is never below +0 (or NaN, which the maximum
        // keeps), so the maximum with 0 gives q^j x + 0 itself and is left out.
        fo = _mm512_fmadd_pd(c.qk, fv, zero);
        if (fv_next) *fv_next = _mm512_fmadd_pd(c.q8, fv, zero);
        return max_pd(g, _mm512_add_pd(s, fo));
    }
    __m512d m, fb;
    fast_maps(c, max_pd(_mm512_sub_pd(g, s), zero), m, fb);
    fo = max_pd(m, _mm512_fmadd_pd(c.qk, fv, fb));
    if (fv_next) *fv_next = max_pd(last(m), _mm512_fmadd_pd(c.q8, fv, last(fb)));
    return max_pd(g, _mm512_add_pd(s, fo));
}

// A group of `avail` samples (1..8) of gr, from the envelopes (*es, *ef) before it: the results
// into r, and *es, *ef become the envelopes after its last sample. The lanes past `avail`
// repeat the last sample; the values of the others depend only on the samples before them.
void part_group(const Coefs &c, double *gr, int avail, double *es, double *ef, double *r) {
    for (int i = avail; i < 8; i++)
        gr[i] = gr[avail - 1];
    const __m512d g = _mm512_load_pd(gr), ev = _mm512_set1_pd(*es), fv = _mm512_set1_pd(*ef);
    __m512d s, fo;
    _mm512_store_pd(r, group(c, g, ev, fv, _mm512_cmp_pd_mask(g, ev, _CMP_GT_OQ), s, fo, nullptr, nullptr));
    alignas(64) double sv[8], fov[8];
    _mm512_store_pd(sv, s);
    _mm512_store_pd(fov, fo);
    *es = sv[avail - 1];
    *ef = fov[avail - 1];
}

} // namespace

uint32_t envelope_scan8(Limiter *lim, double *g0, double *g1, uint32_t n, bool *any) {
    LimiterChan *c0 = &lim->chan[0], *c1 = &lim->chan[1];
    const double att = lim->att_slow, rel = lim->rel_slow, rf = lim->rel_fast;
    const Coefs c = coefs_of(att, rel, rf);
    const bool two = g1 != g0;
    double es = c0->env_slow, ef = c0->env_fast;
    alignas(64) double gr[8], r[8];
    bool pos = false;
    uint32_t j = 0;
    // A waiting group of other coefficients (or of the narrower kernels) ended where it was cut.
    if (lim->env_pend &&
        (lim->env_pend_w != 8 || lim->env_pend_c[0] != att || lim->env_pend_c[1] != rel || lim->env_pend_c[2] != rf))
        lim->env_pend = 0;

    // The waiting group: its first m samples were given out by the previous call; it is
    // computed again, whole, from where it started.
    if (lim->env_pend) {
        const int m = lim->env_pend;
        for (int i = 0; i < m; i++)
            gr[i] = lim->env_pend_gr[i];
        int avail = m;
        while (avail < 8 && (uint32_t)(avail - m) < n) {
            const uint32_t at = (uint32_t)(avail - m);
            if (two && g1[at] != g0[at]) break;
            gr[avail++] = g0[at];
        }
        lim->env_pend = 0;
        if (avail == m) return 0; // the channels part at once: the envelopes stand after the m samples
        double e = lim->env_pend_es, f = lim->env_pend_ef;
        part_group(c, gr, avail, &e, &f, r);
        for (int i = m; i < avail; i++) {
            const uint32_t at = (uint32_t)(i - m);
            g0[at] = r[i];
            if (two) g1[at] = r[i];
            pos = pos || r[i] > 0.0;
        }
        j = (uint32_t)(avail - m);
        es = e;
        ef = f;
        if (avail < 8) {
            if (j == n) { // cut by the end of the samples again: it waits on
                lim->env_pend = avail;
                for (int i = 0; i < avail; i++)
                    lim->env_pend_gr[i] = gr[i];
            }
            c0->env_slow = c1->env_slow = es;
            c0->env_fast = c1->env_fast = ef;
            *any = *any || pos;
            return j;
        }
    }

    // Whole groups. The branches are guessed from the slow envelope a group earlier, so that
    // the maps of a group do not wait for the group before it.
    __m512d ev = _mm512_set1_pd(es), fv = _mm512_set1_pd(ef), eref = ev;
    __m512d top = _mm512_setzero_pd(); // the largest result: whether any is above 0
    while (j + 8 <= n) {
        const __m512d g = _mm512_loadu_pd(g0 + j);
        if (two && _mm512_cmp_pd_mask(g, _mm512_loadu_pd(g1 + j), _CMP_NEQ_UQ)) break;
        const __mmask8 atk = _mm512_cmp_pd_mask(g, eref, _CMP_GT_OQ);
        eref = ev;
        __m512d s, fo;
        const __m512d res = group(c, g, ev, fv, atk, s, fo, &ev, &fv);
        _mm512_storeu_pd(g0 + j, res);
        if (two) _mm512_storeu_pd(g1 + j, res);
        top = max_pd(res, top);
        j += 8;
    }
    es = _mm512_cvtsd_f64(ev);
    ef = _mm512_cvtsd_f64(fv);
    pos = pos || _mm512_cmp_pd_mask(top, _mm512_setzero_pd(), _CMP_GT_OQ) != 0;

    // A last, shorter group: up to the end of the samples (it waits for the rest) or to where
    // the channels part (it ends there).
    if (j < n) {
        int avail = 0;
        while (avail < 8 && j + (uint32_t)avail < n && (!two || g1[j + avail] == g0[j + avail])) {
            gr[avail] = g0[j + avail];
            avail++;
        }
        if (avail > 0) {
            const double e0 = es, f0 = ef;
            part_group(c, gr, avail, &es, &ef, r);
            for (int i = 0; i < avail; i++) {
                g0[j + i] = r[i];
                if (two) g1[j + i] = r[i];
                pos = pos || r[i] > 0.0;
            }
            if (avail < 8 && j + (uint32_t)avail == n) {
                lim->env_pend = avail;
                lim->env_pend_w = 8;
                lim->env_pend_es = e0;
                lim->env_pend_ef = f0;
                for (int i = 0; i < avail; i++)
                    lim->env_pend_gr[i] = gr[i];
                lim->env_pend_c[0] = att;
                lim->env_pend_c[1] = rel;
                lim->env_pend_c[2] = rf;
            }
            j += (uint32_t)avail;
        }
    }
    c0->env_slow = c1->env_slow = es;
    c0->env_fast = c1->env_fast = ef;
    *any = *any || pos;
    return j;
}

#pragma GCC pop_options
