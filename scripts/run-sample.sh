#!/usr/bin/env bash
# Builds the tool and runs it on the bundled sample: a small classifier
# trained on Fashion-MNIST (sample/train.py) classifies the first 500 images
# of the data set's test part. Prints predictions against the true labels,
# the accuracy beside the one recorded at training, and the command that
# shows where the time went.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Only what the sample needs: the tool, the library, the packer, the report
# and the viewer (the tests and benchmarks are scripts/test.sh's).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target vexa-net-run sample
cd build/sample
images=$(wc -l < input_list.txt)
echo "Classifying $images Fashion-MNIST test images with vexa-net-run (its messages: build/sample/run.log)"
rm -rf output
../bin/vexa-net-run --container model.dlc --input_list input_list.txt --output_dir output > run.log
echo
../bin/sample-report output labels.txt accuracy.txt
echo
echo "Outputs: build/sample/output/Result_0 .. Result_$((images - 1)), one probabilities.raw (ten float32) each."
echo "Where the time went (add --html report.html or --chrome-trace trace.json for a page or a timeline):"
echo "  build/bin/vexa-diagview build/sample/output/VEXADiag.log"
