#!/usr/bin/env bash
# The sound server is killed while a right-ear hearing test plays its first frequency:
# the pass ends without a mark and names 125 Hz. Once the server runs again, the next
# pass is heard without restarting the program.
. "$(dirname "$0")/lib.sh"

start_program
start_capture
click_panel "$wid" 640 431  # START_AUDIOMETRIE_R
wait_sound 8 >/dev/null

kill_sound
noticed=$(wait_stderr 5 "output was lost")
warned=$(wait_stderr 5 "lost while 125 Hz was tested")
echo "measured: the loss noticed ${noticed} s and warned $(awk -v a="$noticed" -v b="$warned" 'BEGIN { printf "%.2f", a + b }') s after the server was killed (at the end of the tone's window)"
close_boxes 2  # fails when no warning box comes

start_sound
start_capture
back=$(wait_stderr 5 "output is back")
echo "measured: the output back ${back} s after the server answered"
# The killed pass's last tone may still play out: start the new pass in silence.
for _ in $(seq 1 100); do
  awk -v n="$(capture_seconds)" -v l="$(recent_peak_db 2)" 'BEGIN { exit !(n > 1.5 && l < -100) }' && break
  sleep 0.05
done
click_panel "$wid" 640 431  # a new pass
heard=$(wait_sound 8)
echo "measured: the new pass's first tone heard ${heard} s after its start (its pause is 0.5 to 2.5 s)"

stop_pass_and_quit
echo "PASS output_lost"
