#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. Tests that need a
# display or a sound server start their own private ones (scripts/sound-server.sh,
# scripts/display.sh), so nothing has to run beforehand. Extra arguments go to the
# first ctest run, e.g. `scripts/test.sh -L unit`.
#
# Then two sanitizer builds (their settings and suppression lists: tests/sanitizers):
# - build-asan, address+undefined: every test but the end-to-end and package ones (those
#   run shell tools and the unsanitized program). It runs inside a private D-Bus session
#   when dbus-run-session is there, since the sound back ends and Qt then take paths
#   through libdbus that a machine without a session never reaches.
# - build-tsan, thread: the suites where threads meet — the mixer's command queue and
#   render, the output watchdog, the Audio_* calls, quitting while a tone sounds, the
#   virtual clock, the procedures, the shell, and the user-interface core. Only those are
#   built there.
#
# Last, a short fuzz pass: each target in fuzz/ for VELMORA_FUZZ_SECONDS (60 s, two at a
# time) in a clang build (build-fuzz), going on from the inputs the last pass kept.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
werror=OFF
if [ "${CI:-}" = true ]; then
  werror=ON
fi

# Every option stated, so that a build folder configured by hand for less still tests all.
cmake -S . -B build -G Ninja -DVELMORA_WERROR="$werror" -DVELMORA_SANITIZE= \
  -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_BENCH=ON -UVELMORA_TEST_AREAS
cmake --build build
(cd build && ctest --output-on-failure -j2 "$@")

session=()
if command -v dbus-run-session >/dev/null; then
  session=(dbus-run-session --)
fi

cmake -S . -B build-asan -G Ninja -DVELMORA_WERROR="$werror" -DVELMORA_SANITIZE=address \
  -DVELMORA_BUILD_BENCH=OFF -DVELMORA_TEST_AREAS="fake;platform;audio;ui;procedures;app;controls"
cmake --build build-asan
(cd build-asan && "${session[@]}" ctest --output-on-failure -j2)

tsan_tests=(audio_engine_test audio_output_test audio_api_test audio_exit_test velmora_fake_clock_test
            velmora_audiometry_test velmora_stimulation_test app_shell_test ui_core_test)
cmake -S . -B build-tsan -G Ninja -DVELMORA_WERROR="$werror" -DVELMORA_SANITIZE=thread \
  -DVELMORA_BUILD_BENCH=OFF -DVELMORA_TEST_AREAS="fake;audio;ui;procedures;app"
cmake --build build-tsan --target "${tsan_tests[@]}"
tsan_regex="^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
(cd build-tsan && ctest --output-on-failure -j2 -R "$tsan_regex")

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE= \
  -DVELMORA_WERROR="$werror" -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF
cmake --build build-fuzz --target velmora_fuzzers
cd build-fuzz
exec ctest --output-on-failure -j2 -L fuzz
