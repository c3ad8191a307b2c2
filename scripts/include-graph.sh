#!/bin/sh
# Prints the include arrows between the source folders (with how many #include lines make
# each) and fails when one runs against the layer order, lowest first. Tests are left out.
#   scripts/include-graph.sh            the layers of this tree
#   LAYERS="a b|c d" scripts/...       another order; "b|c" are two folders of one layer
set -eu
cd "$(dirname "$0")/.."
LAYERS=${LAYERS:-"sys|dsp registry params chainops editor plugin host"}

dirs=$(printf '%s\n' $LAYERS | tr '|' ' ')
files=$(for d in $dirs; do [ -d "$d" ] && find "$d" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \); done)
[ -n "$files" ] || { echo "no sources found" >&2; exit 2; }

# shellcheck disable=SC2086
grep -H '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]*/' $files | awk -v layers="$LAYERS" '
BEGIN {
    n = split(layers, layer, " ")
    for (i = 1; i <= n; i++) {
        m = split(layer[i], part, "|")
        for (j = 1; j <= m; j++) rank[part[j]] = i
    }
}
{
    from = $0; sub(/\/.*/, "", from)
    to = $0; sub(/^[^"]*"/, "", to); sub(/\/.*/, "", to)
    if (from == to || !(to in rank)) next
    count[from " -> " to]++
}
END {
    bad = 0
    for (arrow in count) {
        split(arrow, ends, " -> ")
        f = ends[1]; t = ends[2]
        note = ""
        if (rank[t] > rank[f]) { note = "  UPWARD"; bad++ }
        else if (rank[t] == rank[f]) { note = "  SIDEWAYS"; bad++ }
        printf "%-10s -> %-10s %4d%s\n", f, t, count[arrow], note | "sort"
    }
    close("sort")
    total = 0
    for (arrow in count) total++
    printf "%d arrows between folders; %d against the order %s\n", total, bad, layers
    exit bad > 0
}'
