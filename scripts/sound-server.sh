#!/usr/bin/env bash
# A private sound server with one null sink (float32le, 96000 Hz, stereo), for tests and
# benchmarks on machines with no sound card, as root or not, without systemd or a login
# session. Everything it makes lives in one folder; nothing touches the user's own sound
# setup.
#
#   eval "$(scripts/sound-server.sh start DIR)"   start, and set PULSE_SERVER etc. here
#   scripts/sound-server.sh env DIR                print those exports again
#   scripts/sound-server.sh record DIR FILE.wav    record the sink's monitor in the background
#   scripts/sound-server.sh record-stop DIR        end the recording (SIGINT: the WAV is closed)
#   scripts/sound-server.sh kill DIR               end the server at once (SIGKILL), as a crash
#                                                  would; start DIR brings it back
#   scripts/sound-server.sh add-sink DIR NAME CHANNELS DESCRIPTION [RATE [FORMAT]]
#                                                  one more null sink (by default float32le
#                                                  at the same rate; 1 channel is mono), as
#                                                  a second device or a mono headset
#                                                  (16000 s16le) would be
#   scripts/sound-server.sh remove-sink DIR NAME   take it away again, as a device unplugged
#   scripts/sound-server.sh stop DIR               stop the recording and the server, by PID
#   scripts/sound-server.sh run CMD [ARGS...]      all of it around one command, in a fresh
#                                                  temporary folder that is removed afterwards
#                                                  (also on failure); exits with CMD's status,
#                                                  77 when the server is not installed
#
# VELMORA_SOUND_SERVER picks the server:
#   pulse     PulseAudio (the default).
#   pipewire  PipeWire as Debian 12's desktops run it: pipewire, WirePlumber as its session
#             manager and pipewire-pulse as the PulseAudio server the program talks to, on a
#             D-Bus session bus of their own.
# VELMORA_PULSE_LOG_LEVEL (notice) is PulseAudio's log level in DIR/pulse.log; at debug it
# names each underrun of a stream ("Implicit underrun") and each rewrite of late data.
# VELMORA_SOUND_RATE (96000) is the sink's rate. At 96000 what the program plays reaches the
# monitor unchanged, to the frame; at another rate (48000, as most desktops run PipeWire)
# the server resamples the program's 96 kHz stream on the way.
#
# The exports: PULSE_SERVER, PULSE_RUNTIME_PATH, PULSE_STATE_PATH, XDG_RUNTIME_DIR, for
# PipeWire also PIPEWIRE_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS, and VELMORA_SOUND_DIR
# (the folder), VELMORA_SINK (the sink's name) and VELMORA_SOUND_SERVER for the helpers.
# PulseAudio's null sink needs norewinds=1: without it the server rewrites its buffer when
# a stream starts and the start of playback is lost from the monitor.
set -euo pipefail

SINK=velmora_null
SERVER="${VELMORA_SOUND_SERVER:-pulse}"
RATE="${VELMORA_SOUND_RATE:-96000}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
self="$here/$(basename "${BASH_SOURCE[0]}")"

die() { echo "sound-server: $*" >&2; exit 1; }

case "$SERVER" in
  pulse) daemons=(pulseaudio) ;;
  pipewire) daemons=(pipewire wireplumber pipewire-pulse dbus-daemon) ;;
  *) die "VELMORA_SOUND_SERVER is '$SERVER': pulse or pipewire" ;;
esac
[[ "$RATE" =~ ^[0-9]+$ ]] || die "VELMORA_SOUND_RATE is '$RATE', not a rate in Hz"

installed() {
  local d
  for d in "${daemons[@]}"; do
    command -v "$d" >/dev/null || return 1
  done
}

exports() {
  local dir="$1" server=pulse
  [ -f "$dir/server" ] && server="$(cat "$dir/server")"
  cat <<EOT
export PULSE_SERVER='unix:$dir/runtime/native'
export PULSE_RUNTIME_PATH='$dir/runtime'
export PULSE_STATE_PATH='$dir/state'
export XDG_RUNTIME_DIR='$dir/xdg'
export VELMORA_SOUND_DIR='$dir'
export VELMORA_SINK='$SINK'
export VELMORA_SOUND_SERVER='$server'
EOT
  if [ "$server" = pipewire ]; then
    cat <<EOT
export PIPEWIRE_RUNTIME_DIR='$dir/xdg'
export DBUS_SESSION_BUS_ADDRESS='unix:path=$dir/bus'
EOT
  fi
}

# The environment of every daemon: private runtime, configuration and state folders, so
# that neither the user's files nor a user's running server is read or written.
daemon_env() {
  local dir="$1"
  exports "$dir"
  cat <<EOT
export HOME='$dir/home'
export XDG_CONFIG_HOME='$dir/config'
export XDG_STATE_HOME='$dir/home/state'
export XDG_DATA_HOME='$dir/home/data'
export PULSE_CONFIG='$dir/daemon.conf'
export PIPEWIRE_CONFIG_DIR='$dir/config/pipewire'
unset PIPEWIRE_REMOTE
EOT
}

