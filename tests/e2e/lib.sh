# Shared steps of the end-to-end tests: a private display, optionally a private sound
# server, the program started from a copy of its run folder, and clean-up by PID.
# Sourced by each test; expects VELMORA_RUN_DIR, VELMORA_SOURCE_DIR, VELMORA_BUILD_DIR.
# VELMORA_SOUND_SERVER (pulse or pipewire, as scripts/sound-server.sh takes it) picks the
# sound server; the program reaches either through its PulseAudio client.
set -euo pipefail

E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX")
APP_PID=""
SOUND=0
QUIT_SENT=""

e2e_cleanup() {
  local status=$?
  if [ -n "$APP_PID" ] && kill -0 "$APP_PID" 2>/dev/null; then
    kill -9 "$APP_PID" 2>/dev/null || true
  fi
  [ "$SOUND" = 1 ] && "$VELMORA_SOURCE_DIR/scripts/sound-server.sh" stop "$E2E_TMP/sound" || true
  # The program's audio counters (VELMORA_REPORT_COUNTERS=1), so a run's log shows them.
  grep -h '^velmora_counter ' "$E2E_TMP/app.err" 2>/dev/null || true
  "$VELMORA_SOURCE_DIR/scripts/display.sh" stop "$E2E_TMP/display" || true
  if [ "$status" -ne 0 ]; then
    echo "e2e: failed; files kept in $E2E_TMP" >&2
  else
    rm -rf "$E2E_TMP"
  fi
  exit "$status"
}
trap e2e_cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

start_display() {
  eval "$("$VELMORA_SOURCE_DIR/scripts/display.sh" start "$E2E_TMP/display")"
}

start_sound() {
  SOUND=1
  eval "$("$VELMORA_SOURCE_DIR/scripts/sound-server.sh" start "$E2E_TMP/sound")"
}

# Ends the sound server at once, as a crash would; start_sound brings it back.
kill_sound() {
  "$VELMORA_SOURCE_DIR/scripts/sound-server.sh" kill "$E2E_TMP/sound"
}

# A run folder of our own, so a test can damage or remove files without touching the build.
make_run_dir() {
  mkdir -p "$E2E_TMP/run"
  cp "$VELMORA_RUN_DIR/velmora" "$VELMORA_RUN_DIR/Velmora.uir" "$E2E_TMP/run/"
  if [ -d "$VELMORA_RUN_DIR/Samples" ]; then
    cp -r "$VELMORA_RUN_DIR/Samples" "$E2E_TMP/run/"
  fi
}

start_app() {
  (cd "$E2E_TMP/run" && exec ./velmora) >"$E2E_TMP/app.out" 2>"$E2E_TMP/app.err" &
  APP_PID=$!
}

# Waits for the program's window and prints its id.
wait_window() {
  local wid=""
  for _ in $(seq 1 200); do
    wid=$(xdotool search --onlyvisible --name '^Velmora$' 2>/dev/null | head -n1 || true)
    [ -n "$wid" ] && break
    kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before showing its window: $(cat "$E2E_TMP/app.err")"
    sleep 0.05
  done
  [ -n "$wid" ] || fail "no window titled Velmora appeared"
  echo "$wid"
}

# Waits up to $1 seconds for the program to end and sets EXIT_STATUS to its exit status.
# Not in a $(...) subshell: only this shell can collect its child's status. After a Ctrl+Q
# it prints how long after it the program ended (the last one sent, when some were refused
# first). A program that has not ended leaves its threads' stacks in hung-stacks.txt.
wait_exit() {
  local limit=$1
  for _ in $(seq 1 $((limit * 50))); do
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.02
  done
  if kill -0 "$APP_PID" 2>/dev/null; then
    if command -v gdb >/dev/null; then
      timeout 60 gdb -p "$APP_PID" -batch -ex 'thread apply all bt' >"$E2E_TMP/hung-stacks.txt" 2>&1 || true
    fi
    fail "the program did not end within $limit s"
  fi
  if [ -n "$QUIT_SENT" ]; then
    echo "measured: the program ended $(awk -v a="$QUIT_SENT" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }') s after Ctrl+Q"
    QUIT_SENT=""
  fi
  EXIT_STATUS=0
  wait "$APP_PID" || EXIT_STATUS=$?
  APP_PID=""
}

# Display, sound server, the program from its own run folder, and its window: sets wid
# and MENU_HEIGHT (the menu bar above the 810 x 610 panel area).
start_program() {
  start_display
  start_sound
  open_program
}

# The program started again on the display and sound server already running.
open_program() {
  make_run_dir
  start_app
  wid=$(wait_window)
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  [ "$WIDTH" -eq 810 ] || fail "window is $WIDTH px wide, not 810"
  MENU_HEIGHT=$((HEIGHT - 610))
  [ "$MENU_HEIGHT" -gt 0 ] || fail "no room for the menu bar above the 610 px panel (height $HEIGHT)"
  sleep 0.5
}

# Waits until the program has let its idle stream rest (corked, so the server may suspend
# the sink): a test then starts from an output that must wake first, as after any pause.
wait_idle_stream() {
  for _ in $(seq 1 100); do
    pactl list sink-inputs 2>/dev/null | grep -q 'Corked: yes' && return 0
    sleep 0.1
  done
  fail "the idle program's stream was not corked within 10 s"
}

