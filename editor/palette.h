// The editor's palette: every colour the sections, widgets and overlays draw with, by role
// (RGBA bytes). Translucent shades of a base colour whose strength is computed are taken
// with with_alpha; everything else has an entry here.
#pragma once
#include <cstdint>

#include "nanovg.h"

struct Rgba {
    uint8_t r, g, b, a;
};
// [any-thread] Return the colour with another alpha, and the colour as NanoVG's.
constexpr Rgba with_alpha(Rgba c, int a) { return Rgba{c.r, c.g, c.b, (uint8_t)a}; }
inline NVGcolor nv(Rgba c) { return nvgRGBA(c.r, c.g, c.b, c.a); }

// Base colours.
constexpr Rgba COL_WHITE{255, 255, 255, 255};
constexpr Rgba COL_BLACK{0, 0, 0, 255};
constexpr Rgba COL_NONE{0, 0, 0, 0};
constexpr Rgba COL_ACCENT{255, 182, 74, 255};
constexpr Rgba COL_RED{236, 86, 74, 255};

// Text.
constexpr Rgba COL_TEXT{226, 229, 237, 255};
constexpr Rgba COL_TEXT_HOVER{240, 244, 255, 255};
constexpr Rgba COL_DIM{124, 130, 148, 255};
constexpr Rgba COL_FAINT{78, 83, 98, 255};
constexpr Rgba COL_INK_ON_ACCENT{20, 18, 14, 255}; // a label on a filled accent button
constexpr Rgba COL_INK_ON_BADGE{30, 24, 10, 255};  // the graph's peak-reduction badge

// Window, bars and panels.
constexpr Rgba COL_CLEAR{12, 13, 18, 255};
constexpr Rgba COL_BG_TOP{12, 13, 18, 255};
constexpr Rgba COL_BG_BOTTOM{21, 23, 30, 255};
constexpr Rgba COL_BAR_TOP{22, 24, 31, 255}; // bottom bar
constexpr Rgba COL_BAR_BOTTOM{15, 16, 22, 255};
constexpr Rgba COL_TOP_BAR_TOP{28, 31, 40, 255};
constexpr Rgba COL_TOP_BAR_BOTTOM{18, 20, 27, 255};
constexpr Rgba COL_TOP_BAR_EDGE{0, 0, 0, 160};
constexpr Rgba COL_HAIRLINE{255, 255, 255, 18};
constexpr Rgba COL_BORDER{255, 255, 255, 14};    // resting outline of buttons, cells, panels
constexpr Rgba COL_EDGE{255, 255, 255, 40};      // outline of raised panels and thumbs
constexpr Rgba COL_PANEL_TINT{255, 255, 255, 6}; // the meters panel
constexpr Rgba COL_OVERLAY_TOP{20, 23, 31, 205}; // controls and grid panels
constexpr Rgba COL_OVERLAY_BOTTOM{14, 16, 22, 232};
constexpr Rgba COL_OVERLAY_EDGE{255, 255, 255, 16};
constexpr Rgba COL_WELL{0, 0, 0, 70};       // sunk fields: preset name, grid cells
constexpr Rgba COL_TRACK{0, 0, 0, 110};     // meter tracks
constexpr Rgba COL_GROOVE{0, 0, 0, 160};    // the gain slider's groove
constexpr Rgba COL_STRIP_BAR{0, 0, 0, 120}; // a stage cell's reduction bar
constexpr Rgba COL_SLIDER_BG{14, 16, 22, 150};
constexpr Rgba COL_LABEL_BG{14, 16, 22, 230}; // the loudness target's label
constexpr Rgba COL_FIELD{14, 16, 22, 255};    // the text entry box

// Popups: tooltip, menus, about box.
constexpr Rgba COL_POPUP{40, 44, 56, 245};
constexpr Rgba COL_POPUP_EDGE{255, 255, 255, 45};
constexpr Rgba COL_VALUE_LABEL{40, 44, 56, 235}; // the gain slider's value
constexpr Rgba COL_VALUE_LABEL_EDGE{255, 255, 255, 30};
constexpr Rgba COL_MENU{34, 37, 46, 255};
constexpr Rgba COL_MENU_HOVER{255, 182, 74, 40};
constexpr Rgba COL_SHADOW{0, 0, 0, 140};
constexpr Rgba COL_MENU_SHADOW{0, 0, 0, 160};
constexpr Rgba COL_SELECTION{255, 182, 74, 70}; // selected text of an entry
constexpr Rgba COL_SCRIM{6, 7, 10, 170};        // behind the about box
constexpr Rgba COL_ABOUT{24, 26, 34, 255};
constexpr Rgba COL_ABOUT_EDGE{255, 255, 255, 30};
constexpr Rgba COL_LOGO_ARC{255, 182, 74, 217};

