#!/usr/bin/env bash
# Underruns made to happen (not part of CI):
#   bench/forced_underrun.sh [BUILD_DIR [RUNS]]      defaults: build, 1
#
# Under a private Xvfb and a private sound server (VELMORA_SOUND_SERVER: pulse or
# pipewire, as scripts/sound-server.sh takes it), the real program runs a 30 s
# stimulation with the panel's defaults. Its render thread (libpulse's mainloop thread,
# "threaded-ml") is pinned alone to core 0; the rest of the program and the server run on
# core 1. Three times in the run a SCHED_FIFO spinner takes core 0 for STALL_MS (250): the
# render thread alone cannot run, the server's buffer runs dry, and it underruns.
#
# With STALL_WHO=server it is the sound server's main thread that is pinned alone to core 0
# and stalled, while its other threads and the whole program run on core 1: the server
# then forwards no data to its own play-out thread and runs dry by itself, as it did on a
# loaded machine, with the program's render thread on time.
#
# With BUSY=1 there are no stalls: instead a plain spinner keeps the other core busy the
# whole run, as on a loaded machine, and nothing is pinned.
#
# Reports per run, from the counters the program prints at exit (VELMORA_REPORT_COUNTERS=1)
# and from the sink's monitor (velmora-analyze stretches, exact to the sample):
#   underruns, late_commands
#   whole_bursts, pieces: stretches of sound at least a burst long (200 hold + 5 ms fade,
#     204.8 ms of non-zero samples; a burst whose first 3 ms the server's hole took is a piece),
#     and shorter ones: bursts cut, split by the server's hole, or started late
#   onset_error_ms_max: the largest distance of a whole burst's onset from the schedule's
#     grid, anchored on the first: onsets 360 ms apart (200 hold, 10 mute, 150 pause), and
#     3000 ms more across a block break. One cycle is 360 ms, so a step of the schedule is
#     read between 90 ms early and 270 ms late: lost time only ever makes it late.
#   onset_error_ms_last: the last burst's, what the schedule kept of the stalls at the end
#   block_break_ms: each mute-to-next-play across a block break (the schedule's: 3160), after
#     a whole burst
#   step_ratio_max: the largest sample step inside a whole burst (180 ms above the threshold or more)
#     over that burst's sine slope (2 pi f A / rate); a clean burst stays at 1 or below.
#     The pieces of a burst broken by the server's hole are left out: the server cuts them
#     where it runs dry, with a step that no client can ramp.
# KEEP_DIR: keep each run's capture and analyses there.
# Needs root, or the right to use SCHED_FIFO (chrt) and taskset on the program's threads.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath "${1:-$SRC/build}")
RUNS=${2:-1}
STALL_MS=${STALL_MS:-250}
BUSY=${BUSY:-0}
STALL_WHO=${STALL_WHO:-client}
ANALYZE="$BUILD/tools/velmora-analyze"
[ -x "$BUILD/run/velmora" ] && [ -x "$ANALYZE" ] || { echo "forced_underrun: build $BUILD first" >&2; exit 2; }
[ "$(nproc)" -ge 2 ] || { echo "forced_underrun: needs two cores" >&2; exit 2; }
chrt -f 1 true 2>/dev/null || { echo "forced_underrun: SCHED_FIFO is not allowed here" >&2; exit 2; }

. "$SRC/bench/lib.sh"
bench_begin forced_underrun

# The server's processes, for pinning.
server_pids() {
  local f
  for f in "$TMP/sound/runtime/pid" "$TMP/sound"/{pipewire,wireplumber,pipewire-pulse}.pid; do
    [ -f "$f" ] && cat "$f"
  done
  return 0
}

# Core 0 to a real-time spinner for $1 ms: every other thread allowed there waits.
stall() {
  taskset -c 1 timeout -s TERM "$(awk -v ms="$1" 'BEGIN { printf "%.3f", ms / 1000 }')" \
    chrt -f 50 taskset -c 0 bash -c 'while :; do :; done' || true
}