wait_for() {  # SECONDS WHAT COMMAND...: polls COMMAND every 0.1 s
  local limit="$1" what="$2" i
  shift 2
  for ((i = 0; i < limit * 10; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "sound-server: $what" >&2
  return 1
}

start_pulse() {
  local dir="$1"
  cat >"$dir/daemon.conf" <<EOT
default-sample-format = float32le
default-sample-rate = $RATE
alternate-sample-rate = $RATE
default-sample-channels = 2
avoid-resampling = yes
flat-volumes = no
exit-idle-time = -1
EOT
  cat >"$dir/default.pa" <<EOT
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/runtime/native
load-module module-null-sink sink_name=$SINK format=float32le rate=$RATE channels=2 norewinds=1 sink_properties="device.description='Velmora null sink'"
set-default-sink $SINK
EOT
  (
    eval "$(daemon_env "$dir")"
    pulseaudio -n -F "$dir/default.pa" --daemonize=yes --exit-idle-time=-1 \
      --use-pid-file=yes --log-target="file:$dir/pulse.log" --log-level="${VELMORA_PULSE_LOG_LEVEL:-notice}"
  ) >/dev/null 2>&1 || { cat "$dir/pulse.log" >&2 2>/dev/null || true; die "pulseaudio did not start"; }
  wait_for 10 "pulseaudio started but does not answer (see $dir/pulse.log)" \
    env PULSE_SERVER="unix:$dir/runtime/native" timeout 5 pactl info
}

# One daemon of the PipeWire set, in a session of its own so that a signal meant for the
# caller's terminal does not reach it; its PID goes to DIR/NAME.pid.
spawn() {
  local dir="$1" name="$2"
  shift 2
  (
    eval "$(daemon_env "$dir")"
    exec setsid "$@" </dev/null >"$dir/$name.log" 2>&1
  ) &
  echo $! >"$dir/$name.pid"
}

write_pipewire_config() {
  local dir="$1" conf="$dir/config/pipewire"
  mkdir -p "$conf" "$dir/config/wireplumber/main.lua.d"
  # The graph runs at the sink's rate only, so that a stream at that rate passes unresampled.
  cat >"$conf/pipewire.conf" <<EOT
context.properties = {
    default.clock.rate = $RATE
    default.clock.allowed-rates = [ $RATE ]
    core.daemon = true
    core.name = pipewire-0
    log.level = 2
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Dummy-Driver
               node.group = pipewire.dummy priority.driver = 20000 } }
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Freewheel-Driver
               priority.driver = 19000 node.group = pipewire.freewheel node.freewheel = true } }
    # Drives the graph with its own timer, as a sound card's clock would.
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = $SINK
               node.description = "Velmora null sink" media.class = Audio/Sink
               object.linger = true audio.format = F32 audio.rate = $RATE audio.channels = 2
               audio.position = [ FL FR ] monitor.channel-volumes = true
               priority.session = 2000 priority.driver = 2000 node.driver = true } }
]
EOT
  cat >"$conf/pipewire-pulse.conf" <<EOT
context.properties = {
    log.level = 2
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse args = { } }
]
pulse.properties = {
    server.address = [ "unix:$dir/runtime/native" ]
}
EOT
  # WirePlumber as the desktop runs it, less what reaches beyond the folder: no sound card,
  # camera or Bluetooth monitors, no stored stream or device choices, and no suspending of
  # the idle sink (a stream that starts then would wait for it to wake).
  cat >"$dir/config/wireplumber/wireplumber.conf" <<EOT
context.properties = {
    log.level = 2
    wireplumber.script-engine = lua-scripting
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-session-manager }
]
wireplumber.components = [
    { name = libwireplumber-module-lua-scripting, type = module }
    { name = main.lua, type = config/lua }
    { name = policy.lua, type = config/lua }
]
EOT
  cat >"$dir/config/wireplumber/main.lua.d/90-enable-all.lua" <<EOT
load_module("metadata")
default_access.enable()
load_module("default-nodes", { ["use-persistent-storage"] = false, ["auto-echo-cancel"] = false })
EOT
}

