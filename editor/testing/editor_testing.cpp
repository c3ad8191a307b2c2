// Editor hooks that only tests use (see editor_testing.h), on the windowing state of
// editor/window_state.h.
#include "editor/testing/editor_testing.h"

#include "editor/gl.h"
#include "editor/window_state.h"

int ui_world_refs() { return tk_window::g_world ? tk_window::g_world->refs : 0; }

void ui_test_fail_views(int n) { tk_window::g_failing_views = n > 0 ? n : 0; }

int tkgl_loaded_count() {
    int n = 0;
#define TKGL_COUNT_ONE(type, name)                                                                                     \
    if (tkgl_##name) n++;
    TKGL_FUNCS(TKGL_COUNT_ONE)
#undef TKGL_COUNT_ONE
    return n;
}
