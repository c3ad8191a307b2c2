// The editor's process-wide windowing state, owned by editor/window.cpp and declared here
// only for the test helpers in editor/testing/. Nothing else reads or writes it. Main thread.
#pragma once

struct PuglWorldImpl;
struct _XDisplay;

namespace tk_window {
// A pugl world: its X connection and the number of views made in it. The current world is
// shared by every editor of the process and takes new views; a world whose connection was
// lost takes none and is freed with its last view.
struct World {
    PuglWorldImpl *pugl;
    _XDisplay *display;
    int refs;
    bool lost;     // the connection is gone: nothing more is drawn or sent on it
    bool reported; // the loss has been logged
};

extern World *g_world;      // the current world, null until an editor needs one
extern int g_failing_views; // the next n views are made with a request no driver meets
} // namespace tk_window
