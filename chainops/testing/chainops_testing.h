// Preset-file helpers that only tests use; built into tk_chainops_testing, which the
// plug-in does not link (the editor deletes through preset_delete_current).
#pragma once

// [main-thread] Removes the named preset's file in the user folder (or a symbolic link of
// that name; never a directory); returns true when it was removed.
bool preset_delete(const char *name);
