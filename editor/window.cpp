// The editor window: the process-wide pugl world, the GL view embedded in the host's X11
// window, size and scale rules, the host-timer tick, and the debug-extension introspection.
//
// Sections: X errors, a lost X connection and the host's GL context; sizes; the world and
// its views (ui_create, ui_destroy, embedding, scale, show and hide, tick); window
// events; end of frame (probe, screenshot); introspection for the debug extension.

// The loader's header (GL/glcorearb.h) goes first: GL/glx.h pulls in GL/gl.h, after which
// glcorearb.h would skip the GL 1.x pointer types.
#include "editor/gl.h"

#include <GL/glx.h>
#include <X11/Xlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chainops/user_presets.h"
#include "editor/design.h"
#include "editor/draw.h"
#include "editor/events.h"
#include "editor/window_state.h"
#include "params/owner.h"
#include "params/params.h"
#include "sys/assert.h"
#include "sys/sys.h"

extern "C" {
#include <pugl/gl.h>
#include <pugl/pugl.h>
}

#include "nanovg.h"
#define NANOVG_GL3 1
#include "nanovg_gl.h"

extern "C" const unsigned char tk_font_data[];
extern "C" const size_t tk_font_size;

// The pugl worlds (editor/window_state.h). Main thread only.
using tk_window::g_failing_views;
using tk_window::g_world;
using tk_window::World;
static constexpr int MAX_WORLDS = 8;
static World *g_worlds[MAX_WORLDS];  // every world not yet freed (the current one included)
World *tk_window::g_world = nullptr; // the current world, null until an editor needs one

// Tests: the next n views are made with a framebuffer request no driver satisfies.
int tk_window::g_failing_views = 0;

// Editors with a running pugl timer, in the order their timers were started. This pugl's
// puglStopTimer clears the wrong entry of the world's timer list when the stopped timer is
// not the last one (it zeroes the entry that moved into the freed place), which silently
// stopped the redraw of another open editor. Timers are therefore only ever removed from
// the end of the list: the later ones are stopped and started again around it.
static constexpr int TIMER_LIST_MAX = 256;
static Ui *g_timer_order[TIMER_LIST_MAX];
static int g_timer_n = 0;
static constexpr double FRAME_PERIOD_S = 1.0 / 60.0;
static void timer_start(Ui *ui);
static void timer_stop(Ui *ui);

static constexpr int64_t REQUEST_SPACING_NS = 40000000;

// ---------------------------------------------------------------------------------------
// X errors, a lost X connection, and the host's GL context

// Xlib's default reactions end the process: to an X error (a failed GLX context request, a
// request on a window the host has already destroyed) and to the loss of the connection
// (the server goes away, or drops this client). A plug-in must not take its host down.
// While the editor talks to its connection, handlers of its own are installed: X errors
// are counted and a lost connection of one of the editor's worlds is noted. The handlers
// are process-wide, so they are held only for the duration of one editor call, and every
// other connection still goes to the host's own (or Xlib's) I/O error handler.
// After an I/O error handler returns, Xlib calls the connection's exit handler, which by
// default ends the process: each world's connection gets one (libX11 1.8) that only notes
// the loss. Without it (an older libX11) a lost connection still ends the process.
#pragma weak XSetIOErrorExitHandler

static int g_trap_depth = 0;
static XErrorHandler g_trap_old = nullptr;
static XIOErrorHandler g_trap_io_old = nullptr;
static unsigned g_trap_errors = 0;

static int trap_handler(Display *, XErrorEvent *) {
    g_trap_errors++;
    return 0;
}

static World *world_of_display(const Display *d) {
    for (World *w : g_worlds)
        if (w && w->display == d) return w;
    return nullptr;
}

static int trap_io_handler(Display *d) {
    if (World *w = world_of_display(d)) {
        w->lost = true;
        return 0; // Xlib goes on to the connection's exit handler, world_io_exit
    }
    return g_trap_io_old ? g_trap_io_old(d) : 0;
}

static void world_io_exit(Display *, void *data) {
    if (data) ((World *)data)->lost = true;
}

static World *world_of(const Ui *ui) {
    return ui && ui->win.view ? (World *)puglGetWorldHandle(puglGetWorld(ui->win.view)) : nullptr;
}

static bool lost(const Ui *ui) {
    const World *w = world_of(ui);
    return !w || w->lost;
}

