// Frame cost of Tervik's editor for chains of 1, 4 and 8 stages (part of `bench`).
#pragma once

class HostLib;

// [main-thread] Needs an X display. Prints one row per chain length; returns the exit status.
int bench_editor(HostLib &lib, double seconds);
