#!/usr/bin/env bash
# A damaged or missing panel file ends the program with status -1 (255) before it shows
# anything.
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
  control-missing) grep -v 'NUMBER_PAUSE' "$good" >"$file" ;;
  wrong-kind) sed -E '/NUMBER_HOLD/ s/\bslide\b/button/' "$good" >"$file" ;;
  binary) head -c 4096 /dev/urandom >"$file" ;;
  esac
}

for how in missing empty truncated control-missing wrong-kind binary; do
  damage "$how"
  if [ "$how" = wrong-kind ] && cmp -s "$good" "$E2E_TMP/run/Velmora.uir"; then
    fail "wrong-kind: could not change the kind of NUMBER_HOLD in the panel file"
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
