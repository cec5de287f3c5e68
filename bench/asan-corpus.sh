#!/usr/bin/env bash
# Every corpus model through the AddressSanitizer and UndefinedBehaviorSanitizer
# build: packed, built and executed twice (the second execution reuses what
# the first planned) on its own inputs. Run it after every engine change.
#   bench/asan-corpus.sh [MODEL ...]     (default: every model in the corpus)
# Builds build-asan when it is missing; exports the corpus as
# bench/compare-ort.sh does when the directory is empty. Prints one line per model and exits 1 when a
# sanitizer reported anything or a model failed.
set -uo pipefail
cd "$(dirname "$0")/.."
corpus=${VEXA_CORPUS_DIR:-build/corpus}
bin=build-asan/bin
[ -x "$bin/vexa-bench" ] || BUILD_DIR=build-asan scripts/build.sh -DCMAKE_BUILD_TYPE=Debug -DVEXA_SANITIZE=ON >/dev/null
# Exported here only into an empty directory: VEXA_CORPUS_DIR=build/ops runs the operator graphs.
ls "$corpus"/*.json > /dev/null 2>&1 || /usr/bin/python3 bench/corpus/export_corpus.py "$corpus" 2>&1 | grep -v -i warn || true
models=("$@")
[ ${#models[@]} -gt 0 ] || mapfile -t models < <(cd "$corpus" && ls *.json | sed 's/\.json$//' | while read -r m; do [ -f "$m.onnx" ] && echo "$m"; done)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bad=0
for m in "${models[@]}"; do
  args=()
  while read -r name file dims; do
    if [ "$name" != - ]; then args+=(--input "$name=$file" --input_dimensions "$name=$dims"); else args+=(--input "$file"); fi
  done < <(/usr/bin/python3 - "$corpus" "$m" <<'PY'
import json, os, sys
d, m = sys.argv[1], sys.argv[2]
s = json.load(open(os.path.join(d, m + ".json")))
if "inputs" in s:
    for i, x in enumerate(s["inputs"]):
        print(x["name"], os.path.join(d, f"{m}.in{i}.raw"), ",".join(map(str, x["shape"])))
else:
    print("-", os.path.join(d, m + ".input.raw"), "-")  # one unnamed input
PY
)
  start=$(date +%s)
  if ! $bin/vexa-dlc-pack -o "$work/$m.dlc" "$corpus/$m.onnx" > /dev/null 2> "$work/err"; then
    printf '%-24s pack failed: %s\n' "$m" "$(head -c 160 "$work/err")"; bad=1; continue
  fi
  $bin/vexa-bench "$work/$m.dlc" --threads 2 --warmup 0 --iterations 1 "${args[@]}" > /dev/null 2> "$work/err"
  rc=$?
  if grep -q -E "ERROR: (Address|Leak)Sanitizer|runtime error:" "$work/err"; then
    printf '%-24s SANITIZER REPORT (%s s):\n' "$m" $(( $(date +%s) - start ))
    grep -m 5 -E "ERROR:|runtime error:|#[0-3] " "$work/err" | sed 's/^/    /'
    bad=1
  elif [ $rc -ne 0 ]; then
    printf '%-24s failed (%s s): %s\n' "$m" $(( $(date +%s) - start )) "$(tail -1 "$work/err" | head -c 160)"
    bad=1
  else
    printf '%-24s clean (%s s)\n' "$m" $(( $(date +%s) - start ))
  fi
done
exit $bad
