#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. Tests that need a
# display or a sound server start their own private ones (scripts/sound-server.sh,
# scripts/display.sh), so nothing has to run beforehand. Extra arguments go to ctest,
# e.g. `scripts/test.sh -L unit`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
werror=OFF
if [ "${CI:-}" = true ]; then
  werror=ON
fi
cmake -S . -B build -G Ninja -DVELMORA_WERROR="$werror"
cmake --build build
cd build
exec ctest --output-on-failure -j2 "$@"
