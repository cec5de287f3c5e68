#!/usr/bin/env bash
# Start-up cost: wall time of --help, and of a whole run of the sample with
# one input (an upper bound of process start to first execution), as the
# median of R runs.
#   bench/startup.sh [R]     (needs a Release build in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
median_ms() {
  local times=()
  for _ in $(seq "$runs"); do
    local t0 t1
    t0=$(date +%s%N); "$@" >/dev/null 2>&1 || true; t1=$(date +%s%N)
    times+=($(( (t1 - t0) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f", a[int((NR+1)/2)]/1000}'
}
cd build/sample
head -n 1 input_list.txt > /tmp/vexa-startup-list.txt
echo "--help:                 $(median_ms ../bin/vexa-net-run --help) ms"
echo "one inference, no log:  $(median_ms ../bin/vexa-net-run --container model.dlc --input_list /tmp/vexa-startup-list.txt --output_dir /tmp/vexa-startup-out --profiling_level off) ms"
