// The rows of a slot's parameter values (SharedSlot::values), in the parameter table's
// index order. Part of the segment format: every process reads a row by its index.
#pragma once

enum ParamIndex {
    P_INPUT = 0,
    P_GAIN = 1,
    P_CEILING = 2,
    P_RELEASE = 3,
    P_STAGE = 4,
    P_GROUP = 5,
    P_LINK = 6,
    P_TRUE_PEAK = 7,
    P_ADAPTIVE = 8,
    P_LOOKAHEAD = 9,
    P_STYLE = 10,
    P_DITHER = 11,
    P_SHAPING = 12,
    P_BYPASS = 13,
    P_DELTA = 14,
    P_UNITY = 15,
    P_MIX = 16,
};