// Buttons, stage cells, knobs and the slider.
constexpr Rgba COL_PILL_TOP{38, 41, 50, 255};
constexpr Rgba COL_PILL_BOTTOM{26, 28, 35, 255};
constexpr Rgba COL_PILL_ON_TOP{64, 58, 44, 255};
constexpr Rgba COL_PILL_ON_BOTTOM{46, 42, 34, 255};
constexpr Rgba COL_CELL_TOP{34, 37, 46, 255};
constexpr Rgba COL_CELL_BOTTOM{22, 24, 31, 255};
constexpr Rgba COL_CELL_FOCUS_TOP{46, 44, 42, 255};
constexpr Rgba COL_CELL_FOCUS_BOTTOM{30, 29, 30, 255};
constexpr Rgba COL_CELL_HOVER_EDGE{255, 182, 74, 140};
constexpr Rgba COL_KNOB_TOP{58, 62, 74, 255};
constexpr Rgba COL_KNOB_BOTTOM{24, 26, 33, 255};
constexpr Rgba COL_KNOB_SHADOW{0, 0, 0, 120};
constexpr Rgba COL_KNOB_ARC{255, 255, 255, 22};
constexpr Rgba COL_KNOB_ARC_GLOW{255, 182, 74, 45};
constexpr Rgba COL_THUMB_TOP{70, 74, 88, 255};
constexpr Rgba COL_THUMB_BOTTOM{34, 37, 46, 255};
constexpr Rgba COL_SLIDER_FILL_TOP{255, 182, 74, 230};
constexpr Rgba COL_SLIDER_FILL_BOTTOM{236, 86, 74, 40};
constexpr Rgba COL_GRID_BAR{255, 182, 74, 140};  // a grid cell's value bar
constexpr Rgba COL_GRID_FOCUS{255, 182, 74, 18}; // the focused stage's grid header

// Meters and loudness.
constexpr Rgba COL_LEVEL_TOP{178, 190, 224, 255};
constexpr Rgba COL_LEVEL_BOTTOM{86, 100, 140, 255};
constexpr Rgba COL_LEVEL_HOLD{240, 244, 255, 220};
constexpr Rgba COL_CEILING_MARK{236, 86, 74, 200};
constexpr Rgba COL_GR_TICK{0, 0, 0, 100};
constexpr Rgba COL_LOUD_TICK{0, 0, 0, 90};
constexpr Rgba COL_LOUD_TOP{255, 205, 96, 255};
constexpr Rgba COL_LOUD_BOTTOM{150, 110, 40, 255};
constexpr Rgba COL_LOUD_INT_MARK{255, 255, 255, 220};
constexpr Rgba COL_TARGET_LINE{255, 182, 74, 220};

// The history graph.
constexpr Rgba COL_GRAPH_BG{8, 9, 12, 255};
constexpr Rgba COL_GRAPH_VIGNETTE{0, 0, 0, 140};
constexpr Rgba COL_GRAPH_GRID{255, 255, 255, 10};
constexpr Rgba COL_GRAPH_GRID_MAJOR{255, 255, 255, 22};
constexpr Rgba COL_GRAPH_IN_TOP{120, 130, 160, 90};
constexpr Rgba COL_GRAPH_IN_BOTTOM{60, 66, 92, 20};
constexpr Rgba COL_GRAPH_OUT_TOP{172, 182, 212, 230};
constexpr Rgba COL_GRAPH_OUT_BOTTOM{72, 82, 116, 60};
constexpr Rgba COL_GRAPH_IN_LINE{150, 160, 195, 120};
constexpr Rgba COL_GRAPH_OUT_GLOW{190, 205, 245, 40};
constexpr Rgba COL_GRAPH_OUT_LINE{222, 230, 250, 235};
constexpr Rgba COL_GRAPH_LUFS_GLOW{255, 200, 110, 45};
constexpr Rgba COL_GRAPH_LUFS_LINE{255, 220, 150, 240};
constexpr Rgba COL_GRAPH_BADGE{255, 208, 90, 230};
constexpr Rgba COL_GRAPH_CEILING{236, 86, 74, 150};
constexpr Rgba COL_GRAPH_CEILING_SHOWN{236, 86, 74, 80}; // the shown stage's own ceiling

// The host's parameter indications, when the host gives no colour (or a transparent one).
constexpr Rgba COL_MARK_MAPPED{110, 170, 255, 255};
constexpr Rgba COL_MARK_PLAYING{96, 204, 120, 255};
constexpr Rgba COL_MARK_RECORDING{236, 70, 60, 255};
constexpr Rgba COL_MARK_OVERRIDING{255, 140, 40, 255};
constexpr Rgba COL_MARK_OUTLINE{0, 0, 0, 150};

// Stage colours by chain position (5 and above share the last).
constexpr Rgba STAGE_COLORS[6] = {
    {236, 86, 74, 255},  {242, 122, 78, 255},  {246, 154, 84, 255},
    {248, 184, 96, 255}, {236, 206, 120, 255}, {220, 150, 0, 255},
};