namespace {
// One editor call on a world's connection (null: none yet): the handlers above are held
// for its duration. A loss found meanwhile retires the world (the next editor opens a new
// connection) and is logged once.
struct XCall {
    Ui *ui;
    World *world;
    XCall(Ui *u, World *w) : ui(u), world(w) {
        if (g_trap_depth++ == 0) {
            g_trap_old = XSetErrorHandler(trap_handler);
            g_trap_io_old = XSetIOErrorHandler(trap_io_handler);
        }
    }
    // Waits until the server has answered every request so far, so that their errors
    // arrive while the handlers are held.
    void sync() {
        if (world && !world->lost) XSync(world->display, False);
    }
    ~XCall() {
        if (--g_trap_depth == 0) {
            XSetErrorHandler(g_trap_old);
            XSetIOErrorHandler(g_trap_io_old);
        }
        if (!world || !world->lost) return;
        if (g_world == world) g_world = nullptr;
        if (!world->reported) {
            world->reported = true;
            owner_log(ui ? ui->owner.stage : nullptr, OWNER_LOG_ERROR,
                      "Tervik: the editor lost its X server connection; it stays blank until it is opened again");
        }
    }
    XCall(const XCall &) = delete;
    XCall &operator=(const XCall &) = delete;
};

// pugl leaves no context current after an event; a host drawing with GL on the main thread
// gets its own context back.
struct GlKeep {
    Display *display = glXGetCurrentDisplay();
    GLXDrawable draw = glXGetCurrentDrawable();
    GLXDrawable read = glXGetCurrentReadDrawable();
    GLXContext context = glXGetCurrentContext();
    GlKeep() = default;
    ~GlKeep() {
        if (display && context && glXGetCurrentContext() != context)
            glXMakeContextCurrent(display, draw, read, context);
    }
    GlKeep(const GlKeep &) = delete;
    GlKeep &operator=(const GlKeep &) = delete;
};
} // namespace

// ---------------------------------------------------------------------------------------
// Sizes

// Pixels of a design length: adds 0.5 and truncates; non-finite or negative gives 0 and
// absurdly large values saturate (no X window is that big).
static uint32_t px(double v) {
    if (!(v >= 0.0)) return 0;
    if (v > 16384.0) return 16384;
    return (uint32_t)(v + 0.5);
}

static double owner_zoom(const Ui *ui) {
    double z = ui->owner.prefs->ui_scale;
    return ui_zoom_valid(z) ? z : 1.0;
}

// Asks the owner's host for a new window size, when it can be asked.
static void owner_request_resize(const Ui *ui, uint32_t w, uint32_t h) {
    if (ui->owner.request_resize) ui->owner.request_resize(ui->owner.ctx, w, h);
}

static void log_error(const Ui *ui, const char *message) { owner_log(ui->owner.stage, OWNER_LOG_ERROR, message); }

static double total_scale(const Ui *ui) {
    double zoom = owner_zoom(ui);
    return ui->win.host_scale > 0 ? zoom * ui->win.host_scale : zoom;
}

static bool near(uint32_t a, uint32_t b) { return (a > b ? a - b : b - a) <= 2; }

double ui_frame_z(const Ui *ui) {
    if (ui->win.view_w && ui->win.view_h) {
        double zx = ui->win.view_w / DESIGN_W, zy = ui->win.view_h / DESIGN_H;
        return zx < zy ? zx : zy;
    }
    return ui->win.host_scale > 0 ? ui->win.host_scale : 1.0;
}

static void set_default_size(Ui *ui, uint32_t w, uint32_t h) {
    ui->win.hint_w = w;
    ui->win.hint_h = h;
    puglSetSizeHint(ui->win.view, PUGL_DEFAULT_SIZE, w, h);
}

// ---------------------------------------------------------------------------------------
// World and views

// A new world with its own X connection, or null. Its requests before the exit handler is
// set are not covered: pugl opens the connection itself.
static World *world_new() {
    int free_at = -1;
    for (int i = 0; i < MAX_WORLDS && free_at < 0; i++)
        if (!g_worlds[i]) free_at = i;
    if (free_at < 0) return nullptr; // lost worlds still waiting for their views
    World *w = (World *)calloc(1, sizeof(World));
    if (!w) return nullptr;
    w->pugl = puglNewWorld(PUGL_MODULE, 0);
    if (!w->pugl) {
        free(w);
        return nullptr;
    }
    w->display = (Display *)puglGetNativeWorld(w->pugl);
    puglSetWorldHandle(w->pugl, w);
    puglSetClassName(w->pugl, "TervikEditor");
    if (XSetIOErrorExitHandler && w->display) XSetIOErrorExitHandler(w->display, world_io_exit, w);
    g_worlds[free_at] = w;
    return w;
}

