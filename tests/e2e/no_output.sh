#!/usr/bin/env bash
# No sound server at start: the program says so, refuses a hearing test with the same
# words instead of charting silent tones, and quits at once with status 0.
. "$(dirname "$0")/lib.sh"

start_display
make_run_dir
# A server address where none runs, and no other backend to fall back on.
export PULSE_SERVER="unix:$E2E_TMP/no-server" VELMORA_AUDIO_BACKEND=pulse
start_app
wid=$(wait_window)
eval "$(xdotool getwindowgeometry --shell "$wid")"
MENU_HEIGHT=$((HEIGHT - 610))
close_boxes 10  # the start-up warning
grep -qF "No sound output works" "$E2E_TMP/app.err" || fail "no start-up warning: $(cat "$E2E_TMP/app.err")"

click_panel "$wid" 640 431  # START_AUDIOMETRIE_R
wait_stderr 5 "No sound output works" >/dev/null
[ "$(grep -cF "No sound output works" "$E2E_TMP/app.err")" -eq 2 ] || fail "the start was not refused with the warning"
close_boxes 2  # the refusal's box

send_keys "$wid" ctrl+q  # allowed at once: no pass runs
wait_exit 3
[ "$EXIT_STATUS" -eq 0 ] || fail "Ctrl+Q ended the program with status $EXIT_STATUS"
echo "PASS no_output"
