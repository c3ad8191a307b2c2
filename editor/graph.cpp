// The history graph: lines up the level histories that the stages write at their own pace
// (a time-reference stage, a smoothed anchor, per-stage offsets with jump points), reduces
// them to at most 2048 columns with fixed bucket boundaries, and draws the layers.
//
// Sections: per-draw storage and number helpers; alignment records and offsets
// (rec_get, map_entry, read_stage, switch_reference, update_offset); the drawn layers
// (areas, bands, curves, band edges, loudness, peak badge, ceiling); the column dump; the
// draw's steps (timing, reference and anchor, newest moment, columns, record); draw_graph.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "editor/events.h"
#include "editor/sections.h"
#include "sys/assert.h"

namespace {

constexpr float PANEL_X = 10.f;
constexpr float PANEL_Y = 100.f;
constexpr float PANEL_W = 676.f;
constexpr float PANEL_H = 464.f;
constexpr float PANEL_RIGHT = PANEL_X + PANEL_W;
constexpr float PANEL_BOTTOM = PANEL_Y + PANEL_H;
constexpr int MAX_COLS = GRAPH_MAX_COLS;
constexpr int MAX_DRAWN = 8;
constexpr int64_t RING_REACH = 8191; // entries a stage's ring still holds behind its newest
constexpr int32_t ENTRY_BASE = 16777216;
constexpr double MS = 1e6;

// What one chain stage published, read once per draw.
struct StageNow {
    SharedSlot *slot;
    int64_t c;   // hist_count
    double t;    // hist_time (ns)
    double s;    // steady time at the end of the latest call, -1 when none
    double ds;   // steady advance of that call, 0 when unknown
    int32_t gap; // hist_gap
    bool has_rate;
};

// Per-draw working storage, process-wide (the editor runs on the host's main thread).
StageNow g_st[64];
float g_x[MAX_COLS];
float g_in[MAX_COLS];
float g_out[MAX_COLS];
float g_lufs[MAX_COLS];
float g_gr[MAX_DRAWN][MAX_COLS];
float g_sum[MAX_COLS];
float g_y[MAX_COLS];
int64_t g_idx[MAX_COLS];
uint8_t g_in_stage[MAX_COLS];
uint8_t g_out_stage[MAX_COLS];

// A double as an integer in [lo, hi]; NaN gives 0 clamped into the range.
int64_t clamp_i64(double v, int64_t lo, int64_t hi) {
    if (std::isnan(v)) v = 0.0;
    if (v < (double)lo) return lo;
    if (v > (double)hi) return hi;
    return (int64_t)v;
}

int32_t to_i32(int64_t v) {
    const int64_t lim = 1000000000;
    return (int32_t)std::clamp<int64_t>(v, -lim, lim);
}

// Nearest integer, halves away from zero, bounded.
int64_t round_i64(double v) { return clamp_i64(std::round(v), -4000000000000LL, 4000000000000LL); }

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) q--;
    return q;
}

AlignRec *rec_find(Ui *ui, const SharedSlot *slot) {
    int n = std::clamp(ui->graph.align_n, 0, 64);
    for (int i = 0; i < n; i++)
        if (ui->graph.align[i].slot == slot) return &ui->graph.align[i];
    return nullptr;
}

// Finds or creates the record of a slot. With 64 held, the least recently used record is
// dropped and the later ones move down.
AlignRec *rec_get(Ui *ui, SharedSlot *slot, int32_t frame) {
    if (AlignRec *r = rec_find(ui, slot)) return r;
    int n = std::clamp(ui->graph.align_n, 0, 64);
    if (n == 64) {
        int victim = 0;
        for (int i = 1; i < 64; i++)
            if (ui->graph.align[i].seen_frame < ui->graph.align[victim].seen_frame) victim = i;
        memmove(&ui->graph.align[victim], &ui->graph.align[victim + 1], sizeof(AlignRec) * (size_t)(63 - victim));
        n = 63;
    }
    AlignRec *r = &ui->graph.align[n];
    *r = AlignRec{};
    r->slot = slot;
    r->valid_from = -1;
    r->seen_frame = frame;
    ui->graph.align_n = n + 1;
    return r;
}

void jump_append(AlignRec *r, int32_t at, int32_t off) {
    int n = std::clamp(r->jump_n, 0, 8);
    if (n == 8) {
        memmove(r->jump_at, r->jump_at + 1, sizeof(int32_t) * 7);
        memmove(r->jump_off, r->jump_off + 1, sizeof(int32_t) * 7);
        n = 7;
    }
    r->jump_at[n] = at;
    r->jump_off[n] = off;
    r->jump_n = n + 1;
}

