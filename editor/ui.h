// The editor record of one open editor and the editor's entry points: window, GL context,
// size and scale rules, the event-loop tick and the introspection calls of the debug extension.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chainops/chain_gain.h"
#include "chainops/chain_view.h"
#include "chainops/factory.h"
#include "params/owner.h"
#include "registry/chain.h"

struct ChainHistory;
struct NVGcontext;
struct PuglViewImpl;

// A clickable area of the current frame (design units plus the letterbox offset).
struct Hit {
    int32_t kind;
    int32_t a;
    int32_t b;
    float x, y, w, h;
};

enum HitKind {
    HIT_NONE = 0,
    HIT_KNOB = 1,
    HIT_TOGGLE = 2,
    HIT_GAIN_SLIDER = 3,
    HIT_STAGE = 4,
    HIT_CHAIN_MODE = 5,
    HIT_GROUP = 6,
    HIT_PRESET_PREV = 7,
    HIT_PRESET_NEXT = 8,
    HIT_PRESET_MENU = 9,
    HIT_LOUD_TARGET = 10,
    HIT_LOUD_MODE = 11,
    HIT_LOUD_RESET = 12,
    HIT_LOUD_PAUSE = 13,
    HIT_LOUD_INT = 14,
    HIT_POSITION = 15,
    HIT_GRIP = 16,
    HIT_MENU_ITEM = 17,
    HIT_SPREAD = 18,
    HIT_GRID_TOGGLE = 19,
    HIT_GRID_CELL = 20,
    HIT_MIDI = 21,
    HIT_CONTROLS_TOGGLE = 22,
    HIT_AB = 23,
    HIT_COPY = 24,
    HIT_STYLE = 25,
    HIT_UNDO = 26,
    HIT_REDO = 27,
    HIT_DITHER = 28,
    HIT_SHAPING = 29,
    HIT_ABOUT = 31,
    HIT_TO_TARGET = 32,
};

constexpr int MAX_HITS = 512;
constexpr int GRAPH_MAX_COLS = 2048;

// One column of the last drawn graph, as handed to the debug extension (40 bytes).
struct GraphCol {
    uint32_t index;
    float x;
    float in_db;
    float out_db;
    float lufs;
    float gr[4];
    uint8_t in_stage;
    uint8_t out_stage;
    uint8_t pad[2];
};
static_assert(sizeof(GraphCol) == 40);

// Summary of the last drawn graph: 92 bytes of fields, padded to 96 by the alignment of
// its doubles.
struct GraphInfo {
    uint32_t frame;
    uint32_t chain_len;
    uint32_t ref_index;
    uint32_t recent_mask;
    uint32_t bucket;
    uint32_t stages;
    double frac;
    double x0;
    double width;
    double hop;
    uint32_t offsets[8];
    uint32_t cols;
};
static_assert(sizeof(GraphInfo) == 96 && offsetof(GraphInfo, offsets) == 56);

// Time alignment of one stage's history against the reference stage.
struct AlignRec {
    SharedSlot *slot;
    int32_t offset;
    int32_t raw[8];
    int32_t raw_n;
    int32_t raw_pos;
    int32_t jump_at[8];
    int32_t jump_off[8];
    int32_t jump_n;
    int32_t stale_at;
    int32_t valid_from;
    int32_t seen_frame;
    uint8_t stale;
    int32_t mismatch;
    int32_t gap_seen;
};

// Display ballistics of one meter (dB).
struct MeterBall {
    float level;
    float hold;
    double expiry;
};

// The owner's editor preferences, saved in its state.
struct EditorPrefs {
    GainPrefs gain;         // spread, loudness target and readout mode
    uint32_t show_controls; // the controls panel is open
    uint32_t show_grid;     // the all-stages grid is open
    double ui_scale;        // the user's zoom, UI_ZOOM_MIN..UI_ZOOM_MAX
};

// [any-thread] Returns the editor preferences of a new stage.
inline EditorPrefs editor_prefs_default() {
    EditorPrefs p{};
    p.gain.target_idx = 1;
    p.gain.target_custom = -16.0;
    p.show_controls = 1;
    p.ui_scale = 1.0;
    return p;
}

// What an editor gets of the stage that owns it. The records stay the owner's and outlive
// the editor; the calls are skipped when missing.
struct EditorOwner {
    const StageOwner *stage; // mark dirty and log
    SharedSlot *slot;        // the owner's own slot
    EditorPrefs *prefs;      // required
    ChainHistory *history;   // undo, redo and A/B; null: none recorded
    double gui_scale;        // the host's scale when the editor is made, 0 when none was given
    void *ctx;               // handed back to the calls
    void (*request_resize)(void *ctx, uint32_t w, uint32_t h);
    // Asks the host to pop up its context menu for the owner's parameter param_id at view
    // pixel (x, y); true when it did. Null when the owner cannot.
    bool (*context_menu)(void *ctx, uint32_t param_id, int32_t x, int32_t y);
};

