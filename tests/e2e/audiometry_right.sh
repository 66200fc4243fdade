#!/usr/bin/env bash
# A right-ear hearing test in the real program, to a listener who hears each frequency from
# a threshold of its own (steps 2 to 8) and presses the answer button 1.2 s after the tone at
# that threshold becomes audible in the capture: slow, but inside that tone's 1.4 s once the
# robot's own chain (the capture, xdotool, the program's 10 ms event loop: 20 to 200 ms on
# a busy 2-core machine) is added. Checks that 13 tones, lowest first, went to the right
# channel only, and that every mark on the right audiogram is at the step heard. It starts
# once the idle program has let its stream rest: the first tone wakes it.
. "$(dirname "$0")/lib.sh"

freqs=(125 250 500 750 1000 1500 2000 3000 4000 6000 8000 10000 12000)
columns=(20 60 100 140 170 195 220 245 270 295 320 340 360)
thresholds=(2 5 8 3 6 4 7 2 5 8 3 6 4)
reaction=1.2

start_program
wait_idle_stream
start_capture

# The peak level of step s at the panel's master volume 0.010, in dBFS: the files peak at
# 0 dBFS, the first step is 0.01 of that, each step 3.0103 dB more.
step_db() { awk -v s="$1" 'BEGIN { printf "%.2f", -80 + 3.0103 * s }'; }
louder() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a >= b) }'; }

# Whether the right audiogram has a red mark in the column at x, at any row.
right_column_marked() {
  import -window "$wid" "$E2E_TMP/now.png"
  local reds
  # grep -c reads to the end: an early exit would kill convert, and pipefail would say no.
  reds=$(convert "$E2E_TMP/now.png" -crop "1x330+$((420 + $1))+$((50 + MENU_HEIGHT + 30))" txt:- 2>/dev/null |
    grep -ci '#FF0000' || true)
  [ "${reds:-0}" -gt 0 ]
}

# The step of the mark in the column at x: the step whose 12 x 12 square around its row
# holds the most red. The dot fills its square; the lines that end at it, 6 px wide, fill
# no other square.
mark_step() {
  convert "$1" -crop "12x360+$((420 + $2 - 6))+$((50 + MENU_HEIGHT))" txt:- 2>/dev/null |
    awk -F'[,: ]+' '/#FF0000/ { n[$2]++ }
      END { best = -1; for (s = 0; s <= 25; s++) { y = int(40 + 12.5 * s); c = 0
              for (r = y - 6; r <= y + 5; r++) c += n[r]
              if (c > most) { most = c; best = s } }
            print best }'
}

click_panel "$wid" 640 431  # START_AUDIOMETRIE_R: starts the pass on the right ear
heard=()
for f in "${!freqs[@]}"; do
  want=$(step_db "${thresholds[$f]}")
  quiet=$(awk -v w="$want" 'BEGIN { printf "%.2f", w - 2.5 }')
  # Listening again only once the last answered tone is below this threshold: the next
  # frequency's first tone stops it.
  for _ in $(seq 1 500); do
    louder "$(recent_peak_db 2)" "$quiet" || break
    sleep 0.02
  done
  found=""
  for _ in $(seq 1 2500); do
    if louder "$(recent_peak_db 2)" "$(awk -v w="$want" 'BEGIN { print w - 1 }')"; then
      found=$(capture_seconds)
      break
    fi
    sleep 0.01
  done
  [ -n "$found" ] || fail "frequency ${freqs[$f]} Hz: step ${thresholds[$f]} never became audible"
  # The polling saw it up to tens of ms late: the first sample at the threshold in the last
  # half second of the capture is when it became audible.
  ms=$(($(stat -c %s "$CAPTURE") / 768 - 500))  # 768 bytes a millisecond
  dd if="$CAPTURE" bs=768 skip="$ms" count=500 status=none |
    sox -q -t raw -r 96000 -e floating-point -b 32 -c 2 - "$E2E_TMP/recent.wav"
  at=$(analyze_value reach_s reach "$E2E_TMP/recent.wav" --channel 1 --threshold-db "$(awk -v w="$want" 'BEGIN { print w - 1 }')")
  found=$(awk -v m="$ms" -v a="$at" 'BEGIN { printf "%.4f", m / 1000 + a }')
  press=$(awk -v t="$found" -v r="$reaction" 'BEGIN { printf "%.4f", t + r }')
  # The pointer waits on the answer button; the click goes at the capture's own time.
  xdotool mousemove --window "$wid" 640 $((431 + MENU_HEIGHT))
  sleep "$(awk -v p="$press" -v n="$(capture_seconds)" 'BEGIN { d = p - n - 0.03; printf "%.3f", (d > 0 ? d : 0) }')"
  while ! louder "$(capture_seconds)" "$press"; do :; done
  xdotool click 1  # the answer
  heard+=("$found")
  marked=""
  for _ in $(seq 1 100); do
    if right_column_marked "${columns[$f]}"; then
      marked=yes
      break
    fi
    sleep 0.1
  done
  [ -n "$marked" ] || fail "frequency ${freqs[$f]} Hz: no red mark in column ${columns[$f]} after the answer"
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
done
left_zero=$(analyze_value ch0_zero level "$E2E_TMP/capture.wav")
[ "$left_zero" = 1 ] || fail "the left channel carried sound during a right-ear test"

import -window "$wid" "$E2E_TMP/end.png"
right=0
for f in "${!columns[@]}"; do
  [ "$(pixel "$E2E_TMP/end.png" $((10 + columns[f])) $((50 + MENU_HEIGHT + 40)))" = 000000 ] ||
    fail "the left audiogram changed at column $f"
  step=$(mark_step "$E2E_TMP/end.png" "${columns[f]}")
  if [ "$step" = "${thresholds[$f]}" ]; then
    right=$((right + 1))
  else
    echo "frequency ${freqs[$f]} Hz: marked at step $step, heard at step ${thresholds[$f]}" >&2
  fi
done
echo "marks at the step heard: $right of 13"
[ "$right" -eq 13 ] || fail "$((13 - right)) marks not at the step heard"

send_keys "$wid" ctrl+q
wait_exit 10
status=$EXIT_STATUS
[ "$status" -eq 0 ] || fail "Ctrl+Q after the test ended the program with status $status"
echo "PASS audiometry_right"
