#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. Tests that need a
# display or a sound server start their own private ones (scripts/sound-server.sh,
# scripts/display.sh), so nothing has to run beforehand. Extra arguments go to the
# first ctest run, e.g. `scripts/test.sh -L unit`.
#
# Then the tests that need no display run once more in an address+undefined sanitizer
# build: the procedures, the shell's end while a stimulation finishes its last cycle,
# and the mixer, where a use of freed memory would otherwise go unseen.
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

cmake -S . -B build-asan -G Ninja -DVELMORA_WERROR="$werror" -DVELMORA_SANITIZE=address \
  -DVELMORA_BUILD_BENCH=OFF -DVELMORA_TEST_AREAS="fake;audio;procedures;app"
cmake --build build-asan
(cd build-asan && ctest --output-on-failure -j2)

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE= \
  -DVELMORA_WERROR="$werror" -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF
cmake --build build-fuzz --target velmora_fuzzers
cd build-fuzz
exec ctest --output-on-failure -j2 -L fuzz
