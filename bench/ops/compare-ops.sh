#!/usr/bin/env bash
# Each operator family with a non-trivial kernel, timed beside ONNX Runtime on
# typical shapes (bench/ops/export_ops.py: every resize mode, transposed and
# 3-D convolutions and pooling, depthwise, grouped and dilated convolutions,
# 1-D convolutions and pooling, normalizations, stand-alone unary functions
# (GELU written out, HardSwish), masks (Where), softmax over either axis,
# reductions over each axis, cumulative sums, embedding gathers, pad modes,
# transpose, pixel shuffles, concat and split, TopK, NMS, RoiAlign,
# GridSample, Einsum, batched MatMul and masked attention, dense layers on
# one token, LSTM and GRU, a convolutional DFT). None should take more than
# twice ONNX Runtime's time: this is how the next cliff is found before a
# user finds it.
#   bench/ops/compare-ops.sh [RUNS] [OP ...]     (default 20 runs, one thread;
#   VEXA_BENCH_THREADS="1 2" for more thread counts)
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=${1:-20}
shift || true
dir=${VEXA_OPS_DIR:-build/ops}
[ -x build/bin/vexa-bench ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
[ -d bench/ort/node_modules/onnxruntime-node ] ||
  (cd bench/ort && npm install --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
/usr/bin/python3 bench/ops/export_ops.py "$dir" 2>&1 | grep -v -i warn || true
exec /usr/bin/python3 bench/compare_ort.py "$dir" "$runs" "$(echo ${VEXA_BENCH_THREADS:-1} | tr ' ' ',')" "$@"
