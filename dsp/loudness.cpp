// BS.1770 loudness meter: K-weighting of both channels, 100 ms block powers, momentary and
// short-term means, and the integrated value gated through a 0.1 LU histogram.
#include "dsp/loudness.h"

#include <emmintrin.h>

#include <cmath>
#include <cstring>

namespace {

void design_shelf(Biquad *f, double fs) {
    const double k = std::tan(5284.078578647628 / fs);
    const double vh = 1.5848647011308556, vb = 1.2587209302325617, q = 0.7071752369554196;
    const double a0 = 1.0 + k / q + k * k;
    f->b0 = (vh + vb * k / q + k * k) / a0;
    f->b1 = 2.0 * (k * k - vh) / a0;
    f->b2 = (vh - vb * k / q + k * k) / a0;
    f->a1 = 2.0 * (k * k - 1.0) / a0;
    f->a2 = (1.0 - k / q + k * k) / a0;
}

void design_highpass(Biquad *f, double fs) {
    const double k = std::tan(119.8061151453059 / fs);
    const double q = 0.5003270373238773;
    const double a0 = 1.0 + k / q + k * k;
    f->b0 = 1.0;
    f->b1 = -2.0;
    f->b2 = 1.0;
    f->a1 = 2.0 * (k * k - 1.0) / a0;
    f->a2 = (1.0 - k / q + k * k) / a0;
}

double lufs_of(double power) { return 10.0 * std::log10(power) - 0.691; }

// Clears the filter memories (also after a non-finite sample reached them).
void clear_filters(Loudness *m) {
    for (int c = 0; c < 2; c++) {
        m->shelf[c].s1 = m->shelf[c].s2 = 0.0;
        m->hp[c].s1 = m->hp[c].s2 = 0.0;
    }
}

// Integrated loudness from the gating histogram.
void update_integrated(Loudness *m) {
    double power = 0.0;
    uint64_t count = 0;
    for (int b = 0; b < 750; b++) {
        power += m->gate_power[b];
        count += m->gate_count[b];
    }
    const double p = power / (double)count; // count > 0: a window was just counted
    int start = 0;
    if (p > 1e-12) {
        const int g = (int)std::trunc((lufs_of(p) - 10.0 + 70.0) / 0.1);
        if (g > 749) {
            m->lufs_i = -100.0;
            return;
        }
        start = g > 0 ? g : 0;
    }
    power = 0.0;
    count = 0;
    for (int b = start; b < 750; b++) {
        power += m->gate_power[b];
        count += m->gate_count[b];
    }
    const double q = count ? power / (double)count : 0.0;
    m->lufs_i = count && q > 1e-12 ? lufs_of(q) : -100.0;
}

// One 100 ms block of mean-square power p has ended.
void end_block(Loudness *m, double p) {
    m->blocks[m->block_pos] = p;
    m->block_pos = (m->block_pos + 1) % 30;
    if (m->block_count < 30) m->block_count += 1;
    if (m->block_count >= 4) {
        double sum = 0.0;
        for (int i = 4; i >= 1; i--)
            sum += m->blocks[(m->block_pos - i + 30) % 30];
        const double mom = sum / 4.0;
        if (mom <= 1e-12) {
            m->lufs_m = -100.0;
        } else {
            const double l = lufs_of(mom);
            m->lufs_m = l;
            if (l >= -70.0) {
                int bin = (int)std::trunc((l + 70.0) / 0.1);
                if (bin > 749) bin = 749;
                m->gate_count[bin] += 1;
                m->gate_power[bin] += mom;
                update_integrated(m);
            }
        }
    }
    if (m->block_count < 1) {
        m->lufs_s = -100.0;
    } else {
        const int n = m->block_count;
        double sum = 0.0;
        for (int i = n; i >= 1; i--)
            sum += m->blocks[(m->block_pos - i + 30) % 30];
        const double s = sum / n;
        m->lufs_s = s > 1e-12 ? lufs_of(s) : -100.0;
    }
}

} // namespace

void loudness_init(Loudness *m, double rate) {
    std::memset(m, 0, sizeof *m);
    if (!(rate >= 1.0 && rate <= 1e7)) rate = 48000.0; // no usable rate: keep the filters sane
    m->rate = rate;
    for (int c = 0; c < 2; c++) {
        design_shelf(&m->shelf[c], rate);
        design_highpass(&m->hp[c], rate);
    }
    const int hop = (int)std::trunc(rate * 100.0 / 1000.0 + 0.5);
    m->hop = hop > 1 ? hop : 1;
    loudness_reset(m);
}

