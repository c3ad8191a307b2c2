// Appends "<monotonic ms> <message>" lines to $TERVIK_SCANLOG, opening and closing the
// file for every line so that lines of several instances and processes interleave whole.
#include "plugin/scanlog.h"

#include <cstdio>
#include <cstdlib>

#include "sys/sys.h"

void tk_scanlog(const char *message) {
    const char *path = getenv("TERVIK_SCANLOG");
    if (!path || !*path || !message) return;
    FILE *f = fopen(path, "a");
    if (!f) return;
    fprintf(f, "%lld %s\n", (long long)(sys_time_ns() / 1000000), message);
    fclose(f);
}
