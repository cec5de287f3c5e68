#!/usr/bin/env bash
# Builds the tool and runs it on the bundled sample classifier: three
# images in, one probabilities.raw per image out under build/sample/output/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD_DIR=build scripts/build.sh -DCMAKE_BUILD_TYPE=Release
cd build/sample
../bin/vexa-net-run --container model.dlc --input_list input_list.txt --output_dir output
echo
echo "Outputs written under $(pwd)/output:"
find output -name '*.raw' | sort
