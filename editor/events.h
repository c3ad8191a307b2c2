// Internal interfaces between the editor's window, frame and input files: the pugl event
// function, the window-event handlers it dispatches to, the end-of-frame probe and
// screenshot, and the input operations. Host main thread only, inside pugl's dispatch.
#pragma once
#include <cstdint>

#include "editor/ui.h"

extern "C" {
#include <pugl/pugl.h>
}

// The view's event function: window events go to the ui_on_* handlers of window.cpp,
// pointer and keyboard input to input.cpp. Always reports success.
PuglStatus on_event(PuglView *view, const PuglEvent *event);

// Window events (window.cpp). Realize runs with the new context current.
void ui_on_realize(Ui *ui);
void ui_on_unrealize(Ui *ui);
void ui_on_configure(Ui *ui, uint32_t w, uint32_t h);
void ui_on_expose(Ui *ui);
void ui_on_timer(Ui *ui);

// Sends a size request held back by the 40 ms spacing once that has passed (or at once
// when req_time is 0). window.cpp; the timer and the end of a grip drag call it.
void ui_send_pending_request(Ui *ui);

// Frame scale: min(view_w / 960, view_h / 600) when both are known, otherwise host_scale
// when positive, otherwise 1.
double ui_frame_z(const Ui *ui);

// End of a frame with the context current (window.cpp): the first-frame probe, once, and
// a requested screenshot.
void frame_probe(Ui *ui);
void frame_screenshot(Ui *ui);

// Steps 3 to 11 of a frame: group follow, chain refresh, hit reset, letterbox, the
// sections, bottom bar, overlays and hit offsets. Draws only when vg is set, so that with
// vg null it builds exactly the hit targets a frame would have (used by tests). t is the
// world's time in seconds. frame.cpp.
void frame_build(Ui *ui, double t);

// The chain refresh done before every frame, click and wheel event: the shown group
// follows the owner's Group parameter when that changes, and the chain is re-resolved.
void ui_refresh_chain(Ui *ui);

// Hit test in design units (last target first); null on a miss. input.cpp.
const Hit *ui_hit_test(const Ui *ui, double x, double y);

// Input operations (input.cpp).
void edit_begin(Ui *ui, const Hit *hit, int row);
void edit_commit(Ui *ui);
void drag_start(Ui *ui, int kind, int a, int row, double x, double y);
// Release of a drag: gesture ends on the dragged stages still live; no drag afterwards.
void drag_end(Ui *ui);
void on_scroll(Ui *ui, double x, double y, double dy);
// Right-click at a view pixel: asks the host to pop up its context menu for the parameter
// there when it is one of the owner's own and the host can (context_menu.cpp). True when
// the host showed the menu.
bool ui_context_menu(Ui *ui, double px, double py);
void open_url();

// The preset name entry (preset_entry.cpp).
// Opens the entry for a stage (mode 1) or chain (mode 2) preset in the box (x, y, w, h)
// without refreshing the list (the menu's "Save stage preset..." and "Save chain
// preset..." entries, box at the menu). Prefilled with the current user preset's name,
// else "New preset", selected for replacement.
void preset_entry_open(Ui *ui, int mode, float x, float y, float w, float h);
// Control+S / Control+Shift+S: refreshes the list and opens the name entry below the preset
// name field of the last frame (preset_field_*), or below the preset selector's place
// when no field was drawn yet.
void preset_save_shortcut(Ui *ui, int mode);
// Confirm step of a name entry: leading and trailing spaces removed; an empty name does
// nothing (false); otherwise save_user_preset(mode, trimmed). Does not close the entry.
bool preset_name_confirm(Ui *ui, int mode, const char *text);

// The vendor's web address, opened from the about box.
extern const char TERVIK_URL[];

// Tests only: the next n views are made with a framebuffer request that no driver meets,
// so that their realization fails the way a refused context does.
void ui_test_fail_views(int n);
