#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: in a release
# build and in an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

BUILD_DIR=build scripts/build.sh -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build --output-on-failure -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
BUILD_DIR=build-asan scripts/build.sh -DCMAKE_BUILD_TYPE=Debug -DVEXA_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j "$(nproc)"
