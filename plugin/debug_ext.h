// The private debug extension "com.morvane.tervik.debug/1": a test host reads a stage's
// chain, meters, history and editor geometry, arms MIDI learn and asks for editor dumps.
#pragma once
#include <clap/plugin.h>
#include <cstdint>

static const char TERVIK_EXT_DEBUG[] = "com.morvane.tervik.debug/1";

typedef struct tervik_plugin_debug {
    uint32_t (*chain_size)(const clap_plugin_t *p);
    uint32_t (*chain_position)(const clap_plugin_t *p);
    double (*meter)(const clap_plugin_t *p, uint32_t meter);
    bool (*editor_probe)(const clap_plugin_t *p, uint8_t rgb[3]);
    bool (*editor_rect)(const clap_plugin_t *p, uint32_t id, uint32_t arg, float out[4]);
    double (*history)(const clap_plugin_t *p, int32_t kind, uint32_t back);
    void (*midi_learn)(const clap_plugin_t *p, int32_t index);
    bool (*editor_dump)(const clap_plugin_t *p, const char *path);
    // cols: 40-byte column records, info: 88-byte summary; returns the column count
    int32_t (*editor_graph)(const clap_plugin_t *p, void *cols, void *info, int32_t max);
} tervik_plugin_debug_t;

// Meter numbers of meter().
enum {
    DBG_METER_GAIN = 0,
    DBG_METER_PEAK_IN,
    DBG_METER_TP_IN,
    DBG_METER_PEAK_OUT,
    DBG_METER_TP_OUT,
    DBG_LUFS_M,
    DBG_LUFS_S,
    DBG_LUFS_I,
    DBG_BLOCK_OVER,
    DBG_BLOCK_MAX,
};
