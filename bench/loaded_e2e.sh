#!/usr/bin/env bash
# The end-to-end tests on a busy machine (not part of CI):
#   bench/loaded_e2e.sh [BUILD_DIR [RUNS [TESTS]]]      defaults: build, 5, stimulation
#
# Beside them, a two-job compile of this project at normal priority, as a user's own build
# or a package install would be: a fresh build folder of its own with ccache off, so that
# every job really compiles, and built again from clean while the runs go on. Meanwhile
# the tests run RUNS times in a row. TESTS picks them:
#   stimulation  `ctest -R ^e2e_stimulation_left$` (PulseAudio's null sink, the frame-exact
#                checks); each run's verdict and the program's counters (underruns, late
#                commands, timeline restarts, the procedures' wake lateness p99 and max in
#                microseconds, the render thread's priority)
#   suite        every e2e test on both servers (`ctest -L e2e`); each run's failed tests,
#                and how long after Ctrl+Q the program ended, each test's time and the
#                run's slowest; per test, the underruns and timeline restarts when not 0
#                and the procedures' wake lateness
#   any other    taken as a `ctest -R` expression, told as the suite is
# Then "loaded_e2e passed N of RUNS". Exit status 0 when every run passed. A failed run's
# files stay where the test says.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath "${1:-$SRC/build}")
RUNS=${2:-5}
TESTS=${3:-stimulation}
case "$TESTS" in
  stimulation) select=(-R '^e2e_stimulation_left$') ;;
  suite) select=(-L e2e) ;;
  *) select=(-R "$TESTS") ;;
esac
[ -x "$BUILD/run/velmora" ] || { echo "loaded_e2e: build $BUILD first" >&2; exit 2; }

TMP=$(mktemp -d "${TMPDIR:-/tmp}/velmora-loaded.XXXXXX")
LOAD_PID=""
cleanup() {
  local status=$?
  # The compile runs in a session of its own (ninja gives each job a process group of its
  # own within it): end that session's processes, and nothing else.
  if [ -n "$LOAD_PID" ]; then
    pkill -TERM -s "$LOAD_PID" 2>/dev/null || true
    wait "$LOAD_PID" 2>/dev/null || true
  fi
  rm -rf "$TMP"
  exit "$status"
}
trap cleanup EXIT

setsid bash -c '
  src=$1 dir=$2
  export CCACHE_DISABLE=1
  cmake -S "$src" -B "$dir" -G Ninja -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_BENCH=OFF >/dev/null || exit 1
  while ninja -C "$dir" -j2 >/dev/null 2>&1; do
    ninja -C "$dir" -t clean >/dev/null || exit 1
  done' loaded "$SRC" "$TMP/build" &
LOAD_PID=$!
# Let the configure step end and both compile jobs begin.
jobs_running() { pgrep -c -s "$LOAD_PID" -x cc1plus || true; }
for _ in $(seq 1 120); do
  [ "$(jobs_running)" -ge 2 ] && break
  sleep 0.5
done
echo "loaded_e2e: compile jobs running: $(jobs_running)"

passed=0
for i in $(seq 1 "$RUNS"); do
  log="$TMP/run$i.log"
  if (cd "$BUILD" && ctest "${select[@]}" -V) >"$log" 2>&1; then
    passed=$((passed + 1))
    verdict=pass
  else
    verdict=FAIL
  fi
  if [ "$TESTS" = stimulation ]; then
    counters=$(grep -o 'velmora_counter [a-z0-9_]* [0-9]*' "$log" | awk '
      $2 == "underruns" || $2 == "late_commands" || $2 == "render_priority" || $2 == "timeline_restarts" ||
      $2 == "wake_late_p99_us" || $2 == "wake_late_max_us" { printf "%s %s  ", $2, $3 }')
    echo "run $i: $verdict  $counters  (load: $(cut -d' ' -f1-3 /proc/loadavg))"
    [ "$verdict" = pass ] || grep -E '^[0-9]+: (burst|  |FAIL|e2e:)' "$log" | head -n 20 | sed 's/^/    /'
    continue
  fi
  # ctest -V numbers each test's lines with its number; its name is on its "Test #N:" line.
  echo "run $i: $verdict  (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  awk '
    match($0, /Test +#[0-9]+: [^ ]+/) { split(substr($0, RSTART, RLENGTH), a, /[#: ]+/); name[a[2]] = a[3] }
    match($0, /^[0-9]+: velmora_counter (underruns|timeline_restarts|wake_late_p99_us|wake_late_max_us) [0-9]+$/) {
      split($0, b, ":"); split($0, e, " "); if (e[4] != "0" || e[3] ~ /wake/) k[b[1]] = k[b[1]] " " e[3] " " e[4]
    }
    match($0, /^[0-9]+: measured: the program ended [0-9.]+ s after Ctrl\+Q/) {
      split($0, b, ":"); n = b[1]; split($0, c, "ended "); split(c[2], d, " "); q[n] = q[n] " " d[1]
      if (d[1] + 0 > worst) worst = d[1] + 0
    }
    /Failed|\*\*\*/ && match($0, /Test +#[0-9]+: [^ ]+/) { split(substr($0, RSTART, RLENGTH), a, /[#: ]+/); bad = bad " " a[3] }
    END {
      for (n in q) printf "    quit %-32s%s s\n", name[n], q[n]
      for (n in k) printf "    counters %-28s%s\n", name[n], k[n]
      printf "    slowest quit %.2f s\n", worst
      if (bad != "") print "    failed:" bad
    }' "$log" | sort
  [ "$verdict" = pass ] || grep -E '^[0-9]+: (FAIL|e2e:)' "$log" | head -n 20 | sed 's/^/    /'
done
echo "loaded_e2e passed $passed of $RUNS"
[ "$passed" -eq "$RUNS" ]
