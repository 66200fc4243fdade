#!/usr/bin/env bash
# The desktop's usual setting: a PipeWire graph at 48 kHz, so the server resamples the
# program's 96 kHz stream. Timing to the frame does not survive that; what must is the
# function: the program starts, a right-ear hearing test's first tone sounds at its pitch in
# the right channel only, the stop button ends the pass and Ctrl+Q then quits with status 0.
export VELMORA_SOUND_SERVER=pipewire VELMORA_SOUND_RATE=48000
. "$(dirname "$0")/lib.sh"
command -v pipewire >/dev/null || { echo "SKIP: PipeWire is not installed"; exit 77; }

start_program
start_capture
click_panel "$wid" 640 431  # START_AUDIOMETRIE_R
heard=$(wait_sound 8)
t=$(capture_seconds)
sleep 0.6
stop_pass_and_quit
stop_capture

# The tone is found once a 50 ms stretch holds it; the 0.3 s after that lie inside it.
from=$(awk -v t="$t" 'BEGIN { printf "%.3f", t + 0.05 }')
to=$(awk -v t="$t" 'BEGIN { printf "%.3f", t + 0.35 }')
hz=$(analyze_value frequency_hz tone "$E2E_TMP/capture.wav" --channel 1 --from "$from" --to "$to")
awk -v h="$hz" 'BEGIN { exit !(h > 125 * 0.99 && h < 125 * 1.01) }' ||
  fail "${hz} Hz in the right channel, expected 125 Hz"
# Resampled silence is still silence: nothing of the tone may leak across.
left_peak=$(analyze_value ch0_peak_dbfs level "$E2E_TMP/capture.wav")
awk -v l="$left_peak" 'BEGIN { exit !(l < -120) }' || fail "the left channel peaked at $left_peak dBFS"
echo "measured: first tone heard ${heard} s after the start; ${hz} Hz; left channel peak $left_peak dBFS"
echo "PASS resampled_output"
