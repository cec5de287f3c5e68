#!/usr/bin/python3
"""Exports torchvision architectures with random weights as an ONNX model zoo.

    /usr/bin/python3 bench/zoo/export_zoo.py OUT_DIR [NAME ...]

Needs Debian's python3-torch and python3-torchvision. For each model NAME it
writes NAME.onnx, NAME.input.raw (one 1x3x224x224 float32 image) and
NAME.reference.raw (PyTorch's output for it, float32), seeded so that a rerun
gives the same files. NAME.json records the tensor names and shapes.
"""
import json
import os
import sys
import time

import torch
import torchvision

MODELS = [
    "resnet18", "resnet50", "mobilenet_v2", "mobilenet_v3_small", "mobilenet_v3_large", "squeezenet1_1",
    "shufflenet_v2_x1_0", "efficientnet_b0", "googlenet", "densenet121", "regnet_y_400mf", "convnext_tiny",
    "vit_b_16",
]


def export(name, out):
    torch.manual_seed(1)
    extra = {"aux_logits": False, "init_weights": True} if name == "googlenet" else {}
    model = getattr(torchvision.models, name)(weights=None, **extra).eval()
    image = torch.rand(1, 3, 224, 224, generator=torch.Generator().manual_seed(2))
    with torch.no_grad():
        reference = model(image)
    path = os.path.join(out, name)
    torch.onnx.export(model, image, path + ".onnx", input_names=["image"], output_names=["logits"],
                      opset_version=13)
    image.numpy().astype("float32").tofile(path + ".input.raw")
    reference.numpy().astype("float32").tofile(path + ".reference.raw")
    with open(path + ".json", "w") as f:
        json.dump({"input": "image", "input_shape": list(image.shape), "output": "logits",
                   "output_shape": list(reference.shape), "torch": torch.__version__,
                   "torchvision": torchvision.__version__}, f)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name in sys.argv[2:] or MODELS:
        start = time.time()
        export(name, out)
        print(f"{name}: {time.time() - start:.1f} s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
