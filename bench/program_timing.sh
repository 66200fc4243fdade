#!/usr/bin/env bash
# bench/program_timing.sh [BUILD] [SECONDS]
#
# The real program, driven as a person would under a private display and null sink, with
# the other core kept busy: a left-ear stimulation at the panel's defaults for SECONDS
# (60), then the first frequency of a right-ear hearing test left unanswered (its 25
# rising tones). Prints, in frames of 96 kHz:
#   - how far each burst's length and each gap's length lie from the median of all of
#     them (p50, p99, max), block breaks apart;
#   - the largest error of the hearing test's onset intervals against 1400 ms.
# IDLE=1: each of the two starts only once the idle program has corked its stream, and
# IDLE_SECONDS (0) after that, so their first burst and first tone wake the output; the
# first burst, gap and interval are then printed on their own too.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-$here/build}")"
seconds="${2:-60}"
export VELMORA_RUN_DIR="$build/run" VELMORA_SOURCE_DIR="$here" VELMORA_BUILD_DIR="$build"
export VELMORA_ANALYZE="$build/tools/velmora-analyze"
. "$here/tests/e2e/lib.sh"

busy() { while :; do :; done; }
busy & BUSY=$!
# lib.sh's own clean-up (the program, the sound server, the display) runs after the spinner's.
trap 'kill $BUSY 2>/dev/null || true; e2e_cleanup' EXIT
trap 'exit 130' INT TERM

idle() {
  [ "${IDLE:-0}" = 1 ] || return 0
  wait_idle_stream
  sleep "${IDLE_SECONDS:-0}"
}

start_program
idle
start_capture
click_panel "$wid" 120 586  # START_STIMULATION
sleep "$seconds"
click_panel "$wid" 120 586  # stop
sleep 6                     # the last cycle, up to a block break
stop_capture

# Deviation of every value from the median, in frames: p50, p99, max.
spread() {
  local values median
  values=$(sort -n)
  [ -n "$values" ] || { echo none; return; }
  median=$(echo "$values" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  echo "$values" | awk -v m="$median" '{ d = ($1 - m) * 96; if (d < 0) d = -d; print d }' | sort -g |
    awk -v m="$median" '{ e[NR] = $1 } END {
      printf "n %d, median %.4f ms, from it p50 %.2f, p99 %.2f, max %.2f frames\n", NR, m, e[int(0.5 * (NR - 1)) + 1], e[int(0.99 * (NR - 1)) + 1], e[NR] }'
}
"$VELMORA_ANALYZE" stretches "$E2E_TMP/capture.wav" --channel 0 >"$E2E_TMP/stretches.txt"
echo "stimulation, ${seconds} s: $(awk '$1 == "stretch_count" { print $2 }' "$E2E_TMP/stretches.txt") bursts"
echo "  burst length: $(awk '$1 ~ /_length_ms$/ { print $2 }' "$E2E_TMP/stretches.txt" | spread)"
echo "  gap:          $(awk '$1 ~ /_gap_ms$/ && $2 > 0 && $2 < 2000 { print $2 }' "$E2E_TMP/stretches.txt" | spread)"
echo "  block break:  $(awk '$1 ~ /_gap_ms$/ && $2 >= 2000 { print $2 }' "$E2E_TMP/stretches.txt" | spread)"
echo "  first burst $(awk '$1 == "stretch_0_length_ms" { print $2 }' "$E2E_TMP/stretches.txt") ms," \
  "first gap $(awk '$1 == "stretch_1_gap_ms" { print $2 }' "$E2E_TMP/stretches.txt") ms"

idle
start_capture
click_panel "$wid" 640 431  # START_AUDIOMETRIE_R, never answered
sleep 40                    # the pause and 25 tones of 125 Hz
stop_capture
"$VELMORA_ANALYZE" onsets "$E2E_TMP/capture.wav" --channel 1 \
  --ref "$VELMORA_RUN_DIR/Samples/Sinus_96000R_00125Hz_0dB.wav" --ref-channel 1 --spacing 1400 --count 25 \
  >"$E2E_TMP/onsets.txt"
echo "hearing test, 125 Hz: $(grep -c '^interval_' "$E2E_TMP/onsets.txt") intervals, error against 1400 ms: p50/p99/max" \
  "$(awk '$1 ~ /^interval_[0-9]+_frames$/ { d = $2 - 134400; if (d < 0) d = -d; print d }' "$E2E_TMP/onsets.txt" | sort -n |
    awk '{ v[NR] = $1 } END { printf "%d/%d/%d frames", v[int(0.5 * (NR - 1)) + 1], v[int(0.99 * (NR - 1)) + 1], v[NR] }')"
echo "  first interval: $(awk '$1 == "interval_1_frames" { print $2 - 134400 }' "$E2E_TMP/onsets.txt") frames from 1400 ms"
click_panel "$wid" 405 431  # STOP