// Frees a world and closes its X connection; the caller holds an XCall on it (its I/O
// errors must not end the process).
static void world_free(World *w) {
    puglFreeWorld(w->pugl);
    for (World *&slot : g_worlds)
        if (slot == w) slot = nullptr;
    if (g_world == w) g_world = nullptr;
    free(w);
}

// Drops a view's reference: the world goes with its last view. The caller holds an XCall.
static void world_release(World *w) {
    if (w && --w->refs <= 0) world_free(w);
}

// A view of the editor in the current world with its hints; counts a world reference.
// compat asks for a compatibility-profile context instead of a core one.
static PuglView *make_view(Ui *ui, bool compat) {
    PuglView *view = puglNewView(g_world->pugl);
    if (!view) return nullptr;
    g_world->refs++;
    puglSetHandle(view, ui);
    puglSetEventFunc(view, on_event);
    puglSetBackend(view, puglGlBackend());
    puglSetViewHint(view, PUGL_CONTEXT_VERSION_MAJOR, 3);
    puglSetViewHint(view, PUGL_CONTEXT_VERSION_MINOR, 2);
    puglSetViewHint(view, PUGL_USE_COMPAT_PROFILE, compat ? PUGL_TRUE : PUGL_FALSE);
    puglSetViewHint(view, PUGL_DOUBLE_BUFFER, PUGL_TRUE);
    puglSetViewHint(view, PUGL_STENCIL_BITS, 8);
    puglSetViewHint(view, PUGL_DEPTH_BITS, 0);
    puglSetViewHint(view, PUGL_SWAP_INTERVAL, 0);
    puglSetViewHint(view, PUGL_RESIZABLE, PUGL_TRUE);
    if (g_failing_views > 0) {
        g_failing_views--;
        puglSetViewHint(view, PUGL_STENCIL_BITS, 255);
    }
    puglSetWindowTitle(view, "Tervik");
    return view;
}

void ui_bind(Ui *ui, const EditorOwner *owner) {
    ui->owner = *owner;
    ui->chain.own_slot = owner->slot;
    ui->chain.focus = -1;
    ui->ops.view = &ui->chain;
    ui->ops.history = owner->history;
    ui->ops.gain = owner->prefs ? &owner->prefs->gain : nullptr;
    ui->ops.presets = &ui->presets;
    ui->ops.loud = &ui->meters.loud;
}

Ui *ui_create(const EditorOwner *owner) {
    if (!owner || !owner->prefs) return nullptr;
    if (g_world && g_world->lost) g_world = nullptr;
    if (!g_world) {
        g_world = world_new();
        if (!g_world) return nullptr;
    }
    Ui *ui = (Ui *)calloc(1, sizeof(Ui));
    if (ui) ui->win.view = make_view(ui, false);
    if (!ui || !ui->win.view) {
        free(ui);
        if (g_world->refs <= 0) {
            XCall call(nullptr, g_world);
            World *w = g_world;
            call.world = nullptr;
            world_free(w);
        }
        return nullptr;
    }
    ui_bind(ui, owner);
    ui->win.host_scale = std::isfinite(owner->gui_scale) ? owner->gui_scale : 0.0;
    double g = owner->slot ? slot_param(owner->slot, P_GROUP) : 0.0;
    ui->chain.group = ui->chain.group_seen = (int32_t)g;
    ui->presets.user_preset_count = presets_list(ui->presets.user_presets, PRESET_LIST_MAX);
    if (ui->presets.user_preset_count < 0) ui->presets.user_preset_count = 0;
    ui->input.hover_kind = 0;
    ui->input.hover_a = ui->input.hover_b = -1;
    ui->input.drag_kind = 0;
    ui->overlay.entry_stage = ui->overlay.entry_row = -1;
    ui->overlay.menu_stage = -1;
    ui->meters.m_in.level = ui->meters.m_in.hold = -100.f;
    ui->meters.m_out.level = ui->meters.m_out.hold = -100.f;
    for (MeterBall &m : ui->meters.m_ch)
        m.level = m.hold = -100.f;
    ui_set_scale(ui, ui->win.host_scale);
    return ui;
}