// Reference entry e to the stage entry it shows (false when it shows none).
bool map_entry(const AlignRec &r, int64_t e, int64_t c, int64_t *k_out) {
    int jn = std::clamp(r.jump_n, 0, 8);
    for (int j = jn - 1; j >= 0; j--) {
        if ((int64_t)r.jump_at[j] + r.jump_off[j] <= e) break;
        int64_t k = e - r.jump_off[j];
        int64_t lower = j > 0 ? r.jump_at[j - 1] : 0;
        if (k >= lower && k < r.jump_at[j]) {
            *k_out = k;
            return true;
        }
        if (k >= r.jump_at[j]) return false;
    }
    int64_t newest = jn > 0 ? r.jump_at[jn - 1] : 0;
    int64_t k = e - r.offset;
    if (k >= newest && k < c) {
        *k_out = k;
        return true;
    }
    return false;
}

void read_stage(StageNow *st, SharedSlot *slot) {
    st->slot = slot;
    st->c = (int64_t)shm_load(slot->history.hist_count);
    st->t = (double)shm_load(slot->history.hist_time);
    st->gap = shm_load(slot->history.hist_gap);
    double rate = shm_load(slot->engine.sample_rate);
    st->has_rate = rate > 0.0;
    uint32_t rc = shm_load(slot->calls.ring_count);
    st->s = -1.0;
    st->ds = 0.0;
    if (rc >= 1) {
        int64_t s = shm_load(slot->calls.ring_steady[(rc - 1) & (CALL_RING - 1)]);
        if (s >= 0) {
            // The rows of a call are counted once it ends: measure at the block's end, so
            // that stages with different block lengths on one timeline line up.
            uint32_t frames = std::min<uint32_t>(shm_load(slot->meters.block_frames), 1u << 20);
            st->s = (double)s + (double)frames;
            if (rc >= 2) {
                int64_t prev = shm_load(slot->calls.ring_steady[(rc - 2) & (CALL_RING - 1)]);
                if (prev >= 0 && s > prev) st->ds = (double)s - (double)prev;
            }
        }
    }
}

// Makes stage n the time reference, keeping the displayed moment in place. The moment shown
// at the right edge, (D - anchor) / hop_ns in old reference entries, is entry
// (D - anchor) / hop_ns - o_n of stage n, so the anchor moves by o_n entries; this holds
// whether or not the old reference is still in the chain (taking n's own wall-clock anchor
// instead would make the picture jump by however far n's clock runs behind).
void switch_reference(Ui *ui, int n, double hop_ns, int32_t frame) {
    const StageNow &sn = g_st[n];
    AlignRec *rn = rec_get(ui, sn.slot, frame);
    int64_t o_n = rn->offset;
    double m_n = sn.t - hop_ns * (double)(sn.c - 1);
    ui->graph.anchor += (double)o_n * hop_ns;
    int na = std::clamp(ui->graph.align_n, 0, 64);
    for (int i = 0; i < na; i++) {
        AlignRec &r = ui->graph.align[i];
        r.offset = to_i32((int64_t)r.offset - o_n);
        for (int j = 0; j < 8; j++)
            r.raw[j] = to_i32((int64_t)r.raw[j] - o_n);
        for (int j = 0; j < 8; j++)
            r.jump_off[j] = to_i32((int64_t)r.jump_off[j] - o_n);
    }
    int64_t base = (int64_t)ui->graph.entry_base + o_n;
    // Bucket boundaries follow the absolute entry numbers; re-base only if they run away.
    if (base < (1 << 20) || base > (1 << 30)) base = ENTRY_BASE;
    ui->graph.entry_base = (int32_t)base;
    ui->graph.ref_slot = sn.slot;
    ui->graph.anchor_corr = ui->graph.anchor - m_n;
}

// The first n (1..8) held values, sorted ascending into out.
void sort_held(const int32_t *raw, int n, int32_t *out) {
    n = std::clamp(n, 0, 8);
    for (int i = 0; i < n; i++) {
        int32_t v = raw[i];
        int k = i;
        for (; k > 0 && out[k - 1] > v; k--)
            out[k] = out[k - 1];
        out[k] = v;
    }
}

