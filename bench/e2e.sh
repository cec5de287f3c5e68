#!/usr/bin/env bash
# Time per inference of vexa-net-run beside a bare loop over the same
# library, on the bundled sample and on a mid-size convolutional model, in
# tensor mode and with --userbuffer_tf8. The tool's figure is taken from two
# runs (N and 1 input lines) so that start-up and build drop out. The work
# directory (inputs and outputs) is made under $TMPDIR.
#   bench/e2e.sh [N] [R]     (needs a Release build in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-100}
reps=${2:-9}
bin=build/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
$bin/make-bench-models "$work"
$bin/vexa-dlc-pack -o "$work/resnet_like.dlc" "$work/resnet_like.onnx" >/dev/null
cp build/sample/model.dlc "$work/sample.dlc"
python3 - "$work" <<'PY'
import struct, sys, random
d = sys.argv[1]
random.seed(1)
for name, count in (("sample", 28 * 28), ("resnet_like", 64 * 56 * 56)):
    open(f"{d}/{name}.raw", "wb").write(struct.pack(f"{count}f", *[random.uniform(-1, 1) for _ in range(count)]))
PY
now() { date +%s.%N; }
tool_ms() {  # model mode lines
  local model=$1 mode=$2 lines=$3 list="$work/list_$3.txt"
  : > "$list"; for _ in $(seq "$lines"); do echo "$work/$model.raw" >> "$list"; done
  local extra=(); [ "$mode" = tf8 ] && extra=(--userbuffer_tf8)
  local t0 t1
  t0=$(now)
  $bin/vexa-net-run --container "$work/$model.dlc" --input_list "$list" --output_dir "$work/out" \
    --profiling_level off "${extra[@]}" >/dev/null
  t1=$(now)
  echo "$t0 $t1"
}
# This machine is shared and a run can be 10% slower than the one before
# it, so tool and bare runs alternate and each ratio is taken within one
# pair; the figures are medians over R pairs, with the lowest and highest
# pair ratio beside them.
printf "work directory: %s (%s)\n" "$work" "$(stat -f -c %T "$work")"
printf "%-12s %-7s %10s %10s %8s %15s\n" model mode "tool ms" "bare ms" ratio "pair range"
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for model in sample resnet_like; do
  for mode in tensor tf8; do
    tools=() bares=() ratios=()
    for _ in $(seq "$reps"); do
      read -r a0 a1 < <(tool_ms "$model" "$mode" "$n")
      read -r b0 b1 < <(tool_ms "$model" "$mode" 1)
      t=$(python3 -c "print((($a1-$a0)-($b1-$b0))/($n-1)*1000)")
      b=$($bin/bench-bare-loop "$work/$model.dlc" "$work/$model.raw" "$n" "$mode")
      tools+=("$t") bares+=("$b") ratios+=("$(python3 -c "print($t/$b)")")
    done
    range=$(printf '%s\n' "${ratios[@]}" | sort -g | awk 'NR==1{lo=$1} {hi=$1} END {printf "%.3f-%.3f", lo, hi}')
    printf "%-12s %-7s %10.3f %10.3f %8.3f %15s\n" "$model" "$mode" "$(printf '%s\n' "${tools[@]}" | median)" \
      "$(printf '%s\n' "${bares[@]}" | median)" "$(printf '%s\n' "${ratios[@]}" | median)" "$range"
  done
done
