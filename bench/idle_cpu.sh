#!/usr/bin/env bash
# bench/idle_cpu.sh [BUILD [RUNS [SECONDS]]]      defaults: build, 3, 60
#
# The idle program's CPU under a private display and sound server (VELMORA_SOUND_SERVER:
# pulse or pipewire), once its stream is corked: % of one core over SECONDS, the whole
# program and its main thread (the 10 ms event loop). Beside each run, the yardstick: a
# bare Qt window of the same size polling the same way (bench_bare_window --poll), which
# is as little as that loop can cost on this machine.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-$here/build}")"
runs="${2:-3}"
secs="${3:-60}"
export VELMORA_RUN_DIR="$build/run" VELMORA_SOURCE_DIR="$here" VELMORA_BUILD_DIR="$build"
export VELMORA_ANALYZE="$build/tools/velmora-analyze"
. "$here/tests/e2e/lib.sh"
start_display
start_sound
make_run_dir

ticks() { awk '{ print $14 + $15 }' "$1"; }
share() {  # STAT_FILE: % of one core over $secs
  local a b
  a=$(ticks "$1")
  sleep "$secs"
  b=$(ticks "$1")
  awk -v a="$a" -v b="$b" -v s="$secs" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", (b - a) / hz / s * 100 }'
}

for i in $(seq "$runs"); do
  start_app
  wid=$(wait_window)
  wait_idle_stream
  a=$(ticks "/proc/$APP_PID/stat") m=$(ticks "/proc/$APP_PID/task/$APP_PID/stat")
  sleep "$secs"
  b=$(ticks "/proc/$APP_PID/stat") n=$(ticks "/proc/$APP_PID/task/$APP_PID/stat")
  send_keys "$wid" ctrl+q
  wait_exit 10 >/dev/null
  "$build/bench/bench_bare_window" --poll $((secs + 3)) >/dev/null 2>&1 &
  bare_pid=$!
  sleep 2
  bare=$(share "/proc/$bare_pid/stat")
  wait "$bare_pid" || true
  awk -v a="$a" -v b="$b" -v m="$m" -v n="$n" -v s="$secs" -v hz="$(getconf CLK_TCK)" -v bare="$bare" -v i="$i" 'BEGIN {
    printf "run %d: idle program %.2f %% of a core (main thread %.2f %%), bare polling window %s %%\n",
      i, (b - a) / hz / s * 100, (n - m) / hz / s * 100, bare }'
done
