# What the benches that drive the real program share (sourced, with SRC and BUILD set):
# a scratch folder, removed at the end or kept and named on failure; a private display;
# the program's run folder copied in; its window found.

# bench_begin NAME: TMP, the display, the run folder; APP_PID, CAPTURE_PID, BUSY_PID are
# ended on exit, as are the sound server and the display.
bench_begin() {
  BENCH_NAME=$1
  TMP=$(mktemp -d "${TMPDIR:-/tmp}/velmora-$1.XXXXXX")
  APP_PID="" CAPTURE_PID="" BUSY_PID=""
  trap bench_cleanup EXIT
  eval "$("$SRC/scripts/display.sh" start "$TMP/display")"
  mkdir -p "$TMP/run"
  cp -r "$BUILD/run/velmora" "$BUILD/run/Velmora.uir" "$BUILD/run/Samples" "$TMP/run/"
}

bench_cleanup() {
  local status=$?
  for pid in "$CAPTURE_PID" "$BUSY_PID" "$APP_PID"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  done
  "$SRC/scripts/sound-server.sh" stop "$TMP/sound" >/dev/null 2>&1 || true
  "$SRC/scripts/display.sh" stop "$TMP/display" >/dev/null 2>&1 || true
  [ "$status" -eq 0 ] && rm -rf "$TMP" || echo "$BENCH_NAME: files kept in $TMP" >&2
  exit "$status"
}

# bench_window: the program's window in WID, and MENU_HEIGHT, the menu bar's height, to
# add to the panel's own y coordinates.
bench_window() {
  WID=""
  for _ in $(seq 1 200); do
    WID=$(xdotool search --onlyvisible --name '^Velmora$' 2>/dev/null | head -n1 || true)
    [ -n "$WID" ] && break
    sleep 0.05
  done
  [ -n "$WID" ] || { echo "$BENCH_NAME: no window" >&2; exit 1; }
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  MENU_HEIGHT=$((HEIGHT - 610))
}
