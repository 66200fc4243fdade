#!/usr/bin/env bash
# Where the sound goes, row by row, each on a program of its own beside the private null
# sink and the further ones a row adds:
#   move       the stream is moved to another sink during a right-ear hearing test: the
#              pass ends with the warning that names 125 Hz, and the other sink hears at
#              most 0.3 s of it;
#   removal    the sink under the stream is removed: the same, on the sink the server
#              moved it to;
#   mono       a mono default sink refuses the test with its warning, hears nothing, and
#              the output is never reported lost;
#   stimulation the stream is moved during a stimulation: it goes on on the other sink.
. "$(dirname "$0")/lib.sh"

sinks() { "$VELMORA_SOURCE_DIR/scripts/sound-server.sh" "$@"; }

# The program's playback stream (captures are recordings, not listed here).
stream_id() {
  pactl list short sink-inputs | awk 'NR == 1 { print $1 }'
}

# Moves the program's stream to sink $1, as a desktop's sound settings do. WirePlumber
# applies a move through its policy and now and then lets one pass unapplied: ask again
# until the stream is there, for at most 3 s.
move_stream() {
  local sink=$1 index
  index=$(pactl list short sinks | awk -v n="$sink" '$2 == n { print $1 }')
  for _ in $(seq 1 15); do
    pactl move-sink-input "$(stream_id)" "$sink"
    sleep 0.2
    [ "$(pactl list short sink-inputs | awk 'NR == 1 { print $2 }')" = "$index" ] && return 0
  done
  fail "the stream was not moved to $sink"
}

# Seconds from the first to the last sound in a raw capture, 0 when it holds none.
heard_seconds() {
  local raw=$1 wav="${1%.raw}.wav" c
  sox -q -t raw -r 96000 -e floating-point -b 32 -c 2 "$raw" "$wav"
  for c in 0 1; do
    "$VELMORA_ANALYZE" stretches "$wav" --channel "$c"
  done | awk '/_start_s/ { s = $2; if (first == "" || s < first) first = s }
              /_length_ms/ { e = s + $2 / 1000; if (e > last) last = e }
              END { printf "%.3f", first == "" ? 0 : last - first }'
}

stop_captures() {
  local p
  for p in "$@"; do
    kill -INT "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
}

quit_program() {
  send_keys "$wid" ctrl+q
  wait_exit 5
  [ "$EXIT_STATUS" -eq 0 ] || fail "Ctrl+Q ended the program with status $EXIT_STATUS"
}

# A right-ear test begun on one sink, the sound sent elsewhere by $1 (a command) one
# second into its first tone, heard on sink $2 afterwards.
pass_sent_elsewhere() {
  local row=$1 from=$2 to=$3 change=$4 t0 ended heard
  open_program
  start_capture "$to"
  local to_pid=$CAPTURE_PID to_raw=$CAPTURE
  start_capture "$from"
  local from_pid=$CAPTURE_PID
  click_panel "$wid" 640 431  # START_AUDIOMETRIE_R
  wait_sound 8 >/dev/null
  sleep 1
  eval "$change"
  t0=$(date +%s.%N)  # the change is in effect: the server says so
  wait_stderr 5 "the sound output changed from" >/dev/null
  wait_stderr 5 "changed while 125 Hz was tested" >/dev/null
  ended=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
  close_boxes 2
  sleep 0.5
  stop_captures "$to_pid" "$from_pid"
  heard=$(heard_seconds "$to_raw")
  echo "measured: $row: the pass ended ${ended} s after the change; the other sink heard ${heard} s of it"
  awk -v h="$heard" 'BEGIN { exit !(h <= 0.3) }' || fail "$row: the sink the sound went to heard $heard s of the pass"
  quit_program
}

start_display
start_sound

# move
sinks add-sink "$E2E_TMP/sound" speakers 2 Speakers
pass_sent_elsewhere move "$VELMORA_SINK" speakers 'move_stream speakers'
grep -qF "the sound output changed from Velmora null sink to Speakers" "$E2E_TMP/app.err" ||
  fail "move: the change's line does not name both sinks: $(cat "$E2E_TMP/app.err")"

# removal: the test begins on the added sink, which then goes away
pactl set-default-sink speakers
pass_sent_elsewhere removal speakers "$VELMORA_SINK" 'sinks remove-sink "$E2E_TMP/sound" speakers'
pactl set-default-sink "$VELMORA_SINK"

# mono
# A headset's hands-free profile: one channel, 16 kHz, 16-bit, so the server converts the
# program's stream on the way, as it does for a real one.
sinks add-sink "$E2E_TMP/sound" headset 1 Headset 16000 s16le
pactl set-default-sink headset
started=$(date +%s.%N)
open_program
start_capture headset
click_panel "$wid" 640 431  # START_AUDIOMETRIE_R
wait_stderr 5 "both ears would hear every tone" >/dev/null
close_boxes 2
while awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { exit !(b - a < 5) }'; do sleep 0.1; done
stop_captures "$CAPTURE_PID"
heard=$(heard_seconds "$CAPTURE")
echo "measured: mono: the refused test played ${heard} s into the mono sink"
[ "$heard" = 0.000 ] || fail "mono: the refused test played $heard s"
if grep -q "output was lost" "$E2E_TMP/app.err"; then fail "mono: a working mono sink was reported lost"; fi
quit_program
sinks remove-sink "$E2E_TMP/sound" headset
pactl set-default-sink "$VELMORA_SINK"

# stimulation
sinks add-sink "$E2E_TMP/sound" speakers 2 Speakers
open_program
start_capture speakers
to_pid=$CAPTURE_PID to_raw=$CAPTURE
click_panel "$wid" 120 586  # START_STIMULATION, left ear
sleep 2
move_stream speakers
wait_stderr 5 "the sound output changed from Velmora null sink to Speakers" >/dev/null
sleep 3
click_panel "$wid" 120 586  # STOP STIMULATION
stop_captures "$to_pid"
sox -q -t raw -r 96000 -e floating-point -b 32 -c 2 "$to_raw" "$E2E_TMP/speakers.wav"
bursts=$(analyze_value stretch_count stretches "$E2E_TMP/speakers.wav" --channel 0)
echo "measured: stimulation: ${bursts} bursts on the sink it was moved to"
[ "$bursts" -ge 3 ] || fail "stimulation: $bursts bursts on the second sink after the move"
sleep 6  # the stopped run's last cycle
quit_program
echo "PASS route"
