#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (default 600 s), two at a time (the executor target alone). Crashing inputs land in fuzz/crashes/;
# keep the ones found as regression inputs under fuzz/regressions/.
#   scripts/fuzz.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/install-deps.sh
command -v clang++ >/dev/null || { apt-get install -y -qq clang libclang-rt-14-dev; }
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_FUZZ=ON \
  -DVEXA_BUILD_TESTS=OFF -DVEXA_KERNEL_ARCH= >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz-CommandLine fuzz-InputList fuzz-Container fuzz-Yaml fuzz-Graph fuzz-DiagLog
mkdir -p fuzz/crashes
run() {
  local name=$1
  local corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  [ -d "fuzz/seeds/$name" ] && cp -n fuzz/seeds/"$name"/* "$corpus"/ 2>/dev/null || true
  # The executor starts from the ONNX backend test models (Debian's libonnx-testdata).
  if [ "$name" = Graph ]; then
    find /usr/share/libonnx-testdata/data -name model.onnx -size -16k 2>/dev/null |
      while read -r m; do cp -n "$m" "$corpus/$(echo "$m" | md5sum | cut -c1-16)"; done
  fi
  local status=0
  build-fuzz/bin/fuzz-"$name" "$corpus" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix=fuzz/crashes/"$name"- -print_final_stats=1 >"build-fuzz/$name.log" 2>&1 || status=$?
  echo "$name: $(grep -E 'stat::number_of_executed_units' "build-fuzz/$name.log" | awk '{print $2}') runs," \
       "exit $status"
}
run CommandLine & run InputList & wait
run Container & run Yaml & wait
run DiagLog
run Graph
ls fuzz/crashes