start_pipewire() {
  local dir="$1" p
  write_pipewire_config "$dir"
  mkdir -p "$dir/home/state" "$dir/home/data"
  # A bus of its own with no service activation: nothing is started on the bus's behalf.
  if ! { [ -f "$dir/dbus-daemon.pid" ] && alive "$(cat "$dir/dbus-daemon.pid")"; }; then
    cat >"$dir/bus.conf" <<EOT
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOT
    rm -f "$dir/bus"
    spawn "$dir" dbus-daemon dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile
    wait_for 10 "dbus-daemon did not start (see $dir/dbus-daemon.log)" test -S "$dir/bus" || return 1
  fi
  rm -f "$dir/xdg/pipewire-0" "$dir/xdg/pipewire-0.lock" "$dir/runtime/native"
  spawn "$dir" pipewire pipewire -c "$dir/config/pipewire/pipewire.conf"
  wait_for 10 "pipewire did not start (see $dir/pipewire.log)" test -S "$dir/xdg/pipewire-0" || return 1
  spawn "$dir" wireplumber wireplumber
  spawn "$dir" pipewire-pulse pipewire -c "$dir/config/pipewire/pipewire-pulse.conf"
  # Ready once the pulse server answers and WirePlumber has made the null sink the default:
  # before that a new stream would be left unlinked.
  wait_for 10 "pipewire-pulse does not answer (see $dir/pipewire-pulse.log)" \
    env PULSE_SERVER="unix:$dir/runtime/native" timeout 5 pactl info || return 1
  wait_for 10 "WirePlumber did not choose the null sink (see $dir/wireplumber.log)" \
    sh -c "PIPEWIRE_RUNTIME_DIR='$dir/xdg' timeout 5 pw-metadata -n default 0 default.audio.sink | grep -q '$SINK'" ||
    return 1
  for p in pipewire wireplumber pipewire-pulse; do
    alive "$(cat "$dir/$p.pid")" || { echo "sound-server: $p ended (see $dir/$p.log)" >&2; return 1; }
  done
}

start() {
  local dir="$1"
  installed || die "${daemons[*]}: not all installed (scripts/install-deps.sh)"
  mkdir -p "$dir/runtime" "$dir/state" "$dir/xdg" "$dir/home"
  chmod 700 "$dir/runtime" "$dir/xdg"
  echo "$SERVER" >"$dir/server"
  if ! "start_$SERVER" "$dir"; then
    stop "$dir"
    die "$SERVER did not start"
  fi
  exports "$dir"
}

# Whether a process runs. One that has ended but waits for its parent (a daemon's parent is
# init, which may reap it only seconds later) has ended.
alive() {
  local state
  kill -0 "$1" 2>/dev/null || return 1
  state="$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

stop_pid() {  # PID-FILE SIGNAL: signal one process we started, wait up to 5 s, then kill it
  local file="$1" sig="$2" pid
  [ -f "$file" ] || return 0
  pid="$(cat "$file")"
  rm -f "$file"
  [ -n "$pid" ] && alive "$pid" || return 0
  kill "-$sig" "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    alive "$pid" || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# Both servers load and unload further null sinks through their PulseAudio interface.
add_sink() {
  local dir="$1" name="$2" channels="$3" description="$4" rate="${5:-$RATE}" format="${6:-float32le}"
  local map=front-left,front-right
  [ "$channels" = 1 ] && map=mono
  eval "$(exports "$dir")"
  pactl load-module module-null-sink sink_name="$name" format="$format" rate="$rate" channels="$channels" \
    channel_map="$map" norewinds=1 sink_properties=device.description="$description" >"$dir/sink-$name.module"
  wait_for 10 "the sink $name did not appear" sh -c "pactl list short sinks | grep -qw '$name'"
}

remove_sink() {
  local dir="$1" name="$2"
  eval "$(exports "$dir")"
  pactl unload-module "$(cat "$dir/sink-$name.module")"
  rm -f "$dir/sink-$name.module"
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

# The sound server's processes, the pulse server last in line to be stopped first.
server_pids() {
  local dir="$1"
  echo "$dir/pipewire-pulse.pid" "$dir/wireplumber.pid" "$dir/pipewire.pid" "$dir/runtime/pid"
}

kill_server() {
  local dir="$1" f
  for f in $(server_pids "$dir"); do
    stop_pid "$f" KILL
  done
}

stop() {
  local dir="$1" f
  stop_pid "$dir/record.pid" INT
  for f in $(server_pids "$dir"); do
    stop_pid "$f" TERM
  done
  stop_pid "$dir/dbus-daemon.pid" TERM
}

run() {
  installed || { echo "sound-server: ${daemons[*]}: not all installed: skipped" >&2; exit 77; }
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
  kill) [ $# -eq 1 ] || die "usage: kill DIR"; kill_server "$(realpath -m "$1")" ;;
  add-sink) [ $# -ge 4 ] && [ $# -le 6 ] || die "usage: add-sink DIR NAME CHANNELS DESCRIPTION [RATE [FORMAT]]"
    dir="$(realpath -m "$1")"; shift; add_sink "$dir" "$@" ;;
  remove-sink) [ $# -eq 2 ] || die "usage: remove-sink DIR NAME"; remove_sink "$(realpath -m "$1")" "$2" ;;
  stop) [ $# -eq 1 ] || die "usage: stop DIR"; stop "$(realpath -m "$1")" ;;
  run) [ $# -ge 1 ] || die "usage: run CMD [ARGS...]"; run "$@" ;;
  *) sed -n '2,/^set -euo/p' "$self" | sed '$d' | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
