// Shared drawing vocabulary of the editor sections: the palette, hit-target recording,
// the small widgets (pill, glow, overlay_panel, level_bar) and the section painters.
#pragma once
#include <cstddef>
#include <cstdint>

#include "editor/palette.h"
#include "editor/ui.h"

struct NVGcontext;
struct SharedSlot;

// All of these run on the host's main thread, within a frame; a null vg draws nothing.

// [main-thread] Returns the stage palette's colour for a chain position (5 and above share
// the last colour).
Rgba stage_color(int index);

// [main-thread] Records a clickable area (design units) while fewer than 512 are held.
void hit_push(Ui *ui, int kind, int a, int b, float x, float y, float w, float h);

// [main-thread] Text in the one face; align is a NanoVG alignment. spacing is letter spacing.
void text(NVGcontext *vg, float x, float y, float size, Rgba c, int align, const char *s, float spacing = 0.f);
// [main-thread] Returns the width of s as text() would draw it (0 without vg or s).
float text_width(NVGcontext *vg, float size, const char *s, float spacing = 0.f);

// [main-thread] The small widgets: a pill button, a soft shadow around a rounded box, the
// overlay panel behind a section, a level bar with its hold mark and clip light.
void pill(NVGcontext *vg, float x, float y, float w, float h, const char *label, bool on, bool hover);
void glow(NVGcontext *vg, float x, float y, float w, float h, float radius, float feather, Rgba c);
void overlay_panel(NVGcontext *vg, float y, float h);
void level_bar(NVGcontext *vg, float x, float level, float hold, Rgba top, Rgba bottom, bool clip);

// [main-thread] The host's indications (clap.param-indication) for parameter row of a
// stage: a dot in the host's colour at (mx, my) while a controller is mapped, and at (ax, ay) a mark for
// automation playing (a triangle), recording (a ringed dot) or overriding (an open
// triangle). size scales both (1 = controls panel). Nothing for stages of other processes.
void indication_marks(Ui *ui, const SharedSlot *slot, int row, float mx, float my, float ax, float ay,
                      float size = 1.f);

// [any-thread] Returns the normalised position 0..1 of a value in a row's range
// (logarithmic for Release and Lookahead); param_denorm returns the value of a position.
double param_norm(int row, double v);
double param_denorm(int row, double f);

// [main-thread] Section painters, called by draw() in this order.
void draw_top_bar(Ui *ui);
void draw_stage_strip(Ui *ui);
void draw_graph(Ui *ui, uint64_t now_ns);
void draw_meters(Ui *ui, double t);
void draw_grid(Ui *ui);
void draw_controls(Ui *ui);
void draw_gain_slider(Ui *ui);

// [main-thread] Writes the tooltip texts of the hovered target (hover_kind, hover_a,
// hover_b) into title and body, each cut to its size; returns false when the target has none.
bool ui_tooltip_text(const Ui *ui, char *title, size_t tsize, char *body, size_t bsize);

// [main-thread] Draws the whole frame (expose), with the view's GL context current.
void draw(Ui *ui);
