#!/usr/bin/env bash
# Our runtime beside ONNX Runtime's CPU engine on the whole corpus (bench/
# corpus/export_corpus.py: classification, segmentation, detection, video,
# transformers, speech, text recognition, super-resolution, generators,
# optical flow, a fixed-point network) and the bench models: the same ONNX
# file, inputs and thread count for both.
#   bench/compare-ort.sh [RUNS] [MODEL ...]      (default 20 runs, every model;
#   VEXA_BENCH_THREADS="1 2" picks the thread counts, default 1 and all cores)
# The table and its checks are described in bench/compare_ort.py. The corpus
# is exported here when missing (needs python3-torch and python3-torchvision);
# ONNX Runtime comes from npm into bench/ort/. The build and the tests never
# use either.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
shift || true
bin=build/bin
corpus=${VEXA_CORPUS_DIR:-build/corpus}
[ -x "$bin/vexa-bench" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
[ -d bench/ort/node_modules/onnxruntime-node ] ||
  (cd bench/ort && npm install --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
/usr/bin/python3 bench/corpus/export_corpus.py "$corpus" 2>&1 | grep -v -i warn || true
if [ ! -f "$corpus/resnet_like.onnx" ]; then
  $bin/make-bench-models "$corpus"
  /usr/bin/python3 - "$corpus" <<'PY'
import json, random, struct, sys
d = sys.argv[1]
random.seed(1)
for name, shape in (("vgg_like", [1, 3, 112, 112]), ("resnet_like", [1, 64, 56, 56]), ("mobilenet_like", [1, 32, 112, 112])):
    n = 1
    for s in shape: n *= s
    open(f"{d}/{name}.input.raw", "wb").write(struct.pack(f"{n}f", *[random.uniform(-1, 1) for _ in range(n)]))
    json.dump({"input_shape": shape, "family": "bench"}, open(f"{d}/{name}.json", "w"))
PY
fi
threads=${VEXA_BENCH_THREADS:-1 $(nproc)}
[ -n "${VEXA_BENCH_THREADS:-}" ] || [ "$(nproc)" -gt 1 ] || threads=1
exec /usr/bin/python3 bench/compare_ort.py "$corpus" "$runs" "$(echo $threads | tr ' ' ',')" "$@"
