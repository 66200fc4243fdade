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
  # -noreset: by default the server resets when its last client leaves, and a program
  # that connects in that moment is refused (a test starts one program after another).
  Xvfb -displayfd 9 -screen 0 1280x800x24 -nolisten tcp -noreset >"$dir/xvfb.log" 2>&1 &
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
  # Ready means a client can connect: the number alone is written a moment before.
  for _ in $(seq 1 100); do
    xdpyinfo -display ":$num" >/dev/null 2>&1 && break
    sleep 0.05
  done
  xdpyinfo -display ":$num" >/dev/null 2>&1 || {
    echo "display.sh: Xvfb on :$num does not answer; see $dir/xvfb.log" >&2
    exit 1
  }
  echo "export DISPLAY=:$num"
  ;;
stop)
  if [ -f "$dir/xvfb.pid" ]; then
    pid=$(cat "$dir/xvfb.pid")
    kill "$pid" 2>/dev/null || true
    # Wait for it to be gone: on its way out Xvfb removes its socket, and a display
    # started meanwhile under the same number would lose its own.
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$dir/xvfb.pid"
  fi
  ;;
*)
  echo "display.sh: start or stop" >&2
  exit 2
  ;;
esac
