#!/usr/bin/env bash
# Our runtime beside ONNX Runtime's CPU engine on the model zoo and the
# bench models: the same ONNX file, input and thread count for both.
#   bench/compare-ort.sh [RUNS] [MODEL ...]      (default 20 runs, every model;
#   VEXA_BENCH_THREADS="1" picks the thread counts, default 1 and all cores)
# Per model and thread count: median ms per inference for each engine, the
# ratio ours/theirs, peak resident memory of each process, and the time from
# loading to the first result (container open, build and first execution
# against session creation and first run); then the geometric mean
# of the ratios. Our outputs are checked against PyTorch's reference
# (|ours - ref| <= 1e-5 + 1e-3 |ref|). Inputs: bench/zoo/export_zoo.py (run
# here when the zoo is missing; needs python3-torch and python3-torchvision)
# and make-bench-models. ONNX Runtime comes from npm into bench/ort/; the
# build and the tests never use it.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
shift || true
bin=build/bin
zoo=${VEXA_ZOO_DIR:-build/zoo}
[ -x "$bin/vexa-bench" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
[ -d bench/ort/node_modules/onnxruntime-node ] ||
  (cd bench/ort && npm install --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
if [ ! -f "$zoo/resnet18.onnx" ]; then
  /usr/bin/python3 bench/zoo/export_zoo.py "$zoo" 2>&1 | grep -v -i warn || true
fi
if [ ! -f "$zoo/resnet_like.onnx" ]; then
  $bin/make-bench-models "$zoo"
  /usr/bin/python3 - "$zoo" <<'PY'
import json, random, struct, sys
d = sys.argv[1]
random.seed(1)
for name, shape in (("vgg_like", [1, 3, 112, 112]), ("resnet_like", [1, 64, 56, 56]), ("mobilenet_like", [1, 32, 112, 112])):
    n = 1
    for s in shape: n *= s
    open(f"{d}/{name}.input.raw", "wb").write(struct.pack(f"{n}f", *[random.uniform(-1, 1) for _ in range(n)]))
    json.dump({"input_shape": shape}, open(f"{d}/{name}.json", "w"))
PY
fi
models=("$@")
[ ${#models[@]} -gt 0 ] || mapfile -t models < <(ls "$zoo"/*.onnx | xargs -n1 basename | sed 's/\.onnx$//')
threads_list=(${VEXA_BENCH_THREADS:-1 $(nproc)})
[ -n "${VEXA_BENCH_THREADS:-}" ] || [ "$(nproc)" -gt 1 ] || threads_list=(1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
peak() { /usr/bin/time -f '%M' -o "$work/rss" "$@" > "$work/out" 2> "$work/err" && cat "$work/out"; }
# A process that loads the runner and nothing else, taken off each peak.
empty_node_kb=$(/usr/bin/time -f '%M' node -e "require('./bench/ort/node_modules/onnxruntime-node')" 2>&1 | tail -1)

printf '%-20s %3s %9s %9s %6s %8s %8s %8s %8s %s\n' model thr ours_ms ort_ms ratio ours_MB ort_MB ours_1st ort_1st check
for threads in "${threads_list[@]}"; do
  ratios=()
  for m in "${models[@]}"; do
    dims=$(/usr/bin/python3 -c "import json,sys; print(','.join(map(str, json.load(open(sys.argv[1]))['input_shape'])))" "$zoo/$m.json")
    $bin/vexa-dlc-pack -o "$work/$m.dlc" "$zoo/$m.onnx" > /dev/null
    if ! ours=$(peak $bin/vexa-bench "$work/$m.dlc" --threads "$threads" --input "$zoo/$m.input.raw" --warmup 0 \
                --iterations "$runs" --output "$work/$m.ours.raw" --json); then
      printf '%-20s %3s  ours failed: %s\n' "$m" "$threads" "$(head -c 120 "$work/err")"
      continue
    fi
    ours_kb=$(cat "$work/rss")
    theirs=$(peak node bench/ort/time_ort.js "$zoo/$m.onnx" "$zoo/$m.input.raw" "$runs" "$threads" "$dims" "$work/$m.ort.raw")
    ort_kb=$(( $(cat "$work/rss") - empty_node_kb ))
    ref="$zoo/$m.reference.raw"; [ -f "$ref" ] || ref="$work/$m.ort.raw"
    line=$(/usr/bin/python3 - "$ours" "$theirs" "$ours_kb" "$ort_kb" "$work/$m.ours.raw" "$ref" "$work/$m.ort.raw" \
           "$zoo/$m.json" <<'PY'
import json, sys
import numpy as np
o, t = json.loads(sys.argv[1]), json.loads(sys.argv[2])
ours = np.fromfile(sys.argv[5], dtype=np.float32)
ref = np.fromfile(sys.argv[6], dtype=np.float32)
err = float(np.max(np.abs(ours - ref))) if ours.shape == ref.shape else float("nan")
if json.load(open(sys.argv[8])).get("quantized"):
    # A rounding step that flips early moves a quantized network's outputs by
    # whole steps: judged by signal-to-noise against the reference, which
    # must be no worse than ONNX Runtime's.
    ort = np.fromfile(sys.argv[7], dtype=np.float32)
    sqnr = lambda a: float(10 * np.log10(np.sum(ref ** 2) / max(np.sum((a - ref) ** 2), 1e-30)))
    ok = ours.shape == ref.shape and sqnr(ours) >= sqnr(ort) - 0.5
    err = f"{err:.2g}, SQNR {sqnr(ours):.1f} dB, ORT's {sqnr(ort):.1f} dB"
else:
    ok = ours.shape == ref.shape and bool(np.all(np.abs(ours - ref) <= 1e-5 + 1e-3 * np.abs(ref)))
print(f"{o['median_ms']:9.2f} {t['median_ms']:9.2f} {o['median_ms'] / t['median_ms']:6.2f} "
      f"{int(sys.argv[3]) / 1024:8.1f} {int(sys.argv[4]) / 1024:8.1f} {o['load_ms'] + o['first_ms']:8.0f} "
      f"{t['load_ms'] + t['first_ms']:8.0f} "
      f"{'ok' if ok else 'DIFF'} (max err {err if isinstance(err, str) else f'{err:.2g}'})")
PY
)
    printf '%-20s %3s %s\n' "$m" "$threads" "$line"
    ratios+=("$(echo "$line" | awk '{print $3}')")
  done
  [ ${#ratios[@]} -gt 0 ] && printf 'geometric mean of the ratios, %s thread(s): %s over %s models\n' "$threads" \
    "$(printf '%s\n' "${ratios[@]}" | awk '{s += log($1)} END {printf "%.2f", exp(s / NR)}')" "${#ratios[@]}"
done
echo "(ms: median of $runs runs; MB: peak resident memory, ONNX Runtime's less an empty runner's" \
     "$((empty_node_kb / 1024)) MB; 1st: ms from loading to the first result: container open, build and" \
     "first execution against session creation and first run)"