one_run() {
  local run=$1
  eval "$("$SRC/scripts/sound-server.sh" start "$TMP/sound")"
  (cd "$TMP/run" && VELMORA_REPORT_COUNTERS=1 exec ./velmora) >"$TMP/app.out" 2>"$TMP/app.err" &
  APP_PID=$!
  bench_window
  click() { xdotool mousemove --window "$WID" "$1" "$(($2 + MENU_HEIGHT))" click 1; }
  sleep 2

  local tid=""
  for t in /proc/"$APP_PID"/task/*; do
    [ "$(cat "$t/comm")" = threaded-ml ] && tid=${t##*/}
  done
  [ -n "$tid" ] || { echo "forced_underrun: no libpulse mainloop thread in the program" >&2; exit 1; }
  if [ "$BUSY" = 1 ]; then
    (while :; do :; done) &
    BUSY_PID=$!
  else
    for p in $(server_pids); do taskset -a -p -c 1 "$p" >/dev/null; done
    taskset -a -p -c 1 "$APP_PID" >/dev/null
    if [ "$STALL_WHO" = server ]; then
      local main
      main=$(server_pids | head -n 1)
      taskset -p -c 0 "$main" >/dev/null  # its main thread only: tid = pid
    else
      taskset -p -c 0 "$tid" >/dev/null
    fi
  fi

  parec --device="$VELMORA_SINK.monitor" --rate=96000 --format=float32le --channels=2 \
    --latency-msec=10 --raw >"$TMP/capture.raw" 2>/dev/null &
  CAPTURE_PID=$!
  sleep 0.3
  click 120 586  # START STIMULATION
  # Stalls in the middle of blocks, apart from the breaks: at 5.4, 14.4 and 22.7 s.
  for wait in 5.4 9 8.3; do
    sleep "$wait"
    [ "$BUSY" = 1 ] || stall "$STALL_MS"
  done
  sleep 7.3
  click 120 586  # STOP STIMULATION
  sleep 1.5
  kill -INT "$CAPTURE_PID" 2>/dev/null || true
  wait "$CAPTURE_PID" 2>/dev/null || true
  CAPTURE_PID=""
  if [ -n "$BUSY_PID" ]; then kill "$BUSY_PID" 2>/dev/null || true; BUSY_PID=""; fi

  xdotool windowfocus --sync "$WID" 2>/dev/null || true
  xdotool key --clearmodifiers ctrl+q || true
  for _ in $(seq 1 200); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.05; done
  wait "$APP_PID" || true
  APP_PID=""
  "$SRC/scripts/sound-server.sh" stop "$TMP/sound" >/dev/null 2>&1 || true

  sox -q -t raw -r 96000 -e floating-point -b 32 -c 2 "$TMP/capture.raw" "$TMP/capture.wav"
  rm -f "$TMP/capture.raw"
  "$ANALYZE" stretches "$TMP/capture.wav" --channel 0 >"$TMP/stretches.txt"

  echo "run $run (${VELMORA_SOUND_SERVER:-pulse}, $([ "$BUSY" = 1 ] && echo "other core busy" || echo "3 stalls of the $STALL_WHO, $STALL_MS ms"))"
  awk '$2 == "underruns" || $2 == "late_commands" || $2 == "clock_steps" || $2 == "timeline_restarts" { print "  " $2, $3 }' "$TMP/app.err"
  awk '
    $1 ~ /^stretch_[0-9]+_start_s$/ { split($1, a, "_"); start[a[2]] = $2 * 1000; n = a[2] + 1 }
    $1 ~ /^stretch_[0-9]+_length_ms$/ { split($1, a, "_"); len[a[2]] = $2 }
    END {
      worst = 0; err = 0; k = 0; pieces = 0; lastEnd = 0
      for (i = 0; i < n; i++) {
        # From a whole burst only: a piece cut short by the hole would read as a longer break.
        if (i > 0 && start[i] - lastEnd > 1000 && len[i - 1] >= 204) printf "  block_break_ms %.1f\n", start[i] - lastEnd + 5
        lastEnd = start[i] + len[i]
        if (len[i] < 204) { pieces++; continue }  # a burst cut, split or started late
        if (k > 0) {
          d = start[i] - prev
          if (d > 3000) d -= 3000  # a block break in between
          err += d - 360 * int((d + 90) / 360)  # read in -90..270: a loss only makes it later
        }
        if (err * err > worst * worst) worst = err
        prev = start[i]; k++
      }
      printf "  whole_bursts %d\n  pieces %d\n  onset_error_ms_max %.2f\n  onset_error_ms_last %.2f\n", k, pieces, worst, err
    }' "$TMP/stretches.txt"
  # Sample steps inside each burst against its own sine's slope.
  "$ANALYZE" bursts "$TMP/capture.wav" --channel 0 >"$TMP/bursts.txt"
  local ratio=0
  while read -r from to hz db; do
    local step
    step=$("$ANALYZE" level "$TMP/capture.wav" --from "$from" --to "$to" | awk '$1 == "ch0_max_step" { print $2 }')
    ratio=$(awk -v r="$ratio" -v s="$step" -v f="$hz" -v db="$db" 'BEGIN {
      a = sqrt(2) * 10 ^ (db / 20); q = s / (2 * 3.14159265 * f * a / 96000); print (q > r ? q : r) }')
  done < <(awk '
    $1 ~ /^burst_[0-9]+_onset_s$/ { split($1, a, "_"); on[a[2]] = $2; n = a[2] + 1 }
    $1 ~ /^burst_[0-9]+_length_ms$/ { split($1, a, "_"); len[a[2]] = $2 }
    $1 ~ /^burst_[0-9]+_frequency_hz$/ { split($1, a, "_"); hz[a[2]] = $2 }
    $1 ~ /^burst_[0-9]+_level_dbfs$/ { split($1, a, "_"); db[a[2]] = $2 }
    END { for (i = 0; i < n; i++) if (len[i] >= 180) printf "%.6f %.6f %s %s\n", on[i] - 0.002, on[i] + len[i] / 1000 + 0.002, hz[i], db[i] }' "$TMP/bursts.txt")
  printf "  step_ratio_max %.2f\n" "$ratio"
  if [ -n "${KEEP_DIR:-}" ]; then
    mkdir -p "$KEEP_DIR"
    cp "$TMP/capture.wav" "$KEEP_DIR/capture_$run.wav"
    cp "$TMP/stretches.txt" "$KEEP_DIR/stretches_$run.txt"
    cp "$TMP/bursts.txt" "$KEEP_DIR/bursts_$run.txt"
    cp "$TMP/app.err" "$KEEP_DIR/app_$run.err"
  fi
  rm -f "$TMP/capture.wav"
}

for run in $(seq 1 "$RUNS"); do one_run "$run"; done
