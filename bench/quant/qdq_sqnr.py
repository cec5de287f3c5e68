#!/usr/bin/python3
"""Both engines' signal-to-noise on an imported QDQ graph, over many pictures.

    bench/quant/qdq_sqnr.py ARCH [COUNT]     (ARCH: resnet50, inception_v3, ...; default 16 pictures)

The corpus judges each engine on five pictures, and on a deep random
network one picture's SQNR swings by about half a decibel. This rebuilds
torchvision's quantizable ARCH exactly as bench/zoo/export_zoo.py exports
it (same seeds, so the graph in build/corpus/ARCH_qdq.onnx is this
network), draws COUNT other pictures, and compares our output and ONNX
Runtime's with PyTorch's fake-quantized one on each: per picture, the two
SQNRs and the engines' SQNR against each other; at the end, the mean of
each and of their difference with its standard error, which says whether a
gap is more than chance. Needs build/corpus (compare-ort.sh makes it) and
bench/ort/node_modules.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench", "zoo"))
import export_zoo  # noqa: E402


def sqnr(a, ref):
    ref = ref.astype(np.float64)
    return 10 * np.log10(np.sum(ref ** 2) / np.sum((a.astype(np.float64) - ref) ** 2))


def main():
    arch = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 16
    size = 299 if arch == "inception_v3" else 224
    model_path = os.path.join(ROOT, "build", "corpus", arch + "_qdq.onnx")
    bin_dir = os.path.join(ROOT, "build", "bin")
    torch.manual_seed(1)  # as export_zoo.export seeds it
    model = export_zoo.SEQUENCE_MODELS[arch + "_qdq"][0]().eval()
    with tempfile.TemporaryDirectory() as work:
        dlc = os.path.join(work, "model.dlc")
        subprocess.run([os.path.join(bin_dir, "vexa-dlc-pack"), model_path, "-o", dlc], check=True, capture_output=True)
        inputs, refs = [], []
        for i in range(count):
            x = torch.rand(1, 3, size, size, generator=torch.Generator().manual_seed(500 + i))
            with torch.no_grad():
                refs.append(model(x).numpy().ravel())
            inputs.append(os.path.join(work, f"in{i}.raw"))
            x.numpy().astype(np.float32).tofile(inputs[-1])
        listing = os.path.join(work, "inputs.txt")
        with open(listing, "w") as f:
            f.write("\n".join(inputs) + "\n")
        subprocess.run([os.path.join(bin_dir, "vexa-net-run"), "--container", dlc, "--input_list", listing,
                        "--output_dir", os.path.join(work, "out")], check=True, capture_output=True)
        ours, theirs = [], []
        for i in range(count):
            mine = np.fromfile(os.path.join(work, "out", f"Result_{i}", "output.raw"), dtype=np.float32)
            ort_out = os.path.join(work, f"ort{i}.raw")
            subprocess.run(["node", "time_ort.js", model_path, inputs[i], "1", "1", f"1,3,{size},{size}", ort_out],
                           check=True, capture_output=True, cwd=os.path.join(ROOT, "bench", "ort"))
            ort = np.fromfile(ort_out, dtype=np.float32)
            ours.append(sqnr(mine, refs[i]))
            theirs.append(sqnr(ort, refs[i]))
            print(f"picture {i:2d}: ours {ours[-1]:6.2f} dB, ONNX Runtime {theirs[-1]:6.2f} dB, "
                  f"difference {ours[-1] - theirs[-1]:+.2f}; the engines against each other {sqnr(mine, ort):6.2f} dB",
                  flush=True)
    diff = np.array(ours) - np.array(theirs)
    err = diff.std(ddof=1) / np.sqrt(count) if count > 1 else float("nan")
    print(f"{arch}_qdq over {count} pictures: ours {np.mean(ours):.2f} dB, ONNX Runtime {np.mean(theirs):.2f} dB, "
          f"difference {diff.mean():+.2f} +- {err:.2f} dB (standard error)")


if __name__ == "__main__":
    main()
