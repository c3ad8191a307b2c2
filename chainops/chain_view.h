// The chain as an editor sees it (the shown group's resolved chain, the owner's own stage,
// focus and chain mode) with the one rule for which stages "the chain" means, and ChainOps,
// the records every chain-wide operation works on. Host main thread only.
#pragma once
#include <cstdint>

#include "registry/chain.h"

constexpr int CHAIN_MAX = 64; // entries of a resolved chain that are held

struct ChainView {
    SharedSlot *own_slot;        // the owner's own stage; null without one
    ChainEntry chain[CHAIN_MAX]; // the shown group's chain, in order
    int32_t chain_len;
    int32_t focus;      // the focused entry, -1 for none
    uint8_t chain_mode; // edits reach every stage of the chain
    int32_t group;      // the group shown
    int32_t group_seen; // the owner's Group value as last followed
};

// [any-thread] Returns n bounded to 0..CHAIN_MAX: a chain length as a query or record gave it.
int chain_len_bounded(int n);

// [main-thread] Returns chain_len bounded to 0..CHAIN_MAX.
int chain_count(const ChainView *view);

// [main-thread] The stages "the chain" means for an operation: every entry in chain order,
// or the owner's own stage while the chain is empty. Writes at most max slots; returns how many.
int chain_stages(const ChainView *view, SharedSlot **out, int max);

// [main-thread] Returns entry a's slot when a indexes the chain (and has one), otherwise the
// owner's own slot.
SharedSlot *chain_stage(const ChainView *view, int a);

// [main-thread] Returns the index of the owner's entry in the chain, -1 when it is not there.
int own_index(const ChainView *view);

// [main-thread] Returns the stage a section shows and a one-stage operation edits: the
// focused entry when focus indexes the chain, else the owner's own entry, else the first;
// the owner's own slot with index 0 while the chain is empty. index (may be null) receives
// the chain index.
SharedSlot *shown_stage(const ChainView *view, int *index);

// [main-thread] The refresh done before every frame, click, wheel event and undo step: the
// shown group follows the owner's Group when that changes, and the chain is resolved again.
void chain_view_refresh(ChainView *view);

// [main-thread] The chain of a stage as operations without an editor see it (a host's
// preset load): the chain of the stage's own group (no focus, no chain mode), or the stage
// alone when that chain is empty.
void chain_view_of_stage(ChainView *view, SharedSlot *own);

struct ChainHistory; // chainops/history.h
struct GainPrefs;    // chainops/chain_gain.h
struct LoudHold;     // chainops/chain_gain.h
struct PresetList;   // chainops/factory.h

// What a chain-wide operation works on. view is required; the others may be null (no undo
// steps are recorded, default preferences, no preset list, live readouts).
struct ChainOps {
    ChainView *view;
    ChainHistory *history;   // the owner's undo, redo and A/B, kept for its life
    const GainPrefs *gain;   // the owner's spread, loudness target and readout mode
    PresetList *presets;     // the current preset and the user's preset names
    const LoudHold *loud;    // readouts held by Pause
    uint8_t preset_applying; // a preset is being applied: set_param_all marks no undo step
};
