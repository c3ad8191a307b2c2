// Editor embedding on X11: the parent window and HostInstance's GUI helpers.
#include "host/gui.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>

#include "host/host.h"

// Xlib's default error handler ends the process; a host must survive a plug-in's X errors
// (a window destroyed under us, say). Installed once, before the first window.
static int host_x_error(Display *dpy, XErrorEvent *e) {
    char text[128];
    XGetErrorText(dpy, e->error_code, text, sizeof text);
    fprintf(stderr, "[tervik-host] X error ignored: %s (request %d)\n", text, (int)e->request_code);
    return 0;
}

// Xlib also ends the process when a connection is lost (the server goes away or drops the
// client): its I/O error handler reports, then the connection's exit handler exits. For the
// connections of the parent windows the host goes on instead: the handler below reports
// the loss once and the exit handler (libX11 1.8) marks the window lost; the editor in it
// is then closed. Any other connection of the process (a plug-in's own) goes to Xlib's
// handlers as before: that connection's owner decides.
#pragma weak XSetIOErrorExitHandler

static constexpr int MAX_PARENTS = 64;
static X11Parent *g_parents[MAX_PARENTS];
static XIOErrorHandler g_io_default = nullptr;

static X11Parent *parent_of(Display *d) {
    for (X11Parent *p : g_parents)
        if (p && p->display() == d) return p;
    return nullptr;
}

static int host_x_io_error(Display *dpy) {
    X11Parent *p = parent_of(dpy);
    if (!p || !XSetIOErrorExitHandler) return g_io_default ? g_io_default(dpy) : 0;
    if (!p->lost()) fprintf(stderr, "[tervik-host] X connection of window 0x%lx lost\n", p->window());
    p->mark_lost();
    return 0;
}

static void parent_io_exit(Display *, void *data) { ((X11Parent *)data)->mark_lost(); }

bool X11Parent::create(uint32_t w, uint32_t h, const char *title, std::string *err) {
    destroy();
    static bool handler_set = false;
    if (!handler_set) {
        XSetErrorHandler(host_x_error);
        g_io_default = XSetIOErrorHandler(host_x_io_error);
        handler_set = true;
    }
    int free_at = -1;
    for (int i = 0; i < MAX_PARENTS && free_at < 0; i++)
        if (!g_parents[i]) free_at = i;
    if (free_at < 0) {
        if (err) *err = "too many editor windows";
        return false;
    }
    Display *d = XOpenDisplay(nullptr);
    if (!d) {
        if (err) *err = "cannot open X display (is DISPLAY set?)";
        return false;
    }
    dpy_ = d;
    lost_ = false;
    g_parents[free_at] = this;
    if (XSetIOErrorExitHandler) XSetIOErrorExitHandler(d, parent_io_exit, this);
    if (w == 0) w = 1;
    if (h == 0) h = 1;
    int scr = DefaultScreen(d);
    XSetWindowAttributes attr;
    memset(&attr, 0, sizeof attr);
    attr.background_pixel = BlackPixel(d, scr);
    attr.event_mask = StructureNotifyMask | SubstructureNotifyMask | ExposureMask;
    Window win = XCreateWindow(d, RootWindow(d, scr), 0, 0, w, h, 0, CopyFromParent, InputOutput, CopyFromParent,
                               CWBackPixel | CWEventMask, &attr);
    if (!win) {
        destroy();
        if (err) *err = "cannot create the parent window";
        return false;
    }
    XStoreName(d, win, title ? title : "tervik-host");
    Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(d, win, &del, 1);
    XMapWindow(d, win);
    XSync(d, False);
    // Wait (briefly) for the map, so the editor is embedded into a viewable window.
    for (int i = 0; i < 200 && !lost_; i++) {
        XWindowAttributes wa;
        if (XGetWindowAttributes(d, win, &wa) && wa.map_state == IsViewable) break;
        XEvent ev;
        while (XPending(d))
            XNextEvent(d, &ev);
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
    }
    if (lost_) {
        destroy();
        if (err) *err = "the X connection was lost";
        return false;
    }
    window_ = win;
    wm_delete_ = del;
    w_ = w;
    h_ = h;
    close_req_ = false;
    return true;
}

void X11Parent::destroy() {
    Display *d = (Display *)dpy_;
    if (!d) return;
    if (!lost_) {
        if (window_) XDestroyWindow(d, window_);
        XSync(d, False);
    }
    XCloseDisplay(d); // frees a lost connection too; its I/O errors meanwhile are known ones
    for (X11Parent *&p : g_parents)
        if (p == this) p = nullptr;
    dpy_ = nullptr;
    window_ = 0;
}

