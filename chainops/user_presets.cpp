// User preset files: folder, file names, the text format and its tolerant reader, and
// the preset list's refresh, save, apply and delete operations.
#include "chainops/user_presets.h"

#include <locale.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chainops/history.h"
#include "params/edit_path.h"
#include "params/params.h"
#include "sys/sys.h"

static constexpr const char *PRESET_EXT = ".tervik";
static constexpr size_t LINE_MAX_BYTES = 256;   // line buffer of the reader, terminator included
static constexpr long READ_MAX_BYTES = 1 << 20; // a preset file is a few KB; the rest is ignored

bool presets_dir(char *out, size_t size) {
    if (!out || size == 0) return false;
    size_t cap = size < PRESET_DIR_MAX ? size : PRESET_DIR_MAX;
    const char *env = getenv("TERVIK_PRESET_DIR");
    if (env && *env) {
        if (strlen(env) >= cap) return false;
        snprintf(out, cap, "%s", env);
        return sys_mkdir(out);
    }
    char base[PRESET_DIR_MAX];
    if (!sys_user_dir("Morvane", "Tervik", base, sizeof base)) return false;
    if (strlen(base) >= sizeof base - 1) return false; // may have been cut short
    int n = snprintf(out, cap, "%s%cPresets", base, '/');
    if (n < 0 || (size_t)n >= cap) return false;
    return sys_mkdir(out);
}

bool preset_file_stem(const char *name, char out[64]) {
    if (out) out[0] = 0;
    if (!name || !out) return false;
    size_t n = strnlen(name, 63);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)name[i];
        out[i] = (c < 32 || strchr("<>:\"/\\|?*", c)) ? '_' : (char)c;
    }
    while (n > 0 && (out[n - 1] == ' ' || out[n - 1] == '.'))
        n--;
    out[n] = 0;
    return n > 0;
}

// "<folder>/<stem>.tervik", and the folder itself in dir (PRESET_DIR_MAX bytes).
static bool stem_path(const char *stem, char *dir, char *out, size_t size) {
    if (!out || size == 0 || !presets_dir(dir, PRESET_DIR_MAX)) return false;
    size_t cap = size < PRESET_PATH_MAX ? size : PRESET_PATH_MAX;
    int n = snprintf(out, cap, "%s%c%s%s", dir, '/', stem, PRESET_EXT);
    return n >= 0 && (size_t)n < cap;
}

bool preset_path(const char *name, char *out, size_t size) {
    char stem[64], dir[PRESET_DIR_MAX];
    if (!preset_file_stem(name, stem)) return false;
    return stem_path(stem, dir, out, size);
}

// The file behind a name as listed from the folder. Listed names are file stems already;
// one that sanitising would change (a file not written by us, such as "a:b.tervik") is
// taken as it is, so that applying or deleting it never reaches a different file.
static bool listed_path(const char *listed, char *dir, char *out, size_t size) {
    if (!listed || !listed[0] || strchr(listed, '/')) return false;
    return stem_path(listed, dir, out, size);
}

int presets_list(char (*names)[64], int max) {
    char dir[PRESET_DIR_MAX];
    if (!names || max < 1 || !presets_dir(dir, sizeof dir)) return 0;
    return sys_list_files(dir, PRESET_EXT, &names[0][0], 64, max);
}

static locale_t c_numeric() {
    static locale_t loc = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
    return loc;
}

// strtod in the C locale, whatever the host process set.
static double read_double(const char *s, char **end) {
    locale_t loc = c_numeric();
    return loc ? strtod_l(s, end, loc) : strtod(s, end);
}

// A decimal integer, saturated by strtoll (0 when there is none): no undefined conversion.
static long long read_integer(const char *s) { return strtoll(s, nullptr, 10); }

static int saturate_int(long long v) { return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : (int)v; }

static void format_value(char *out, size_t size, double v) {
    // "%.6g" in the C locale.
    std::to_chars_result r = std::to_chars(out, out + size - 1, v, std::chars_format::general, 6);
    *(r.ec == std::errc() ? r.ptr : out) = 0;
}

// Rows written to a file, in PARAMS index order: all but Bypass, Delta listen, Unity gain.
static bool file_row(int index) { return index <= P_SHAPING || index == P_MIX; }

// A preset file's text, built whole in memory before it is written.
struct PresetText {
    char data[8192]; // eight stages take about 5 KB
    size_t len = 0;
    bool full = false;
    __attribute__((format(printf, 2, 3))) void add(const char *fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(data + len, sizeof data - len, fmt, ap);
        va_end(ap);
        if (n < 0 || (size_t)n >= sizeof data - len)
            full = true;
        else
            len += (size_t)n;
    }
};