void ui_destroy(Ui *ui) {
    if (!ui) return;
    if (ui->win.view) {
        World *w = world_of(ui);
        GlKeep keep;
        {
            XCall call(ui, w);
            timer_stop(ui);
            // Freeing a realized view delivers its unrealize event (PUGL_DESTROY) first, with
            // the context current: that deletes the NanoVG context.
            puglFreeView(ui->win.view);
            ui->win.view = nullptr;
            if (ui->win.vg) {
                // The context could not be entered (the host destroyed the window first, or
                // the connection is lost): the NanoVG memory is freed with no context
                // current, so that its GL calls reach nobody's objects (the GL objects went
                // with the context).
                glXMakeCurrent(w->display, None, nullptr);
                nvgDeleteGL3(ui->win.vg);
                ui->win.vg = nullptr;
            }
            ui->win.realized = 0;
            call.sync();
            call.world = nullptr; // released below: the loss, if any, is no news now
            world_release(w);     // closes the X connection with the last view, still held
        }
    }
    free(ui);
}

static PuglStatus realize(Ui *ui) {
    GlKeep keep;
    XCall call(ui, world_of(ui));
    PuglStatus st = puglRealize(ui->win.view);
    call.sync();
    return st;
}

bool ui_set_parent(Ui *ui, unsigned long x11_window) {
    if (!ui || !ui->win.view) return false;
    if (ui->win.realized) return true;
    if (lost(ui)) return false;
    puglSetParentWindow(ui->win.view, (PuglNativeView)x11_window);
    PuglStatus st = realize(ui);
    if (st != PUGL_SUCCESS && !ui->win.realized && !lost(ui)) {
        // A view realizes only once, even after a failed attempt: the compatibility-profile
        // retry needs a new view with the same settings. It is made before the failed one
        // is freed, so that the world is not released in between.
        World *w = world_of(ui);
        PuglView *retry = make_view(ui, true);
        if (retry) {
            PuglView *failed = ui->win.view;
            puglSetHandle(failed, nullptr);
            {
                XCall call(ui, w);
                puglFreeView(failed);
                w->refs--;
                call.sync();
            }
            ui->win.view = retry;
            if (ui->win.hint_w && ui->win.hint_h)
                puglSetSizeHint(retry, PUGL_DEFAULT_SIZE, ui->win.hint_w, ui->win.hint_h);
            puglSetParentWindow(retry, (PuglNativeView)x11_window);
            st = realize(ui);
        }
        if (st == PUGL_SUCCESS && !ui->win.realized) st = PUGL_FAILURE;
        if (st != PUGL_SUCCESS) {
            char msg[160];
            snprintf(msg, sizeof msg, "Tervik: no OpenGL 3.2 context (%s)", puglStrerror(st));
            log_error(ui, msg);
            return false;
        }
    }
    if (!ui->win.vg) {
        log_error(ui, "Tervik: OpenGL context up but GL3 init failed");
        return true;
    }
    if (ui->win.host_scale <= 0) {
        double s = puglGetScaleFactor(ui->win.view);
        if (s > 0 && std::fabs(s - 1.0) > 0.01) {
            ui_set_scale(ui, s);
            uint32_t w = 0, h = 0;
            ui_get_size(ui, &w, &h);
            // ui_set_scale has asked for this size already unless the spacing held it back.
            if (w != ui->win.req_w || h != ui->win.req_h) owner_request_resize(ui, w, h);
        }
    }
    return true;
}

void ui_set_scale(Ui *ui, double scale) {
    if (!ui) return;
    if (!std::isfinite(scale)) scale = 0.0; // a host's NaN or infinity counts as not given
    double old = ui->win.host_scale;
    ui->win.host_scale = scale;
    double total = total_scale(ui);
    if (ui->win.view && !ui->win.realized) set_default_size(ui, px(DESIGN_W * total), px(DESIGN_H * total));
    if (ui->win.view && ui->win.realized && !lost(ui)) {
        XCall call(ui, world_of(ui)); // the realized window's size hints are sent
        set_default_size(ui, px(DESIGN_W * total), px(DESIGN_H * total));
    }
    if (ui->win.realized && std::fabs(scale - (old > 0 ? old : 1.0)) > 0.01) request_resize_to_scale(ui, total);
}

