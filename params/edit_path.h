// The editors' edit path: the only way an editor changes a parameter of a stage, in this
// process or another. A value is clamped and stored into the slot at once and each call
// posts an entry to the slot's edit queue; an owner in this process is told through its
// StageOwner, one in another process through the slot's pending bits.
#pragma once
#include <cstdint>

#include "registry/shared.h"

// Queue entries kept free for gesture ends: one per parameter.
constexpr uint32_t EDIT_END_ROOM = SHARED_PARAMS;

// Main thread of any process. index is a PARAMS row. Values are clamped and live in the
// slot at once. A post never waits longer than the edit lock's give-up time, whatever other
// processes left in the lock. Room for ending gestures is kept: a begin or a value is
// queued only while EDIT_END_ROOM entries stay free, and a gesture whose begin could not be
// queued is dropped whole by the thread that made it (its values and end are not queued;
// the owner's drain sends the final value).
void plugin_edit_begin(SharedSlot *slot, int index);
void plugin_edit_value(SharedSlot *slot, int index, double value);
void plugin_edit_end(SharedSlot *slot, int index);
// One entry of kind (EditKind) for the row; asks the owner for a flush. Main thread.
void queue_edit(SharedSlot *slot, int index, uint32_t kind, double value);
// A gesture of one value: begin, value, end.
void plugin_edit_one(SharedSlot *slot, int index, double value);
