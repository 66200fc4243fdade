#!/usr/bin/env bash
# Installs what is missing, builds Velmora with its tone files, and starts it from the
# folder that holds its panel file and Samples/ (it opens both by relative path).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build --target velmora
cd build/run
exec ./velmora
