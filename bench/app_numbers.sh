#!/usr/bin/env bash
# bench/app_numbers.sh [BUILD] [RUNS]
#
# The whole program under a private display and null sink: start-up to the window shown,
# against a bare Qt window of the same size (median of RUNS, 5 by default, and the ratio);
# CPU as % of one core while idle and while stimulating (10 s each); resident memory.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-$here/build}")"
runs="${2:-5}"
export VELMORA_RUN_DIR="$build/run" VELMORA_SOURCE_DIR="$here" VELMORA_BUILD_DIR="$build"
export VELMORA_ANALYZE="$build/tools/velmora-analyze"
. "$here/tests/e2e/lib.sh"
start_display
start_sound
make_run_dir

now() { date +%s.%N; }
# Seconds from starting COMMAND (in DIR) to a visible window titled TITLE.
time_to_window() {
  local dir=$1 title=$2 t0 pid
  shift 2
  t0=$(now)
  (cd "$dir" && exec "$@") >/dev/null 2>&1 &
  pid=$!
  until xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1; do sleep 0.002; done
  awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.4f\n", b - a }'
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

ours=$(for _ in $(seq "$runs"); do time_to_window "$E2E_TMP/run" Velmora ./velmora; done | median)
bare=$(for _ in $(seq "$runs"); do time_to_window "$E2E_TMP" Bare "$build/bench/bench_bare_window"; done | median)
echo "start-up to the window: $ours s, a bare Qt window $bare s, ratio $(awk -v a="$ours" -v b="$bare" 'BEGIN { printf "%.2f", a / b }')"

# CPU time of a process in seconds (user + system).
cpu() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f\n", ($14 + $15) / hz }' "/proc/$1/stat"; }
busy_share() {  # PID SECONDS: % of one core over SECONDS
  local a b
  a=$(cpu "$1")
  sleep "$2"
  b=$(cpu "$1")
  awk -v a="$a" -v b="$b" -v s="$2" 'BEGIN { printf "%.1f", (b - a) / s * 100 }'
}
rss() { awk '/^VmRSS/ { print $2 / 1024 " MB" }' "/proc/$1/status"; }

start_app
wid=$(wait_window)
eval "$(xdotool getwindowgeometry --shell "$wid")"
MENU_HEIGHT=$((HEIGHT - 610))
sleep 2
echo "idle: $(busy_share "$APP_PID" 10) % of a core, resident $(rss "$APP_PID")"
click_panel "$wid" 120 586  # START_STIMULATION
sleep 1
echo "stimulating: $(busy_share "$APP_PID" 10) % of a core, resident $(rss "$APP_PID")"
click_panel "$wid" 120 586
sleep 6
send_keys "$wid" ctrl+q
wait_exit 10
