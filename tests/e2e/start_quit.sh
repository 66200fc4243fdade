#!/usr/bin/env bash
# The real program starts under a display and a sound server, shows its window titled
# "Velmora" with both empty audiograms, and Ctrl+Q ends it with status 0.
. "$(dirname "$0")/lib.sh"

start_program

shot="$E2E_TMP/start.png"
import -window "$wid" "$shot"

# Canvas pixel (cx, cy) of a canvas whose top-left panel corner is (left, 50).
canvas_pixel() { pixel "$shot" $(($1 + $3)) $((50 + MENU_HEIGHT + $2)); }

for left in 10 420; do
  name="canvas at x=$left"
  [ "$(canvas_pixel 0 180 "$left")" = 000000 ] || fail "$name: no frame on its left edge"
  [ "$(canvas_pixel 1 180 "$left")" = 000000 ] || fail "$name: frame is not 2 px wide"
  [ "$(canvas_pixel 379 180 "$left")" = 000000 ] || fail "$name: no frame on its right edge"
  [ "$(canvas_pixel 5 5 "$left")" = F0F0F0 ] || fail "$name: background is not F0F0F0"
  [ "$(canvas_pixel 20 200 "$left")" = 000000 ] || fail "$name: no column line at x=20"
  [ "$(canvas_pixel 360 200 "$left")" = 000000 ] || fail "$name: no column line at x=360"
  [ "$(canvas_pixel 30 340 "$left")" = 000000 ] || fail "$name: no row line at y=340"
  [ "$(canvas_pixel 30 202 "$left")" = F0F0F0 ] || fail "$name: something drawn between the rows"
done

send_keys "$wid" ctrl+q
wait_exit 10
status=$EXIT_STATUS
[ "$status" -eq 0 ] || fail "Ctrl+Q ended the program with status $status, not 0"
echo "PASS start_quit"