bool ui_set_size(Ui *ui, uint32_t w, uint32_t h) {
    if (!ui || !ui->win.view) return false;
    if (w == 0 || h == 0) return false; // X has no empty windows
    EditorPrefs *prefs = ui->owner.prefs;
    if (ui->win.req_w && near(w, ui->win.req_w) && near(h, ui->win.req_h)) {
        prefs->ui_scale = ui->win.req_zoom;
    } else {
        double zoom = (w / DESIGN_W) / (ui->win.host_scale > 0 ? ui->win.host_scale : 1.0);
        if (ui_zoom_valid(zoom)) prefs->ui_scale = zoom;
    }
    if (!ui->win.realized) {
        set_default_size(ui, w, h);
        return true;
    }
    if (lost(ui)) return false;
    XCall call(ui, world_of(ui));
    ui->win.hint_w = w;
    ui->win.hint_h = h;
    return puglSetSize(ui->win.view, w, h) == PUGL_SUCCESS;
}

void ui_get_size(Ui *ui, uint32_t *w, uint32_t *h) {
    if (!ui) return;
    double total = total_scale(ui);
    uint32_t nw = px(DESIGN_W * total), nh = px(DESIGN_H * total);
    if (ui->win.realized && ui->win.view_w && ui->win.view_h && near(ui->win.view_w, nw) && near(ui->win.view_h, nh)) {
        nw = ui->win.view_w;
        nh = ui->win.view_h;
    }
    if (w) *w = nw;
    if (h) *h = nh;
}

bool ui_show(Ui *ui) {
    if (!ui || !ui->win.realized || lost(ui)) return false;
    XCall call(ui, world_of(ui));
    ui->win.visible = puglShow(ui->win.view) == PUGL_SUCCESS;
    return ui->win.visible;
}

bool ui_hide(Ui *ui) {
    if (!ui || !ui->win.realized) return false;
    ui->win.visible = 0;
    if (lost(ui)) return false;
    XCall call(ui, world_of(ui));
    return puglHide(ui->win.view) == PUGL_SUCCESS;
}

void ui_tick(Ui *ui) {
    // The world is shared: one tick serves every editor of the process. The views of a
    // lost world get no more ticks.
    World *w = g_world;
    if (!w || w->lost) return;
    GlKeep keep;
    XCall call(ui, w);
    puglUpdate(w->pugl, 0.0);
}

void request_resize_to_scale(Ui *ui, double total) {
    TK_ASSERT(ui);
    double hs = ui->win.host_scale, zoom;
    if (hs > 0) {
        zoom = total / hs;
    } else {
        hs = 1.0;
        zoom = total;
    }
    if (!(zoom >= UI_ZOOM_MIN)) zoom = UI_ZOOM_MIN; // also NaN
    if (zoom > UI_ZOOM_MAX) zoom = UI_ZOOM_MAX;
    double s = hs * zoom;
    uint32_t w = px(DESIGN_W * s), h = px(DESIGN_H * s);
    if (w == ui->win.req_w && h == ui->win.req_h) {
        // The latest wish is the size last asked for: a request held back meanwhile is
        // stale and must not overtake it.
        ui->win.req_pending = 0;
        return;
    }
    int64_t now = (int64_t)sys_time_ns();
    if (ui->win.req_time != 0 && now - ui->win.req_time < REQUEST_SPACING_NS) {
        ui->win.req_pending = 1;
        ui->win.req_pending_scale = s;
        return;
    }
    ui->win.req_w = w;
    ui->win.req_h = h;
    ui->win.req_time = now;
    ui->win.req_pending = 0;
    ui->win.req_zoom = zoom;
    if (getenv("TERVIK_KEYDBG")) fprintf(stderr, "[grip] -> request %ux%u (z %.3f)%c", w, h, zoom, '\n');
    owner_request_resize(ui, w, h);
}

void ui_send_pending_request(Ui *ui) {
    TK_ASSERT(ui);
    if (!ui->win.req_pending) return;
    int64_t now = (int64_t)sys_time_ns();
    if (ui->win.req_time != 0 && now - ui->win.req_time < REQUEST_SPACING_NS) return;
    ui->win.req_pending = 0;
    ui->win.req_w = ui->win.req_h = 0;
    request_resize_to_scale(ui, ui->win.req_pending_scale);
}

// ---------------------------------------------------------------------------------------
// Window events

