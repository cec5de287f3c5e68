#!/usr/bin/env bash
# Fixed-point execution on zoo models: calibrate, run quantized, compare.
#   bench/quant/quant-report.sh [MODEL ...]          (default resnet18 mobilenet_v2)
# Per model:
#   - vexa-dlc-quantize (weights per channel) on 32 Fashion-MNIST pictures
#     at the model's input size (the per-tensor table: range, step, offset,
#     SQNR of each tensor quantized);
#   - 100 other pictures through vexa-net-run in float and with
#     --enable_cpu_fxp, compared by vexa-dlc-diff (SQNR, top-1 agreement);
#     a ten-class model's top classes also against the pictures' labels;
#   - every tensor of the first 10 of them, float against fixed point: the
#     per-layer table of the error as it accumulates through the network;
#   - speed: vexa-bench on the same container, float then fixed point,
#     alternated three times per thread count (VEXA_BENCH_THREADS, default
#     "1 2"); medians of RUNS (default 30) executions, and the peak resident
#     memory of each (float / fixed point).
# Tables go to OUT (default build/quant-report); a summary to stdout.
# QUANTIZE_ARGS passes options to vexa-dlc-quantize (say "--mse" or
# "--bias_correction"); CALIBRATED=DIR takes DIR/MODEL/quantized.dlc from an
# earlier run instead of calibrating again.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/bin
zoo=${VEXA_ZOO_DIR:-build/zoo}
out=${OUT:-build/quant-report}
runs=${RUNS:-30}
models=("$@")
[ ${#models[@]} -gt 0 ] || models=(resnet18 mobilenet_v2)
[ -x "$bin/vexa-dlc-quantize" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
[ -f "$zoo/${models[0]}.onnx" ] || /usr/bin/python3 bench/zoo/export_zoo.py "$zoo" 2>&1 | grep -v -i warn || true
mkdir -p "$out"
field() { sed -n "s/.*\"$1\": *\([0-9.e+-]*\).*/\1/p"; }
for m in "${models[@]}"; do
  d="$out/$m"
  # The zoo's sample input, or the corpus's (VEXA_ZOO_DIR=build/corpus).
  sample="$zoo/$m.input.raw"
  [ -f "$sample" ] || sample="$zoo/$m.in0.raw"
  rm -rf "$d" && mkdir -p "$d"
  $bin/vexa-dlc-pack -o "$d/float.dlc" "$zoo/$m.onnx" >/dev/null
  # Pictures at the model's own input size.
  size=$($bin/vexa-dlc-info "$d/float.dlc" | sed -n 's/^ *input .*\[[0-9]*,3,\([0-9]*\),\([0-9]*\)\].*/\1 \2/p' | head -1)
  [ -n "$size" ] || { echo "$m: not an image model (one input of [N,3,H,W])" >&2; continue; }
  data="$out/data-${size/ /x}"
  [ -f "$data/labels.txt" ] || /usr/bin/python3 bench/quant/make_inputs.py "$data" 32 100 $size
  head -10 "$data/eval.txt" > "$data/eval10.txt"
  if [ -n "${CALIBRATED:-}" ] && [ -f "$CALIBRATED/$m/quantized.dlc" ]; then
    # Another run's calibration (the same encodings on another instruction set).
    cp "$CALIBRATED/$m/quantized.dlc" "$CALIBRATED/$m/calibration.txt" "$d/"
  else
    # shellcheck disable=SC2086  # options, split on purpose
    $bin/vexa-dlc-quantize --container "$d/float.dlc" --input_list "$data/calib.txt" ${QUANTIZE_ARGS:-} \
      -o "$d/quantized.dlc" > "$d/calibration.txt" 2>/dev/null
  fi
  for mode in float fixed; do
    flag=(); [ $mode = fixed ] && flag=(--enable_cpu_fxp)
    $bin/vexa-net-run --container "$d/quantized.dlc" --input_list "$data/eval.txt" \
      --output_dir "$d/$mode" "${flag[@]}" >/dev/null
    $bin/vexa-net-run --container "$d/quantized.dlc" --input_list "$data/eval10.txt" \
      --output_dir "$d/$mode-layers" --debug "${flag[@]}" >/dev/null
  done
  $bin/vexa-dlc-diff "$d/fixed" "$d/float" > "$d/outputs.txt" || true
  # A ten-class model (train_classifiers.py's) is also judged against the pictures' labels.
  /usr/bin/python3 - "$data/labels.txt" "$d/float" "$d/fixed" > "$d/accuracy.txt" <<'EOF_PY' || true
import glob, os, sys
import numpy as np
labels = [int(v) for v in open(sys.argv[1]).read().split()]
scores = []
for run in sys.argv[2:]:
    hits = 0
    for i, label in enumerate(labels):
        files = glob.glob(os.path.join(run, "Result_%d" % i, "*.raw"))
        logits = np.fromfile(files[0], np.float32) if len(files) == 1 else np.zeros(0)
        if logits.size != 10:
            sys.exit(0)
        hits += int(logits.argmax() == label)
    scores.append(100.0 * hits / len(labels))
print("  accuracy against the labels: %.0f%% float, %.0f%% fixed point" % tuple(scores))
EOF_PY
  $bin/vexa-dlc-diff "$d/fixed-layers" "$d/float-layers" > "$d/layers.txt" || true
  # Every tensor of ten inputs runs to gigabytes on a large model: the tables stay.
  rm -rf "$d/float" "$d/fixed" "$d/float-layers" "$d/fixed-layers"
  echo "== $m: 32 calibration, 100 evaluation pictures (tables in $d)"
  head -2 "$d/outputs.txt" | tail -1 | awk '{printf "  outputs over %s inputs: SQNR %s dB, cosine %s, top-1 agreement %s\n", $2, $6, $5, $7}'
  cat "$d/accuracy.txt"
  for t in ${VEXA_BENCH_THREADS:-1 2}; do
    f=(); x=(); fr=(); xr=()
    for i in 1 2 3; do
      j=$($bin/vexa-bench "$d/quantized.dlc" --threads "$t" --input "$sample" --free-dims 1 --warmup 0 --iterations "$runs" --json)
      f+=("$(field median_ms <<<"$j")"); fr+=("$(field peak_rss_mb <<<"$j")")
      j=$($bin/vexa-bench "$d/quantized.dlc" --fixed-point --threads "$t" --input "$sample" --free-dims 1 --warmup 0 --iterations "$runs" --json)
      x+=("$(field median_ms <<<"$j")"); xr+=("$(field peak_rss_mb <<<"$j")")
    done
    isa=$(sed -n 's/.*"isa": *"\([^"]*\)".*/\1/p' <<<"$j")
    fm=$(printf '%s\n' "${f[@]}" | sort -g | sed -n 2p)
    xm=$(printf '%s\n' "${x[@]}" | sort -g | sed -n 2p)
    # Peak resident memory of the whole process, the largest of the three runs.
    frm=$(printf '%s\n' "${fr[@]}" | sort -g | tail -1)
    xrm=$(printf '%s\n' "${xr[@]}" | sort -g | tail -1)
    awk -v t="$t" -v f="$fm" -v x="$xm" -v fr="$frm" -v xr="$xrm" \
      -v isa="$isa" \
      'BEGIN{printf "  %d thread(s) on %s: float %.2f ms, fixed point %.2f ms, speed-up %.2fx; peak memory %.0f / %.0f MB\n", t, isa, f, x, f/x, fr, xr}'
  done
done
