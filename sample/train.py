#!/usr/bin/python3
"""Trains the bundled sample classifier on Fashion-MNIST and exports it.

    /usr/bin/python3 sample/train.py   # writes sample/fashion_classifier.onnx and sample/accuracy.txt

Needs Debian's python3-torch and dataset-fashion-mnist; about two minutes on
two cores. The seed is fixed, so a retrain gives the same model on the same
PyTorch build. The sample run (scripts/run-sample.sh) needs neither PyTorch
nor this script: only the exported model and the data set.
"""
import gzip
import os
import struct
import sys
import time

import torch
from torch import nn

DATA = "/usr/share/datasets/fashion-mnist"
HERE = os.path.dirname(os.path.abspath(__file__))
# The images the sample run classifies: the first SAMPLE_IMAGES of the test set.
SAMPLE_IMAGES = 500
EPOCHS = 3


def read_idx(name):
    with gzip.open(os.path.join(DATA, name), "rb") as f:
        data = f.read()
    magic, count = struct.unpack(">II", data[:8])
    if magic == 2051:  # images: count, rows, columns, then bytes
        rows, cols = struct.unpack(">II", data[8:16])
        pixels = torch.frombuffer(bytearray(data[16:]), dtype=torch.uint8)
        return pixels.reshape(count, 1, rows, cols).float() / 255.0
    if magic == 2049:  # labels
        return torch.frombuffer(bytearray(data[8:]), dtype=torch.uint8).long()
    raise ValueError(f"{name}: not an IDX file")


class Classifier(nn.Module):
    """Two convolution blocks and two dense layers: about 100k weights."""

    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(
            nn.Conv2d(1, 16, 3, padding=1), nn.BatchNorm2d(16), nn.ReLU(), nn.MaxPool2d(2),
            nn.Conv2d(16, 32, 3, padding=1), nn.BatchNorm2d(32), nn.ReLU(), nn.MaxPool2d(2),
        )
        self.head = nn.Sequential(nn.Flatten(), nn.Linear(32 * 7 * 7, 64), nn.ReLU(), nn.Linear(64, 10))

    def forward(self, x):
        return torch.softmax(self.head(self.features(x)), dim=1)


def accuracy(model, images, labels):
    model.eval()
    with torch.no_grad():
        predicted = torch.cat([model(images[i:i + 1000]).argmax(1) for i in range(0, len(images), 1000)])
    return (predicted == labels).float().mean().item()


def main():
    torch.manual_seed(20261207)
    torch.set_num_threads(os.cpu_count() or 1)
    train_x, train_y = read_idx("train-images-idx3-ubyte.gz"), read_idx("train-labels-idx1-ubyte.gz")
    test_x, test_y = read_idx("t10k-images-idx3-ubyte.gz"), read_idx("t10k-labels-idx1-ubyte.gz")
    model = Classifier()
    optimiser = torch.optim.Adam(model.parameters(), lr=2e-3)
    loss_fn = nn.NLLLoss()
    start = time.time()
    for epoch in range(EPOCHS):
        model.train()
        order = torch.randperm(len(train_x))
        for i in range(0, len(order), 128):
            batch = order[i:i + 128]
            optimiser.zero_grad()
            loss = loss_fn(torch.log(model(train_x[batch]) + 1e-9), train_y[batch])
            loss.backward()
            optimiser.step()
        print(f"epoch {epoch + 1}: test accuracy {accuracy(model, test_x, test_y):.4f} "
              f"({time.time() - start:.0f} s)", flush=True)

    full = accuracy(model, test_x, test_y)
    sample = accuracy(model, test_x[:SAMPLE_IMAGES], test_y[:SAMPLE_IMAGES])
    model.eval()
    torch.onnx.export(model, torch.zeros(1, 1, 28, 28), os.path.join(HERE, "fashion_classifier.onnx"),
                      input_names=["image"], output_names=["probabilities"], opset_version=13)
    with open(os.path.join(HERE, "accuracy.txt"), "w") as f:
        f.write(f"test_images {len(test_x)}\n")
        f.write(f"test_accuracy {full:.4f}\n")
        f.write(f"sample_images {SAMPLE_IMAGES}\n")
        f.write(f"sample_accuracy {sample:.4f}\n")
        f.write(f"trained_with torch {torch.__version__}, {EPOCHS} epochs, {time.time() - start:.0f} s\n")
    print(f"test accuracy {full:.4f}, first {SAMPLE_IMAGES} images {sample:.4f}")


if __name__ == "__main__":
    sys.exit(main())
