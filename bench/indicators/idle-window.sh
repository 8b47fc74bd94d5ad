#!/usr/bin/env bash
# Idle cost of the real program: under Xvfb, both channels connected (COM7 and
# COM8, the two ends of the built-in null-modem), nothing received, nothing
# flashing or blinking. Prints the CPU share and the wake-ups per second of
# the whole process over SECONDS (default 30), read from /proc.
# Usage: bench/indicators/idle-window.sh [SECONDS] [DISPLAY] [SHOT.png]
# Needs Xvfb, xdotool (and imagemagick for SHOT); build first (scripts/build).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-30}
display=${2:-:16}
shot=${3:-}
work=$(mktemp -d)
trap 'kill $zpid $xpid 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$root/build/app/zelmar" "$work/"
Xvfb "$display" -screen 0 1100x760x24 >/dev/null 2>&1 & xpid=$!
sleep 1
export DISPLAY=$display
(cd "$work" && exec ./zelmar >/dev/null 2>&1) & zpid=$!
win=""
for _ in $(seq 50); do
  win=$(xdotool search --name "Varnex Dual Terminal" 2>/dev/null | head -n1) && [ -n "$win" ] && break
  sleep 0.2
done
[ -n "$win" ] || { echo "idle-window: the window did not appear"; exit 1; }
sleep 1
eval "$(xdotool getwindowgeometry --shell "$win")"   # X, Y, WIDTH, HEIGHT
cx=$X; cy=$((Y + HEIGHT - 636))                       # the client area below the menu
click() { xdotool mousemove $((cx + $1)) $((cy + $2)) click 1; sleep 0.3; }
pick() { click "$1" "$2"; xdotool key Home; for _ in $(seq "$3"); do xdotool key Down; done
  xdotool key Return; sleep 0.3; }
pick 37 32 6; pick $((506 + 37)) 32 7     # COM7, COM8
click 48 77; click $((506 + 48)) 77       # connect both
xdotool mousemove 0 0                     # no hint pop-up under the pointer
sleep 3
# Per thread: CPU nanoseconds from the scheduler (clock ticks are too coarse
# here) and voluntary context switches; threads that come or go in between
# (start-up helpers) are left out.
sample() {
  for t in /proc/"$zpid"/task/*; do
    echo "${t##*/} $(cut -d' ' -f1 "$t/schedstat") $(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status")"
  done 2>/dev/null
}
s0=$(sample); t0=$(date +%s.%N)
sleep "$seconds"
s1=$(sample); t1=$(date +%s.%N)
awk -v t0="$t0" -v t1="$t1" -v a="$s0" -v b="$s1" 'BEGIN {
  n = split(a, A, "\n"); for (i = 1; i <= n; ++i) { split(A[i], f, " "); c0[f[1]] = f[2]; w0[f[1]] = f[3] }
  n = split(b, B, "\n"); for (i = 1; i <= n; ++i) { split(B[i], f, " ")
    if (f[1] in c0) { c += f[2] - c0[f[1]]; w += f[3] - w0[f[1]]; ++k } }
  d = t1 - t0
  printf "idle program, both channels connected (%d threads): CPU %.4f %% over %.1f s, %.1f wake-ups/s\n", k, 100 * c / 1e9 / d, d, w / d }'
if [ -n "$shot" ]; then import -window root "$shot" && echo "screenshot $shot"; fi
