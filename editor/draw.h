// Shared drawing vocabulary of the editor sections: the palette, hit-target recording,
// the small widgets (pill, glow, overlay_panel, level_bar) and the section painters.
#pragma once
#include <cstddef>
#include <cstdint>

#include "editor/ui.h"

struct NVGcontext;
struct SharedSlot;

// Palette (RGBA bytes).
struct Rgba {
    uint8_t r, g, b, a;
};
constexpr Rgba COL_CLEAR{12, 13, 18, 255};
constexpr Rgba COL_BG_TOP{12, 13, 18, 255};
constexpr Rgba COL_BG_BOTTOM{21, 23, 30, 255};
constexpr Rgba COL_BAR_TOP{22, 24, 31, 255};
constexpr Rgba COL_BAR_BOTTOM{15, 16, 22, 255};
constexpr Rgba COL_ACCENT{255, 182, 74, 255};
constexpr Rgba COL_RED{236, 86, 74, 255};
constexpr Rgba COL_TEXT{226, 229, 237, 255};
constexpr Rgba COL_TEXT_HOVER{240, 244, 255, 255};
constexpr Rgba COL_DIM{124, 130, 148, 255};
constexpr Rgba COL_FAINT{78, 83, 98, 255};
constexpr Rgba COL_HAIRLINE{255, 255, 255, 18};
constexpr Rgba with_alpha(Rgba c, int a) { return Rgba{c.r, c.g, c.b, (uint8_t)a}; }

// Stage palette, indexed by chain position (5 and above share the last colour).
Rgba stage_color(int index);

// Records a clickable area (design units) while fewer than 512 are held.
void hit_push(Ui *ui, int kind, int a, int b, float x, float y, float w, float h);

// The stage a section edits: chain entry focus when valid, else the owner's own entry
// (the first when absent); the owner's slot with index 0 for an empty chain.
SharedSlot *shown_stage(const Ui *ui, int *index);
// Index of the owner's entry in the chain, -1 when absent.
int own_index(const Ui *ui);

// Text in the one face; align is a NanoVG alignment. spacing is letter spacing.
void text(NVGcontext *vg, float x, float y, float size, Rgba c, int align, const char *s, float spacing = 0.f);
float text_width(NVGcontext *vg, float size, const char *s, float spacing = 0.f);

void pill(NVGcontext *vg, float x, float y, float w, float h, const char *label, bool on, bool hover);
void glow(NVGcontext *vg, float x, float y, float w, float h, float radius, float feather, Rgba c);
void overlay_panel(NVGcontext *vg, float y, float h);
void level_bar(NVGcontext *vg, float x, float level, float hold, Rgba top, Rgba bottom, bool clip);

// The host's indications (clap.param-indication) for parameter row of a stage: a dot in the
// host's colour at (mx, my) while a controller is mapped, and at (ax, ay) a mark for
// automation playing (a triangle), recording (a ringed dot) or overriding (an open
// triangle). size scales both (1 = controls panel). Nothing for stages of other processes.
void indication_marks(Ui *ui, const SharedSlot *slot, int row, float mx, float my, float ax, float ay,
                      float size = 1.f);

// Normalised position of a value in a row's range (logarithmic for Release and Lookahead).
double param_norm(int row, double v);
double param_denorm(int row, double f);

// Section painters, called by draw() in this order.
void draw_top_bar(Ui *ui);
void draw_stage_strip(Ui *ui);
void draw_graph(Ui *ui, uint64_t now_ns);
void draw_meters(Ui *ui, double t);
void draw_grid(Ui *ui);
void draw_controls(Ui *ui);
void draw_gain_slider(Ui *ui);

// The tooltip texts of the hovered target (hover_kind, hover_a, hover_b) into title and
// body, each cut to its size; false when the target has none. Main thread.
bool ui_tooltip_text(const Ui *ui, char *title, size_t tsize, char *body, size_t bsize);

// The whole frame (expose).
void draw(Ui *ui);