# Presses the key combination in the program's window. There is no window manager,
# so focus is given directly.
send_keys() {
  local wid=$1
  shift
  xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
  # Typed through XTEST into the focused window. The program may act on the press and
  # close its window before the release is sent, so an error here says nothing: the
  # caller checks what the program did.
  case " $* " in *" ctrl+q "*) QUIT_SENT=$(date +%s.%N) ;; esac
  xdotool key --clearmodifiers "$@" || true
}

# Clicks at a point of the panel's content area (panel pixels, as the panel file gives them).
click_panel() {
  local wid=$1 x=$2 y=$3
  xdotool mousemove --window "$wid" "$x" "$((y + MENU_HEIGHT))" click 1
}

# The colour of one screen pixel of a screenshot, as RRGGBB.
pixel() {
  local shot=$1 x=$2 y=$3
  convert "$shot" -format "%[hex:p{$x,$y}]" info: 2>/dev/null | cut -c1-6
}

# Records what the sound server plays, as raw stereo 32-bit float at 96000 Hz, from now
# until stop_capture. Small latency, so a test can follow the tones while they play.
# A sink other than the default one may be named ($1), into a file of its own.
start_capture() {
  local sink=${1:-$VELMORA_SINK}
  CAPTURE="$E2E_TMP/capture${1:+-$1}.raw"
  parec --device="$sink.monitor" --rate=96000 --format=float32le --channels=2 \
    --latency-msec=10 --raw >"$CAPTURE" 2>"$E2E_TMP/parec.err" &
  CAPTURE_PID=$!
  sleep 0.3
}

stop_capture() {
  kill -INT "$CAPTURE_PID" 2>/dev/null || true
  wait "$CAPTURE_PID" 2>/dev/null || true
  sox -q -t raw -r 96000 -e floating-point -b 32 -c 2 "$CAPTURE" "$E2E_TMP/capture.wav"
}

# Seconds of sound captured so far.
capture_seconds() {
  local bytes
  bytes=$(stat -c %s "$CAPTURE")
  awk -v b="$bytes" 'BEGIN { printf "%.3f", b / (8 * 96000) }'
}

# Peak level in dBFS of one channel (1 left, 2 right) over the last 50 ms captured;
# -200 for digital silence.
recent_peak_db() {
  local channel=$1 bytes
  bytes=$(stat -c %s "$CAPTURE")
  bytes=$((bytes - bytes % 8))
  [ "$bytes" -ge 38400 ] || { echo -200; return; }
  tail -c +$((bytes - 38400 + 1)) "$CAPTURE" | head -c 38400 |
    sox -q -t raw -r 96000 -e floating-point -b 32 -c 2 - -n remix "$channel" stats 2>&1 |
    awk '/^Pk lev dB/ { v = $4 } END { if (v == "" || v == "-inf") v = -200; print v }'
}

# One value from velmora-analyze's "key value" output.
analyze_value() {
  local key=$1
  shift
  "$VELMORA_ANALYZE" "$@" | awk -v k="$key" '$1 == k { print $2 }'
}

# Windows titled Velmora other than the panel: the program's message boxes.
box_windows() {
  xdotool search --onlyvisible --name '^Velmora$' 2>/dev/null | grep -vx "$wid" || true
}

# Waits up to $1 seconds for a message box and closes every one with Return.
close_boxes() {
  local limit=$1 boxes=""
  for _ in $(seq 1 $((limit * 20))); do
    boxes=$(box_windows)
    [ -n "$boxes" ] && break
    sleep 0.05
  done
  [ -n "$boxes" ] || fail "no message box within $limit s"
  for box in $boxes; do
    send_keys "$box" Return
  done
  sleep 0.3
}

# Waits up to $1 seconds for the program's standard error to hold the text $2; prints
# the seconds it took.
wait_stderr() {
  local limit=$1 text=$2 t0
  t0=$(date +%s.%N)
  for _ in $(seq 1 $((limit * 50))); do
    if grep -qF -- "$text" "$E2E_TMP/app.err"; then
      awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'
      return 0
    fi
    sleep 0.02
  done
  fail "no \"$text\" on standard error within $limit s: $(cat "$E2E_TMP/app.err")"
}

# Waits up to $1 seconds for sound in the right channel of the capture; prints the seconds.
wait_sound() {
  local limit=$1 t0
  t0=$(date +%s.%N)
  for _ in $(seq 1 $((limit * 25))); do
    if awk -v l="$(recent_peak_db 2)" 'BEGIN { exit !(l > -100) }'; then
      awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'
      return 0
    fi
    sleep 0.04
  done
  fail "no sound within $limit s"
}

# Presses STOP during a hearing test, then Ctrl+Q until the program ends (refused while the
# pass still runs its tone's window); fails unless it ends with status 0.
stop_pass_and_quit() {
  click_panel "$wid" 405 431  # STOP, honoured at the end of this tone's window
  local gone=0
  for _ in $(seq 1 20); do  # refused until the pass has ended
    for _ in $(seq 1 10); do  # the window goes as soon as the accepted one is acted on
      sleep 0.05
      xdotool getwindowname "$wid" >/dev/null 2>&1 || { gone=1; break; }
    done
    [ "$gone" = 1 ] && break
    send_keys "$wid" ctrl+q
  done
  wait_exit 5
  [ "$EXIT_STATUS" -eq 0 ] || fail "Ctrl+Q ended the program with status $EXIT_STATUS"
}
