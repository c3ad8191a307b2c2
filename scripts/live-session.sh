#!/usr/bin/env bash
# A realistic session: two host processes sharing the user's segment. One plays a bus of
# three stages in series (group A) with their editors open, the other a second bus of one
# stage (group B). Without a display it runs on a private Xvfb and leaves screenshots in
# build/live-*.png. Usage: scripts/live-session.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-8}
host=build/tervik-host
[ -x "$host" ] || { echo "build first: ./scripts/demo.sh" >&2; exit 1; }
xvfb_pid=""
if [ -z "${DISPLAY:-}" ]; then
  Xvfb :73 -screen 0 1920x1200x24 -nolisten tcp >/dev/null 2>&1 & xvfb_pid=$!
  export DISPLAY=:73
  sleep 1
fi
trap '[ -n "$xvfb_pid" ] && kill "$xvfb_pid"' EXIT
# The second bus plays on until the first has taken its screenshots (three editors on a
# software renderer take a while).
"$host" editor --stages 1 --set Group=B --set Gain=4 --seconds $((seconds + 25)) --shot build/live-busB &
bus_b=$!
"$host" editor --stages 3 --set 1:Gain=8 --set 2:Gain=3 --set 3:Gain=3 --set 3:Ceiling=-1 \
  --seconds "$seconds" --shot build/live-busA
wait "$bus_b"
if command -v convert >/dev/null; then
  for f in build/live-bus*.ppm; do convert "$f" "${f%.ppm}.png"; done
  ls build/live-bus*.png
fi
