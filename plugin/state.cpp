// The state blob: "TKM1" identity and parameter records, the "MIDI" map and the "UI01"
// editor preferences, written and read field by field through the host's stream.
#include <clap/stream.h>

#include <cmath>
#include <cstring>

#include "editor/design.h"
#include "params/params.h"
#include "plugin/edits.h"
#include "plugin/plugin.h"

static bool put(const clap_ostream_t *s, const void *data, size_t n) {
    const char *p = (const char *)data;
    while (n > 0) {
        int64_t w = s->write(s, p, n);
        if (w <= 0) return false;
        if ((uint64_t)w > n) w = (int64_t)n; // a host claiming more than it was given
        p += w;
        n -= (size_t)w;
    }
    return true;
}

static bool get(const clap_istream_t *s, void *data, size_t n) {
    char *p = (char *)data;
    while (n > 0) {
        int64_t r = s->read(s, p, n);
        if (r <= 0) return false;
        if ((uint64_t)r > n) r = (int64_t)n;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

// Little-endian encoders (the blob format is little-endian whatever the machine).
static void le32(uint8_t *b, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[i] = (uint8_t)(v >> (8 * i));
}
static void le64(uint8_t *b, uint64_t v) {
    for (int i = 0; i < 8; i++)
        b[i] = (uint8_t)(v >> (8 * i));
}
static uint32_t rd32(const uint8_t *b) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v |= (uint32_t)b[i] << (8 * i);
    return v;
}
static uint64_t rd64(const uint8_t *b) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v |= (uint64_t)b[i] << (8 * i);
    return v;
}
static uint64_t dbits(double d) {
    uint64_t u;
    memcpy(&u, &d, 8);
    return u;
}
static double bitsd(uint64_t u) {
    double d;
    memcpy(&d, &u, 8);
    return d;
}

static bool put32(const clap_ostream_t *s, uint32_t v) {
    uint8_t b[4];
    le32(b, v);
    return put(s, b, 4);
}
static bool put64(const clap_ostream_t *s, uint64_t v) {
    uint8_t b[8];
    le64(b, v);
    return put(s, b, 8);
}
static bool get32(const clap_istream_t *s, uint32_t *v) {
    uint8_t b[4];
    if (!get(s, b, 4)) return false;
    *v = rd32(b);
    return true;
}
static bool get64(const clap_istream_t *s, uint64_t *v) {
    uint8_t b[8];
    if (!get(s, b, 8)) return false;
    *v = rd64(b);
    return true;
}

static bool state_save(const clap_plugin_t *plugin, const clap_ostream_t *s) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot || !s || !s->write) return false;
    SharedSlot *slot = p->slot;
    uint32_t n = 0;
    for (uint32_t i = 0; i < PARAM_COUNT; i++)
        if (!(PARAMS[i].flags & PF_READONLY)) n++;
    if (!put(s, "TKM1", 4) || !put32(s, 1) || !put64(s, p->uid) || !put32(s, n)) return false;
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        if (PARAMS[i].flags & PF_READONLY) continue;
        // Another process may have stored anything into the slot: the host gets it bounded.
        double v = param_bounded((int)i, shm_load(slot->values[i]));
        if (!put32(s, PARAMS[i].id) || !put64(s, dbits(v))) return false;
    }
    uint32_t m = 0;
    int32_t cc[PARAM_COUNT];
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        cc[i] = shm_load(slot->midi.midi_cc[i]);
        if (cc[i] >= 0) m++;
    }
    if (!put(s, "MIDI", 4) || !put32(s, m)) return false;
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        if (cc[i] < 0) continue;
        if (!put32(s, PARAMS[i].id) || !put32(s, (uint32_t)cc[i])) return false;
    }
    const EditorPrefs &ed = p->prefs;
    if (!put(s, "UI01", 4) || !put32(s, ed.show_controls) || !put32(s, ed.show_grid) || !put32(s, ed.gain.lufs_mode) ||
        !put32(s, ed.gain.spread) || !put32(s, ed.gain.target_idx) || !put64(s, dbits(ed.ui_scale)) ||
        !put64(s, dbits(ed.gain.target_custom)))
        return false;
    return true;
}

