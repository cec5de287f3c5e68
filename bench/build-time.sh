#!/usr/bin/env bash
# Build time of graphs whose cost is in their structure, not their arithmetic:
# a chain of 200,000 Neg nodes and an If nested 22 deep (bench/Models.h).
# Prints vexa-bench's load (container open and graph build) and first
# execution for each (every input 1: the Ifs take their then-branches), as
# the median of R runs.
#   bench/build-time.sh [R]     (needs a Release build in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
bin=build/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
$bin/make-bench-models --structure "$work"
for model in chain_200k nested_if_22; do
  $bin/vexa-dlc-pack -o "$work/$model.dlc" "$work/$model.onnx" >/dev/null
  for _ in $(seq "$runs"); do
    $bin/vexa-bench "$work/$model.dlc" --threads 1 --warmup 0 --iterations 1 --inputs 1 --free-dims 1 --json
  done | /usr/bin/python3 -c '
import json, statistics, sys
rows = [json.loads(l) for l in sys.stdin if l.strip()]
load = statistics.median(r["load_ms"] for r in rows)
first = statistics.median(r["first_ms"] for r in rows)
print("%-14s load %8.1f ms   first execution %8.1f ms   (%d runs, %s)" % (sys.argv[1], load, first, len(rows), rows[0]["isa"]))' "$model"
done
