#!/usr/bin/env bash
# The real program's stimulation with the panel's defaults: bursts of 200 ms into the left
# channel only, 160 ms apart (10 ms muted, then the 150 ms pause), at pitches inside the
# band around 1500 Hz; the stop button ends it and the program then quits with status 0.
# It starts once the idle program has let its stream rest: the first burst wakes it.
. "$(dirname "$0")/lib.sh"

start_program
wait_idle_stream
start_capture

click_panel "$wid" 120 586  # START_STIMULATION
sleep 3
click_panel "$wid" 120 586  # STOP STIMULATION
sleep 1
stop_capture
send_keys "$wid" ctrl+q
wait_exit 10
status=$EXIT_STATUS
[ "$status" -eq 0 ] || fail "Ctrl+Q after the stop ended the program with status $status"

# Silence in the capture is digital zero, so each burst's sound is found to the sample: it
# starts at the play and ends when the fade of the mute (5 ms, as every change the engine
# makes) has run out. Hold = sound - 5 ms; from the mute to the next play = silence + 5 ms.
"$VELMORA_ANALYZE" stretches "$E2E_TMP/capture.wav" --channel 0 >"$E2E_TMP/stretches.txt"
"$VELMORA_ANALYZE" bursts "$E2E_TMP/capture.wav" --channel 0 >"$E2E_TMP/bursts.txt"
count=$(awk '$1 == "stretch_count" { print $2 }' "$E2E_TMP/stretches.txt")
[ "${count:-0}" -ge 6 ] || fail "only ${count:-0} bursts in 3 s of stimulation"
pitched=$(awk '$1 == "burst_count" { print $2 }' "$E2E_TMP/bursts.txt")
[ "$pitched" = "$count" ] || fail "$count stretches of sound but $pitched tone bursts"
right_zero=$(analyze_value ch1_zero level "$E2E_TMP/capture.wav")
[ "$right_zero" = 1 ] || fail "the right channel carried sound during a left-ear stimulation"

# 71000 ... 120999 Hz playback rates around 96000 put a 1500 Hz tone in 1109.4 ... 1890.6 Hz.
# The engine places play and mute to the frame; what it cannot help is a sleep of the
# program's thread that wakes late, which only ever lengthens. So nothing may be short,
# and a burst or two of the run may be long by such a late wake (a shared virtual machine
# has them now and then).
cat "$E2E_TMP/stretches.txt" "$E2E_TMP/bursts.txt" | awk -v n="$count" '
  $1 ~ /^stretch_[0-9]+_length_ms$/ { split($1, a, "_"); hold[a[2]] = $2 - 5 }
  $1 ~ /^stretch_[0-9]+_gap_ms$/ { split($1, a, "_"); apart[a[2]] = $2 + 5 }
  $1 ~ /^burst_[0-9]+_frequency_hz$/ { split($1, a, "_"); hz[a[2]] = $2 }
  END {
    bad = 0; late = 0
    for (i = 0; i < n; i++) {
      printf "burst %d: hold %.3f ms, %.3f ms after the previous mute, %.1f Hz\n", i, hold[i], apart[i], hz[i]
      if (hold[i] < 199) { print "  hold shorter than 200 - 1 ms"; bad = 1 }
      if (i > 0 && apart[i] < 159) { print "  less than 160 - 1 ms after the mute"; bad = 1 }
      # 10 ms and 150 ms of sleep, plus the calls between them: 160 ms and a little more.
      if (hold[i] > 201 || (i > 0 && apart[i] > 163)) { print "  long: a late wake"; late++ }
      if (hz[i] < 1109.3 || hz[i] > 1890.7) { print "  outside the band"; bad = 1 }
    }
    if (late > 2) { print late " bursts long, two allowed"; bad = 1 }
    exit bad
  }' || fail "bursts out of shape (see above)"
echo "PASS stimulation_left ($count bursts)"