// One draw's measurement of a stage's offset, folded into its record.
void update_offset(Ui *ui, int i, int ref, double hop_ns, double rate, int32_t frame) {
    const StageNow &si = g_st[i];
    const StageNow &sr = g_st[ref];
    AlignRec *rec = rec_get(ui, si.slot, frame);
    if (rec->valid_from >= 0 && rec->seen_frame < frame - 30) rec->valid_from = to_i32(si.c);
    rec->seen_frame = frame;

    int64_t r = (sr.c - 1 - round_i64((sr.t - si.t) / hop_ns)) - (si.c - 1);
    if (si.s >= 0.0 && sr.s >= 0.0) {
        int64_t rs = (sr.c - si.c) - round_i64((sr.s - si.s) / 64.0);
        int64_t lim = round_i64(2.0 * rate / 64.0);
        if (std::llabs(rs - r) <= lim) r = rs;
    }
    int32_t r32 = to_i32(r);
    bool stale_now = i != ref && sr.t - si.t >= 250.0 * MS;

    if (rec->valid_from < 0) {
        rec->offset = r32;
        rec->raw_n = rec->raw_pos = 0;
        rec->jump_n = 0;
        rec->valid_from = frame > 30 ? to_i32(si.c) : 0;
        rec->stale = stale_now;
        rec->stale_at = to_i32(si.c);
        rec->gap_seen = si.gap;
    } else {
        rec->jump_n = std::clamp(rec->jump_n, 0, 8);
        rec->raw_n = std::clamp(rec->raw_n, 0, 8);
        rec->raw_pos = std::clamp(rec->raw_pos, 0, 7);
        if (si.gap >= 0 && si.gap != rec->gap_seen) {
            // A new run of gap rows: entries before it keep the offset they had.
            if (rec->jump_n == 0 || si.gap > rec->jump_at[rec->jump_n - 1]) jump_append(rec, si.gap, rec->offset);
            rec->raw_n = rec->raw_pos = 0;
            rec->mismatch = 0;
        }
        rec->gap_seen = si.gap;
        bool ring_step = true;
        if (stale_now) {
            if (!rec->stale) {
                rec->stale = 1;
                rec->stale_at = to_i32(si.c);
            }
            ring_step = false;
        } else if (rec->stale) {
            rec->stale = 0;
            if (rec->jump_n == 0 || rec->stale_at > rec->jump_at[rec->jump_n - 1]) {
                jump_append(rec, rec->stale_at, rec->offset);
                rec->raw[0] = r32;
                rec->raw_n = 1;
                rec->raw_pos = 1;
                rec->offset = r32;
                rec->mismatch = 0;
                ring_step = false;
            }
        }
        if (ring_step) {
            rec->raw[rec->raw_pos] = r32;
            rec->raw_pos = (rec->raw_pos + 1) % 8;
            int32_t sorted[8];
            if (rec->raw_n < 8) {
                rec->raw_n++;
                sort_held(rec->raw, rec->raw_n, sorted);
                rec->offset = sorted[rec->raw_n / 2];
                rec->mismatch = 0;
            } else {
                sort_held(rec->raw, 8, sorted);
                if (sorted[4] == rec->offset) {
                    rec->mismatch = 0;
                } else if (++rec->mismatch >= 8) {
                    rec->offset = sorted[4];
                    rec->mismatch = 0;
                }
            }
        }
    }
    int64_t oldest = si.c - RING_REACH;
    while (rec->jump_n > 0 && rec->jump_at[0] < oldest) {
        memmove(rec->jump_at, rec->jump_at + 1, sizeof(int32_t) * 7);
        memmove(rec->jump_off, rec->jump_off + 1, sizeof(int32_t) * 7);
        rec->jump_n--;
    }
}

float level_y(float db) {
    float f = -db / 30.f;
    f = f < 0.f ? 0.f : (f > 1.f ? 1.f : f);
    return PANEL_Y + PANEL_H * f;
}

// The filled area under a curve: from the bottom under the oldest column, through every
// column, back to the bottom under the newest.
void area_path(NVGcontext *vg, const float *levels, int n) {
    nvgBeginPath(vg);
    nvgMoveTo(vg, g_x[n - 1], PANEL_BOTTOM);
    for (int i = n - 1; i >= 0; i--)
        nvgLineTo(vg, g_x[i], level_y(levels[i]));
    nvgLineTo(vg, g_x[0], PANEL_BOTTOM);
    nvgClosePath(vg);
}

void curve_path(NVGcontext *vg, const float *levels, int n) {
    nvgBeginPath(vg);
    nvgMoveTo(vg, g_x[n - 1], level_y(levels[n - 1]));
    for (int i = n - 2; i >= 0; i--)
        nvgLineTo(vg, g_x[i], level_y(levels[i]));
}

void stroke(NVGcontext *vg, float width, NVGcolor c) {
    nvgStrokeWidth(vg, width);
    nvgStrokeColor(vg, c);
    nvgStroke(vg);
}

struct Layout {
    int stages; // drawn stages (first 8 of the chain)
    int cols;
    int shown;      // chain index of the shown stage
    int64_t newest; // newest displayed reference entry
    double frac;
    double ppe; // design units per entry
};

// Layer 2: the input and output level areas.
void draw_areas(NVGcontext *vg, int n) {
    area_path(vg, g_in, n);
    nvgFillPaint(vg,
                 nvgLinearGradient(vg, 0.f, PANEL_Y, 0.f, PANEL_BOTTOM, nv(COL_GRAPH_IN_TOP), nv(COL_GRAPH_IN_BOTTOM)));
    nvgFill(vg);
    area_path(vg, g_out, n);
    nvgFillPaint(
        vg, nvgLinearGradient(vg, 0.f, PANEL_Y, 0.f, PANEL_BOTTOM, nv(COL_GRAPH_OUT_TOP), nv(COL_GRAPH_OUT_BOTTOM)));
    nvgFill(vg);
}

