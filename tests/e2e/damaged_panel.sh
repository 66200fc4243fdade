#!/usr/bin/env bash
# A damaged or missing panel file, or one with a value the program cannot take, ends the
# program with status -1 (255) before it shows anything.
. "$(dirname "$0")/lib.sh"

start_display
make_run_dir
good="$E2E_TMP/good.uir"
cp "$E2E_TMP/run/Velmora.uir" "$good"

damage() {
  local how=$1 file="$E2E_TMP/run/Velmora.uir"
  cp "$good" "$file"
  case "$how" in
  missing) rm -f "$file" ;;
  empty) : >"$file" ;;
  truncated) head -c "$(($(wc -c <"$good") / 2))" "$good" >"$file" ;;
  control-missing) sed -E '/name="NUMBER_PAUSE(_CAPTION|_DISPLAY)?"/,/<\/widget>/d' "$good" >"$file" ;;
  wrong-kind) sed 's/class="QSlider" name="NUMBER_HOLD"/class="QPushButton" name="NUMBER_HOLD"/' "$good" >"$file" ;;
  frequency-13) sed 's/>0 1 2 3 4 5 6 7 8 9 10 11 12</>0 1 2 3 4 5 6 7 8 9 10 11 13</' "$good" >"$file" ;;
  band-width-0) sed 's/<number>1000<\/number>/<number>0<\/number>/' "$good" >"$file" ;;
  binary) head -c 4096 /dev/urandom >"$file" ;;
  esac
}

for how in missing empty truncated control-missing wrong-kind frequency-13 band-width-0 binary; do
  damage "$how"
  if [ -f "$E2E_TMP/run/Velmora.uir" ] && cmp -s "$good" "$E2E_TMP/run/Velmora.uir"; then
    fail "$how: the panel file was not changed"
  fi
  start_app
  seen=""
  for _ in $(seq 1 100); do
    xdotool search --onlyvisible --name '^Velmora$' >/dev/null 2>&1 && seen=yes
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.05
  done
  wait_exit 5
  status=$EXIT_STATUS
  [ "$status" -eq 255 ] || fail "$how: exit status $status, not -1"
  [ -z "$seen" ] || fail "$how: a window was shown"
  echo "ok $how"
done
echo "PASS damaged_panel"
