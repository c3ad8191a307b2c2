// Load keys of the factory presets: "stage:N" and "chain:N", N the row of PRESETS or
// CHAIN_PRESETS, written without leading zeros.
#include "plugin/factory_keys.h"

#include <cstdio>
#include <cstring>

#include "chainops/factory.h"

static int row_of(const char *digits, int count) {
    // One or two digits, no sign, no leading zero but "0" itself, below count.
    size_t n = strlen(digits);
    if (n < 1 || n > 2 || (n == 2 && digits[0] == '0')) return -1;
    int v = 0;
    for (size_t i = 0; i < n; i++) {
        if (digits[i] < '0' || digits[i] > '9') return -1;
        v = v * 10 + (digits[i] - '0');
    }
    return v < count ? v : -1;
}

int factory_preset_number(const char *key) {
    if (!key) return -1;
    if (strncmp(key, "stage:", 6) == 0) return row_of(key + 6, PRESET_STAGE_COUNT);
    if (strncmp(key, "chain:", 6) == 0) {
        int r = row_of(key + 6, PRESET_CHAIN_COUNT);
        return r < 0 ? -1 : PRESET_STAGE_COUNT + r;
    }
    return -1;
}

bool factory_preset_key(int number, char *out, unsigned size) {
    if (!out || size < 16 || number < 0 || number >= PRESET_USER_FIRST) return false;
    if (number < PRESET_STAGE_COUNT)
        snprintf(out, size, "stage:%d", number);
    else
        snprintf(out, size, "chain:%d", number - PRESET_STAGE_COUNT);
    return true;
}
