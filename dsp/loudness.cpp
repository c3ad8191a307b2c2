// BS.1770 loudness meter: K-weighting of both channels, 100 ms block powers, momentary and
// short-term means, and the integrated value gated through a 0.1 LU histogram.
#include "dsp/loudness.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

namespace l_sse2 {
#include "dsp/loudness_kernels.inc"
} // namespace l_sse2

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace l_fma {
#define TK_LOUD_FMA
#include "dsp/loudness_kernels.inc"
#undef TK_LOUD_FMA
} // namespace l_fma
#pragma GCC pop_options

namespace {

// 1 when the FMA kernel runs (chosen once, from the processor's features).
int use_fma() {
    static const int fma = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? 1 : 0;
    }();
    return fma;
}

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

// Integrated loudness from the gating histogram. Only the bins from gate_lo to gate_hi can
// hold windows: the others add exact zeros, so the sums skip them and stay the same.
void update_integrated(Loudness *m) {
    double power = 0.0;
    uint64_t count = 0;
    for (int b = m->gate_lo; b <= m->gate_hi; b++) {
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
    for (int b = start > m->gate_lo ? start : m->gate_lo; b <= m->gate_hi; b++) {
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
                m->gate_lo = bin < m->gate_lo ? bin : m->gate_lo;
                m->gate_hi = bin > m->gate_hi ? bin : m->gate_hi;
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
    m->pending = 0;
    m->hop_count = 0;
    m->sum_l = m->sum_r = 0.0;
    std::memset(m->blocks, 0, sizeof m->blocks);
    m->block_pos = 0;
    m->block_count = 0;
    std::memset(m->gate_count, 0, sizeof m->gate_count);
    std::memset(m->gate_power, 0, sizeof m->gate_power);
    m->gate_lo = 750;
    m->gate_hi = -1;
    m->lufs_m = m->lufs_s = m->lufs_i = -100.0;
}

void loudness_process(Loudness *m, const float *left, const float *right, uint32_t frames) {
    if (!left || !right || m->hop < 1) return;
    const bool fma = use_fma();
    uint32_t i = 0;
    while (i < frames) {
        // Filter states as lanes (left, right): shelf s1, s2, high-pass s1, s2; then the sums.
        alignas(16) double state[8] = {m->shelf[0].s1, m->shelf[1].s1, m->shelf[0].s2, m->shelf[1].s2,
                                       m->hp[0].s1,    m->hp[1].s1,    m->hp[0].s2,    m->hp[1].s2};
        alignas(16) double sum[2] = {m->sum_l, m->sum_r};
        uint32_t n = (uint32_t)(m->hop - m->hop_count);
        const bool last = n <= frames - i; // this stretch ends the 100 ms block
        if (!last) n = frames - i;
        if (fma)
            l_fma::weigh(m->shelf, m->hp, state, sum, &m->pend[0], &m->pend[1], &m->pending, left + i, right + i, n,
                         last);
        else
            l_sse2::weigh(m->shelf, m->hp, state, sum, &m->pend[0], &m->pend[1], &m->pending, left + i, right + i, n,
                          last);
        m->shelf[0].s1 = state[0];
        m->shelf[1].s1 = state[1];
        m->shelf[0].s2 = state[2];
        m->shelf[1].s2 = state[3];
        m->hp[0].s1 = state[4];
        m->hp[1].s1 = state[5];
        m->hp[0].s2 = state[6];
        m->hp[1].s2 = state[7];
        m->sum_l = sum[0];
        m->sum_r = sum[1];
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
