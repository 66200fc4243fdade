#!/usr/bin/env bash
# A private X display for end-to-end tests.
#   eval "$(scripts/display.sh start DIR)"   starts Xvfb, exports DISPLAY, remembers the PID in DIR
#   scripts/display.sh stop DIR              stops that Xvfb, by its PID
set -euo pipefail
cmd=${1:?start or stop}
dir=${2:?state folder}
mkdir -p "$dir"
case "$cmd" in
start)
  # -displayfd lets Xvfb pick a free display number, so tests can run side by side.
  exec 9>"$dir/display.num"
  Xvfb -displayfd 9 -screen 0 1280x800x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 1 100); do
    [ -s "$dir/display.num" ] && break
    sleep 0.05
  done
  num=$(head -n1 "$dir/display.num" | tr -d '[:space:]')
  if [ -z "$num" ]; then
    echo "display.sh: Xvfb did not start; see $dir/xvfb.log" >&2
    exit 1
  fi
  echo "export DISPLAY=:$num"
  ;;
stop)
  if [ -f "$dir/xvfb.pid" ]; then
    kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
    rm -f "$dir/xvfb.pid"
  fi
  ;;
*)
  echo "display.sh: start or stop" >&2
  exit 2
  ;;
esac