// Layer 3: reduction bands, stacked from the top in chain order.
void draw_bands(NVGcontext *vg, const Layout &L, int n) {
    for (int i = 0; i < n; i++)
        g_sum[i] = 0.f;
    for (int s = 0; s < L.stages; s++) {
        Rgba c = stage_color(s);
        bool shown = s == L.shown;
        // One polygon per run of reducing columns (tapering to the neighbours), so that no
        // zero-height band leaves an anti-aliased hairline along the top.
        nvgBeginPath(vg);
        for (int i = 0; i < n;) {
            if (!(g_gr[s][i] > 0.f)) {
                i++;
                continue;
            }
            int a = i > 0 ? i - 1 : i;
            while (i < n && g_gr[s][i] > 0.f)
                i++;
            int b = i < n ? i : n - 1;
            nvgMoveTo(vg, g_x[a], level_y(-g_sum[a]));
            for (int k = a + 1; k <= b; k++)
                nvgLineTo(vg, g_x[k], level_y(-g_sum[k]));
            for (int k = b; k >= a; k--)
                nvgLineTo(vg, g_x[k], level_y(-(g_sum[k] + g_gr[s][k])));
            nvgClosePath(vg);
        }
        int a0 = shown ? (int)(0.95f * 255.f) : (int)(0.72f * 0.95f * 255.f);
        int a1 = shown ? 89 : 64;
        nvgFillPaint(vg,
                     nvgLinearGradient(vg, 0.f, PANEL_Y, 0.f, 285.6f, nv(with_alpha(c, a0)), nv(with_alpha(c, a1))));
        nvgFill(vg);
        for (int i = 0; i < n; i++)
            g_sum[i] += g_gr[s][i];
    }
}

// Layer 4: the input curve and the glowing output curve.
void draw_curves(NVGcontext *vg, int n) {
    curve_path(vg, g_in, n);
    stroke(vg, 1.f, nv(COL_GRAPH_IN_LINE));
    curve_path(vg, g_out, n);
    stroke(vg, 3.f, nv(COL_GRAPH_OUT_GLOW));
    curve_path(vg, g_out, n);
    stroke(vg, 1.2f, nv(COL_GRAPH_OUT_LINE));
}

// Layer 5: the lower edge of every band where the stage reduces.
void draw_band_edges(NVGcontext *vg, const Layout &L, int n) {
    for (int i = 0; i < n; i++)
        g_sum[i] = 0.f;
    for (int s = 0; s < L.stages; s++) {
        Rgba c = stage_color(s);
        for (int i = 0; i < n; i++)
            g_y[i] = level_y(-(g_sum[i] + g_gr[s][i]));
        nvgBeginPath(vg);
        bool open = false;
        for (int i = n - 1; i >= 0; i--) {
            if (g_gr[s][i] > 0.02f) {
                if (!open)
                    nvgMoveTo(vg, g_x[i], g_y[i]);
                else
                    nvgLineTo(vg, g_x[i], g_y[i]);
                open = true;
            } else {
                open = false;
            }
        }
        stroke(vg, 1.2f, nv(with_alpha(c, s == L.shown ? 255 : 156)));
        for (int i = 0; i < n; i++)
            g_sum[i] += g_gr[s][i];
    }
}

// Layer 6: short-term loudness, broken where there is none.
void draw_loudness(NVGcontext *vg, int n) {
    for (int pass = 0; pass < 2; pass++) {
        nvgBeginPath(vg);
        bool open = false;
        for (int i = n - 1; i >= 0; i--) {
            if (g_lufs[i] > -99.f) {
                if (!open)
                    nvgMoveTo(vg, g_x[i], level_y(g_lufs[i]));
                else
                    nvgLineTo(vg, g_x[i], level_y(g_lufs[i]));
                open = true;
            } else {
                open = false;
            }
        }
        if (pass == 0)
            stroke(vg, 4.f, nv(COL_GRAPH_LUFS_GLOW));
        else
            stroke(vg, 1.5f, nv(COL_GRAPH_LUFS_LINE));
    }
}

