// The block pipeline: stamps the slot with call records, drains the edit queue, splits
// the block at event times, runs limiter, dither and loudness per piece in place, and
// publishes meters, loudness and one history row per 64 frames.
#include <cmath>
#include <cstring>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "dsp/dither.h"
#include "params/params.h"
#include "plugin/edits.h"
#include "plugin/plugin.h"
#include "registry/registry.h"
#include "sys/sys.h"

namespace {

// A store into the slot that needs no fence of its own. Readers find every field through a
// counter (hist_count for the history rows, ring_count for a call's records and the meters),
// and this call publishes that counter last with a fenced store; release order on the
// fields before it is what they rely on. One fence per call instead of one per field keeps
// a chain's stages from waiting on each other's buffer traffic at every store.
template <class T> inline void slot_put(T &field, T v) {
    std::atomic_ref<T>(field).store(v, std::memory_order_release);
}

// std::fmax and std::fmin for floats (a NaN gives way to the other value), inline: the
// library's are calls.
inline float max_of(float a, float b) { return a > b ? a : (b == b ? b : a); }
inline float min_of(float a, float b) { return a < b ? a : (b == b ? b : a); }

// Block accumulators of the limiter's piece meters.
struct BlockMeters {
    float gain = 1.0f;
    float peak_in = 0, det = 0, peak_out = 0, tp_out = 0;
    float det_l = 0, det_r = 0, tp_l = 0, tp_r = 0;
};

struct Events {
    const clap_input_events_t *list;
    uint32_t count;
    const clap_event_header_t *at(uint32_t i) const { return list->get(list, i); }
};

Events events_of(const clap_process_t *pr) {
    const clap_input_events_t *in = pr->in_events;
    if (!in || !in->size || !in->get) return Events{nullptr, 0};
    return Events{in, in->size(in)};
}

void apply_all(Plugin *p, const Events &ev, uint32_t from, const clap_output_events_t *out) {
    for (uint32_t i = from; i < ev.count; i++)
        apply_event(p, ev.at(i), out);
}

void write_row(SharedSlot *s, uint32_t k, float gain, float in, float out, float lufs) {
    uint32_t i = k & (HIST_LEN - 1);
    slot_put(s->history.hist_gain[i], gain);
    slot_put(s->history.hist_in[i], in);
    slot_put(s->history.hist_out[i], out);
    slot_put(s->history.hist_lufs[i], lufs);
}

void reset_hist_acc(Plugin *p) {
    p->hist_min_gain = 1.0f;
    p->hist_max_in = 0.0f;
    p->hist_max_out = 0.0f;
}

// Silence between this call and the previous one, as rows of 64 frames.
void fill_gap(Plugin *p, SharedSlot *s, uint64_t now, int64_t steady) {
    if (p->last_call_ns == 0 || !(p->sample_rate > 0)) return;
    double gap_ns = (double)((int64_t)now - p->last_call_ns) - (double)p->last_frames * 1e9 / p->sample_rate;
    if (!(gap_ns > 300000000.0)) return;
    double est = p->sample_rate * gap_ns / 1e9 * 0.015625;
    int64_t rows = est >= 1e12 ? (int64_t)1e12 : (int64_t)est;
    if (steady >= 0 && p->last_steady >= 0) {
        int64_t d = steady - (p->last_steady + (int64_t)p->last_frames);
        if (d > 0) {
            d >>= 6;
            if (2 * rows > d && 2 * d > rows) rows = d;
        }
    }
    if (rows <= 0) return;
    if (rows > (int64_t)HIST_LEN) rows = HIST_LEN;
    uint32_t start = shm_load(s->history.hist_count);
    for (uint32_t k = 0; k < (uint32_t)rows; k++)
        write_row(s, start + k, 1.0f, -1.0f, 0.0f, -100.0f);
    slot_put(s->history.hist_count, start + (uint32_t)rows);
    slot_put(s->history.hist_gap, (int32_t)start);
    reset_hist_acc(p);
    p->hist_frames = 0;
}

// The engine's settings from the slot, set again only when a row changed since they were.
void configure(Plugin *p) {
    double v[P_MIX + 1];
    for (int i = 0; i <= P_MIX; i++)
        v[i] = slot_value(p, i);
    if (!p->slot_values.engine_stale) return;
    p->slot_values.engine_stale = 0;
    Limiter *lim = &p->lim;
    limiter_set_style(lim, (int)std::trunc(v[P_STYLE] + 0.5));
    limiter_set(lim, v[P_TRUE_PEAK] >= 0.5, v[P_ADAPTIVE] >= 0.5, v[P_INPUT], -v[P_GAIN], v[P_CEILING], v[P_RELEASE],
                v[P_LINK] / 100.0, v[P_MIX] / 100.0);
    limiter_set_monitor(lim, v[P_BYPASS] >= 0.5, v[P_DELTA] >= 0.5, v[P_UNITY] >= 0.5);
}

// A channel of the block as the stage takes it: the input copied in (unless in place), or
// silence when the host gave no input for it.
void take_input(float *dst, const float *src, uint32_t frames) {
    if (!src)
        memset(dst, 0, (size_t)frames * sizeof(float));
    else if (src != dst)
        memmove(dst, src, (size_t)frames * sizeof(float));
}

// Zeroes the output channels from index `from` on, except the two the stage worked in.
void silence_from(const clap_audio_buffer_t *op, uint32_t from, uint32_t frames, const float *keep_l,
                  const float *keep_r) {
    if (!op->data32 || frames == 0) return;
    for (uint32_t c = from; c < op->channel_count; c++) {
        float *d = op->data32[c];
        if (d && d != keep_l && d != keep_r) memset(d, 0, (size_t)frames * sizeof(float));
    }
}

struct FpMode {
#if defined(__SSE__)
    unsigned int saved;
    FpMode() : saved(_mm_getcsr()) { _mm_setcsr(saved | 0x8040); }
    ~FpMode() { _mm_setcsr(saved); }
#endif
};

// The buffers one call works on, as the steps below pass them along.
struct Block {
    const clap_audio_buffer_t *op; // the output port
    uint32_t frames;
    float *out_l, *out_r;     // out_r is the scratch buffer when r_scratch
    const float *in_l, *in_r; // in_r null: a one-channel output without a right input
    bool r_scratch;           // the right channel is worked in the scratch buffer
};

// Step 1: the call's records (start, sequence, steady time). Returns the ring count this
// call's ring entries belong to; publish() ends the call under it.
uint32_t stamp_call(SharedSlot *s, const clap_process_t *pr, uint64_t now) {
    slot_put(s->calls.proc_prev_time, shm_load(s->calls.proc_time));
    slot_put(s->calls.proc_time, now);
    slot_put(s->calls.proc_seq, registry_next_seq());
    uint32_t n = shm_load(s->calls.ring_count);
    slot_put(s->calls.ring_start[n & (CALL_RING - 1)], now);
    slot_put(s->calls.ring_steady[n & (CALL_RING - 1)], pr->steady_time);
    slot_put(s->calls.steady_prev, shm_load(s->calls.steady));
    slot_put(s->calls.steady, pr->steady_time);
    return n;
}

// Step 5: the block counters an editor reads (length, longest, over the activated maximum).
void count_block(Plugin *p, SharedSlot *s, uint32_t frames) {
    slot_put(s->meters.block_frames, frames);
    if (frames > shm_load(s->meters.block_max)) slot_put(s->meters.block_max, frames);
    if (frames > p->max_frames) shm_fetch_add(s->meters.block_over, 1u);
}

// Step 7: buffers and gap rows. The input is read where the host put it (no copy). Absent
// input (no port, no channel array, no channels or a null channel) is silence: that
// channel's output is zeroed and worked in place, so the stage still runs and its delay
// line drains. b->op, frames and out_l are set by the caller.
void take_buffers(Plugin *p, SharedSlot *s, const clap_process_t *pr, uint64_t now, Block *b) {
    const clap_audio_buffer_t *op = b->op;
    uint32_t out_ch = op->data32 ? op->channel_count : 0;
    const clap_audio_buffer_t *ip = pr->audio_inputs_count > 0 ? pr->audio_inputs : nullptr;
    b->in_l = nullptr;
    b->in_r = nullptr;
    if (ip && ip->data32 && ip->channel_count > 0) {
        b->in_l = ip->data32[0];
        b->in_r = ip->channel_count > 1 ? ip->data32[1] : b->in_l;
    }
    b->r_scratch = out_ch < 2 || !op->data32[1];
    b->out_r = b->r_scratch ? p->scratch : op->data32[1];
    fill_gap(p, s, now, pr->steady_time);
    p->last_call_ns = (int64_t)now;
    p->last_steady = pr->steady_time;
    p->last_frames = b->frames;
    if (!b->in_l) {
        take_input(b->out_l, nullptr, b->frames);
        b->in_l = b->out_l;
    }
    if (!b->in_r && !b->r_scratch) {
        take_input(b->out_r, nullptr, b->frames);
        b->in_r = b->out_r;
    }
}

// Steps 8, 9: a loudness restart asked by an editor; a new lookahead takes effect only
// after a restart, which is asked for once.
void take_requests(Plugin *p, SharedSlot *s) {
    if (shm_load(s->loud_reset)) {
        slot_put(s->loud_reset, 0u);
        loudness_reset(&p->loud);
    }
    double la_ms = slot_value(p, P_LOOKAHEAD);
    int la = (int)std::trunc(la_ms * 0.001 * p->sample_rate + 0.5);
    if (la < 2) la = 2;
    std::atomic_ref<uint32_t> restart(p->restart_pending);
    if (la != p->lim.lookahead && restart.load() == 0) {
        restart.store(1);
        if (p->host && p->host->request_callback) p->host->request_callback(p->host);
    }
}

// Step 11: limiter, dither and loudness on one piece [pos, pos + len), from the input into
// the outputs (also in place), with the parameters read afresh from the slot (slot_value).
void run_piece(Plugin *p, const Block &b, uint32_t pos, uint32_t len) {
    float *l = b.out_l + pos;
    float *r = b.r_scratch ? p->scratch : b.out_r + pos;
    // Without a right input the one-channel case works its silent right channel in place.
    const float *ir = b.in_r ? b.in_r + pos : r;
    if (!b.in_r) take_input(r, nullptr, len);

    // The limiter reads the input and writes the outputs in one pass (also in place).
    configure(p);
    limiter_process_into(&p->lim, b.in_l + pos, ir, l, r, len);

    int mode = (int)std::trunc(slot_value(p, P_DITHER) + 0.5);
    if (mode > 0 && slot_value(p, P_BYPASS) < 0.5) {
        int shaping = (int)std::trunc(slot_value(p, P_SHAPING) + 0.5);
        int shape = shaping == 1 ? SHAPE_LIGHT : shaping == 2 ? SHAPE_WEIGHTED : SHAPE_NONE;
        dither_process(l, len, mode == 2, shape, &p->dither_rng[0], p->shape_err[0], &p->shape_pos[0]);
        if (r != l) dither_process(r, len, mode == 2, shape, &p->dither_rng[1], p->shape_err[1], &p->shape_pos[1]);
    }
    loudness_process(&p->loud, l, r, len);
}

// Step 12: the piece's meters into the block's, and its frames into the history rows (one
// row per 64 frames, published through hist_count, stamped with the call's time `now`).
void account_piece(Plugin *p, SharedSlot *s, uint32_t len, uint64_t now, BlockMeters *bm) {
    const LimiterMeters &m = p->lim.meters;
    bm->gain = min_of(bm->gain, m.min_gain);
    bm->peak_in = max_of(bm->peak_in, m.peak_in);
    bm->det = max_of(bm->det, m.det_peak);
    bm->peak_out = max_of(bm->peak_out, m.peak_out);
    bm->tp_out = max_of(bm->tp_out, m.tp_out);
    bm->det_l = max_of(bm->det_l, m.det_l);
    bm->det_r = max_of(bm->det_r, m.det_r);
    bm->tp_l = max_of(bm->tp_l, m.tp_l);
    bm->tp_r = max_of(bm->tp_r, m.tp_r);

    p->hist_min_gain = min_of(p->hist_min_gain, m.min_gain);
    double a = p->lim.out_gain * m.det_peak;
    a = a + p->lim.fade_bypass * (m.tp_out - a);
    p->hist_max_in = max_of(p->hist_max_in, (float)a);
    p->hist_max_out = max_of(p->hist_max_out, m.tp_out);
    p->hist_frames += (int32_t)len;
    bool wrote = false;
    while (p->hist_frames > 63) {
        uint32_t k = shm_load(s->history.hist_count);
        write_row(s, k, p->hist_min_gain, p->hist_max_in, p->hist_max_out, (float)p->loud.lufs_s);
        slot_put(s->history.hist_count, k + 1);
        p->hist_frames -= 64;
        wrote = true;
    }
    if (wrote) {
        slot_put(s->history.hist_time, now);
        reset_hist_acc(p);
    }
}

// Steps 10-13: pieces between event times, in place on the two outputs; events due at or
// before a piece's start are applied first. Returns the index of the first event not yet
// applied.
uint32_t run_pieces(Plugin *p, SharedSlot *s, const Events &ev, const clap_output_events_t *out, const Block &b,
                    uint64_t now, BlockMeters *bm) {
    uint32_t e = 0, pos = 0;
    while (pos < b.frames) {
        bool stopped = false;
        uint32_t ev_time = 0;
        while (e < ev.count) {
            const clap_event_header_t *h = ev.at(e);
            if (h && h->time > pos) {
                stopped = true;
                ev_time = h->time;
                break;
            }
            apply_event(p, h, out);
            e++;
        }
        uint32_t end = stopped ? (ev_time < b.frames ? ev_time : b.frames) : b.frames;
        if (end <= pos) end = pos + 1;
        // The right channel of a one-channel output is worked in the scratch buffer,
        // one piece at a time, so no block length can run past it.
        if (b.r_scratch && end - pos > p->scratch_len) end = pos + p->scratch_len;
        uint32_t len = end - pos;
        run_piece(p, b, pos, len);
        account_piece(p, s, len, now, bm);
        pos = end;
    }
    return e;
}

// Steps 15, 16: the block's meters and loudness, then the call's end; ring_end is visible
// before the ring_count that covers it.
void publish(const Plugin *p, SharedSlot *s, const BlockMeters &bm, uint32_t n) {
    slot_put(s->meters.meter_gain, bm.gain);
    slot_put(s->meters.meter_peak_in, bm.peak_in);
    slot_put(s->meters.meter_peak_out, bm.peak_out);
    slot_put(s->meters.meter_tp_in, bm.det);
    slot_put(s->meters.meter_tp_out, bm.tp_out);
    slot_put(s->meters.meter_tp_ch[0], bm.det_l);
    slot_put(s->meters.meter_tp_ch[1], bm.det_r);
    slot_put(s->meters.meter_tp_ch[2], bm.tp_l);
    slot_put(s->meters.meter_tp_ch[3], bm.tp_r);
    slot_put(s->meters.lufs_m, (float)p->loud.lufs_m);
    slot_put(s->meters.lufs_s, (float)p->loud.lufs_s);
    slot_put(s->meters.lufs_i, (float)p->loud.lufs_i);
    slot_put(s->calls.ring_end[n & (CALL_RING - 1)], sys_time_ns());
    shm_store(s->calls.ring_count, n + 1);
}

} // namespace

