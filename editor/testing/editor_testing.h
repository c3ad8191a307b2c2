// Editor hooks that only tests use; built into tk_editor_testing, which the plug-in does
// not link.
#pragma once

// [main-thread] Returns the number of views made in the current pugl world (0 without one).
int ui_world_refs();

// [main-thread] The next n views are made with a framebuffer request that no driver meets,
// so that their realization fails the way a refused context does.
void ui_test_fail_views(int n);

// [main-thread] Returns the number of GL entry points (TKGL_FUNCS) that are loaded (non-null).
int tkgl_loaded_count();