bool preset_save(const PresetFile *rec) {
    if (!rec || rec->stages < 1 || rec->stages > PRESET_MAX_STAGES) return false;
    char name[64];
    size_t n = strnlen(rec->name, 63);
    memcpy(name, rec->name, n);
    name[n] = 0;
    char path[PRESET_PATH_MAX];
    if (!preset_path(name, path, sizeof path)) return false;
    // The name line holds the name as typed; a control byte would end the line early and
    // let the rest be read as settings, so such bytes become '_'.
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)name[i] < 32) name[i] = '_';
    PresetText text;
    text.add("Tervik preset 1\nname=%s\nstages=%d\n", name, (int)rec->stages);
    for (int s = 0; s < rec->stages; s++) {
        text.add("stage=%d\n", s + 1);
        for (int i = 0; i < (int)PARAM_COUNT; i++) {
            if (!file_row(i)) continue;
            char num[64];
            format_value(num, sizeof num, param_clamp(i, rec->values[s][i]));
            text.add("p%u=%s # %s\n", PARAMS[i].id, num, PARAMS[i].name);
        }
    }
    // Written to a new file and renamed into place: a planted symbolic link is replaced, not
    // followed, and a failed write leaves the old file as it was.
    return !text.full && sys_replace_file(path, text.data, text.len);
}

// Reads one line into buf (at most LINE_MAX_BYTES - 1 bytes kept); the rest of a longer
// line is skipped so that it is never read as lines of its own. False at end of file.
static bool read_line(FILE *f, char *buf) {
    size_t n = 0;
    int c;
    bool any = false;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (n < LINE_MAX_BYTES - 1) buf[n++] = (char)c;
    }
    buf[n] = 0;
    return any;
}

static void fill_defaults(PresetFile *rec) {
    for (int s = 0; s < PRESET_MAX_STAGES; s++)
        for (uint32_t i = 0; i < PARAM_COUNT; i++)
            rec->values[s][i] = PARAMS[i].def;
}

// Reads the file at path, which must resolve to a regular file inside the preset folder dir:
// a symbolic link that leads out of the folder, a pipe or a device is not read.
static bool load_path(const char *dir, const char *path, const char *name, PresetFile *rec) {
    int fd = sys_open_inside(dir, path);
    if (fd < 0) return false;
    FILE *f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        return false;
    }
    memset(rec, 0, sizeof *rec);
    size_t nl = strnlen(name, 63);
    memcpy(rec->name, name, nl);
    rec->name[nl] = 0;
    rec->stages = 1; // a refused record is still a valid one-stage record of defaults
    fill_defaults(rec);
    char line[LINE_MAX_BYTES];
    if (!read_line(f, line) || strncmp(line, "Tervik preset", 13) != 0) {
        fclose(f);
        return false;
    }
    bool seen = false;
    int stages = 0;
    int cur = 0; // current stage, -1 when out of 0..7
    while (ftell(f) < READ_MAX_BYTES && read_line(f, line)) {
        if (strncmp(line, "stages=", 7) == 0) {
            stages = saturate_int(read_integer(line + 7));
            seen = true;
        } else if (strncmp(line, "stage=", 6) == 0) {
            long long s = read_integer(line + 6);
            cur = (s >= 1 && s <= PRESET_MAX_STAGES) ? (int)s - 1 : -1;
        } else if (line[0] == 'p' && line[1] >= '0' && line[1] <= '9') {
            char *eq = strchr(line, '=');
            if (!eq) continue;
            long long id = read_integer(line + 1);
            if (id < 0 || id > (long long)UINT32_MAX) continue;
            int index = param_index_from_id((uint32_t)id);
            char *end = nullptr;
            double v = read_double(eq + 1, &end);
            if (index < 0 || cur < 0 || end == eq + 1) continue;
            rec->values[cur][index] = param_clamp(index, v);
        }
    }
    fclose(f);
    rec->stages = stages < 1 ? 1 : stages > PRESET_MAX_STAGES ? PRESET_MAX_STAGES : stages;
    return seen;
}

bool preset_load(const char *name, PresetFile *rec) {
    char stem[64], dir[PRESET_DIR_MAX], path[PRESET_PATH_MAX];
    if (!rec || !preset_file_stem(name, stem) || !stem_path(stem, dir, path, sizeof path)) return false;
    return load_path(dir, path, name, rec);
}