static void timer_start(Ui *ui) {
    if (ui->win.timer_running || puglStartTimer(ui->win.view, 0, FRAME_PERIOD_S) != PUGL_SUCCESS) return;
    ui->win.timer_running = 1;
    if (g_timer_n < TIMER_LIST_MAX) g_timer_order[g_timer_n++] = ui;
}

// Stops the view's timer; needs no GL context. A view must not be freed with its timer
// running: pugl keeps the timer, and its next tick would reach the freed view.
static void timer_stop(Ui *ui) {
    if (!ui->win.timer_running) return;
    ui->win.timer_running = 0;
    int k = -1;
    for (int i = 0; i < g_timer_n; i++)
        if (g_timer_order[i] == ui) k = i;
    if (k < 0) {
        puglStopTimer(ui->win.view, 0); // not tracked (list full): pugl's own removal
        return;
    }
    // Each world keeps its own list: only the later timers of this view's world move.
    PuglWorld *world = puglGetWorld(ui->win.view);
    for (int i = g_timer_n - 1; i >= k; i--)
        if (puglGetWorld(g_timer_order[i]->win.view) == world) puglStopTimer(g_timer_order[i]->win.view, 0);
    for (int i = k; i + 1 < g_timer_n; i++)
        g_timer_order[i] = g_timer_order[i + 1];
    g_timer_n--;
    for (int i = k; i < g_timer_n; i++)
        if (puglGetWorld(g_timer_order[i]->win.view) == world)
            puglStartTimer(g_timer_order[i]->win.view, 0, FRAME_PERIOD_S);
}

void ui_on_realize(Ui *ui) {
    ui->win.realized = 1;
    // The loader cannot tell a missing entry point (glXGetProcAddress answers every name),
    // so the version of the context is checked too.
    if (tkgl_load() && tkgl_version() >= 32) {
        ui->win.vg = nvgCreateGL3(NVG_ANTIALIAS | NVG_STENCIL_STROKES);
        if (ui->win.vg)
            ui->win.font =
                nvgCreateFontMem(ui->win.vg, "sans", const_cast<unsigned char *>(tk_font_data), (int)tk_font_size, 0);
    }
    if (!ui->win.vg) log_error(ui, "Tervik: OpenGL 3.2 unavailable, editor is blank");
    timer_start(ui);
}

void ui_on_unrealize(Ui *ui) {
    timer_stop(ui);
    if (ui->win.vg) {
        nvgDeleteGL3(ui->win.vg);
        ui->win.vg = nullptr;
    }
    ui->win.realized = 0;
}

void ui_on_configure(Ui *ui, uint32_t w, uint32_t h) {
    ui->win.view_w = w;
    ui->win.view_h = h;
}

void ui_on_expose(Ui *ui) {
    ui->win.exposed = 1;
    if (!lost(ui)) draw(ui); // a lost connection shows nothing more
}

void ui_on_timer(Ui *ui) {
    ui_send_pending_request(ui);
    puglPostRedisplay(ui->win.view);
}

// ---------------------------------------------------------------------------------------
// End of frame: probe and screenshot (context current)

