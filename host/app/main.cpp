// tervik-host: the command-line CLAP host (list, params, render, bench, script, inspect, editor).
#include "host/cli.h"

int main(int argc, char **argv) { return cli_main(argc, argv); }
