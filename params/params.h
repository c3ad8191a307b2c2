// The 17-row parameter table and the pure helpers that name, bound, print and parse a
// parameter value. Index = row (slot values, editor, snapshots); id = host/state/preset key.
#pragma once
#include <cstddef>
#include <cstdint>

#include "registry/param_rows.h"
#include "registry/shared.h"

constexpr uint32_t PARAM_COUNT = 17;
constexpr uint32_t PF_STEPPED = 0x01;
constexpr uint32_t PF_READONLY = 0x08;
constexpr uint32_t PF_BYPASS = 0x10;
constexpr uint32_t PF_AUTOMATABLE = 0x20;

struct ParamInfo {
    uint32_t id;
    const char *name;
    double min, max, def;
    uint32_t flags;
    const char *unit;
    uint32_t decimals;
};

extern const ParamInfo PARAMS[PARAM_COUNT];
extern const char *const SHAPING_NAMES[3];

// Row indexes (P_GAIN, ...) are the slot's, in registry/param_rows.h.
static_assert(PARAM_COUNT == SHARED_PARAMS && (uint32_t)P_MIX == PARAM_COUNT - 1);

// [any-thread] Pure helpers on the table: no state, no allocation, no lock.
int param_index_from_id(uint32_t id);        // returns the row, -1 for an unknown id
double param_clamp(int index, double value); // returns the value: NaN -> default; bounds; stepped rounding
// Returns what a value found in a slot (or handed back by the host) stands for, whatever
// another process stored there: a non-finite value is no value at all and gives the
// default; any other value is param_clamp's. Every value the host is told and the engine
// uses passes it.
double param_bounded(int index, double value);
// Writes the value as the plug-in shows it (with its unit) into text.
void param_format(int index, char *text, size_t size, double value);
// Reads text as param_format writes it (locale-independent) into *out; returns false when
// it does not read as a value of the row.
bool param_parse(int index, const char *text, double *out);
const char *param_style_name(int style); // returns the style's name; clamped to 0..5
bool param_is_switch(int index);         // returns true when stepped with max exactly 1
// Returns whether user presets and A/B recalls carry the row: all but the stage's place
// (Stage, Group) and its monitoring switches (Bypass, Delta listen, Unity gain).
bool param_recalled(int index);

// [any-thread] Returns a parameter value read from a (possibly foreign) slot, bounded by
// param_clamp: NaN gives the row's default, anything else lies inside the row's range; 0
// without a slot or row.
inline double slot_param(const SharedSlot *slot, int row) {
    if (!slot || row < 0 || row >= (int)PARAM_COUNT) return 0.0;
    return param_clamp(row, shm_load(slot->values[row]));
}
