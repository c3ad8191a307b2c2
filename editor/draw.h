// Shared drawing vocabulary of the editor sections: the palette, hit-target recording,
// the small widgets (pill, glow, overlay_panel, level_bar) and the section painters.
#pragma once
#include <cstddef>
#include <cstdint>

#include "editor/palette.h"
#include "editor/ui.h"

struct NVGcontext;
struct SharedSlot;


// Stage palette, indexed by chain position (5 and above share the last colour).
Rgba stage_color(int index);

// Records a clickable area (design units) while fewer than 512 are held.
void hit_push(Ui *ui, int kind, int a, int b, float x, float y, float w, float h);

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
