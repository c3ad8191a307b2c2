// Shared pieces of the editor tests: a stage made the way the plug-in makes one for its
// editor (an owner with a claimed slot, the parameter defaults, preferences and history),
// a recording fake host, an editor embedded in a real X11 parent window on the private
// Xvfb, XTest input, and readers of the slot's edit queue.
#pragma once
#include <dlfcn.h>
#include <link.h>

#include <clap/ext/gui.h>
#include <clap/ext/state.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "chainops/history.h"
#include "editor/draw.h"
#include "editor/events.h"
#include "host/gui.h"
#include "params/params.h"
#include "plugin/clap_log.h"
#include "registry/registry.h"
#include "registry/shared.h"
#include "sys/sys.h"
#include "tests/util/testutil.h"

extern "C" {
#include <pugl/pugl.h>
}

// Xlib last: its macros (None, Bool, Status) would break the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace edt {

// The host of a test stage: records size requests, log lines and mark_dirty calls.
struct FakeHost {
    clap_host_t host{};
    clap_host_gui_t gui{};
    clap_host_log_t log{};
    clap_host_state_t state{};
    std::vector<std::pair<uint32_t, uint32_t>> resizes;
    std::vector<std::string> logs;
    int dirty = 0;

    FakeHost() {
        host.clap_version = CLAP_VERSION;
        host.host_data = this;
        host.name = "editor-test";
        host.vendor = "tests";
        host.url = "";
        host.version = "1";
        gui.request_resize = [](const clap_host_t *h, uint32_t w, uint32_t hh) {
            self(h)->resizes.emplace_back(w, hh);
            return true;
        };
        log.log = [](const clap_host_t *h, clap_log_severity, const char *msg) {
            self(h)->logs.push_back(msg ? msg : "");
        };
        state.mark_dirty = [](const clap_host_t *h) { self(h)->dirty++; };
    }
    static FakeHost *self(const clap_host_t *h) { return (FakeHost *)h->host_data; }
    bool logged(const std::string &prefix) const {
        for (const std::string &l : logs)
            if (l.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
};

// Mesa loads its DRI driver for an X connection and unloads it when the connection closes.
// What the driver keeps for its lifetime then shows up, under LeakSanitizer's fast
// unwinder, as leaks in an unknown module that no suppression can name. An extra
// reference keeps the driver (and libGLX_mesa) loaded, so that the suppressions apply.
// Call after a GL context was asked for.
inline void keep_gl_driver_loaded() {
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *) {
            const char *n = info->dlpi_name;
            if (n && (strstr(n, "_dri.so") || strstr(n, "libGLX_mesa") || strstr(n, "libgallium")))
                dlopen(n, RTLD_NOW | RTLD_NOLOAD); // never closed
            return 0;
        },
        nullptr);
}

// A stage as the plug-in makes one for its editor: an owner registered with its slot (so
// that edits made here reach its host directly), the parameter defaults, the editor
// preferences and the chain history the editor's undo acts on.
struct Stage {
    FakeHost *host = nullptr;
    StageOwner owner{};
    SharedSlot *slot = nullptr;
    uint64_t uid = 0;
    EditorPrefs prefs{};
    ChainHistory *history = nullptr;
    double gui_scale = 0.0; // the host's GUI scale, given to an editor when it is made
    Ui *ui = nullptr;

    // What the plug-in's gui_create hands to ui_create.
    EditorOwner editor_owner() {
        return EditorOwner{&owner, slot, &prefs, history, gui_scale, this, [](void *ctx, uint32_t w, uint32_t h) {
                               FakeHost *fh = ((Stage *)ctx)->host;
                               fh->gui.request_resize(&fh->host, w, h);
                           }};
    }
};

// A stage in group g, with its slot claimed in the test's segment.
inline Stage *make_stage(FakeHost *fh, int group = 0) {
    Stage *p = new Stage;
    p->host = fh;
    p->uid = sys_random_u64();
    p->owner.ctx = fh;
    p->owner.mark_dirty = [](void *ctx) {
        FakeHost *h = (FakeHost *)ctx;
        h->state.mark_dirty(&h->host);
    };
    p->owner.log = [](void *ctx, int severity, const char *message) {
        FakeHost *h = (FakeHost *)ctx;
        h->log.log(&h->host, severity, message);
    };
    p->history = (ChainHistory *)calloc(1, sizeof(ChainHistory));
    p->slot = registry_add(&p->owner);
    if (!p->slot || !p->history) {
        registry_remove(p->slot);
        free(p->history);
        delete p;
        return nullptr;
    }
    shm_store(p->slot->ident.uid, p->uid);
    p->prefs = editor_prefs_default();
    for (uint32_t i = 0; i < PARAM_COUNT; i++)
        shm_store(p->slot->values[i], param_clamp((int)i, PARAMS[i].def));
    shm_store(p->slot->values[P_GROUP], (double)group);
    return p;
}

