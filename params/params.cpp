// Parameter table, clamping, value text and parsing.
#include "params/params.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <strings.h>

#include "dsp/limiter.h"

const ParamInfo PARAMS[PARAM_COUNT] = {
    {1, "Input", -24, 24, 0, PF_AUTOMATABLE, "dB", 1},
    {2, "Gain", 0, 30, 0, PF_AUTOMATABLE, "dB", 1},
    {3, "Ceiling", -12, 0, -0.3, PF_AUTOMATABLE, "dB", 1},
    {4, "Release", 5, 2000, 100, PF_AUTOMATABLE, "ms", 0},
    {100, "Stage", 0, 8, 0, PF_STEPPED, "", 0},
    {101, "Group", 0, 15, 0, PF_STEPPED, "", 0},
    {5, "Stereo link", 0, 100, 100, PF_AUTOMATABLE, "%", 0},
    {6, "True peak", 0, 1, 1, PF_STEPPED | PF_AUTOMATABLE, "", 0},
    {7, "Adaptive release", 0, 1, 1, PF_STEPPED | PF_AUTOMATABLE, "", 0},
    {8, "Lookahead", 0.1, 10, 1.5, 0, "ms", 1},
    {9, "Style", 0, 5, 0, PF_STEPPED | PF_AUTOMATABLE, "", 0},
    {10, "Dither", 0, 2, 0, PF_STEPPED, "", 0},
    {11, "Noise shaping", 0, 2, 2, PF_STEPPED, "", 0},
    {12, "Bypass", 0, 1, 0, PF_STEPPED | PF_BYPASS | PF_AUTOMATABLE, "", 0},
    {13, "Delta listen", 0, 1, 0, PF_STEPPED | PF_AUTOMATABLE, "", 0},
    {14, "Unity gain", 0, 1, 0, PF_STEPPED | PF_AUTOMATABLE, "", 0},
    {15, "Mix", 0, 100, 100, PF_AUTOMATABLE, "%", 0},
};

const char *const SHAPING_NAMES[3] = {"None", "Light", "Weighted"};

int param_index_from_id(uint32_t id) {
    if (id >= 1 && id <= 4) return (int)id - 1;
    if (id == 100) return 4;
    if (id == 101) return 5;
    if (id >= 5 && id <= 15) return (int)id + 1;
    return -1;
}

static bool valid_index(int index) { return index >= 0 && index < (int)PARAM_COUNT; }

double param_clamp(int index, double value) {
    if (!valid_index(index)) return 0.0;
    const ParamInfo &p = PARAMS[index];
    if (std::isnan(value)) return p.def;
    double v = std::fmin(p.max, std::fmax(p.min, value));
    if (p.flags & PF_STEPPED) v = std::floor(v + 0.5);
    return v;
}

double param_bounded(int index, double value) {
    if (!valid_index(index)) return 0.0;
    return std::isfinite(value) ? param_clamp(index, value) : PARAMS[index].def;
}

bool param_is_switch(int index) {
    return valid_index(index) && (PARAMS[index].flags & PF_STEPPED) && PARAMS[index].max == 1.0;
}

bool param_recalled(int index) {
    return valid_index(index) && index != P_STAGE && index != P_GROUP && index != P_BYPASS && index != P_DELTA &&
           index != P_UNITY;
}

const char *param_style_name(int style) {
    if (style < 0) style = 0;
    if (style > 5) style = 5;
    return STYLE_NAMES[style];
}

// Integer part of value + 0.5, truncated towards zero, kept within int range.
static int half_up(double value) {
    double v = value + 0.5;
    if (!(v > -2e9)) v = -2e9; // also catches NaN
    if (v > 2e9) v = 2e9;
    return (int)v;
}

