#!/bin/sh
# Formats every C++ source of the project with its .clang-format, or with --check lists the
# files whose formatting drifted and fails, so the test script catches drift.
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   change nothing; exit 1 when a file would change
set -eu
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "format: clang-format is not installed" >&2; exit 2; }

files=$(git ls-files -- '*.cpp' '*.h' '*.inc' 2>/dev/null || find sys dsp registry params chainops editor plugin host tests -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.inc' \))

if [ "${1:-}" = "--check" ]; then
    drift=""
    for f in $files; do
        clang-format --style=file "$f" | cmp -s "$f" - || drift="$drift $f"
    done
    if [ -n "$drift" ]; then
        echo "format: these files differ from .clang-format (run scripts/format.sh):" >&2
        printf '  %s\n' $drift >&2
        exit 1
    fi
    echo "format: $(echo $files | wc -w) files match .clang-format"
else
    # shellcheck disable=SC2086
    clang-format --style=file -i $files
fi