// A new editor of the stage, as gui_create makes it.
inline Ui *make_editor(Stage *p) {
    EditorOwner o = p->editor_owner();
    return ui_create(&o);
}

inline void free_stage(Stage *p) {
    if (!p) return;
    if (p->ui) ui_destroy(p->ui);
    p->ui = nullptr;
    registry_remove(p->slot);
    free(p->history);
    delete p;
}

inline double value(const Stage *p, int row) { return shm_load(p->slot->values[row]); }

// Takes every entry of a slot's edit queue (the owner's drain, done by hand).
inline std::vector<EditEntry> take_edits(SharedSlot *s) {
    std::vector<EditEntry> out;
    uint32_t r = shm_load(s->edits.edit_read), w = shm_load(s->edits.edit_write);
    for (; r != w; r++)
        out.push_back(s->edits.edit_queue[r % EDIT_QUEUE_LEN]);
    shm_store(s->edits.edit_read, w);
    return out;
}

// True when the entries form one or more complete gestures on parameter id: begin, at
// least `min_values` values (in total), end, and nothing else in between.
inline ::testing::AssertionResult is_gesture(const std::vector<EditEntry> &e, uint32_t id, size_t min_values = 1) {
    if (e.empty()) return ::testing::AssertionFailure() << "no edits queued";
    size_t values = 0;
    bool open = false;
    for (size_t i = 0; i < e.size(); i++) {
        if (e[i].id != id) return ::testing::AssertionFailure() << "edit " << i << " is for id " << e[i].id;
        if (e[i].kind == EDIT_BEGIN) {
            if (open) return ::testing::AssertionFailure() << "begin inside a gesture at " << i;
            open = true;
        } else if (e[i].kind == EDIT_END) {
            if (!open) return ::testing::AssertionFailure() << "end without begin at " << i;
            open = false;
        } else {
            if (!open) return ::testing::AssertionFailure() << "value outside a gesture at " << i;
            values++;
        }
    }
    if (open) return ::testing::AssertionFailure() << "gesture not ended";
    if (values < min_values) return ::testing::AssertionFailure() << values << " values, expected " << min_values;
    return ::testing::AssertionSuccess();
}

// A copy of the first target of the last frame matching kind (and b, a when given); kind
// 0 when there is none. A copy, because the next frame rebuilds the list.
inline Hit find_hit(const Ui *ui, int kind, int b = -999, int a = -999) {
    for (int i = 0; i < ui->input.hit_count; i++) {
        const Hit &h = ui->input.hits[i];
        if (h.kind == kind && (b == -999 || h.b == b) && (a == -999 || h.a == a)) return h;
    }
    return Hit{0, -1, -1, 0, 0, 0, 0};
}

// An editor of a test stage embedded in a top-level X11 parent window, pumped by hand
// (the host timer's ui_tick), with XTest input on a connection of its own.
class EditorWindow {
  public:
    ~EditorWindow() { close(); }

    bool open(Stage *p, uint32_t w = 960, uint32_t h = 600) {
        owner = p;
        std::string err;
        if (!parent.create(w, h, "editor-test", &err)) return false;
        ui = make_editor(p);
        if (!ui) return false;
        p->ui = ui;
        ui_set_size(ui, w, h);
        bool parented = ui_set_parent(ui, parent.window());
        keep_gl_driver_loaded();
        if (!parented) return false;
        if (!ui_show(ui)) return false;
        xt = XOpenDisplay(nullptr);
        if (!xt) return false;
        // A key held across a slow software-GL frame must not repeat (server-wide, on the
        // test's private Xvfb).
        XAutoRepeatOff(xt);
        return wait([&] { return ui->win.frames >= 2 && ui->win.view_w == w && ui->win.view_h == h; });
    }

    void close() {
        if (xt) {
            XCloseDisplay(xt);
            xt = nullptr;
        }
        if (ui && owner && owner->ui == ui) {
            ui_destroy(ui);
            owner->ui = nullptr;
        }
        ui = nullptr;
        parent.destroy();
    }

