// Presets applied to a stage without its editor (a host's preset load): a stage preset to
// the stage itself, a chain preset to every position of the stage's chain, through the
// edit path, as one undo step in the stage's own history. Main thread.
#pragma once

struct Plugin;
struct PresetFile;

// Factory preset number 0..12 (stage presets 0..6, chain presets 7..12). False for another
// number or a stage without a slot.
bool preset_apply_factory(Plugin *owner, int number);

// A preset read from a file: one stage goes to the stage, more stages to the chain
// (positions beyond the file repeat its last stage). Every parameter but Stage, Group,
// Bypass, Delta listen and Unity gain. False for a stage without a slot.
bool preset_apply_file(Plugin *owner, const PresetFile *record);
