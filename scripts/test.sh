#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. Tests that need a
# display or a sound server start their own private ones (scripts/sound-server.sh,
# scripts/display.sh), so nothing has to run beforehand. The end-to-end tests that play
# sound run once against PulseAudio and once against PipeWire. Extra arguments go to the
# first ctest run, e.g. `scripts/test.sh -L unit`.
#
# Then two sanitizer builds (their settings and suppression lists: tests/sanitizers):
# - build-asan, address+undefined: every test but the end-to-end and package ones (those
#   run shell tools and the unsanitized program), twice: inside a private D-Bus session,
#   where the sound back ends and Qt take paths through libdbus that a machine without a
#   session never reaches, and again without one, as on a server or a bare CI machine.
#   Then the audio tests a third time as on a desktop login without a session bus: a
#   display named, a runtime folder with no bus in it, a PulseAudio server answering.
# - build-tsan, thread: the unit and audio tests and the user-interface core. Only those
#   are built there.
#
# Last, a short fuzz pass: each target in fuzz/ for VELMORA_FUZZ_SECONDS (60 s, two at a
# time) in a clang build (build-fuzz), going on from the inputs the last pass kept.
#
# Each stage's time is printed at the end. The whole run is bounded by VELMORA_TEST_MINUTES
# (80): a build is stopped and no test outlives that deadline (ctest --stop-time), so a
# run that hangs fails with its stage named instead of being cut off from outside.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$(date +%s)
deadline=$((started + ${VELMORA_TEST_MINUTES:-80} * 60))
stage_name=""
stage_start=0
stage_times=()

stage() {
  local now
  now=$(date +%s)
  [ -n "$stage_name" ] && stage_times+=("$(printf '%-24s %5d s' "$stage_name" $((now - stage_start)))")
  stage_name="$1"
  stage_start=$now
  [ -n "$stage_name" ] && echo "test.sh: stage $stage_name ($((now - started)) s in)"
  return 0
}

summary() {
  local status=$? now line
  now=$(date +%s)
  echo "test.sh: stage times"
  for line in "${stage_times[@]}"; do
    echo "  $line"
  done
  [ -n "$stage_name" ] && printf '  %-24s %5d s  (%s)\n' "$stage_name" $((now - stage_start)) \
    "$([ "$status" -eq 0 ] && echo ended || echo "failed, status $status")"
  printf '  %-24s %5d s\n' total $((now - started))
  [ "$now" -lt "$deadline" ] || echo "test.sh: the ${VELMORA_TEST_MINUTES:-80} minute limit was reached"
}
trap summary EXIT

left() {
  local s=$((deadline - $(date +%s)))
  if [ "$s" -le 0 ]; then
    echo "test.sh: no time left for stage $stage_name" >&2
    return 1
  fi
  echo "$s"
}

# A build within the time left.
build() {
  local s
  s=$(left) || return 1
  timeout --kill-after=30 "$s" cmake --build "$@"
}

# Every ctest stops its tests at the deadline, given as a local time of day: ctest ignores
# a zone written after it.
ctest_args=(--output-on-failure --stop-time "$(date -d "@$deadline" '+%H:%M:%S')")

stage install
bash scripts/install-deps.sh
werror=OFF
if [ "${CI:-}" = true ]; then
  werror=ON
fi

stage build
# Every option stated, so that a build folder configured by hand for less still tests all.
cmake -S . -B build -G Ninja -DVELMORA_WERROR="$werror" -DVELMORA_SANITIZE= \
  -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_BENCH=ON -UVELMORA_TEST_AREAS
build build
stage tests
(cd build && ctest "${ctest_args[@]}" -j2 -LE pipewire "$@")
# The same end-to-end tests against PipeWire. A graph cycle that the program's stream misses
# on a loaded machine is a 1024-frame gap in the capture, which fails the frame-exact
# checks; a second try tells that from a test that fails every time.
stage e2e-pipewire
(cd build && ctest "${ctest_args[@]}" -L pipewire --repeat until-pass:2)

stage asan-build
cmake -S . -B build-asan -G Ninja -DVELMORA_WERROR="$werror" -DVELMORA_SANITIZE=address \
  -DVELMORA_BUILD_BENCH=OFF -DVELMORA_TEST_AREAS="fake;platform;audio;ui;procedures;app;controls"
build build-asan
if command -v dbus-run-session >/dev/null; then
  stage asan-session
  (cd build-asan && dbus-run-session -- ctest "${ctest_args[@]}" -j2)
fi
stage asan-no-session
# No session: libdbus finds none by address nor in the runtime folder. audio_realtime_test
# ran above: it measures to the millisecond against its own sound server, whose client
# library takes the same path with or without a session.
(cd build-asan && env -u DBUS_SESSION_BUS_ADDRESS -u XDG_RUNTIME_DIR \
  ctest "${ctest_args[@]}" -j2 -E '^audio_realtime_test$')
if command -v pulseaudio >/dev/null; then
  stage asan-no-bus
  # With a display named and no session bus, libdbus tries to start one through dbus-launch
  # for that display, which fails: no X server answers to that name (and a caller's display
  # is not used, so no bus is ever started), or dbus-launch is not installed. The private
  # server's runtime folder has no bus; audio_exit_test starts a server of its own, whose
  # folder has none either. audio_realtime_test is left out for the reason given above.
  (cd build-asan && env -u DBUS_SESSION_BUS_ADDRESS ../scripts/sound-server.sh run \
    env DISPLAY=:none ctest "${ctest_args[@]}" -j2 -L audio -E '^audio_realtime_test$')
fi

stage tsan-build
# Test names; a replay of the fuzz inputs is built as <name>_replay. audio_exit_test and
# audio_realtime_test play through the real output (the first quits while a tone sounds).
tsan_tests=(velmora_fake_clock_test audio_analysis_test audio_tone_files_test
            audio_hearing_safety_test velmora_audiometry_test velmora_stimulation_test
            velmora_hearing_test audio_exit_test audio_realtime_test audio_sdl_hang_test
            velmora_presses_test app_shell_test app_samples_test app_tone_faults_test
            audio_engine_test audio_output_test audio_timeline_test audio_api_test
            ui_core_test sys_test
            fuzz_replay_panel_file fuzz_replay_wav fuzz_replay_engine_commands
            fuzz_replay_frame_clock)
tsan_targets=()
for t in "${tsan_tests[@]}"; do
  case "$t" in
    fuzz_replay_*) tsan_targets+=("${t#fuzz_replay_}_replay") ;;
    *) tsan_targets+=("$t") ;;
  esac
done
cmake -S . -B build-tsan -G Ninja -DVELMORA_WERROR="$werror" -DVELMORA_SANITIZE=thread \
  -DVELMORA_BUILD_BENCH=OFF -DVELMORA_TEST_AREAS="fake;platform;audio;ui;procedures;app"
build build-tsan --target "${tsan_targets[@]}"
stage tsan
tsan_regex="^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
(cd build-tsan && ctest "${ctest_args[@]}" -j2 -R "$tsan_regex")

stage fuzz-build
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE= \
  -DVELMORA_WERROR="$werror" -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF
build build-fuzz --target velmora_fuzzers
stage fuzz
(cd build-fuzz && ctest "${ctest_args[@]}" -j2 -L fuzz)
stage ""
