// Stereo lookahead peak limiter of one stage: input gain, drive threshold, sliding-window
// gain computer with two running averages, adaptive/held release, link, mix, monitors.
#pragma once
#include <cstdint>

#include "dsp/os4.h"
#include "dsp/truepeak.h"

// Attack and release styles: attack fraction, slow attack factor, slow release factor,
// fast release factor, hold ms.
extern const double STYLES[6][5];
extern const char *const STYLE_NAMES[6];

// Per-channel gain computer.
//   win_vals           ring of the last cap required gains (cap > window, masked by position)
//   pos, below_end     gains pushed, and the position after the last one below 1
//   head, tail         counters of the monotonic deque that defines the window minimum: the
//                      minima that left the window, and head + the deque's size (at the end
//                      of each limiter_process call)
//   box1/box2          the two running averages shaping the attack ramp
//   env_slow/env_fast  adaptive release: slow envelope and peak part above it (dB)
//   env_hold           non-adaptive release: held and released reduction (dB)
//   det                true-peak detector of the input-gained signal (dsp/truepeak.h)
//   out                4x interpolator of the output true-peak meter
struct LimiterChan {
    float *win_vals;
    int32_t cap, mask, window;
    uint32_t head, tail;
    uint64_t pos, below_end;
    float *box1;
    int32_t len1, pos1, cap1;
    double sum1;
    float *box2;
    int32_t len2, pos2, cap2;
    double sum2;
    double env_slow, env_fast, env_hold;
    int32_t hold_left;
    TpDetector det;
    Os4 out;
};

// Meters of the last limiter_process call.
struct LimiterMeters {
    float min_gain;
    float peak_in;      // input sample peak after input gain
    float det_peak;     // detector peak (true peak when enabled)
    float peak_out;     // output sample peak
    float tp_out;       // output true peak
    float det_l, det_r; // detector peak per channel
    float tp_l, tp_r;   // output true peak per channel
};

// The limiter of one stage. Delay lines hold the input-gained (wet) and raw (dry) signal
// for delay_len = lookahead + 8 samples (straight lines, not rings: a chunk's delayed
// samples lie in one piece); cur_* follow tgt_* through 5 ms smoothers;
// fade_* are the 15 ms monitor crossfades; out_gain is the static gain from the
// input-gained signal to the output after the last call.
// The output gain is the smoothed ceiling divided by the threshold that detected the
// sample now leaving the delay (thr_ring, lookahead + 1 entries), so that a moving Gain
// never lifts the output over the ceiling; cur_out holds the last such gain.
struct Limiter {
    double rate;
    int32_t lookahead;
    int32_t delay_len;
    int32_t delay_keep; // history each line keeps: delay_len, and at least the detector's
    int32_t delay_cap;  // room of each line: the history and what follows it
    float *wet_l, *wet_r, *dry_l, *dry_r;
    int32_t delay_pos; // where the next sample goes; the delay_keep before it are the history
    LimiterChan chan[2];
    double cur_in, cur_thr, cur_out, cur_mix;
    double tgt_in, tgt_thr, tgt_out, tgt_mix;
    double cur_ceil, tgt_ceil;
    double *thr_ring;
    int32_t thr_len, thr_pos;
    int32_t thr_busy; // samples until thr_ring holds cur_thr throughout again
    uint8_t primed;   // targets set since init: the first set snaps the smoothers
    // 1 while both channels received the same required gains since the reset: the right
    // channel's window and averages are then the left's, kept in chan[0] (chan[1]'s counters
    // and sums are brought level at the end of each limiter_process call).
    uint8_t twin;
    // The envelope's group of samples cut by the end of a call (four with the AVX2 kernels,
    // eight with AVX-512: env_pend_w): how many of its samples are done (0: none), the
    // envelopes before it, its reductions so far and the coefficients it ran with.
    int32_t env_pend, env_pend_w;
    double env_pend_es, env_pend_ef;
    double env_pend_gr[8];
    double env_pend_c[3];
    double smooth_coef;
    double link;
    uint8_t true_peak, adaptive;
    double release_ms;
    double rel_fast, rel_slow, att_slow;
    uint8_t bypass, delta, unity;
    double fade_bypass, fade_delta, fade_unity;
    double fade_coef;
    double out_gain;
    int32_t style;
    double style_attack, style_slow_att, style_slow_rel, style_fast_rel;
    int32_t hold;
    LimiterMeters meters;
};

// [main-thread] (activate/deactivate):
int limiter_init(Limiter *lim, double rate, double lookahead_ms); // returns 1, or 0 when allocation fails
void limiter_free(Limiter *lim);
void limiter_reset(Limiter *lim);        // also [audio-thread] (reset)
int limiter_latency(const Limiter *lim); // returns delay_len

// [audio-thread], allocating nothing:
void limiter_set(Limiter *lim, bool true_peak, bool adaptive, double input_db, double threshold_db, double ceiling_db,
                 double release_ms, double link, double mix);
void limiter_set_style(Limiter *lim, int index);
void limiter_set_monitor(Limiter *lim, bool bypass, bool delta, bool unity);
void limiter_process(Limiter *lim, float *left, float *right, uint32_t frames);
// The same from separate input buffers into the output buffers (each input may be its
// output: in place); one pass over the audio instead of a copy and a pass.
void limiter_process_into(Limiter *lim, const float *in_left, const float *in_right, float *left, float *right,
                          uint32_t frames);

// Internals exposed for tests: chan_init is [main-thread] (limiter_init's) and returns as
// limiter_init; chan_set_attack and recalc_release are [audio-thread] (the setters').
int chan_init(LimiterChan *c, int lookahead);
void chan_set_attack(LimiterChan *c, int lookahead, double fraction);
void recalc_release(Limiter *lim);