clap_process_status plug_process(const clap_plugin_t *plugin, const clap_process_t *pr) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot || !pr) return CLAP_PROCESS_CONTINUE;
    SharedSlot *s = p->slot;
    const clap_output_events_t *out = pr->out_events;

    // 1. Call records.
    uint64_t now = sys_time_ns();
    uint32_t n = stamp_call(s, pr, now);

    // 2, 3. Requests for the main thread, then queued edits go out before anything else.
    if (shm_load(s->pending) && p->host && p->host->request_callback) p->host->request_callback(p->host);
    echo_edits(p, out, now);

    Events ev = events_of(pr);

    // 4. No engine or no output port: events only.
    if (!p->active || pr->audio_outputs_count == 0 || !pr->audio_outputs) {
        apply_all(p, ev, 0, out);
        return CLAP_PROCESS_CONTINUE;
    }

    // 5. Block counters.
    Block b{};
    b.frames = pr->frames_count;
    count_block(p, s, b.frames);

    // 6. Nothing to process: no frames or no left output. Whatever output there is, is silent.
    b.op = &pr->audio_outputs[0];
    uint32_t out_ch = b.op->data32 ? b.op->channel_count : 0;
    b.out_l = out_ch > 0 ? b.op->data32[0] : nullptr;
    if (b.frames == 0 || !b.out_l) {
        silence_from(b.op, 0, b.frames, nullptr, nullptr);
        apply_all(p, ev, 0, out);
        return CLAP_PROCESS_CONTINUE;
    }

    // 7-9. Buffers and gap rows, then the editor's and the lookahead's requests.
    take_buffers(p, s, pr, now, &b);
    take_requests(p, s);

    // 10-13. Pieces; the floating-point mode holds until the call returns.
    FpMode fp;
    BlockMeters bm;
    uint32_t e = run_pieces(p, s, ev, out, b, now, &bm);
    apply_all(p, ev, e, out);
    // 14. Output channels beyond the stereo pair carry nothing of ours: silence, never stale data.
    silence_from(b.op, 2, b.frames, b.out_l, b.out_r);

    // 15, 16. Publish.
    publish(p, s, bm, n);
    return CLAP_PROCESS_CONTINUE;
}
