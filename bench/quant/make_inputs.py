#!/usr/bin/env python3
"""Calibration and evaluation inputs for the image models of the zoo, from
Fashion-MNIST: each 28x28 picture scaled to HEIGHTxWIDTH (bilinear),
repeated over three channels and normalised with ImageNet's mean and
deviation.

    make_inputs.py OUT_DIR [CALIBRATION=32] [EVALUATION=100] [HEIGHT=224] [WIDTH=HEIGHT]

Writes OUT_DIR/calib/N.raw, OUT_DIR/eval/N.raw (float32, NCHW), the input
lists calib.txt and eval.txt (one file per line) and labels.txt, the class
of each evaluation picture (0-9), one per line."""
import gzip
import os
import sys

import numpy as np
import torch

DATA = "/usr/share/datasets/fashion-mnist/"
MEAN = torch.tensor([0.485, 0.456, 0.406]).view(1, 3, 1, 1)
STD = torch.tensor([0.229, 0.224, 0.225]).view(1, 3, 1, 1)


def load(part):
    """The pictures (N x 28 x 28, uint8) and labels of "train" or "t10k"."""
    with gzip.open(DATA + part + "-images-idx3-ubyte.gz") as f:
        pictures = np.frombuffer(f.read(), np.uint8, offset=16).reshape(-1, 28, 28)
    with gzip.open(DATA + part + "-labels-idx1-ubyte.gz") as f:
        labels = np.frombuffer(f.read(), np.uint8, offset=8)
    return pictures, labels


def batch(pictures, height, width):
    """Pictures (N x 28 x 28, uint8) as the network's input, N x 3 x H x W."""
    x = torch.from_numpy(pictures.astype(np.float32) / 255.0).unsqueeze(1)
    x = torch.nn.functional.interpolate(x, size=(height, width), mode="bilinear", align_corners=False)
    return (x.repeat(1, 3, 1, 1) - MEAN) / STD


def main():
    out = sys.argv[1]
    counts = {"calib": int(sys.argv[2]) if len(sys.argv) > 2 else 32,
              "eval": int(sys.argv[3]) if len(sys.argv) > 3 else 100}
    height = int(sys.argv[4]) if len(sys.argv) > 4 else 224
    width = int(sys.argv[5]) if len(sys.argv) > 5 else height
    pictures, labels = load("t10k")
    start = 0
    for part, count in counts.items():
        os.makedirs(os.path.join(out, part), exist_ok=True)
        lines = []
        for i in range(count):
            path = os.path.abspath(os.path.join(out, part, "%d.raw" % i))
            batch(pictures[start + i:start + i + 1], height, width).numpy().astype(np.float32).tofile(path)
            lines.append(path)
        with open(os.path.join(out, part + ".txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
        if part == "eval":
            with open(os.path.join(out, "labels.txt"), "w") as f:
                f.write("\n".join(str(v) for v in labels[start:start + count]) + "\n")
        start += count


if __name__ == "__main__":
    main()
