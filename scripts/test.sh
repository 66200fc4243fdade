#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. Tests that need a
# display or a sound server start their own private ones (scripts/sound-server.sh,
# scripts/display.sh), so nothing has to run beforehand. Extra arguments go to the
# first ctest run, e.g. `scripts/test.sh -L unit`.
#
# Then the tests that need no display run once more in an address+undefined sanitizer
# build: the procedures, the shell's end while a stimulation finishes its last cycle,
# and the mixer, where a use of freed memory would otherwise go unseen.
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
cd build-asan
exec ctest --output-on-failure -j2