    void pump() {
        ui_tick(ui);
        parent.pump();
    }

    // Pumps until pred holds (true) or about 5 s have passed (false).
    template <class F> bool wait(F pred) {
        for (int i = 0; i < 2500; i++) {
            pump();
            if (pred()) return true;
            sys_sleep_ms(2);
        }
        return false;
    }

    // Waits until n more frames have been drawn (each frame re-reads everything).
    bool frames(uint32_t n = 2) {
        uint32_t f0 = ui->win.frames;
        return wait([&] { return ui->win.frames >= f0 + n; });
    }

    // View pixel -> screen: the parent sits at the root's origin, the view at the parent's.
    void move(double x, double y) {
        XTestFakeMotionEvent(xt, -1, (int)std::lround(x), (int)std::lround(y), CurrentTime);
        XFlush(xt);
        wait([&] { return std::fabs(last_pointer_x() - x) < 0.6 && std::fabs(last_pointer_y() - y) < 0.6; });
    }
    void button(unsigned b, bool down) {
        XTestFakeButtonEvent(xt, b, down ? True : False, CurrentTime);
        settle();
    }
    // After XSync on the input connection the server has handled the fake event and sent
    // what it caused to the editor's connection; two ticks dispatch it (a software-GL frame
    // may be drawn in each, so no more are spent).
    void settle() {
        XSync(xt, False);
        sys_sleep_ms(1);
        pump();
        pump();
    }
    void click(double x, double y) {
        move(x, y);
        button(1, true);
        button(1, false);
    }
    // Two clicks sent together, so that their server times are well inside the 0.35 s of a
    // double click however long a software-GL frame takes.
    void double_click(double x, double y) {
        move(x, y);
        for (int i = 0; i < 2; i++) {
            XTestFakeButtonEvent(xt, 1, True, CurrentTime);
            XTestFakeButtonEvent(xt, 1, False, CurrentTime);
        }
        settle();
    }
    void double_click_hit(const Hit &h) {
        auto c = centre(h);
        double_click(c.first, c.second);
    }
    // Centre of a hit target in view pixels.
    std::pair<double, double> centre(const Hit &h) const {
        double z = ui_frame_z(ui);
        return {(h.x + h.w / 2) * z, (h.y + h.h / 2) * z};
    }
    void click_hit(const Hit &h) {
        auto c = centre(h);
        click(c.first, c.second);
    }
    void key(KeySym sym, bool down) {
        XTestFakeKeyEvent(xt, XKeysymToKeycode(xt, sym), down ? True : False, CurrentTime);
        settle();
    }
    // Press and release sent together, like a quick keystroke.
    void tap(KeySym sym) {
        KeyCode code = XKeysymToKeycode(xt, sym);
        XTestFakeKeyEvent(xt, code, True, CurrentTime);
        XTestFakeKeyEvent(xt, code, False, CurrentTime);
        settle();
    }
    void chord(KeySym mod, KeySym sym) {
        key(mod, true);
        tap(sym);
        key(mod, false);
    }
    void type(const char *s) {
        for (; *s; s++) {
            KeySym k = *s == '.' ? XK_period : *s == '-' ? XK_minus : *s == ' ' ? XK_space : (KeySym)(unsigned char)*s;
            tap(k);
        }
    }
    // Forgets the last click, so that the next one is never taken for a double click.
    void no_double() { ui->input.click_kind = 0; }

    double last_pointer_x() const { return ui->input.pointer_x * ui_frame_z(ui); }
    double last_pointer_y() const { return ui->input.pointer_y * ui_frame_z(ui); }

    Stage *owner = nullptr;
    Ui *ui = nullptr;
    X11Parent parent;
    Display *xt = nullptr;
};

// Xlib's own error handler (which ends the process) for the scope: the host library
// installs a forgiving one, which would hide an X error the editor fails to catch.
struct DefaultXErrors {
    XErrorHandler old = XSetErrorHandler(nullptr);
    DefaultXErrors() = default;
    ~DefaultXErrors() { XSetErrorHandler(old); }
    DefaultXErrors(const DefaultXErrors &) = delete;
    DefaultXErrors &operator=(const DefaultXErrors &) = delete;
};

// A private Xvfb for the test process; tests skip when it cannot start.
#define EDITOR_NEEDS_DISPLAY()                                                                                         \
    do {                                                                                                               \
        if (tk_test::xvfb_display().empty()) GTEST_SKIP() << "no Xvfb available";                                      \
    } while (0)

} // namespace edt
