// The host side of the newer CLAP extensions: calls into the plug-in's preset-load,
// remote-controls, param-indication, state-context, render and context-menu tables, and
// the host's own preset-load, context-menu and remote-controls tables, whose calls are
// recorded like every other host service.
#include <cstring>

#include "host/host.h"

namespace {

const char *text(const char *s) { return s ? s : "(null)"; }

// A menu builder that appends to a list of items.
struct MenuCollector {
    std::vector<MenuItemDesc> *items;
    bool from_plugin;
};

bool builder_add(const clap_context_menu_builder_t *b, clap_context_menu_item_kind_t kind, const void *data) {
    MenuCollector *c = b ? (MenuCollector *)b->ctx : nullptr;
    if (!c) return false;
    MenuItemDesc d;
    d.kind = kind;
    d.from_plugin = c->from_plugin;
    switch (kind) {
    case CLAP_CONTEXT_MENU_ITEM_ENTRY: {
        const clap_context_menu_entry_t *e = (const clap_context_menu_entry_t *)data;
        if (!e) return false;
        d.label = text(e->label);
        d.enabled = e->is_enabled;
        d.action = e->action_id;
        break;
    }
    case CLAP_CONTEXT_MENU_ITEM_CHECK_ENTRY: {
        const clap_context_menu_check_entry_t *e = (const clap_context_menu_check_entry_t *)data;
        if (!e) return false;
        d.label = text(e->label);
        d.enabled = e->is_enabled;
        d.checked = e->is_checked;
        d.action = e->action_id;
        break;
    }
    case CLAP_CONTEXT_MENU_ITEM_TITLE: {
        const clap_context_menu_item_title_t *t = (const clap_context_menu_item_title_t *)data;
        if (!t) return false;
        d.label = text(t->title);
        d.enabled = t->is_enabled;
        break;
    }
    case CLAP_CONTEXT_MENU_ITEM_BEGIN_SUBMENU: {
        const clap_context_menu_submenu_t *m = (const clap_context_menu_submenu_t *)data;
        if (!m) return false;
        d.label = text(m->label);
        d.enabled = m->is_enabled;
        break;
    }
    case CLAP_CONTEXT_MENU_ITEM_SEPARATOR:
    case CLAP_CONTEXT_MENU_ITEM_END_SUBMENU:
        break;
    default:
        return false;
    }
    c->items->push_back(d);
    return true;
}

bool builder_supports(const clap_context_menu_builder_t *, clap_context_menu_item_kind_t kind) {
    return kind <= CLAP_CONTEXT_MENU_ITEM_TITLE;
}

} // namespace

struct NewerHostCallbacks {
    static HostInstance *self(const clap_host_t *h) { return h ? (HostInstance *)h->host_data : nullptr; }

    // clap.preset-load
    static void preset_error(const clap_host_t *h, uint32_t kind, const char *location, const char *key,
                             int32_t os_error, const char *msg) {
        if (HostInstance *s = self(h))
            s->record("preset_error:%u:%s:%s:%d:%s", (unsigned)kind, text(location), text(key), (int)os_error,
                      text(msg));
    }
    static void preset_loaded(const clap_host_t *h, uint32_t kind, const char *location, const char *key) {
        if (HostInstance *s = self(h)) s->record("preset_loaded:%u:%s:%s", (unsigned)kind, text(location), text(key));
    }
    // clap.context-menu: the host's own items are two entries about automation and
    // modulation, as a DAW's menu for a parameter has them.
    static bool menu_populate(const clap_host_t *h, const clap_context_menu_target_t *target,
                              const clap_context_menu_builder_t *b) {
        if (!self(h) || !b || !b->add_item) return false;
        if (!target || target->kind != CLAP_CONTEXT_MENU_TARGET_KIND_PARAM) return true;
        clap_context_menu_entry_t a = {"Show automation", true, HostInstance::HOST_MENU_AUTOMATION};
        clap_context_menu_entry_t m = {"Add modulation", true, HostInstance::HOST_MENU_MODULATION};
        return b->add_item(b, CLAP_CONTEXT_MENU_ITEM_ENTRY, &a) && b->add_item(b, CLAP_CONTEXT_MENU_ITEM_ENTRY, &m);
    }
    static bool menu_perform(const clap_host_t *h, const clap_context_menu_target_t *target, clap_id action) {
        HostInstance *s = self(h);
        if (!s) return false;
        s->record("context_menu_host_perform:%u:%u:%u", target ? (unsigned)target->kind : 0u,
                  target ? (unsigned)target->id : 0u, (unsigned)action);
        return action == HostInstance::HOST_MENU_AUTOMATION || action == HostInstance::HOST_MENU_MODULATION;
    }
    static bool menu_can_popup(const clap_host_t *h) {
        if (HostInstance *s = self(h)) s->record("context_menu_can_popup");
        return true;
    }
    static bool menu_popup(const clap_host_t *h, const clap_context_menu_target_t *target, int32_t screen, int32_t x,
                           int32_t y) {
        HostInstance *s = self(h);
        if (!s) return false;
        s->record("context_menu_popup:%u:%u:%d:%d:%d", target ? (unsigned)target->kind : 0u,
                  target ? (unsigned)target->id : 0u, (int)screen, (int)x, (int)y);
        s->last_menu_ = s->context_menu(target);
        return true;
    }
    // clap.remote-controls
    static void remote_changed(const clap_host_t *h) {
        if (HostInstance *s = self(h)) s->record("remote_controls_changed");
    }
    static void remote_suggest(const clap_host_t *h, clap_id page) {
        if (HostInstance *s = self(h)) s->record("remote_controls_suggest:%u", (unsigned)page);
    }
};