void X11Parent::resize(uint32_t w, uint32_t h) {
    Display *d = (Display *)dpy_;
    if (!d || lost_ || !window_ || w == 0 || h == 0) return;
    XResizeWindow(d, window_, w, h);
    XSync(d, False);
    w_ = w;
    h_ = h;
}

void X11Parent::move(int x, int y) {
    Display *d = (Display *)dpy_;
    if (!d || lost_ || !window_) return;
    XMoveWindow(d, window_, x, y);
    XSync(d, False);
}

void X11Parent::set_visible(bool visible) {
    Display *d = (Display *)dpy_;
    if (!d || lost_ || !window_) return;
    if (visible)
        XMapWindow(d, window_);
    else
        XUnmapWindow(d, window_);
    XSync(d, False);
}

void X11Parent::pump() {
    Display *d = (Display *)dpy_;
    if (!d) return;
    while (!lost_ && XPending(d)) {
        XEvent ev;
        XNextEvent(d, &ev);
        if (ev.type == ConfigureNotify && ev.xconfigure.window == window_) {
            w_ = (uint32_t)ev.xconfigure.width;
            h_ = (uint32_t)ev.xconfigure.height;
        } else if (ev.type == ClientMessage && (unsigned long)ev.xclient.data.l[0] == wm_delete_) {
            close_req_ = true;
        }
    }
}

int X11Parent::child_count() {
    Display *d = (Display *)dpy_;
    if (!d || lost_ || !window_) return 0;
    Window root = 0, par = 0, *kids = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, window_, &root, &par, &kids, &n)) return 0;
    if (kids) XFree(kids);
    return (int)n;
}

bool X11Parent::capture(std::vector<uint8_t> *rgb, uint32_t *w, uint32_t *h) {
    Display *d = (Display *)dpy_;
    if (!d || lost_ || !window_ || !rgb) return false;
    XSync(d, False);
    XWindowAttributes wa;
    if (!XGetWindowAttributes(d, window_, &wa) || wa.map_state != IsViewable) return false;
    // Read through the root window so the embedded editor's pixels are included whatever
    // its visual; the parent's position on the root gives the rectangle.
    int rx = 0, ry = 0;
    Window child;
    XTranslateCoordinates(d, window_, wa.root, 0, 0, &rx, &ry, &child);
    XImage *img = XGetImage(d, wa.root, rx, ry, (unsigned)wa.width, (unsigned)wa.height, AllPlanes, ZPixmap);
    if (!img) return false;
    uint32_t W = (uint32_t)wa.width, H = (uint32_t)wa.height;
    rgb->resize((size_t)W * H * 3);
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) {
            unsigned long px = XGetPixel(img, (int)x, (int)y);
            uint8_t *o = &(*rgb)[((size_t)y * W + x) * 3];
            o[0] = (uint8_t)((px & img->red_mask) >> __builtin_ctzl(img->red_mask ? img->red_mask : 1));
            o[1] = (uint8_t)((px & img->green_mask) >> __builtin_ctzl(img->green_mask ? img->green_mask : 1));
            o[2] = (uint8_t)((px & img->blue_mask) >> __builtin_ctzl(img->blue_mask ? img->blue_mask : 1));
        }
    XDestroyImage(img);
    if (w) *w = W;
    if (h) *h = H;
    return true;
}

bool X11Parent::save_ppm(const std::string &path) {
    std::vector<uint8_t> rgb;
    uint32_t w = 0, h = 0;
    if (!capture(&rgb, &w, &h)) return false;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    fprintf(f, "P6\n%u %u\n255\n", w, h);
    bool ok = fwrite(rgb.data(), 1, rgb.size(), f) == rgb.size();
    return fclose(f) == 0 && ok;
}

// ---- HostInstance GUI helpers ---------------------------------------------------------------

bool HostInstance::gui_is_api_supported(const char *api, bool floating) {
    return plugin_ && ext_gui_ && ext_gui_->is_api_supported && ext_gui_->is_api_supported(plugin_, api, floating);
}

bool HostInstance::gui_create(const char *api, bool floating) {
    if (!plugin_ || !ext_gui_ || !ext_gui_->create) return false;
    bool ok = ext_gui_->create(plugin_, api, floating);
    if (ok) gui_created_ = true;
    return ok;
}

bool HostInstance::gui_set_scale(double scale) {
    return plugin_ && ext_gui_ && ext_gui_->set_scale && ext_gui_->set_scale(plugin_, scale);
}

