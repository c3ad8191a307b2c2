// The small interface through which the layers below the plug-in reach the stage that owns
// a slot in this process: ask its host for a parameter flush, tell it that its state
// changed, write to its host's log, and what its host shows about each parameter. The
// plug-in registers one per stage with its slot.
#pragma once
#include "params/indication.h"

// Severities of owner_log, numbered as the host log's.
enum OwnerLogSeverity { OWNER_LOG_DEBUG = 0, OWNER_LOG_WARNING = 2, OWNER_LOG_ERROR = 3 };

struct StageOwner {
    void *ctx;                                                 // handed back to every call
    void (*request_flush)(void *ctx);                          // ask the host for a parameter flush
    void (*mark_dirty)(void *ctx);                             // the stage's state changed
    void (*log)(void *ctx, int severity, const char *message); // a line in the host's log
    const ParamIndication *indication;                         // per PARAMS row (main thread); null: none
};

// [main-thread] Each is skipped when the owner or its function is missing; none returns
// anything.
inline void owner_request_flush(const StageOwner *owner) {
    if (owner && owner->request_flush) owner->request_flush(owner->ctx);
}
inline void owner_mark_dirty(const StageOwner *owner) {
    if (owner && owner->mark_dirty) owner->mark_dirty(owner->ctx);
}
inline void owner_log(const StageOwner *owner, int severity, const char *message) {
    if (owner && owner->log && message) owner->log(owner->ctx, severity, message);
}