static const clap_host_preset_load_t HOST_PRESET_LOAD = {NewerHostCallbacks::preset_error,
                                                         NewerHostCallbacks::preset_loaded};
static const clap_host_context_menu_t HOST_CONTEXT_MENU = {
    NewerHostCallbacks::menu_populate, NewerHostCallbacks::menu_perform, NewerHostCallbacks::menu_can_popup,
    NewerHostCallbacks::menu_popup};
static const clap_host_remote_controls_t HOST_REMOTE_CONTROLS = {NewerHostCallbacks::remote_changed,
                                                                 NewerHostCallbacks::remote_suggest};
static const clap_host_preset_load_t NULL_PRESET_LOAD = {};
static const clap_host_context_menu_t NULL_CONTEXT_MENU = {};
static const clap_host_remote_controls_t NULL_REMOTE_CONTROLS = {};

static const void *offered(ExtOffer o, const void *full, const void *null_fns) {
    return o == ExtOffer::On ? full : o == ExtOffer::NullFns ? null_fns : nullptr;
}

static bool is(const char *id, const char *a, const char *b) { return !strcmp(id, a) || !strcmp(id, b); }

const void *HostInstance::newer_host_extension(HostInstance *s, const char *id) {
    if (!s || !id) return nullptr;
    const HostOptions &o = s->opt_;
    if (is(id, CLAP_EXT_PRESET_LOAD, CLAP_EXT_PRESET_LOAD_COMPAT))
        return offered(o.preset_load, &HOST_PRESET_LOAD, &NULL_PRESET_LOAD);
    if (is(id, CLAP_EXT_CONTEXT_MENU, CLAP_EXT_CONTEXT_MENU_COMPAT))
        return offered(o.context_menu, &HOST_CONTEXT_MENU, &NULL_CONTEXT_MENU);
    if (is(id, CLAP_EXT_REMOTE_CONTROLS, CLAP_EXT_REMOTE_CONTROLS_COMPAT))
        return offered(o.remote_controls, &HOST_REMOTE_CONTROLS, &NULL_REMOTE_CONTROLS);
    return nullptr;
}

// ---- the plug-in's tables -------------------------------------------------------------------

static const void *either(const HostInstance *h, const char *id, const char *compat) {
    const void *e = h->get_extension(id);
    return e || !compat ? e : h->get_extension(compat);
}

const clap_plugin_preset_load_t *HostInstance::preset_load_ext() const {
    return (const clap_plugin_preset_load_t *)either(this, CLAP_EXT_PRESET_LOAD, CLAP_EXT_PRESET_LOAD_COMPAT);
}
const clap_plugin_remote_controls_t *HostInstance::remote_controls_ext() const {
    return (const clap_plugin_remote_controls_t *)either(this, CLAP_EXT_REMOTE_CONTROLS,
                                                         CLAP_EXT_REMOTE_CONTROLS_COMPAT);
}
const clap_plugin_param_indication_t *HostInstance::param_indication_ext() const {
    return (const clap_plugin_param_indication_t *)either(this, CLAP_EXT_PARAM_INDICATION,
                                                          CLAP_EXT_PARAM_INDICATION_COMPAT);
}
const clap_plugin_state_context_t *HostInstance::state_context_ext() const {
    return (const clap_plugin_state_context_t *)either(this, CLAP_EXT_STATE_CONTEXT, nullptr);
}
const clap_plugin_render_t *HostInstance::render_ext() const {
    return (const clap_plugin_render_t *)either(this, CLAP_EXT_RENDER, nullptr);
}
const clap_plugin_context_menu_t *HostInstance::context_menu_ext() const {
    return (const clap_plugin_context_menu_t *)either(this, CLAP_EXT_CONTEXT_MENU, CLAP_EXT_CONTEXT_MENU_COMPAT);
}

bool HostInstance::preset_load(uint32_t kind, const char *location, const char *key) {
    const clap_plugin_preset_load_t *e = preset_load_ext();
    if (!plugin_ || !e || !e->from_location) return false;
    bool ok = e->from_location(plugin_, kind, location, key);
    drain_calls();
    return ok;
}

