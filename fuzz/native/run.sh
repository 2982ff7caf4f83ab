#!/usr/bin/env bash
# Runs each native fuzz target built by build.sh for SECONDS (default 30) over its
# seed corpus, and fails on the first finding: a sanitizer report, a broken
# invariant, an input slower than 10 s or a read over 2 GB. New inputs go to a
# scratch corpus, not the repository's; a finding's input is left in ARTIFACTS
# (default a scratch folder) and printed in base64 so that it can be replayed:
#   fuzz/native/build/TARGET FILE
#   bash fuzz/native/run.sh [SECONDS] [BUILD] [ARTIFACTS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-30}
build=${2:-$here/build}
artifacts=${3:-$(mktemp -d)}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The largest input each target takes whole: a 512-cell-wide canvas of bits a few
# hundred rows deep, a gray one of 128 x 128 cells, a version 40 matrix, a version
# 40-L stream.
declare -A max_len=([read_bits]=8192 [read_gray]=16384 [decode_matrix]=3920 [parse_segments]=2960)
status=0
for target in read_bits read_gray decode_matrix parse_segments; do
  mkdir -p "$scratch/$target" "$artifacts/$target"
  log="$scratch/$target.log"
  if ! "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len="${max_len[$target]}" -print_final_stats=1 \
      -artifact_prefix="$artifacts/$target/" "$scratch/$target" "$here/corpus/$target" >"$log" 2>&1; then
    status=1
    echo "== $target: finding" >&2
    grep -E "ERROR|runtime error|invariant broken|SUMMARY|Test unit written" "$log" >&2 || tail -20 "$log" >&2
    for found in "$artifacts/$target"/*; do
      [ -f "$found" ] && { echo "$found (base64):" >&2; base64 "$found" >&2; }
    done
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "$target: ${runs:-?} executions in ${seconds} s, ${rate:-?} a second"
done
exit "$status"