// Layer 7: the badge of the shown stage's peak reduction within the panel.
void draw_peak_badge(NVGcontext *vg, const Layout &L, int n) {
    if (L.shown < 0 || L.shown >= L.stages) return;
    int best = -1;
    float peak = 0.f;
    for (int i = 0; i < n; i++) {
        if (g_x[i] < PANEL_X || g_x[i] > PANEL_RIGHT) continue;
        if (g_gr[L.shown][i] > peak) {
            peak = g_gr[L.shown][i];
            best = i;
        }
    }
    if (best < 0 || !(peak > 0.05f)) return;
    char buf[32];
    snprintf(buf, sizeof buf, "-%.1f dB", peak);
    float tw = text_width(vg, 9.f, buf);
    float w = tw + 12.f;
    float x = g_x[best] - w * 0.5f;
    x = std::min(x, PANEL_RIGHT - w - 4.f);
    x = std::max(x, 14.f);
    float below = 0.f;
    for (int s = 0; s <= L.shown; s++)
        below += g_gr[s][best];
    float y = std::min(level_y(-below) + 4.f, PANEL_BOTTOM - 18.f);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, x, y, w, 14.f, 4.f);
    nvgFillColor(vg, nv(COL_GRAPH_BADGE));
    nvgFill(vg);
    text(vg, x + w * 0.5f, y + 7.f, 9.f, COL_INK_ON_BADGE, NVG_ALIGN_CENTER | NVG_ALIGN_MIDDLE, buf);
}

// Layers 2 to 7 over the columns of L (the panel and the ceiling are drawn around them).
void draw_layers(Ui *ui, const Layout &L) {
    NVGcontext *vg = ui->win.vg;
    int n = L.cols;
    if (n < 1) return;
    nvgLineJoin(vg, NVG_ROUND);
    nvgLineCap(vg, NVG_ROUND);
    draw_areas(vg, n);
    draw_bands(vg, L, n);
    draw_curves(vg, n);
    draw_band_edges(vg, L, n);
    draw_loudness(vg, n);
    draw_peak_badge(vg, L, n);
}

// Layer 8: the ceiling of the last recent stage, and the shown stage's as a dashed line when
// it differs.
void draw_ceiling(Ui *ui, int chain_n, int shown_index) {
    NVGcontext *vg = ui->win.vg;
    int last = chain_n - 1;
    for (int i = chain_n - 1; i >= 0; i--)
        if (ui->chain.chain[i].recent) {
            last = i;
            break;
        }
    double ceil_last = slot_param(ui->chain.chain[last].slot, P_CEILING);
    float y = level_y((float)ceil_last);
    nvgBeginPath(vg);
    nvgMoveTo(vg, PANEL_X, y);
    nvgLineTo(vg, PANEL_RIGHT, y);
    stroke(vg, 1.f, nv(COL_GRAPH_CEILING));
    if (shown_index != last && shown_index >= 0 && shown_index < chain_n) {
        double ceil_shown = slot_param(ui->chain.chain[shown_index].slot, P_CEILING);
        if (std::fabs(ceil_shown - ceil_last) > 0.05) {
            float ys = level_y((float)ceil_shown);
            nvgBeginPath(vg);
            for (int k = 0; k < 68; k++) {
                nvgMoveTo(vg, PANEL_X + 10.f * (float)k, ys);
                nvgLineTo(vg, PANEL_X + 10.f * (float)k + 5.f, ys);
            }
            stroke(vg, 1.f, nv(COL_GRAPH_CEILING_SHOWN));
        }
    }
}

// Appends formatted text to a fixed buffer and flushes it to fd when it runs full.
struct LineWriter {
    int fd;
    char buf[4096];
    size_t len;
    void flush() {
        size_t off = 0;
        while (off < len) {
            ssize_t w = ::write(fd, buf + off, len - off);
            if (w <= 0) break;
            off += (size_t)w;
        }
        len = 0;
    }
    void line(const char *s) {
        size_t n = strlen(s);
        if (len + n > sizeof buf) flush();
        if (n > sizeof buf) n = sizeof buf;
        memcpy(buf + len, s, n);
        len += n;
    }
};

void write_dump(Ui *ui, const Layout &L, double width_px, int B) {
    char path[600];
    char dump[sizeof ui->win.dump_path + 1];
    memcpy(dump, ui->win.dump_path, sizeof ui->win.dump_path);
    dump[sizeof ui->win.dump_path] = 0;
    int pn = snprintf(path, sizeof path, "%s.cols.txt", dump);
    if (pn < 0 || pn >= (int)sizeof path || dump[0] == 0) return;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    static LineWriter w;
    w.fd = fd;
    w.len = 0;
    char line[160];
    snprintf(line, sizeof line, "W %.1f B %d ppx %.4f newest %d frac %.3f nv %d\n", width_px, B,
             L.ppe * width_px / PANEL_W, (int)std::clamp<int64_t>(L.newest, INT32_MIN, INT32_MAX), L.frac, L.cols);
    w.line(line);
    for (int i = 0; i < L.cols; i++) {
        float gr[3] = {0.f, 0.f, 0.f};
        for (int s = 0; s < 3 && s < L.stages; s++)
            gr[s] = g_gr[s][i];
        snprintf(line, sizeof line, "%4d x %8.2f in %7.2f out %7.2f gr %6.2f %6.2f %6.2f\n", i, g_x[i], g_in[i],
                 g_out[i], gr[0], gr[1], gr[2]);
        w.line(line);
    }
    w.flush();
    ::close(fd);
}

