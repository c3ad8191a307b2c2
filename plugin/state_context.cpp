// clap.state-context: the state saved and loaded for a project (as clap.state does), for a
// duplicate (the copy draws an identity of its own) or as a preset (the sound only: the
// recalled parameters, without the stage's identity, place, group, MIDI map or editor
// preferences). Every form is a "TKM1" blob that clap.state loads as well.
#include <clap/stream.h>

#include <atomic>
#include <cstring>

#include "params/params.h"
#include "plugin/edits.h"
#include "plugin/extensions.h"
#include "plugin/plugin.h"
#include "sys/sys.h"

namespace {

// The blob's identity field: bytes 8 to 15 (after the magic and the version).
constexpr uint64_t UID_FROM = 8, UID_TO = 16;
constexpr uint32_t MAX_RECORDS = 1024;

bool put(const clap_ostream_t *s, const void *data, size_t n) {
    const char *p = (const char *)data;
    while (n > 0) {
        int64_t w = s->write(s, p, n);
        if (w <= 0) return false;
        if ((uint64_t)w > n) w = (int64_t)n;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

bool get(const clap_istream_t *s, void *data, size_t n) {
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

bool put_le(const clap_ostream_t *s, uint64_t v, int bytes) {
    uint8_t b[8];
    for (int i = 0; i < bytes; i++)
        b[i] = (uint8_t)(v >> (8 * i));
    return put(s, b, (size_t)bytes);
}

bool get_le(const clap_istream_t *s, uint64_t *v, int bytes) {
    uint8_t b[8];
    if (!get(s, b, (size_t)bytes)) return false;
    *v = 0;
    for (int i = 0; i < bytes; i++)
        *v |= (uint64_t)b[i] << (8 * i);
    return true;
}

uint64_t bits_of(double d) {
    uint64_t u;
    memcpy(&u, &d, 8);
    return u;
}

double double_of(uint64_t u) {
    double d;
    memcpy(&d, &u, 8);
    return d;
}

// A stream that passes everything through to another, with the identity field read or
// written as 0: a duplicate keeps (and then replaces) its own identity.
struct UidMask {
    const clap_ostream_t *out;
    const clap_istream_t *in;
    uint64_t pos;
};

void mask(uint8_t *b, uint64_t pos, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (pos + i >= UID_FROM && pos + i < UID_TO) b[i] = 0;
}

int64_t masked_write(const clap_ostream_t *s, const void *buf, uint64_t size) {
    UidMask *m = (UidMask *)s->ctx;
    if (!buf && size) return -1;
    int64_t w;
    uint64_t n = size;
    if (m->pos >= UID_TO || m->pos + size <= UID_FROM) {
        w = m->out->write(m->out, buf, size);
    } else {
        uint8_t tmp[UID_TO];
        n = size < sizeof tmp ? size : sizeof tmp;
        memcpy(tmp, buf, n);
        mask(tmp, m->pos, n);
        w = m->out->write(m->out, tmp, n);
    }
    if (w > 0) m->pos += (uint64_t)w < n ? (uint64_t)w : n;
    return w;
}

int64_t masked_read(const clap_istream_t *s, void *buf, uint64_t size) {
    UidMask *m = (UidMask *)s->ctx;
    int64_t r = m->in->read(m->in, buf, size);
    if (r <= 0 || !buf) return r;
    uint64_t n = (uint64_t)r < size ? (uint64_t)r : size;
    mask((uint8_t *)buf, m->pos, n);
    m->pos += n;
    return r;
}

// The preset form: "TKM1", version 1, identity 0 (a loading stage keeps its own), then the
// recalled parameters; no MIDI map and no editor preferences.
bool save_preset(Plugin *p, const clap_ostream_t *s) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < PARAM_COUNT; i++)
        n += param_recalled((int)i) ? 1 : 0;
    if (!put(s, "TKM1", 4) || !put_le(s, 1, 4) || !put_le(s, 0, 8) || !put_le(s, n, 4)) return false;
    for (uint32_t i = 0; i < PARAM_COUNT; i++) {
        if (!param_recalled((int)i)) continue;
        double v = param_bounded((int)i, shm_load(p->slot->values[i]));
        if (!put_le(s, PARAMS[i].id, 4) || !put_le(s, bits_of(v), 8)) return false;
    }
    return true;
}

// Any "TKM1" blob loaded as a preset: only the recalled parameters are taken; identity,
// place, group, MIDI map and preferences stay the stage's own. Like a state load, the
// values go to the slot directly, the host knows them (it gave them) and is asked to
// rescan them; a load that fails halfway leaves values the owner's drain reports.
bool load_preset(Plugin *p, const clap_istream_t *s) {
    char magic[4];
    uint64_t version, uid, n;
    if (!get(s, magic, 4) || memcmp(magic, "TKM1", 4) != 0) return false;
    if (!get_le(s, &version, 4) || version != 1 || !get_le(s, &uid, 8) || !get_le(s, &n, 4) || n > MAX_RECORDS)
        return false;
    std::atomic_ref<uint32_t> loading(p->state_loading);
    loading.store(1);
    bool ok = true, given[PARAM_COUNT] = {};
    double loaded[PARAM_COUNT] = {};
    for (uint64_t k = 0; k < n; k++) {
        uint64_t id, bits;
        if (!get_le(s, &id, 4) || !get_le(s, &bits, 8)) {
            ok = false;
            break;
        }
        int index = param_index_from_id((uint32_t)id);
        if (index < 0 || !param_recalled(index)) continue;
        loaded[index] = param_clamp(index, double_of(bits));
        given[index] = true;
        shm_store(p->slot->values[index], loaded[index]);
    }
    for (uint32_t i = 0; ok && i < PARAM_COUNT; i++)
        if (given[i]) edits_host_knows(p, (int)i, loaded[i]);
    loading.store(0);
    if (!ok) return false;
    if (p->host_params && p->host_params->rescan) p->host_params->rescan(p->host, CLAP_PARAM_RESCAN_VALUES);
    return true;
}

uint64_t fresh_uid() {
    uint64_t u = 0;
    while (u == 0)
        u = sys_random_u64();
    return u;
}

} // namespace

static bool context_save(const clap_plugin_t *plugin, const clap_ostream_t *stream, uint32_t context) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot || !stream || !stream->write) return false;
    switch (context) {
    case CLAP_STATE_CONTEXT_FOR_PROJECT:
        return EXT_STATE.save(plugin, stream);
    case CLAP_STATE_CONTEXT_FOR_PRESET:
        return save_preset(p, stream);
    case CLAP_STATE_CONTEXT_FOR_DUPLICATE: {
        UidMask m{stream, nullptr, 0};
        clap_ostream_t masked{&m, masked_write};
        return EXT_STATE.save(plugin, &masked);
    }
    default:
        return false;
    }
}

static bool context_load(const clap_plugin_t *plugin, const clap_istream_t *stream, uint32_t context) {
    Plugin *p = plugin_of(plugin);
    if (!p || !p->slot || !stream || !stream->read) return false;
    switch (context) {
    case CLAP_STATE_CONTEXT_FOR_PROJECT:
        return EXT_STATE.load(plugin, stream);
    case CLAP_STATE_CONTEXT_FOR_PRESET:
        return load_preset(p, stream);
    case CLAP_STATE_CONTEXT_FOR_DUPLICATE: {
        // Everything of the origin but its identity: the copy is a stage of its own.
        UidMask m{nullptr, stream, 0};
        clap_istream_t masked{&m, masked_read};
        if (!EXT_STATE.load(plugin, &masked)) return false;
        p->uid = fresh_uid();
        shm_store(p->slot->ident.uid, p->uid);
        return true;
    }
    default:
        return false;
    }
}

const clap_plugin_state_context_t EXT_STATE_CONTEXT = {context_save, context_load};
