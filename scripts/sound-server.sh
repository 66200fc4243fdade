#!/usr/bin/env bash
# A private PulseAudio with one null sink (float32le, 96000 Hz, stereo), for tests and
# benchmarks on machines with no sound card, as root or not. Everything it makes lives in
# one folder; nothing touches the user's own sound setup.
#
#   eval "$(scripts/sound-server.sh start DIR)"   start, and set PULSE_SERVER etc. here
#   scripts/sound-server.sh env DIR                print those exports again
#   scripts/sound-server.sh record DIR FILE.wav    record the sink's monitor in the background
#   scripts/sound-server.sh record-stop DIR        end the recording (SIGINT: the WAV is closed)
#   scripts/sound-server.sh stop DIR               stop the recording and the server, by PID
#   scripts/sound-server.sh run CMD [ARGS...]      all of it around one command, in a fresh
#                                                  temporary folder that is removed afterwards
#                                                  (also on failure); exits with CMD's status,
#                                                  77 when PulseAudio is not installed
#
# The exports: PULSE_SERVER, PULSE_RUNTIME_PATH, PULSE_STATE_PATH, XDG_RUNTIME_DIR, and
# VELMORA_SOUND_DIR (the folder) and VELMORA_SINK (the sink's name) for the helpers.
# norewinds=1 matters: without it the server rewrites its buffer when a stream starts and
# the start of playback is lost from the monitor.
set -euo pipefail

SINK=velmora_null
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
self="$here/$(basename "${BASH_SOURCE[0]}")"

die() { echo "sound-server: $*" >&2; exit 1; }

exports() {
  local dir="$1"
  cat <<EOT
export PULSE_SERVER='unix:$dir/runtime/native'
export PULSE_RUNTIME_PATH='$dir/runtime'
export PULSE_STATE_PATH='$dir/state'
export XDG_RUNTIME_DIR='$dir/xdg'
export VELMORA_SOUND_DIR='$dir'
export VELMORA_SINK='$SINK'
EOT
}

start() {
  local dir="$1"
  command -v pulseaudio >/dev/null || die "pulseaudio is not installed (scripts/install-deps.sh)"
  mkdir -p "$dir/runtime" "$dir/state" "$dir/xdg" "$dir/home"
  chmod 700 "$dir/runtime" "$dir/xdg"
  cat >"$dir/daemon.conf" <<EOT
default-sample-format = float32le
default-sample-rate = 96000
alternate-sample-rate = 96000
default-sample-channels = 2
avoid-resampling = yes
flat-volumes = no
exit-idle-time = -1
EOT
  cat >"$dir/default.pa" <<EOT
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/runtime/native
load-module module-null-sink sink_name=$SINK format=float32le rate=96000 channels=2 norewinds=1
set-default-sink $SINK
EOT
  (
    eval "$(exports "$dir")"
    export PULSE_CONFIG="$dir/daemon.conf" HOME="$dir/home"
    pulseaudio -n -F "$dir/default.pa" --daemonize=yes --exit-idle-time=-1 \
      --use-pid-file=yes --log-target="file:$dir/pulse.log" --log-level=notice
  ) >/dev/null 2>&1 || { cat "$dir/pulse.log" >&2 2>/dev/null || true; die "pulseaudio did not start"; }
  for _ in $(seq 100); do
    if PULSE_SERVER="unix:$dir/runtime/native" pactl info >/dev/null 2>&1; then
      exports "$dir"
      return 0
    fi
    sleep 0.1
  done
  stop "$dir"
  die "pulseaudio started but does not answer (see $dir/pulse.log)"
}

stop_pid() {  # PID-FILE SIGNAL: signal one process we started, wait up to 5 s, then kill it
  local file="$1" sig="$2" pid
  [ -f "$file" ] || return 0
  pid="$(cat "$file")"
  rm -f "$file"
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill "-$sig" "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

record() {
  local dir="$1" file="$2"
  eval "$(exports "$dir")"
  parecord --device="$SINK.monitor" --rate=96000 --format=float32le --channels=2 \
    --file-format=wav --latency-msec=10 "$file" </dev/null >/dev/null 2>"$dir/parecord.log" &
  echo $! >"$dir/record.pid"
  # Recording has begun once the file exists and holds its header.
  for _ in $(seq 50); do
    [ -s "$file" ] && return 0
    sleep 0.05
  done
  die "parecord did not start (see $dir/parecord.log)"
}

stop() {
  local dir="$1"
  stop_pid "$dir/record.pid" INT
  stop_pid "$dir/runtime/pid" TERM
}

run() {
  command -v pulseaudio >/dev/null || { echo "sound-server: pulseaudio is not installed: skipped" >&2; exit 77; }
  local status=0
  run_dir="$(mktemp -d "${TMPDIR:-/tmp}/velmora-sound.XXXXXX")"
  trap 'stop "$run_dir"; rm -rf "$run_dir"' EXIT
  trap 'exit 130' INT TERM
  eval "$(start "$run_dir")"
  "$@" || status=$?
  return $status
}

cmd="${1:-}"
[ $# -ge 1 ] && shift
case "$cmd" in
  start) [ $# -eq 1 ] || die "usage: start DIR"; start "$(realpath -m "$1")" ;;
  env) [ $# -eq 1 ] || die "usage: env DIR"; exports "$(realpath -m "$1")" ;;
  record) [ $# -eq 2 ] || die "usage: record DIR FILE"; record "$(realpath -m "$1")" "$2" ;;
  record-stop) [ $# -eq 1 ] || die "usage: record-stop DIR"; stop_pid "$(realpath -m "$1")/record.pid" INT ;;
  stop) [ $# -eq 1 ] || die "usage: stop DIR"; stop "$(realpath -m "$1")" ;;
  run) [ $# -ge 1 ] || die "usage: run CMD [ARGS...]"; run "$@" ;;
  *) sed -n '2,/^set -euo/p' "$self" | sed '$d' | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
