#!/usr/bin/env python3
"""Calibration and evaluation inputs for the image models of the zoo, from
Fashion-MNIST: each 28x28 picture scaled to HEIGHTxWIDTH (bilinear),
repeated over three channels and normalised with ImageNet's mean and
deviation.

    make_inputs.py OUT_DIR [CALIBRATION=32] [EVALUATION=100] [HEIGHT=224] [WIDTH=HEIGHT]

Writes OUT_DIR/calib/N.raw, OUT_DIR/eval/N.raw (float32, NCHW) and the input
lists calib.txt and eval.txt (one file per line)."""
import gzip
import os
import sys

import numpy as np
import torch

IMAGES = "/usr/share/datasets/fashion-mnist/t10k-images-idx3-ubyte.gz"


def main():
    out = sys.argv[1]
    counts = {"calib": int(sys.argv[2]) if len(sys.argv) > 2 else 32,
              "eval": int(sys.argv[3]) if len(sys.argv) > 3 else 100}
    height = int(sys.argv[4]) if len(sys.argv) > 4 else 224
    width = int(sys.argv[5]) if len(sys.argv) > 5 else height
    with gzip.open(IMAGES) as f:
        pictures = np.frombuffer(f.read(), np.uint8, offset=16).reshape(-1, 28, 28)
    mean = torch.tensor([0.485, 0.456, 0.406]).view(1, 3, 1, 1)
    std = torch.tensor([0.229, 0.224, 0.225]).view(1, 3, 1, 1)
    start = 0
    for part, count in counts.items():
        os.makedirs(os.path.join(out, part), exist_ok=True)
        lines = []
        for i in range(count):
            x = torch.from_numpy(pictures[start + i].astype(np.float32) / 255.0).view(1, 1, 28, 28)
            x = torch.nn.functional.interpolate(x, size=(height, width), mode="bilinear", align_corners=False)
            x = (x.repeat(1, 3, 1, 1) - mean) / std
            path = os.path.abspath(os.path.join(out, part, "%d.raw" % i))
            x.numpy().astype(np.float32).tofile(path)
            lines.append(path)
        start += count
        with open(os.path.join(out, part + ".txt"), "w") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