void param_format(int index, char *text, size_t size, double value) {
    if (!text || size == 0) return;
    text[0] = 0;
    if (!valid_index(index)) return;
    const ParamInfo &p = PARAMS[index];
    switch (index) {
    case P_STAGE:
        if (value < 0.5)
            snprintf(text, size, "Auto");
        else
            snprintf(text, size, "%d", half_up(value));
        return;
    case P_GROUP: {
        int n = half_up(value);
        if (n < 0) n = 0;
        if (n > 15) n = 15;
        snprintf(text, size, "%c", 'A' + n);
        return;
    }
    case P_TRUE_PEAK:
    case P_ADAPTIVE:
    case P_BYPASS:
    case P_DELTA:
    case P_UNITY:
        snprintf(text, size, "%s", value >= 0.5 ? "On" : "Off");
        return;
    case P_STYLE:
        snprintf(text, size, "%s", param_style_name(half_up(value)));
        return;
    case P_DITHER:
        snprintf(text, size, "%s", value < 0.5 ? "Off" : value < 1.5 ? "24 bit" : "16 bit");
        return;
    case P_SHAPING:
        snprintf(text, size, "%s", value < 0.5 ? "None" : value < 1.5 ? "Light" : "Weighted");
        return;
    default:
        break;
    }
    const char *sep = p.unit[0] ? " " : "";
    if (p.decimals == 0) {
        double r = std::floor(value + 0.5);
        if (!(r > -2e9)) r = -2e9;
        if (r > 2e9) r = 2e9;
        snprintf(text, size, "%d%s%s", (int)r, sep, p.unit);
    } else {
        // Formatted in the C locale whatever the host process set.
        static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
        locale_t old = c_locale ? uselocale(c_locale) : (locale_t)0;
        snprintf(text, size, "%.*f%s%s", (int)p.decimals, value, sep, p.unit);
        if (c_locale) uselocale(old);
    }
}

static char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c; }

// A name matches when s holds at least its first character and a prefix of the name
// (case-insensitive), followed in s by the end of the text or a space.
static bool prefix_match(const char *s, const char *name) {
    if (!s[0] || s[0] == ' ') return false;
    for (size_t i = 0; s[i] && s[i] != ' '; i++)
        if (!name[i] || lower_ascii(s[i]) != lower_ascii(name[i])) return false;
    return true;
}

static int match_names(const char *s, const char *const *names, int n) {
    for (int i = 0; i < n; i++)
        if (prefix_match(s, names[i])) return i;
    return -1;
}

static bool read_number(const char *s, double *out) {
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
    char *end = nullptr;
    double v;
    if (c_locale)
        v = strtod_l(s, &end, c_locale);
    else
        v = strtod(s, &end);
    if (end == s) return false;
    *out = v;
    return true;
}

bool param_parse(int index, const char *text, double *out) {
    if (!valid_index(index) || !text || !out) return false;
    const char *s = text;
    while (*s == ' ')
        s++;
    char c0 = s[0], c1 = c0 ? s[1] : 0;
    auto lower = lower_ascii;
    switch (index) {
    case P_STAGE:
        if (lower(c0) == 'a') {
            *out = 0;
            return true;
        }
        break;
    case P_GROUP: {
        char l = lower(c0);
        if (l >= 'a' && l <= 'p' && c1 == 0) {
            *out = l - 'a';
            return true;
        }
        break;
    }
    case P_TRUE_PEAK:
    case P_ADAPTIVE:
    case P_BYPASS:
    case P_DELTA:
    case P_UNITY:
        if (lower(c0) == 'o') {
            *out = lower(c1) == 'n' ? 1 : 0;
            return true;
        }
        break;
    case P_STYLE: {
        int m = match_names(s, STYLE_NAMES, 6);
        if (m >= 0) {
            *out = m;
            return true;
        }
        break;
    }
    case P_DITHER: {
        static const char *const off[1] = {"Off"};
        if (match_names(s, off, 1) == 0) {
            *out = 0;
            return true;
        }
        if (c0 == '2' && c1 == '4') {
            *out = 1;
            return true;
        }
        if (c0 == '1' && c1 == '6') {
            *out = 2;
            return true;
        }
        break;
    }
    case P_SHAPING: {
        int m = match_names(s, SHAPING_NAMES, 3);
        if (m >= 0) {
            *out = m;
            return true;
        }
        break;
    }
    default:
        break;
    }
    double v;
    if (!read_number(s, &v)) return false;
    *out = param_clamp(index, v);
    return true;
}
