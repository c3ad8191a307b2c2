// The editor's design space and zoom. Every section is laid out in 960 x 600 design units,
// fitted into the window by z = min(width / 960, height / 600) and centred; the user's zoom,
// saved in the state, runs from 0.6 to 2.5 times the design size (times the host's scale).
#pragma once

constexpr double DESIGN_W = 960.0;
constexpr double DESIGN_H = 600.0;
constexpr float DESIGN_WF = (float)DESIGN_W;
constexpr float DESIGN_HF = (float)DESIGN_H;

constexpr double UI_ZOOM_MIN = 0.6;
constexpr double UI_ZOOM_MAX = 2.5;

// Whether z is a zoom the editor takes (false for NaN).
inline bool ui_zoom_valid(double z) { return z >= UI_ZOOM_MIN && z <= UI_ZOOM_MAX; }
