#!/usr/bin/env bash
# run_target.sh BINARY SECONDS WORKDIR [libFuzzer options...]
# Runs one fuzz target for SECONDS from its committed seeds (corpus/NAME)
# and regression inputs (regressions/NAME), with its dictionary
# (dict/NAME.dict) when there is one. New inputs and crash files go to
# WORKDIR; the seeds in the source tree are never written. Leaves a one-line
# summary in WORKDIR/summary.
set -euo pipefail
bin=$1 seconds=$2 work=$3
shift 3
name=$(basename "$bin")
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$work/corpus"
options=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -close_fd_mask=3
  -print_final_stats=1 -artifact_prefix="$work/")
[ -f "$here/dict/$name.dict" ] && options+=(-dict="$here/dict/$name.dict")
dirs=("$work/corpus" "$here/corpus/$name")
[ -d "$here/regressions/$name" ] && dirs+=("$here/regressions/$name")

status=0
start=$SECONDS
"$bin" "${options[@]}" "$@" "${dirs[@]}" >"$work/log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
# With -fork=N the parent prints no final stats; its last progress line
# carries the executions of all its jobs.
[ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9]*\): cov:.*/\1/p' "$work/log" | tail -n 1)
echo "$name: ${runs:-?} executions in $((SECONDS - start))s, corpus $(ls "$work/corpus" | wc -l) inputs, status $status" | tee "$work/summary"
if [ "$status" -ne 0 ]; then
  tail -n 80 "$work/log"
  ls "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* 2>/dev/null || true
fi
exit "$status"
