// The scan log: one timestamped line per lifecycle step, appended to the file that
// $TERVIK_SCANLOG names (nothing when unset or empty). Any thread; never fails loudly.
#pragma once

// [any-thread] Appends one timestamped line with message; nothing is returned.
void tk_scanlog(const char *message);
