#!/usr/bin/env bash
# A realistic session: two host processes sharing one segment. One plays a bus of three
# stages in series (group A) with their editors open, the other a second bus of one stage
# (group B). Without a display it runs on a private Xvfb and leaves screenshots in
# build/live-*.png. Usage: scripts/live-session.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-8}
host=build/tervik-host
[ -x "$host" ] || { echo "build first: ./scripts/demo.sh" >&2; exit 1; }
# Screenshots are taken in a folder of this session's own and moved into build/ at the end,
# so that sessions running at once do not write into each other's files.
shots=$(mktemp -d build/.live-XXXXXX)
xvfb_pid="" bus_b="" segment=""
cleanup() {
  set +e
  [ -n "$bus_b" ] && kill "$bus_b" 2>/dev/null
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  [ -n "$segment" ] && rm -f "/dev/shm/$segment"
  rm -rf "$shots"
  true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  # The server picks a free display and names it once it takes connections. A fixed number
  # made a second session use the first one's server, which went away under it when the
  # first session ended.
  coproc XVFB { exec Xvfb -displayfd 1 -screen 0 1920x1200x24 -nolisten tcp 2>/dev/null; }
  xvfb_pid=$XVFB_PID
  read -r -t 30 -u "${XVFB[0]}" display || { echo "error: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$display"
fi
# A segment of its own, so that the stages of another session (or of a DAW) of this user
# do not join these buses.
if [ -z "${TERVIK_SHM:-}" ]; then
  segment="tervik-live-$$"
  export TERVIK_SHM=$segment
fi
# The second bus plays on until the first has taken its screenshots; then SIGTERM ends its
# session in order (it takes its own screenshot).
"$host" editor --stages 1 --set Group=B --set Gain=4 --shot "$shots/live-busB" &
bus_b=$!
"$host" editor --stages 3 --set 1:Gain=8 --set 2:Gain=3 --set 3:Gain=3 --set 3:Ceiling=-1 \
  --seconds "$seconds" --shot "$shots/live-busA"
kill -TERM "$bus_b"
status=0
wait "$bus_b" || status=$?
bus_b=""
[ "$status" -eq 0 ] || exit "$status"
if command -v convert >/dev/null; then
  for f in "$shots"/live-bus*.ppm; do convert "$f" "${f%.ppm}.png"; done
fi
for f in "$shots"/live-bus*; do mv -f "$f" build/; done
ls build/live-bus*.png 2>/dev/null || ls build/live-bus*.ppm
