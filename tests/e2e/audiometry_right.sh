#!/usr/bin/env bash
# A right-ear hearing test in the real program: the test listens to the sound server,
# presses the answer button once as soon as each frequency's first tone sounds, and
# checks that 13 tones, lowest first, went to the right channel only and that 13 marks
# were drawn on the right audiogram.
. "$(dirname "$0")/lib.sh"

freqs=(125 250 500 750 1000 1500 2000 3000 4000 6000 8000 10000 12000)
columns=(20 60 100 140 170 195 220 245 270 295 320 340 360)

start_program
start_capture

# Whether the right audiogram has a red mark in the column at x, at any row: an answer
# that reaches the program late (a loaded machine) counts for a later step.
right_column_marked() {
  import -window "$wid" "$E2E_TMP/now.png"
  local reds
  # grep -c reads to the end: an early exit would kill convert, and pipefail would say no.
  reds=$(convert "$E2E_TMP/now.png" -crop "1x330+$((420 + $1))+$((50 + MENU_HEIGHT + 30))" txt:- 2>/dev/null |
    grep -ci '#FF0000' || true)
  [ "${reds:-0}" -gt 0 ]
}

click_panel "$wid" 640 431  # START_AUDIOMETRIE_R: starts the pass on the right ear
heard=()
quiet_after=0
for f in "${!freqs[@]}"; do
  # The answered tone plays on to the end of its 2.5 s file, at most 1.1 s after its mark:
  # look for the next tone only once that one has surely ended.
  while awk -v n="$(capture_seconds)" -v q="$quiet_after" 'BEGIN { exit !(n < q) }'; do sleep 0.02; done
  found=""
  for _ in $(seq 1 400); do
    if awk -v l="$(recent_peak_db 2)" 'BEGIN { exit !(l > -100) }'; then
      found=$(capture_seconds)
      break
    fi
    sleep 0.02
  done
  [ -n "$found" ] || fail "frequency ${freqs[$f]} Hz: no tone within 8 s"
  click_panel "$wid" 640 431  # the answer
  heard+=("$found")
  # The mark appears when the answered tone's 1.4 s window has ended.
  marked=""
  for _ in $(seq 1 100); do
    if right_column_marked "${columns[$f]}"; then
      marked=yes
      break
    fi
    sleep 0.1
  done
  [ -n "$marked" ] || fail "frequency ${freqs[$f]} Hz: no red mark in column ${columns[$f]} after the answer"
  quiet_after=$(awk -v n="$(capture_seconds)" 'BEGIN { printf "%.3f", n + 1.15 }')
done
sleep 2.7  # the last tone plays out
stop_capture

for f in "${!freqs[@]}"; do
  t=${heard[$f]}
  from=$(awk -v t="$t" 'BEGIN { printf "%.3f", t + 0.15 }')
  to=$(awk -v t="$t" 'BEGIN { printf "%.3f", t + 0.45 }')
  hz=$(analyze_value frequency_hz tone "$E2E_TMP/capture.wav" --channel 1 --from "$from" --to "$to")
  awk -v h="$hz" -v w="${freqs[$f]}" 'BEGIN { exit !(h > w * 0.99 && h < w * 1.01) }' ||
    fail "tone $f: ${hz} Hz in the right channel, expected ${freqs[$f]} Hz"
  echo "ok tone $f: $hz Hz"
done
left_zero=$(analyze_value ch0_zero level "$E2E_TMP/capture.wav")
[ "$left_zero" = 1 ] || fail "the left channel carried sound during a right-ear test"

import -window "$wid" "$E2E_TMP/end.png"
marks=0
for f in "${!columns[@]}"; do
  right_column_marked "${columns[f]}" && marks=$((marks + 1))
  [ "$(pixel "$E2E_TMP/end.png" $((10 + columns[f])) $((50 + MENU_HEIGHT + 40)))" = 000000 ] ||
    fail "the left audiogram changed at column $f"
done
[ "$marks" -eq 13 ] || fail "$marks marks on the right audiogram, not 13"
# Answered at its first tone, each mark lies on the top row (the test's answers are prompt).
first=0
for f in "${!columns[@]}"; do
  [ "$(pixel "$E2E_TMP/end.png" $((420 + columns[f])) $((50 + MENU_HEIGHT + 40)))" = FF0000 ] && first=$((first + 1))
done
echo "marks on the top row: $first of 13"

send_keys "$wid" ctrl+q
wait_exit 10
status=$EXIT_STATUS
[ "$status" -eq 0 ] || fail "Ctrl+Q after the test ended the program with status $status"
echo "PASS audiometry_right"
