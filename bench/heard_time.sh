#!/usr/bin/env bash
# When a play was heard, by the device's play-out report and by the frame clock's fit,
# against the null sink's monitor (bench_heard_time), on each sound server beside a
# two-job compile (not part of CI):
#   bench/heard_time.sh [BUILD_DIR [PLAYS [RUNS]]]     defaults: build, 20, 1
#
# The compile is two loops of `nice -n 0 g++ -O2 -fsyntax-only` over the files of
# platform/, one file after another, as a user's own build would run beside the program;
# LOAD=0 leaves it out. SERVERS ("pulse pipewire") picks the servers. Each run is a fresh
# server, started after the compile is under way, and its PLAYS tones. Prints each run's
# lines, then per server the errors pooled over its runs: "SERVER report|fit p50 p99 max
# mean" in ms (published time minus the sink's, see bench_heard_time.cpp).
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath "${1:-$SRC/build}")
PLAYS=${2:-20}
RUNS=${3:-1}
BIN="$BUILD/bench/bench_heard_time"
[ -x "$BIN" ] || { echo "heard_time: build $BIN first (-DVELMORA_BUILD_BENCH=ON)" >&2; exit 2; }

TMP=$(mktemp -d "${TMPDIR:-/tmp}/velmora-heard.XXXXXX")
LOAD_PID=""
stop_load() {
  # The loops run in a session of their own: end that session's processes, and nothing else.
  if [ -n "$LOAD_PID" ]; then
    pkill -TERM -s "$LOAD_PID" 2>/dev/null || true
    wait "$LOAD_PID" 2>/dev/null || true
    LOAD_PID=""
  fi
}
cleanup() {
  local status=$?
  stop_load
  rm -rf "$TMP"
  exit "$status"
}
trap cleanup EXIT

start_load() {
  [ "${LOAD:-1}" = 1 ] || return 0
  local flags
  flags="-std=c++20 -fPIC -I$SRC $(pkg-config --cflags libpulse sdl2 sndfile dbus-1 Qt6Widgets Qt6UiTools)"
  setsid bash -c '
    flags=$1; shift
    job() { while :; do for f in "$@"; do nice -n 0 g++ -O2 -fsyntax-only $flags "$f" >/dev/null 2>&1; done; done; }
    job "$@" & job "$@" & wait' load "$flags" "$SRC"/platform/*/*.cpp &
  LOAD_PID=$!
  sleep 3
}

pool() {  # SERVER NAME: p50, p99, max of the pooled errors' magnitudes, and their mean
  awk -v k="$2" '$1 ~ /^play_[0-9]+_ms$/ { for (i = 2; i < NF; i += 2) if ($i == k) print $(i + 1) }' "$TMP/$1".out |
    awk '{ print ($1 < 0 ? -$1 : $1), $1 }' | sort -g | awk -v s="$1" -v k="$2" '
      function pct(p,   r, lo) { r = p * (NR - 1) + 1; lo = int(r); return lo >= NR ? a[NR] : a[lo] + (r - lo) * (a[lo + 1] - a[lo]) }
      { a[NR] = $1; m += $2 }
      END {
        if (NR == 0) { printf "%-8s %-6s none\n", s, k; exit }
        printf "%-8s %-6s n %d  p50 %.3f  p99 %.3f  max %.3f  mean %+.3f ms\n", s, k, NR, pct(0.5), pct(0.99), a[NR], m / NR
      }'
}

for server in ${SERVERS:-pulse pipewire}; do
  : >"$TMP/$server.out"
  for run in $(seq 1 "$RUNS"); do
    start_load
    echo "== $server, run $run, load ${LOAD:-1}"
    VELMORA_SOUND_SERVER=$server "$SRC/scripts/sound-server.sh" run "$BIN" "$PLAYS" | tee -a "$TMP/$server.out" ||
      echo "heard_time: $server run $run failed" >&2
    stop_load
  done
done
echo "== heard-time error against the sink, ${PLAYS} plays x ${RUNS} run(s), load ${LOAD:-1}"
for server in ${SERVERS:-pulse pipewire}; do
  pool "$server" report
  pool "$server" fit
done
