// clap.context-menu, the plug-in's side: for a parameter of this stage the host's menu gets
// "Reset to default", "MIDI learn" and "Clear MIDI mapping", and performs them here. The
// editor asks for that menu on a right-click (editor/context_menu.cpp), and the host's
// popup is called here for it.
#include "chainops/history.h"
#include "params/edit_path.h"
#include "params/params.h"
#include "plugin/edits.h"
#include "plugin/extensions.h"
#include "plugin/plugin.h"

namespace {

enum : clap_id { ACTION_RESET = 1, ACTION_LEARN = 2, ACTION_CLEAR_MIDI = 3 };

// The PARAMS row a menu is about, -1 for the whole plug-in or an unknown id.
int target_row(const clap_context_menu_target_t *t) {
    if (!t || t->kind != CLAP_CONTEXT_MENU_TARGET_KIND_PARAM) return -1;
    return param_index_from_id(t->id);
}

bool add_entry(const clap_context_menu_builder_t *b, const char *label, bool enabled, clap_id action) {
    clap_context_menu_entry_t e = {label, enabled, action};
    return b->add_item(b, CLAP_CONTEXT_MENU_ITEM_ENTRY, &e);
}

} // namespace

static bool menu_populate(const clap_plugin_t *plugin, const clap_context_menu_target_t *target,
                          const clap_context_menu_builder_t *builder) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot || !builder || !builder->add_item) return false;
    int row = target_row(target);
    if (row < 0) return true; // nothing of ours for the whole plug-in
    if (builder->supports && builder->supports(builder, CLAP_CONTEXT_MENU_ITEM_SEPARATOR))
        builder->add_item(builder, CLAP_CONTEXT_MENU_ITEM_SEPARATOR, nullptr);
    bool mapped = shm_load(p->slot->midi.midi_cc[row]) >= 0;
    return add_entry(builder, "Reset to default", true, ACTION_RESET) &&
           add_entry(builder, "MIDI learn", true, ACTION_LEARN) &&
           add_entry(builder, "Clear MIDI mapping", mapped, ACTION_CLEAR_MIDI);
}

static bool menu_perform(const clap_plugin_t *plugin, const clap_context_menu_target_t *target, clap_id action) {
    Plugin *p = plugin_of(plugin);
    int row = target_row(target);
    if (!p || !p->slot || row < 0) return false;
    SharedSlot *s = p->slot;
    switch (action) {
    case ACTION_RESET:
        // One undo step in this stage's history, as a reset from the editor makes.
        undo_mark_stages(plugin_history(p), &s, 1, 0);
        plugin_edit_one(s, row, PARAMS[row].def);
        return true;
    case ACTION_LEARN:
        // Armed as the editor arms it: the next control change maps to the parameter.
        shm_store(s->midi.midi_learn, (int32_t)row);
        return true;
    case ACTION_CLEAR_MIDI:
        if (shm_load(s->midi.midi_learn) == row) shm_store(s->midi.midi_learn, -1);
        shm_store(s->midi.midi_cc[row], -1);
        if (p->host_state && p->host_state->mark_dirty) p->host_state->mark_dirty(p->host);
        return true;
    default:
        return false;
    }
}

const clap_plugin_context_menu_t EXT_CONTEXT_MENU = {menu_populate, menu_perform};

static const clap_host_context_menu_t *host_menu(const Plugin *p) {
    if (!p || !p->host || !p->host->get_extension) return nullptr;
    const void *e = p->host->get_extension(p->host, CLAP_EXT_CONTEXT_MENU);
    if (!e) e = p->host->get_extension(p->host, CLAP_EXT_CONTEXT_MENU_COMPAT);
    return (const clap_host_context_menu_t *)e;
}

bool plugin_popup_param_menu(Plugin *p, uint32_t param_id, int32_t x, int32_t y) {
    const clap_host_context_menu_t *menu = host_menu(p);
    if (!menu || !menu->can_popup || !menu->popup || !menu->can_popup(p->host)) return false;
    clap_context_menu_target_t target = {CLAP_CONTEXT_MENU_TARGET_KIND_PARAM, param_id};
    return menu->popup(p->host, &target, 0, x, y);
}
