#!/usr/bin/env bash
# Real time through RTKit, as an unprivileged desktop user gets it (not part of CI):
#   bench/rtkit_grant.sh [BUILD_DIR ...]      default: build, and build-asan and build-tsan where built
#
# A private system bus (an abstract socket: rtkit-daemon chroots itself), polkitd and
# rtkit-daemon on it, and polkit told for the run's length to allow RTKit's action, since
# polkit allows it only to a login session and here is none. Then the output test's
# real-time case runs as `nobody` with RLIMIT_RTPRIO 0, so that the thread can only get
# real time from RTKit, and prints the priority it was granted (4 asked; 0 for none).
# Needs root (it starts the daemons, writes the polkit rule and switches user) and the
# packages rtkit and polkitd (scripts/install-deps.sh brings them).
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" = 0 ] || { echo "rtkit_grant: needs root" >&2; exit 2; }
RTKIT=/usr/libexec/rtkit-daemon
POLKITD=/usr/lib/polkit-1/polkitd
[ -x "$RTKIT" ] && [ -x "$POLKITD" ] || { echo "rtkit_grant: install rtkit and polkitd" >&2; exit 2; }
if [ $# -eq 0 ]; then
  set -- "$SRC/build"
  for b in build-asan build-tsan; do [ -x "$SRC/$b/tests/audio/audio_output_test" ] && set -- "$@" "$SRC/$b"; done
fi

TMP=$(mktemp -d /tmp/velmora-rtkit.XXXXXX)
chmod 711 "$TMP"
install -d -o nobody "$TMP/out"
RULE=/etc/polkit-1/rules.d/49-velmora-rtkit-bench.rules
PIDS=()
cleanup() {
  local status=$?
  [ ${#PIDS[@]} -eq 0 ] || kill "${PIDS[@]}" 2>/dev/null || true
  rm -f "$RULE"
  rm -rf "$TMP"
  exit "$status"
}
trap cleanup EXIT

cat >"$TMP/system.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:abstract=$TMP/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
cat >"$RULE" <<'EOF'
polkit.addRule(function(action, subject) {
    if (action.id == "org.freedesktop.RealtimeKit1.acquire-real-time") return polkit.Result.YES;
});
EOF

dbus-daemon --config-file="$TMP/system.conf" --nofork --nopidfile --print-address=3 3>"$TMP/address" 2>/dev/null &
PIDS+=($!)
for _ in $(seq 1 50); do [ -s "$TMP/address" ] && break; sleep 0.1; done
export DBUS_SYSTEM_BUS_ADDRESS
DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$TMP/address")
"$POLKITD" --no-debug </dev/null >/dev/null 2>&1 &
PIDS+=($!)
# rtkit-daemon sets its own file size limit to 0: its log goes through a pipe, never a file.
"$RTKIT" --stderr --no-canary </dev/null 2>&1 | cat >/dev/null &
PIDS+=($!)
sleep 1.5

status=0
for build in "$@"; do
  test="$build/tests/audio/audio_output_test"
  [ -x "$test" ] || { echo "rtkit_grant: no $test" >&2; status=1; continue; }
  out="$TMP/out/$(basename "$build").xml"
  ok=pass
  runuser -u nobody -- env DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" \
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$SRC/tests/sanitizers/lsan.supp" \
    TSAN_OPTIONS="suppressions=$SRC/tests/sanitizers/tsan.supp" \
    prlimit --rtprio=0 "$test" --gtest_filter='RenderThread.*' --gtest_output="xml:$out" \
    >"$TMP/log" 2>&1 || { ok=FAIL; status=1; cat "$TMP/log"; }
  granted=$(grep -o 'granted_priority" value="[0-9]*' "$out" 2>/dev/null | grep -o '[0-9]*$' || echo "?")
  echo "$(basename "$build"): test $ok, priority granted through RTKit: $granted"
  [ "$granted" = 4 ] || status=1
done
exit "$status"