bool HostInstance::gui_get_size(uint32_t *w, uint32_t *h) {
    uint32_t a = 0, b = 0;
    bool ok = plugin_ && ext_gui_ && ext_gui_->get_size && ext_gui_->get_size(plugin_, &a, &b);
    if (ok) {
        if (w) *w = a;
        if (h) *h = b;
    }
    return ok;
}

bool HostInstance::gui_can_resize() {
    return plugin_ && ext_gui_ && ext_gui_->can_resize && ext_gui_->can_resize(plugin_);
}

bool HostInstance::gui_adjust_size(uint32_t *w, uint32_t *h) {
    return plugin_ && ext_gui_ && ext_gui_->adjust_size && w && h && ext_gui_->adjust_size(plugin_, w, h);
}

bool HostInstance::gui_set_size(uint32_t w, uint32_t h) {
    return plugin_ && ext_gui_ && ext_gui_->set_size && ext_gui_->set_size(plugin_, w, h);
}

bool HostInstance::gui_set_parent(unsigned long x11_window) {
    if (!plugin_ || !ext_gui_ || !ext_gui_->set_parent) return false;
    clap_window_t win;
    memset(&win, 0, sizeof win);
    win.api = CLAP_WINDOW_API_X11;
    win.x11 = x11_window;
    return ext_gui_->set_parent(plugin_, &win);
}

bool HostInstance::gui_show() { return plugin_ && ext_gui_ && ext_gui_->show && ext_gui_->show(plugin_); }

bool HostInstance::gui_hide() { return plugin_ && ext_gui_ && ext_gui_->hide && ext_gui_->hide(plugin_); }

void HostInstance::gui_destroy() {
    if (plugin_ && ext_gui_ && ext_gui_->destroy && gui_created_) ext_gui_->destroy(plugin_);
    gui_created_ = false;
}

bool HostInstance::gui_open(uint32_t w, uint32_t h, double scale, const char *title) {
    error_.clear();
    gui_lost_ = false;
    if (!plugin_ || !ext_gui_) {
        error_ = "plug-in has no clap.gui extension";
        return false;
    }
    if (gui_created_) {
        error_ = "editor already open";
        return false;
    }
    if (!gui_is_api_supported(CLAP_WINDOW_API_X11, false)) {
        error_ = "plug-in does not support embedded x11 editors";
        return false;
    }
    if (!gui_create(CLAP_WINDOW_API_X11, false)) {
        error_ = "gui create failed";
        return false;
    }
    gui_set_scale(scale);
    uint32_t gw = 0, gh = 0;
    bool have_size = gui_get_size(&gw, &gh);
    if (w && h) {
        uint32_t aw = w, ah = h;
        if (gui_can_resize()) {
            if (gui_adjust_size(&aw, &ah) && gui_set_size(aw, ah)) {
                gw = aw;
                gh = ah;
                have_size = true;
            }
        }
        if (!have_size) {
            gw = w;
            gh = h;
        }
    } else if (!have_size || gw == 0 || gh == 0) {
        gw = 800;
        gh = 600;
    }
    parent_.reset(new X11Parent());
    std::string err;
    if (!parent_->create(
            gw, gh, title ? title : (plugin_->desc && plugin_->desc->name ? plugin_->desc->name : "editor"), &err)) {
        error_ = err;
        gui_destroy();
        parent_.reset();
        return false;
    }
    if (!gui_set_parent(parent_->window())) {
        error_ = "gui set_parent failed";
        gui_destroy();
        parent_.reset();
        return false;
    }
    if (!gui_show()) {
        error_ = "gui show failed";
        gui_destroy();
        parent_.reset();
        return false;
    }
    return true;
}

void HostInstance::gui_close() {
    if (gui_created_) {
        gui_hide();
        gui_destroy();
    }
    parent_.reset();
}

void HostInstance::gui_idle() {
    uint64_t r = req_resize_.exchange(0);
    if ((r >> 63) && gui_created_) {
        uint32_t w = (uint32_t)((r >> 32) & 0x7FFFFFFF), h = (uint32_t)(r & 0xFFFFFFFF);
        if (parent_) parent_->resize(w, h);
        gui_set_size(w, h);
        resizes_++;
    }
    if (parent_) {
        parent_->pump();
        if (parent_->lost()) {
            // Without its window the editor cannot go on: it is closed, the instance stays.
            gui_lost_ = true;
            error_ = "the X connection of the editor's window was lost";
            gui_close();
        } else if (parent_->close_requested()) {
            gui_close();
        }
    }
}