// The window: pugl view, GL context, sizes and scale, size requests, probe and screenshot.
struct UiWindow {
    PuglViewImpl *view;
    NVGcontext *vg;
    int32_t font;
    double host_scale;
    uint32_t view_w, view_h;
    uint8_t realized, visible, exposed, probe_done;
    uint8_t probe_rgb[3];
    uint32_t frames;          // frames drawn with a NanoVG context; ui_rect needs one
    uint32_t hint_w, hint_h;  // last size given to pugl for the view (reused by a retry view)
    uint8_t timer_running;    // the view's 60 Hz pugl timer is started
    float frame_ox, frame_oy; // letterbox offset of the last frame: hit = design + offset
    // size requests to the host, spaced 40 ms apart
    uint32_t req_w, req_h;
    double req_zoom;
    int64_t req_time;
    double req_pending_scale;
    uint8_t req_pending;
    // screenshot asked for by the debug extension
    char dump_path[512];
    uint8_t dump_pending;
};

// Pointer and keyboard: the last frame's hit targets, hover, drags, clicks, the resize grip,
// the keystroke that acted and MIDI learn mode.
struct UiInput {
    Hit hits[MAX_HITS];
    int32_t hit_count;
    int32_t hover_kind, hover_a, hover_b;
    double pointer_x, pointer_y;
    double hover_since;
    // drag: what is dragged, and the stages it writes
    int32_t drag_kind;
    int32_t drag_a;
    int32_t drag_row;
    uint8_t drag_chain_total; // the drag is a chain-total drag
    DragStages drag;
    // previous click
    double click_time;
    int32_t click_kind, click_a, click_b;
    // resize grip
    uint32_t grip_w0;
    double grip_x0;
    // the keystroke whose key press acted, so that its text event is swallowed
    double key_acted_time;
    uint32_t key_acted_code;
    uint8_t key_acted;
    uint8_t midi_learn_ui; // learn mode: the next click picks a control
};

// What is drawn over the sections: text entry, popup menu, about box, and where the preset
// name field was drawn in the last frame (for the save shortcut).
struct UiOverlays {
    uint8_t entry_active;
    int32_t entry_kind; // 0 value, 1 stage preset name, 2 chain preset name
    uint8_t entry_selected;
    int32_t entry_stage;
    int32_t entry_row;
    char entry_text[64];
    float entry_x, entry_y, entry_w, entry_h;
    int32_t menu_kind;
    int32_t menu_stage;
    float menu_x, menu_y, menu_w;
    uint8_t about_open;
    uint8_t preset_field_drawn;
    float preset_field_x, preset_field_y, preset_field_w, preset_field_h;
};

// Display ballistics of the meters and the strip, and the readouts held by Pause.
struct UiMeters {
    MeterBall m_in, m_out;
    MeterBall m_ch[4];
    float gr_total_shown;
    float strip_hold[CHAIN_MAX];
    LoudHold loud;
};

// The graph of the last frame (for the debug extension) and the time alignment it keeps.
struct UiGraph {
    GraphCol graph_cols[GRAPH_MAX_COLS];
    GraphInfo graph_info;
    int32_t graph_col_count;
    int32_t graph_info_valid;
    AlignRec align[CHAIN_MAX];
    int32_t align_n;
    SharedSlot *ref_slot;
    double anchor;
    double anchor_corr;
    uint8_t graph_init;
    int32_t entry_base;
};

struct Ui {
    EditorOwner owner;
    UiWindow win;
    ChainView chain;    // the chain shown
    PresetList presets; // the current preset and the user's preset names
    ChainOps ops;       // the chain, the presets, the owner's history and gain preferences
    UiInput input;
    UiOverlays overlay;
    UiMeters meters;
    UiGraph graph;
};

// [main-thread] The editor's life, as the GUI extension drives it. Null / false results
// are what the GUI extension reports; a null ui is ignored (false, nothing done).
// Binds a zeroed editor record to its owner (prefs required): the owner record, the chain
// view's own slot and the chain operations' records. ui_create does it; tests of the
// painters use it alone.
void ui_bind(Ui *ui, const EditorOwner *owner);
// Returns a new editor of owner (copied; prefs required), not yet embedded; null when no
// X connection, world or view can be had.
Ui *ui_create(const EditorOwner *owner);
void ui_destroy(Ui *ui);
// Returns true once the view is embedded in the host's window and realized.
bool ui_set_parent(Ui *ui, unsigned long x11_window);
void ui_set_scale(Ui *ui, double scale);
// Returns false when the size is refused (empty, or no view).
bool ui_set_size(Ui *ui, uint32_t w, uint32_t h);
void ui_get_size(Ui *ui, uint32_t *w, uint32_t *h);
// Return whether the view is now shown / was hidden (false before it is realized).
bool ui_show(Ui *ui);
bool ui_hide(Ui *ui);
// The host timer's tick: runs the shared world's event loop once for every editor.
void ui_tick(Ui *ui);
// Asks the host for the window size of a total scale (host scale times zoom); ui required
// (called from the editor's own input and scale changes).
void request_resize_to_scale(Ui *ui, double total);

// [main-thread] Introspection for the debug extension. ui_probe returns the first frame's
// probed colour (false before it); ui_rect the view rectangle of a hit target of the last
// frame (false when there is none); ui_dump asks for a screenshot with the next frame
// (false for an empty path); ui_graph returns the graph columns copied (0 before a frame).
bool ui_probe(Ui *ui, uint8_t rgb[3]);
bool ui_rect(Ui *ui, uint32_t id, uint32_t arg, float out[4]);
bool ui_dump(Ui *ui, const char *path);
int ui_graph(Ui *ui, GraphInfo *info, GraphCol *cols, int max);