// The chain's timing, fixed for one draw: the first stage's rate (48 kHz while it has none),
// one history entry per 64 frames, six seconds across the panel.
struct Timing {
    double rate;
    double hop; // seconds per entry
    double hop_ns;
    double e6; // entries in six seconds
    double N;  // entries the columns may cover
    double W;  // the panel's width in pixels
    int B;     // entries per column
};

// Counts the draw (restarting the counter after a year of frames without losing the
// records' recency) and starts this draw's GraphInfo. Returns the draw's frame number.
int32_t begin_info(Ui *ui, int n) {
    if (ui->graph.graph_info_valid >= INT32_MAX - 1) {
        ui->graph.graph_info_valid = 1000;
        for (int i = 0; i < std::clamp(ui->graph.align_n, 0, 64); i++)
            ui->graph.align[i].seen_frame = 1000;
    }
    ui->graph.graph_info_valid++;
    int32_t frame = ui->graph.graph_info_valid;
    GraphInfo &info = ui->graph.graph_info;
    info = GraphInfo{};
    info.frame = (uint32_t)frame;
    info.chain_len = (uint32_t)n;
    info.x0 = PANEL_X;
    info.width = PANEL_W;
    return frame;
}

// Layer 1: the panel's background, vignette and dB grid; leaves the panel's scissor set.
void draw_panel(NVGcontext *vg) {
    nvgSave(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, PANEL_X, PANEL_Y, PANEL_W, PANEL_H, 6.f);
    nvgFillColor(vg, nv(COL_GRAPH_BG));
    nvgFill(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, PANEL_X, PANEL_Y, PANEL_W, PANEL_H, 6.f);
    nvgFillPaint(
        vg, nvgBoxGradient(vg, PANEL_X, PANEL_Y, PANEL_W, PANEL_H, 6.f, 40.f, nv(COL_NONE), nv(COL_GRAPH_VIGNETTE)));
    nvgFill(vg);
    nvgScissor(vg, PANEL_X, PANEL_Y, PANEL_W, PANEL_H);
    for (int k = 0; k <= 10; k++) {
        float y = level_y(-3.f * (float)k);
        nvgBeginPath(vg);
        nvgMoveTo(vg, PANEL_X, y);
        nvgLineTo(vg, PANEL_RIGHT, y);
        stroke(vg, 1.f, nv((k % 4 == 0) ? COL_GRAPH_GRID_MAJOR : COL_GRAPH_GRID));
    }
}

// Last layer: restores the state draw_panel saved, then the border and the dB scale.
void draw_frame(NVGcontext *vg) {
    nvgRestore(vg);
    nvgBeginPath(vg);
    nvgRoundedRect(vg, 10.5f, 100.5f, 675.f, 463.f, 6.f);
    stroke(vg, 1.f, nv(COL_BORDER));
    char buf[16];
    for (int db = 0; db >= -30; db -= 6) {
        snprintf(buf, sizeof buf, "%d", db);
        text(vg, 692.f, level_y((float)db), 8.5f, COL_DIM, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, buf);
    }
    text(vg, 692.f, 570.f, 7.f, COL_FAINT, NVG_ALIGN_LEFT | NVG_ALIGN_MIDDLE, "DB", 0.84f);
}

// The timing of a chain whose first stage is first, at the frame's zoom.
Timing timing_of(Ui *ui, const SharedSlot *first) {
    Timing T;
    double rate = shm_load(first->engine.sample_rate);
    if (!(rate > 0.0)) rate = 48000.0;
    T.rate = std::clamp(rate, 1000.0, 1536000.0);
    T.hop = 64.0 / T.rate;
    T.hop_ns = T.hop * 1e9;
    T.e6 = 6.0 / T.hop;
    T.N = T.rate * 3.6 / 64.0 + T.e6;
    double z = ui_frame_z(ui);
    if (!(z > 0.0) || !std::isfinite(z)) z = 1.0;
    T.W = PANEL_W * z;
    T.B = (int)std::ceil(T.e6 / (2.0 * T.W));
    if (T.B < 1) T.B = 1;
    while (T.N / T.B + 3.0 > (double)MAX_COLS)
        T.B++;
    return T;
}

