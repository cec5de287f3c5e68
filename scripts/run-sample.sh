#!/usr/bin/env bash
# Builds the tool and runs it on the bundled sample model.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD_DIR=build scripts/build.sh -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_TESTS=OFF
build/bin/vexa-net-run --version