bool preset_load_listed(const char *listed, PresetFile *rec) {
    char dir[PRESET_DIR_MAX], path[PRESET_PATH_MAX];
    if (!rec || !listed_path(listed, dir, path, sizeof path)) return false;
    return load_path(dir, path, listed, rec);
}

bool preset_load_path(const char *path, const char *name, PresetFile *rec) {
    // A file a host names may lie in any folder: only the reader's own limits apply.
    return path && name && rec && load_path("/", path, name, rec);
}

bool preset_delete(const char *name) {
    char path[PRESET_PATH_MAX];
    return preset_path(name, path, sizeof path) && sys_delete_file(path);
}

void presets_refresh(PresetList *list) {
    if (!list) return;
    list->user_preset_count = presets_list(list->user_presets, PRESET_LIST_MAX);
    if (list->preset_cur > PRESET_USER_FIRST - 1 + list->user_preset_count) list->preset_cur = 0;
}

static void read_stage(SharedSlot *s, double *values) {
    for (uint32_t i = 0; i < PARAM_COUNT; i++)
        values[i] = param_clamp((int)i, shm_load(s->values[i]));
}

bool save_user_preset(ChainOps *ops, int mode, const char *name) {
    if (!ops || !name) return false;
    const ChainView *view = ops->view;
    PresetFile rec;
    memset(&rec, 0, sizeof rec);
    size_t nl = strnlen(name, 63);
    memcpy(rec.name, name, nl);
    int len = chain_count(view);
    if (mode == 1 || len == 0) {
        SharedSlot *s = shown_stage(view, nullptr);
        if (!s) return false;
        rec.stages = 1;
        read_stage(s, rec.values[0]);
    } else {
        rec.stages = len < PRESET_MAX_STAGES ? len : PRESET_MAX_STAGES;
        for (int k = 0; k < rec.stages; k++) {
            if (!view->chain[k].slot) return false;
            read_stage(view->chain[k].slot, rec.values[k]);
        }
    }
    if (!preset_save(&rec)) return false;
    PresetList *list = ops->presets;
    presets_refresh(list);
    for (int i = 0; i < user_count(list); i++) {
        if (strcmp(list->user_presets[i], rec.name) == 0) {
            list->preset_cur = PRESET_USER_FIRST + i;
            break;
        }
    }
    return true;
}

bool apply_user_preset(ChainOps *ops, int position) {
    if (!ops || !ops->presets || position < 0 || position >= user_count(ops->presets)) return false;
    char name[64];
    memcpy(name, ops->presets->user_presets[position], 63);
    name[63] = 0;
    PresetFile rec;
    if (!preset_load_listed(name, &rec)) return false;
    apply_preset_file(ops, &rec);
    ops->presets->preset_cur = PRESET_USER_FIRST + position;
    return true;
}

void apply_preset_file(ChainOps *ops, const PresetFile *rec) {
    if (!ops || !rec) return;
    undo_mark(ops, 0);
    ops->preset_applying = 1;
    const ChainView *view = ops->view;
    int len = chain_count(view);
    int stages = rec->stages < 1 ? 1 : rec->stages > PRESET_MAX_STAGES ? PRESET_MAX_STAGES : rec->stages;
    if (stages == 1) {
        int target = preset_target_stage(view);
        for (int i = 0; i < (int)PARAM_COUNT; i++)
            if (param_recalled(i)) set_param_all(ops, target, i, rec->values[0][i]);
    } else {
        for (int k = 0; k < len; k++) {
            SharedSlot *s = view->chain[k].slot;
            if (!s) continue;
            const double *v = rec->values[k < stages - 1 ? k : stages - 1];
            for (int i = 0; i < (int)PARAM_COUNT; i++)
                if (param_recalled(i)) plugin_edit_one(s, i, v[i]);
        }
    }
    ops->preset_applying = 0;
}

bool preset_delete_current(PresetList *list) {
    if (!list) return false;
    int pos = list->preset_cur - PRESET_USER_FIRST;
    if (pos < 0 || pos >= user_count(list)) return false;
    char name[64];
    memcpy(name, list->user_presets[pos], 63);
    name[63] = 0;
    char dir[PRESET_DIR_MAX], path[PRESET_PATH_MAX];
    bool ok = listed_path(name, dir, path, sizeof path) && sys_delete_file(path);
    presets_refresh(list);
    list->preset_cur = 0;
    return ok;
}