// A frame can be drawn before the first configure event (a timer tick on a busy machine):
// it has no size, nothing to read. The probe and a requested screenshot wait for the first
// frame of a known size.
void frame_probe(Ui *ui) {
    if (ui->win.probe_done || ui->win.view_w <= 10 || ui->win.view_h < 10) return;
    uint8_t rgba[4] = {0, 0, 0, 0};
    tkgl_glReadPixels(10, (GLint)ui->win.view_h - 10, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
    memcpy(ui->win.probe_rgb, rgba, 3);
    ui->win.probe_done = 1;
    unsigned err = tkgl_glGetError();
    const char *version = (const char *)tkgl_glGetString(GL_VERSION);
    char line[160];
    snprintf(line, sizeof line, "Tervik editor: GL %s; first frame pixel(10,10) = %u,%u,%u; glGetError %u",
             version ? version : "?", rgba[0], rgba[1], rgba[2], err);
    owner_log(ui->owner.stage, OWNER_LOG_DEBUG, line);
}

void frame_screenshot(Ui *ui) {
    uint32_t w = ui->win.view_w, h = ui->win.view_h;
    if (!ui->win.dump_pending || !w || !h) return;
    ui->win.dump_pending = 0;
    size_t row = (size_t)w * 3;
    // The one allocation of a frame.
    unsigned char *pixels = (unsigned char *)malloc(row * h);
    if (!pixels) return;
    tkgl_glPixelStorei(GL_PACK_ALIGNMENT, 1);
    tkgl_glReadPixels(0, 0, (GLsizei)w, (GLsizei)h, GL_RGB, GL_UNSIGNED_BYTE, pixels);
    tkgl_glPixelStorei(GL_PACK_ALIGNMENT, 4);
    if (FILE *f = fopen(ui->win.dump_path, "wb")) {
        fprintf(f, "P6\n%u %u\n255\n", w, h);
        for (uint32_t y = h; y-- > 0;)
            fwrite(pixels + (size_t)y * row, 1, row, f); // GL rows start at the bottom
        fclose(f);
    }
    free(pixels);
}

// ---------------------------------------------------------------------------------------
// Introspection for the debug extension

bool ui_probe(Ui *ui, uint8_t rgb[3]) {
    if (!ui || !ui->win.probe_done || !rgb) return false;
    memcpy(rgb, ui->win.probe_rgb, 3);
    return true;
}

bool ui_dump(Ui *ui, const char *path) {
    if (!ui || !path || !path[0]) return false;
    snprintf(ui->win.dump_path, sizeof ui->win.dump_path, "%s", path);
    ui->win.dump_pending = 1;
    return true;
}

int ui_graph(Ui *ui, GraphInfo *info, GraphCol *cols, int max) {
    if (!ui || ui->graph.graph_info_valid == 0) return 0;
    if (info) *info = ui->graph.graph_info;
    int n = ui->graph.graph_col_count;
    if (n < 0) n = 0;
    if (n > GRAPH_MAX_COLS) n = GRAPH_MAX_COLS;
    if (n > max) n = max;
    if (n < 0) n = 0;
    if (cols && n > 0) memcpy(cols, ui->graph.graph_cols, sizeof(GraphCol) * (size_t)n);
    return n;
}

static bool rect_matches(const Ui *ui, const Hit &h, uint32_t id, uint32_t arg) {
    switch (id) {
    case 0:
        return h.kind == HIT_STAGE && h.a >= 0 && h.a < chain_count(&ui->chain) && ui->chain.chain[h.a].pos == arg;
    case 1:
        return h.kind == HIT_GAIN_SLIDER;
    case 2:
        return h.kind == HIT_KNOB && h.b == P_CEILING;
    case 3:
        return h.kind == HIT_CHAIN_MODE;
    case 4:
        return h.kind == HIT_GRID_TOGGLE;
    case 5:
        return h.kind == HIT_AB;
    case 6:
        return h.kind == HIT_COPY;
    case 7:
        return h.kind == HIT_STYLE;
    case 8:
        return h.kind == HIT_MENU_ITEM && (uint32_t)h.b == arg;
    case 9:
        return h.kind == HIT_UNDO;
    case 10:
        return h.kind == HIT_REDO;
    case 11:
        return h.kind == HIT_PRESET_MENU;
    case 12:
        return h.kind == HIT_MENU_ITEM && h.a == 3;
    case 13:
        return h.kind == HIT_MENU_ITEM && h.a == 2 && h.b >= 13 && (uint32_t)(h.b - 13) == arg;
    case 14:
        return h.kind == HIT_MENU_ITEM && h.a == 5;
    case 15:
        return h.kind == HIT_GRIP;
    case 17:
        return h.kind == HIT_ABOUT && h.b >= 0 && (uint32_t)h.b == arg;
    case 18:
        return h.kind == HIT_TO_TARGET;
    default:
        return false;
    }
}

bool ui_rect(Ui *ui, uint32_t id, uint32_t arg, float out[4]) {
    if (!ui || !out || ui->win.frames == 0 || id > 18 || id == 16) return false;
    int n = ui->input.hit_count < 0 ? 0 : ui->input.hit_count > MAX_HITS ? MAX_HITS : ui->input.hit_count;
    double z = ui_frame_z(ui);
    for (int i = 0; i < n; i++) {
        const Hit &h = ui->input.hits[i];
        if (!rect_matches(ui, h, id, arg)) continue;
        out[0] = (float)(h.x * z);
        out[1] = (float)(h.y * z);
        out[2] = (float)(h.w * z);
        out[3] = (float)(h.h * z);
        return true;
    }
    return false;
}