// The reference stage and the anchor: the first draw takes the stage that published last;
// later draws keep the reference until another stage runs clearly ahead of it (by steady
// time on one timeline, else by 100 ms), and ease the anchor towards the reference's own.
// Returns the reference's chain index; g_st holds the chain's n stages.
int choose_reference(Ui *ui, int n, const Timing &T, int32_t frame) {
    int cand = 0;
    for (int i = 1; i < n; i++)
        if (g_st[i].t > g_st[cand].t) cand = i;
    int ref = -1;
    if (!ui->graph.graph_init) {
        ref = cand;
        ui->graph.graph_init = 1;
        ui->graph.anchor_corr = 0.0;
        ui->graph.entry_base = ENTRY_BASE;
        ui->graph.anchor = g_st[ref].t - T.hop_ns * (double)(g_st[ref].c - 1);
        ui->graph.ref_slot = g_st[ref].slot;
    } else {
        for (int i = 0; i < n; i++)
            if (ui->chain.chain[i].slot == ui->graph.ref_slot) ref = i;
        bool do_switch;
        if (ref < 0) {
            do_switch = true;
        } else if (ref == cand) {
            do_switch = false;
        } else {
            const StageNow &sr = g_st[ref], &sc = g_st[cand];
            if (sr.s >= 0.0 && sc.s >= 0.0 && sc.ds >= 1.0 && std::fabs(sc.s - sr.s) < 2.0 * T.rate)
                do_switch = sc.s - sr.s > 2.0 * sc.ds;
            else
                do_switch = sc.t - sr.t > 100.0 * MS;
        }
        if (do_switch) {
            switch_reference(ui, cand, T.hop_ns, frame);
            ref = cand;
        } else {
            const StageNow &sr = g_st[ref];
            double m = sr.t - T.hop_ns * (double)(sr.c - 1);
            AlignRec *rr = rec_find(ui, sr.slot);
            if (rr && rr->valid_from >= 0 && rr->gap_seen != sr.gap) ui->graph.anchor_corr = ui->graph.anchor - m;
            ui->graph.anchor += 0.05 * ((m + ui->graph.anchor_corr) - ui->graph.anchor);
        }
    }
    if (!std::isfinite(ui->graph.anchor)) ui->graph.anchor = g_st[ref].t - T.hop_ns * (double)(g_st[ref].c - 1);
    if (!std::isfinite(ui->graph.anchor_corr)) ui->graph.anchor_corr = 0.0;
    return ref;
}

// The newest displayed moment (40 ms before now), in reference entries beyond the
// reference's newest entry; a running reference more than 80 entries off re-anchors.
double newest_moment(Ui *ui, const StageNow &sr, const Timing &T, uint64_t now_ns) {
    double now = (double)now_ns;
    double D = now - 40.0 * MS;
    double p = (D - ui->graph.anchor) / T.hop_ns - (double)(sr.c - 1);
    if (now - sr.t < 250.0 * MS && std::fabs(p) > 80.0) {
        double m = sr.t - T.hop_ns * (double)(sr.c - 1);
        ui->graph.anchor_corr = 0.0;
        ui->graph.anchor = m;
        p = (D - m) / T.hop_ns - (double)(sr.c - 1);
    }
    if (!std::isfinite(p)) p = 0.0;
    return std::clamp(p, -1e9, 512.0 * T.B);
}

// Columns: fixed buckets of B absolute entries, from the newest (P, in reference entries)
// backwards; each column's input level from the first stage that has rows there, output and
// loudness from the last, and every drawn stage's reduction. Fills g_x .. g_out_stage.
void reduce_columns(Ui *ui, const Timing &T, double P, const AlignRec *const *recs, Layout *L) {
    const int B = T.B;
    int64_t base = ui->graph.entry_base;
    int64_t bn = floor_div(base + L->newest, B);
    int64_t oldest = L->newest - 8190;
    int cols = (int)(std::min(T.N, 8190.0) / B);
    cols = std::clamp(cols, 0, MAX_COLS);
    L->cols = cols;

    for (int j = 0; j < cols; j++) {
        int64_t b = bn - j;
        int64_t e_lo = b * B - base;
        int64_t e_hi = std::min(e_lo + B - 1, L->newest);
        double ec = std::min((double)e_lo + B * 0.5, P);
        g_x[j] = (float)(PANEL_RIGHT - (P - ec) * L->ppe);
        g_idx[j] = e_lo;
        if (e_lo < oldest) e_lo = oldest;
        int first = -1, last = -1;
        float in_max[MAX_DRAWN], out_max[MAX_DRAWN], lufs_mean[MAX_DRAWN];
        for (int s = 0; s < L->stages; s++) {
            g_gr[s][j] = 0.f;
            const AlignRec *rec = recs[s];
            const StageNow &st = g_st[s];
            if (!rec || rec->valid_from < 0 || !st.has_rate) continue;
            SharedSlot *slot = st.slot;
            // Linear maxima and the smallest gain; the logarithms follow once per column.
            float mi = 0.f, mo = 0.f, gmin = 1.f, lsum = 0.f;
            int count = 0, lcount = 0;
            for (int64_t e = e_lo; e <= e_hi; e++) {
                int64_t k;
                if (!map_entry(*rec, e, st.c, &k)) continue;
                if (k < 0 || k < rec->valid_from || k < st.c - RING_REACH || k >= st.c) continue;
                size_t idx = (size_t)((uint64_t)k & (HIST_LEN - 1));
                float vin = shm_load(slot->history.hist_in[idx]);
                if (!(vin >= 0.f)) continue; // gap row (or garbage)
                float vout = shm_load(slot->history.hist_out[idx]);
                float vgain = shm_load(slot->history.hist_gain[idx]);
                float vl = shm_load(slot->history.hist_lufs[idx]);
                count++;
                if (vin > mi) mi = vin;
                if (vout > mo) mo = vout;
                if (vgain < gmin) gmin = vgain; // NaN never wins
                if (vl > -99.f && vl < 200.f) {
                    lsum += vl;
                    lcount++;
                }
            }
            if (count == 0) continue;
            if (first < 0) first = s;
            last = s;
            in_max[s] = mi;
            out_max[s] = mo;
            lufs_mean[s] = lcount ? lsum / (float)lcount : -100.f;
            g_gr[s][j] = reduction_db(gmin);
        }
        g_in[j] = first >= 0 ? 20.f * std::log10(std::clamp(in_max[first], 0.000001f, 1000000.f)) : -120.f;
        g_out[j] = last >= 0 ? 20.f * std::log10(std::clamp(out_max[last], 0.000001f, 1000000.f)) : -120.f;
        g_lufs[j] = last >= 0 ? lufs_mean[last] : -100.f;
        g_in_stage[j] = first >= 0 ? (uint8_t)first : 0xFF;
        g_out_stage[j] = last >= 0 ? (uint8_t)last : 0xFF;
    }
}

