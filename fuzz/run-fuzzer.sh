#!/usr/bin/env bash
# run-fuzzer.sh FUZZER WORK_FOLDER SEED_FOLDER SECONDS [libFuzzer options]
#
# One time-boxed run of a fuzz target. New inputs collect in WORK_FOLDER/corpus, so a later
# run goes on from there; a crashing input is left in WORK_FOLDER as crash-*, to be copied
# under fuzz/regressions/ with its fix. Two workers at most: the machine is shared.
set -euo pipefail
fuzzer=$1 work=$2 seeds=$3 seconds=$4
shift 4
mkdir -p "$work/corpus"
exec "$fuzzer" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/corpus" "$seeds"