std::vector<RemotePageDesc> HostInstance::remote_pages() const {
    std::vector<RemotePageDesc> v;
    const clap_plugin_remote_controls_t *e = remote_controls_ext();
    if (!plugin_ || !e || !e->count || !e->get) return v;
    uint32_t n = e->count(plugin_);
    if (n > 4096) n = 4096;
    for (uint32_t i = 0; i < n; i++) {
        clap_remote_controls_page_t page;
        memset(&page, 0, sizeof page);
        if (!e->get(plugin_, i, &page)) continue;
        page.section_name[sizeof page.section_name - 1] = 0;
        page.page_name[sizeof page.page_name - 1] = 0;
        RemotePageDesc d;
        d.id = page.page_id;
        d.section = page.section_name;
        d.name = page.page_name;
        d.params.assign(page.param_ids, page.param_ids + CLAP_REMOTE_CONTROLS_COUNT);
        d.for_preset = page.is_for_preset;
        v.push_back(d);
    }
    return v;
}

bool HostInstance::indicate_mapping(clap_id id, bool mapped, const clap_color_t *color, const char *label,
                                    const char *description) {
    const clap_plugin_param_indication_t *e = param_indication_ext();
    if (!plugin_ || !e || !e->set_mapping) return false;
    e->set_mapping(plugin_, id, mapped, color, label, description);
    return true;
}

bool HostInstance::indicate_automation(clap_id id, uint32_t state, const clap_color_t *color) {
    const clap_plugin_param_indication_t *e = param_indication_ext();
    if (!plugin_ || !e || !e->set_automation) return false;
    e->set_automation(plugin_, id, state, color);
    return true;
}

namespace {
struct Buffer {
    std::vector<uint8_t> *out;
    const std::vector<uint8_t> *in;
    size_t pos;
};
int64_t buffer_write(const clap_ostream_t *s, const void *buf, uint64_t size) {
    Buffer *b = (Buffer *)s->ctx;
    if (!buf && size) return -1;
    if (size > (1ull << 30)) return -1;
    b->out->insert(b->out->end(), (const uint8_t *)buf, (const uint8_t *)buf + size);
    return (int64_t)size;
}
int64_t buffer_read(const clap_istream_t *s, void *buf, uint64_t size) {
    Buffer *b = (Buffer *)s->ctx;
    if (!buf && size) return -1;
    uint64_t left = b->in->size() - b->pos;
    uint64_t n = size < left ? size : left;
    if (n) memcpy(buf, b->in->data() + b->pos, n);
    b->pos += n;
    return (int64_t)n;
}
} // namespace

bool HostInstance::state_save_context(uint32_t context, std::vector<uint8_t> *out) {
    const clap_plugin_state_context_t *e = state_context_ext();
    if (!plugin_ || !e || !e->save || !out) return false;
    out->clear();
    Buffer b{out, nullptr, 0};
    clap_ostream_t s{&b, buffer_write};
    return e->save(plugin_, &s, context);
}

bool HostInstance::state_load_context(uint32_t context, const std::vector<uint8_t> &in) {
    const clap_plugin_state_context_t *e = state_context_ext();
    if (!plugin_ || !e || !e->load) return false;
    Buffer b{nullptr, &in, 0};
    clap_istream_t s{&b, buffer_read};
    return e->load(plugin_, &s, context);
}

bool HostInstance::render_set(int32_t mode) {
    const clap_plugin_render_t *e = render_ext();
    return plugin_ && e && e->set && e->set(plugin_, mode);
}

int HostInstance::render_hard_realtime() const {
    const clap_plugin_render_t *e = render_ext();
    if (!plugin_ || !e || !e->has_hard_realtime_requirement) return -1;
    return e->has_hard_realtime_requirement(plugin_) ? 1 : 0;
}

std::vector<MenuItemDesc> HostInstance::context_menu(const clap_context_menu_target_t *target) {
    std::vector<MenuItemDesc> items;
    MenuCollector host_side{&items, false}, plugin_side{&items, true};
    clap_context_menu_builder_t hb{&host_side, builder_add, builder_supports};
    NewerHostCallbacks::menu_populate(&host_, target, &hb);
    const clap_plugin_context_menu_t *e = context_menu_ext();
    if (plugin_ && e && e->populate) {
        clap_context_menu_builder_t pb{&plugin_side, builder_add, builder_supports};
        e->populate(plugin_, target, &pb);
    }
    return items;
}

bool HostInstance::context_menu_perform(const clap_context_menu_target_t *target, clap_id action) {
    const clap_plugin_context_menu_t *e = context_menu_ext();
    return plugin_ && e && e->perform && e->perform(plugin_, target, action);
}