void loudness_reset(Loudness *m) {
    clear_filters(m);
    m->hop_count = 0;
    m->sum_l = m->sum_r = 0.0;
    std::memset(m->blocks, 0, sizeof m->blocks);
    m->block_pos = 0;
    m->block_count = 0;
    std::memset(m->gate_count, 0, sizeof m->gate_count);
    std::memset(m->gate_power, 0, sizeof m->gate_power);
    m->lufs_m = m->lufs_s = m->lufs_i = -100.0;
}

// Both channels run side by side in the two lanes of SSE2 registers; each lane computes
// exactly the scalar transposed direct form II of its channel.
void loudness_process(Loudness *m, const float *left, const float *right, uint32_t frames) {
    if (!left || !right || m->hop < 1) return;
    const Biquad &f0 = m->shelf[0], &f1 = m->shelf[1], &h0 = m->hp[0], &h1 = m->hp[1];
    const __m128d sb0 = _mm_set_pd(f1.b0, f0.b0), sb1 = _mm_set_pd(f1.b1, f0.b1), sb2 = _mm_set_pd(f1.b2, f0.b2);
    const __m128d sa1 = _mm_set_pd(f1.a1, f0.a1), sa2 = _mm_set_pd(f1.a2, f0.a2);
    const __m128d hb0 = _mm_set_pd(h1.b0, h0.b0), hb1 = _mm_set_pd(h1.b1, h0.b1), hb2 = _mm_set_pd(h1.b2, h0.b2);
    const __m128d ha1 = _mm_set_pd(h1.a1, h0.a1), ha2 = _mm_set_pd(h1.a2, h0.a2);
    uint32_t i = 0;
    while (i < frames) {
        __m128d s1 = _mm_set_pd(f1.s1, f0.s1), s2 = _mm_set_pd(f1.s2, f0.s2);
        __m128d t1 = _mm_set_pd(h1.s1, h0.s1), t2 = _mm_set_pd(h1.s2, h0.s2);
        __m128d sum = _mm_set_pd(m->sum_r, m->sum_l);
        uint32_t n = (uint32_t)(m->hop - m->hop_count);
        if (n > frames - i) n = frames - i;
        for (uint32_t j = i; j < i + n; j++) {
            const __m128d x = _mm_set_pd(right[j], left[j]);
            const __m128d y = _mm_add_pd(_mm_mul_pd(sb0, x), s1);
            s1 = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(sb1, x), _mm_mul_pd(sa1, y)), s2);
            s2 = _mm_sub_pd(_mm_mul_pd(sb2, x), _mm_mul_pd(sa2, y));
            const __m128d z = _mm_add_pd(_mm_mul_pd(hb0, y), t1);
            t1 = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(hb1, y), _mm_mul_pd(ha1, z)), t2);
            t2 = _mm_sub_pd(_mm_mul_pd(hb2, y), _mm_mul_pd(ha2, z));
            sum = _mm_add_pd(sum, _mm_mul_pd(z, z));
        }
        alignas(16) double v[2];
        _mm_store_pd(v, s1);
        m->shelf[0].s1 = v[0];
        m->shelf[1].s1 = v[1];
        _mm_store_pd(v, s2);
        m->shelf[0].s2 = v[0];
        m->shelf[1].s2 = v[1];
        _mm_store_pd(v, t1);
        m->hp[0].s1 = v[0];
        m->hp[1].s1 = v[1];
        _mm_store_pd(v, t2);
        m->hp[0].s2 = v[0];
        m->hp[1].s2 = v[1];
        _mm_store_pd(v, sum);
        m->sum_l = v[0];
        m->sum_r = v[1];
        m->hop_count += (int32_t)n;
        i += n;
        if (m->hop_count >= m->hop) {
            double p = (m->sum_l + m->sum_r) / m->hop;
            m->hop_count = 0;
            m->sum_l = m->sum_r = 0.0;
            if (!std::isfinite(p)) {
                // A non-finite sample went through the filters: their memories would stay
                // non-finite for good. Restart them and count the block as silent.
                clear_filters(m);
                p = 0.0;
            }
            end_block(m, p);
        }
    }
}
