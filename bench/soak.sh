#!/usr/bin/env bash
# Real-time soak of the real program (not part of CI):
#   bench/soak.sh [BUILD_DIR [MINUTES]]      defaults: build, 10
#
# Under a private Xvfb and a private PulseAudio null sink, with the other core kept busy
# by a spinning process, it drives the program from outside with xdotool: a stimulation
# run (panel defaults: 200 ms bursts into the left ear), a right-ear hearing test, a
# left-ear hearing test, again and again until the time is up. Then it quits the program
# and reports:
#   - the engine's counters, printed by the program at exit (VELMORA_REPORT_COUNTERS=1):
#     underruns of the sound server, late and dropped commands, limiter frames;
#   - burst timing of every stimulation run, from the sink's monitor, by velmora-analyze:
#     hold against the 200 ms asked for, and mute-to-next-play against 160 ms;
#   - resident memory (VmRSS) at the start, after each round, and at the end.
# KEEP_DIR: keep there the capture of each round with a broken burst or a span off.
# Exit status 1 when memory grew by more than 2 MB, commands were dropped, or the program
# did not end with status 0.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath "${1:-$SRC/build}")
MINUTES=${2:-10}
ANALYZE="$BUILD/tools/velmora-analyze"
[ -x "$BUILD/run/velmora" ] && [ -x "$ANALYZE" ] || { echo "soak: build $BUILD first" >&2; exit 2; }

. "$SRC/bench/lib.sh"
bench_begin soak
eval "$("$SRC/scripts/sound-server.sh" start "$TMP/sound")"
(cd "$TMP/run" && VELMORA_REPORT_COUNTERS=1 exec ./velmora) >"$TMP/app.out" 2>"$TMP/app.err" &
APP_PID=$!

bench_window
wid=$WID
click() { xdotool mousemove --window "$wid" "$1" "$(($2 + MENU_HEIGHT))" click 1; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$APP_PID/status"; }

# The other core: a process that never sleeps.
(while :; do :; done) &
BUSY_PID=$!

sleep 2
rss_start=$(rss_kb)
echo "rss_start_kb $rss_start"
deadline=$(($(date +%s) + MINUTES * 60))
round=0
# A hearing test: answer every 1.2 s for 25 s, then STOP until any pass has honoured it
# (a stop in a random pause is wiped out; six seconds always reach a tone window).
hearing_test() {
  local x=$1
  click "$x" 431
  for _ in $(seq 1 20); do sleep 1.2; click "$x" 431; done
  for _ in $(seq 1 12); do sleep 0.5; click 405 431; done
  sleep 2
}
while [ "$(date +%s)" -lt "$deadline" ]; do
  round=$((round + 1))
  parec --device="$VELMORA_SINK.monitor" --rate=96000 --format=float32le --channels=2 \
    --latency-msec=10 --raw >"$TMP/capture.raw" 2>/dev/null &
  CAPTURE_PID=$!
  sleep 0.3
  click 120 586  # START STIMULATION
  sleep 20
  click 120 586  # STOP STIMULATION
  sleep 6        # the last cycle ends
  kill -INT "$CAPTURE_PID" 2>/dev/null || true
  wait "$CAPTURE_PID" 2>/dev/null || true
  CAPTURE_PID=""
  sox -q -t raw -r 96000 -e floating-point -b 32 -c 2 "$TMP/capture.raw" "$TMP/capture.wav"
  "$ANALYZE" stretches "$TMP/capture.wav" --channel 0 |
    awk '$1 ~ /^stretch_[0-9]+_length_ms$/ { print "hold", $2 - 5 }
         $1 ~ /^stretch_[0-9]+_gap_ms$/ && $2 > 0 { print "apart", $2 + 5 }' >"$TMP/round.txt"
  cat "$TMP/round.txt" >>"$TMP/timing.txt"
  # A round with a broken burst or a span 5 ms off is kept whole, to be looked at.
  if [ -n "${KEEP_DIR:-}" ] && awk '($1 == "hold" && $2 < 150) || ($1 == "apart" && $2 <= 1000 && ($2 < 155 || $2 > 165)) { bad = 1 }
                                     END { exit !bad }' "$TMP/round.txt"; then
    mkdir -p "$KEEP_DIR"
    cp "$TMP/capture.wav" "$KEEP_DIR/round_$round.wav"
    echo "round $round kept in $KEEP_DIR"
  fi
  rm -f "$TMP/capture.raw" "$TMP/capture.wav"

  hearing_test 640  # right ear
  hearing_test 170  # left ear
  echo "round $round rss_kb $(rss_kb)" | tee -a "$TMP/rss.txt"
done
rss_end=$(rss_kb)
kill "$BUSY_PID" 2>/dev/null || true
BUSY_PID=""

xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key --clearmodifiers ctrl+q || true
status=0
for _ in $(seq 1 200); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.05; done
wait "$APP_PID" || status=$?
APP_PID=""

echo "rounds $round"
echo "exit_status $status"
echo "rss_end_kb $rss_end"
echo "rss_growth_kb $((rss_end - rss_start))"
grep '^velmora_counter ' "$TMP/app.err" | sed 's/^velmora_counter //' || echo "no counters reported"
# Timing: the error of each hold against 200 ms and of each mute-to-next-play against
# 160 ms within a block (the 3000 ms block breaks are counted apart). A hold under 150 ms is
# a burst broken by a gap in the sound (or cut by the capture's start or end): counted apart.
awk '$1 == "hold" && $2 < 150 { n++ } END { print "broken_bursts", n + 0 }' "$TMP/timing.txt"
awk '$1 == "apart" && $2 > 1000 { n++ } END { print "block_breaks", n + 0 }' "$TMP/timing.txt"
for what in hold apart; do
  want=$([ "$what" = hold ] && echo 200 || echo 160)
  awk -v w="$what" -v want="$want" '$1 == w && $2 >= 150 && $2 <= 1000 { print $2 - want }' "$TMP/timing.txt" | sort -g |
    awk -v w="$what" '{ v[NR] = $1 } END {
      if (NR == 0) { print w "_count 0"; exit }
      printf "%s_count %d\n%s_error_ms_min %.3f\n%s_error_ms_p50 %.3f\n%s_error_ms_p99 %.3f\n%s_error_ms_max %.3f\n",
        w, NR, w, v[1], w, v[int((NR - 1) * 0.5) + 1], w, v[int((NR - 1) * 0.99) + 1], w, v[NR] }'
done

dropped=$(awk '$2 == "dropped_commands" { print $3 }' "$TMP/app.err")
[ "$status" -eq 0 ] && [ "$((rss_end - rss_start))" -le 2048 ] && [ "${dropped:-1}" -eq 0 ]
