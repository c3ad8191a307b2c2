// The host's side of editor embedding on X11: a top-level parent window made with Xlib,
// resized on the plug-in's request and pumped from the host's main loop. [main-thread] only.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class X11Parent {
  public:
    X11Parent() = default;
    ~X11Parent() { destroy(); }
    X11Parent(const X11Parent &) = delete;
    X11Parent &operator=(const X11Parent &) = delete;

    // Opens its own display connection ($DISPLAY), creates and maps a w x h top-level
    // window. False with *err set when there is no display or the window cannot be made.
    bool create(uint32_t w, uint32_t h, const char *title, std::string *err);
    void destroy();
    bool valid() const { return window_ != 0; }

    void resize(uint32_t w, uint32_t h);
    void move(int x, int y);
    void set_visible(bool visible);
    // Handles pending X events: size changes and the window manager's close request.
    void pump();

    unsigned long window() const { return window_; }
    void *display() const { return dpy_; } // the Xlib Display*
    uint32_t width() const { return w_; }
    uint32_t height() const { return h_; }
    bool close_requested() const { return close_req_; }
    // The window's X connection is gone (the server went away or dropped it): nothing more
    // is sent on it; destroy() only frees it.
    bool lost() const { return lost_; }
    void mark_lost() { lost_ = true; }
    // Number of direct child windows (an embedded editor makes one).
    int child_count();

    // Reads the window's pixels (children included) as packed RGB; false on failure.
    bool capture(std::vector<uint8_t> *rgb, uint32_t *w, uint32_t *h);
    // capture() written as a binary PPM ("P6").
    bool save_ppm(const std::string &path);

  private:
    void *dpy_ = nullptr;
    unsigned long window_ = 0;
    unsigned long wm_delete_ = 0;
    uint32_t w_ = 0, h_ = 0;
    bool close_req_ = false;
    bool lost_ = false;
};
