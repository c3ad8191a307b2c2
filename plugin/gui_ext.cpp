// The GUI and timer-support extensions: glue that owns the editor's lifetime and its
// 16 ms host timer and forwards every call to the editor; the stage's own init timer goes
// to plug_idle_tick.
#include <cmath>
#include <cstring>

#include <cstdlib>

#include "chainops/history.h"
#include "editor/design.h"
#include "editor/ui.h"
#include "plugin/edits.h"
#include "plugin/extensions.h"
#include "plugin/plugin.h"
#include "plugin/scanlog.h"

static bool is_x11(const char *api) { return api && strcmp(api, CLAP_WINDOW_API_X11) == 0; }

static bool gui_is_api_supported(const clap_plugin_t *, const char *api, bool is_floating) {
    return !is_floating && is_x11(api);
}

static bool gui_get_preferred_api(const clap_plugin_t *, const char **api, bool *is_floating) {
    if (api) *api = CLAP_WINDOW_API_X11;
    if (is_floating) *is_floating = false;
    return true;
}

static void request_resize(void *ctx, uint32_t w, uint32_t h) {
    Plugin *p = (Plugin *)ctx;
    if (p->host && p->host_gui && p->host_gui->request_resize) p->host_gui->request_resize(p->host, w, h);
}

static bool context_menu(void *ctx, uint32_t param_id, int32_t x, int32_t y) {
    return plugin_popup_param_menu((Plugin *)ctx, param_id, x, y);
}

ChainHistory *plugin_history(Plugin *p) {
    if (p && !p->history) p->history = (ChainHistory *)calloc(1, sizeof(ChainHistory));
    return p ? p->history : nullptr;
}

static bool gui_create(const clap_plugin_t *plugin, const char *api, bool is_floating) {
    Plugin *p = plugin_of(plugin);
    tk_scanlog("gui_create");
    if (!p || is_floating || !is_x11(api)) return false;
    if (p->ui) return true;
    if (!plugin_history(p)) return false;
    EditorOwner owner{&p->owner, p->slot, &p->prefs, p->history, p->gui_scale, p, request_resize, context_menu};
    p->ui = ui_create(&owner);
    tk_scanlog(p->ui ? "gui_create: ui ok" : "gui_create: ui FAILED");
    if (p->ui && p->timer_id == 0xFFFFFFFFu) {
        bool ok = false;
        if (p->host_timer && p->host_timer->register_timer) {
            ok = p->host_timer->register_timer(p->host, 16, &p->timer_id);
            if (!ok) p->timer_id = 0xFFFFFFFFu;
        }
        if (!ok) plugin_log(p, CLAP_LOG_WARNING, "Tervik: host has no clap.timer-support, the editor cannot run");
    }
    return p->ui != nullptr;
}

static void gui_destroy(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    if (!p) return;
    if (p->timer_id != 0xFFFFFFFFu && p->host_timer && p->host_timer->unregister_timer) {
        p->host_timer->unregister_timer(p->host, p->timer_id);
        p->timer_id = 0xFFFFFFFFu;
    }
    if (p->ui) {
        ui_destroy(p->ui);
        p->ui = nullptr;
    }
}

static bool gui_set_scale(const clap_plugin_t *plugin, double scale) {
    Plugin *p = plugin_of(plugin);
    if (!p) return false;
    p->gui_scale = scale;
    if (p->ui) ui_set_scale(p->ui, scale);
    return true;
}

static bool gui_get_size(const clap_plugin_t *plugin, uint32_t *w, uint32_t *h) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->ui) return false;
    uint32_t ww = 0, hh = 0;
    ui_get_size(p->ui, &ww, &hh);
    if (w) *w = ww;
    if (h) *h = hh;
    return true;
}

static bool gui_can_resize(const clap_plugin_t *) { return true; }

static bool gui_get_resize_hints(const clap_plugin_t *, clap_gui_resize_hints_t *hints) {
    if (!hints) return false;
    hints->can_resize_horizontally = true;
    hints->can_resize_vertically = true;
    hints->preserve_aspect_ratio = true;
    hints->aspect_ratio_width = (uint32_t)DESIGN_W;
    hints->aspect_ratio_height = (uint32_t)DESIGN_H;
    return true;
}

static bool gui_adjust_size(const clap_plugin_t *, uint32_t *w, uint32_t *h) {
    if (!w || !h) return false;
    double s = std::fmin(*w / DESIGN_W, *h / DESIGN_H);
    if (s < UI_ZOOM_MIN) s = UI_ZOOM_MIN;
    if (s > UI_ZOOM_MAX) s = UI_ZOOM_MAX;
    *w = (uint32_t)(DESIGN_W * s + 0.5);
    *h = (uint32_t)(DESIGN_H * s + 0.5);
    return true;
}

static bool gui_set_size(const clap_plugin_t *plugin, uint32_t w, uint32_t h) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->ui) return false;
    return ui_set_size(p->ui, w, h);
}

static bool gui_set_parent(const clap_plugin_t *plugin, const clap_window_t *window) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->ui || !window) return false;
    tk_scanlog("gui_set_parent");
    bool ok = ui_set_parent(p->ui, (unsigned long)window->x11);
    tk_scanlog(ok ? "gui_set_parent: ok" : "gui_set_parent: FAILED");
    return ok;
}

static bool gui_set_transient(const clap_plugin_t *, const clap_window_t *) { return false; }
static void gui_suggest_title(const clap_plugin_t *, const char *) {}

static bool gui_show(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    return p && p->ui && ui_show(p->ui);
}

static bool gui_hide(const clap_plugin_t *plugin) {
    Plugin *p = plugin_of(plugin);
    return p && p->ui && ui_hide(p->ui);
}

const clap_plugin_gui_t EXT_GUI = {
    gui_is_api_supported, gui_get_preferred_api, gui_create,           gui_destroy,     gui_set_scale,
    gui_get_size,         gui_can_resize,        gui_get_resize_hints, gui_adjust_size, gui_set_size,
    gui_set_parent,       gui_set_transient,     gui_suggest_title,    gui_show,        gui_hide,
};

static void plug_on_timer(const clap_plugin_t *plugin, clap_id id) {
    Plugin *p = plugin_of(plugin);
    if (!p) return;
    if (id == p->idle_timer_id)
        plug_idle_tick(p);
    else if (p->ui)
        ui_tick(p->ui);
}

const clap_plugin_timer_support_t EXT_TIMER = {plug_on_timer};