static void rescan(Plugin *p) {
    if (p->host_params && p->host_params->rescan) p->host_params->rescan(p->host, CLAP_PARAM_RESCAN_VALUES);
}

// The optional trailer: the MIDI map, then the editor preferences. A short read or an
// unexpected tag ends the load, keeping what was applied.
static void load_trailer(Plugin *p, const clap_istream_t *s) {
    SharedSlot *slot = p->slot;
    char tag[4];
    uint32_t m;
    if (!get(s, tag, 4) || memcmp(tag, "MIDI", 4) != 0 || !get32(s, &m) || m > 17) return;
    for (uint32_t k = 0; k < m; k++) {
        uint32_t id, cc;
        if (!get32(s, &id) || !get32(s, &cc)) break;
        int idx = param_index_from_id(id);
        if (idx >= 0 && cc <= 127) shm_store(slot->midi.midi_cc[idx], (int32_t)cc);
    }
    if (!get(s, tag, 4) || memcmp(tag, "UI01", 4) != 0) return;
    uint8_t ints[20], dbls[16];
    if (!get(s, ints, 20) || !get(s, dbls, 16)) return;
    uint32_t show_controls = rd32(ints), show_grid = rd32(ints + 4), lufs_mode = rd32(ints + 8);
    uint32_t spread = rd32(ints + 12), target_idx = rd32(ints + 16);
    double ui_scale = bitsd(rd64(dbls)), target_custom = bitsd(rd64(dbls + 8));
    EditorPrefs &ed = p->prefs;
    ed.show_controls = show_controls ? 1 : 0;
    ed.show_grid = show_grid ? 1 : 0;
    ed.gain.lufs_mode = lufs_mode <= 2 ? lufs_mode : 0;
    ed.gain.spread = spread <= 2 ? spread : 0;
    ed.gain.target_idx = target_idx <= 4 ? target_idx : 1;
    ed.ui_scale = ui_zoom_valid(ui_scale) ? ui_scale : 1.0;
    ed.gain.target_custom =
        (target_custom >= TARGET_CUSTOM_MIN && target_custom <= TARGET_CUSTOM_MAX) ? target_custom : -16.0;
}

static bool state_load(const clap_plugin_t *plugin, const clap_istream_t *s) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot || !s || !s->read) return false;
    SharedSlot *slot = p->slot;
    char magic[4];
    uint32_t version, n;
    uint64_t uid;
    if (!get(s, magic, 4) || memcmp(magic, "TKM1", 4) != 0) return false;
    if (!get32(s, &version) || version != 1) return false;
    if (!get64(s, &uid) || !get32(s, &n) || n > 1024) return false;
    if (uid != 0) p->uid = uid;
    shm_store(slot->ident.uid, p->uid);
    // The host gives these values and knows them: the owner's drain must not send them back
    // as changes. A load that fails halfway leaves values the host does not know; those the
    // drain reports.
    std::atomic_ref<uint32_t> loading(p->state_loading);
    loading.store(1);
    bool ok = true, given[PARAM_COUNT] = {};
    double loaded[PARAM_COUNT] = {};
    for (uint32_t k = 0; k < n; k++) {
        uint32_t id;
        uint64_t bits;
        if (!get32(s, &id) || !get64(s, &bits)) {
            ok = false;
            break;
        }
        int idx = param_index_from_id(id);
        if (idx < 0 || (PARAMS[idx].flags & PF_READONLY)) continue;
        loaded[idx] = param_clamp(idx, bitsd(bits));
        given[idx] = true;
        shm_store(slot->values[idx], loaded[idx]);
    }
    for (uint32_t i = 0; ok && i < PARAM_COUNT; i++)
        if (given[i]) edits_host_knows(p, (int)i, loaded[i]);
    loading.store(0);
    if (!ok) return false;
    for (uint32_t i = 0; i < PARAM_COUNT; i++)
        shm_store(slot->midi.midi_cc[i], -1);
    load_trailer(p, s);
    rescan(p);
    return true;
}

const clap_plugin_state_t EXT_STATE = {state_save, state_load};