// What was drawn, for the debug extension and the column dump: the columns and GraphInfo.
void record_columns(Ui *ui, int n, int ref, const Timing &T, const Layout &L, const AlignRec *const *recs) {
    const int cols = L.cols;
    for (int j = 0; j < cols; j++) {
        GraphCol &gc = ui->graph.graph_cols[j];
        gc = GraphCol{};
        gc.index = (uint32_t)g_idx[j];
        gc.x = g_x[j];
        gc.in_db = g_in[j];
        gc.out_db = g_out[j];
        gc.lufs = g_lufs[j];
        for (int s = 0; s < 4 && s < L.stages; s++)
            gc.gr[s] = g_gr[s][j];
        gc.in_stage = g_in_stage[j];
        gc.out_stage = g_out_stage[j];
    }
    ui->graph.graph_col_count = cols;
    GraphInfo &info = ui->graph.graph_info;
    info.ref_index = (uint32_t)ref;
    for (int i = 0; i < n && i < 31; i++)
        if (ui->chain.chain[i].recent) info.recent_mask |= 1u << i;
    info.bucket = (uint32_t)T.B;
    info.stages = (uint32_t)L.stages;
    info.frac = L.frac;
    info.hop = T.hop;
    for (int s = 0; s < L.stages; s++) {
        const AlignRec *rec = recs[s];
        info.offsets[s] = rec ? (uint32_t)rec->offset : 0u;
    }
    info.cols = (uint32_t)cols;
}

// The chain's part of the graph (n > 0 stages): line the histories up, reduce them to
// columns, draw the layers when vg is set, and record what was drawn.
void draw_chain(Ui *ui, int n, uint64_t now_ns, int32_t frame) {
    NVGcontext *vg = ui->win.vg;
    Timing T = timing_of(ui, ui->chain.chain[0].slot);
    for (int i = 0; i < n; i++)
        read_stage(&g_st[i], ui->chain.chain[i].slot);
    int ref = choose_reference(ui, n, T, frame);
    const StageNow &sr = g_st[ref];
    double p = newest_moment(ui, sr, T, now_ns);
    for (int i = 0; i < n; i++)
        update_offset(ui, i, ref, T.hop_ns, T.rate, frame);

    double P = (double)(sr.c - 1) + p;
    Layout L{};
    L.stages = std::min(n, MAX_DRAWN);
    L.newest = (int64_t)std::floor(P);
    L.frac = P - (double)L.newest;
    L.ppe = PANEL_W / T.e6;
    int sidx = 0;
    shown_stage(&ui->chain, &sidx);
    L.shown = sidx;
    const AlignRec *recs[MAX_DRAWN];
    for (int s = 0; s < L.stages; s++)
        recs[s] = rec_find(ui, g_st[s].slot);
    reduce_columns(ui, T, P, recs, &L);

    if (vg) {
        draw_layers(ui, L);
        draw_ceiling(ui, n, sidx);
    }
    record_columns(ui, n, ref, T, L, recs);
    if (ui->win.dump_pending) write_dump(ui, L, T.W, T.B);
}

} // namespace

void draw_graph(Ui *ui, uint64_t now_ns) {
    TK_ASSERT(ui);
    NVGcontext *vg = ui->win.vg;
    int n = chain_count(&ui->chain);
    int32_t frame = begin_info(ui, n);
    if (vg) draw_panel(vg);
    if (n > 0)
        draw_chain(ui, n, now_ns, frame);
    else
        ui->graph.graph_col_count = 0;
    if (vg) draw_frame(vg);
}
