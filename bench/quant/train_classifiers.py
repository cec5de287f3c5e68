#!/usr/bin/python3
"""The corpus's classifiers trained a little, so that fixed point's top-1
agreement means something.

    /usr/bin/python3 bench/quant/train_classifiers.py OUT_DIR NAME ... [--steps N]
    VEXA_ZOO_DIR=OUT_DIR bench/quant/quant-report.sh NAME_fmnist ...

Needs Debian's python3-torch and python3-torchvision, and libopenblas0-pthread
(without it torch's products run on the reference BLAS; it warns).

With random weights a network is either ordered or chaotic, never what
training makes of it. With batch normalisation's default statistics its
activations fade layer by layer (mobilenet_v2's last features are near
1e-9), the logits of different pictures lie close together, and whether
fixed point keeps the top class is left to chance. With statistics measured on
pictures it is chaotic: an input error 40 dB down leaves 10-16 dB at the
output, in float. Trained weights cannot be fetched here, so this trains
each NAME (the corpus's architecture and seeds, a ten-class head) for N
steps (default 150) of 32 of Fashion-MNIST's training pictures, never the
test pictures quant-report.sh calibrates and evaluates on.

Each picture gets noise of a random strength. Scaled up from 28x28, the
pictures are smoother than any photograph; trained on them alone, the
network learns to amplify fine detail, and with it any small error (in a
trial, mobilenet_v2: an input error 40 dB down left 5 dB at the output, in
float, and changed the top class of 33 of 100 pictures). With noise, as a
camera's, it does not.

Per NAME it writes NAME_fmnist.onnx and NAME_fmnist.in0.raw (a test picture)
and prints its accuracy on quant-report.sh's 100 evaluation pictures and
how float itself holds when the input carries an error 40 dB down (white
noise whose deviation is a hundredth of the pictures'): output SQNR and
top-1 agreement, a yardstick for fixed point, whose rounding starts at
about that level.
"""
import ctypes
import os
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "corpus"))
sys.path.insert(0, HERE)
import export_corpus  # noqa: E402
import make_inputs  # noqa: E402
from qdq_sqnr import sqnr  # noqa: E402

BATCH = 32
NOISE = 0.3            # strongest noise, in the normalised input's units
EVAL = slice(32, 132)  # quant-report.sh's evaluation pictures (after 32 for calibration)


def keep_memory():
    """glibc maps each large block afresh and trims what is freed: on a
    virtual machine where a page fault is dear, a batch then costs ten times
    its arithmetic. Blocks come from the heap and stay there."""
    libc = ctypes.CDLL("libc.so.6")
    libc.mallopt(-4, 0)            # M_MMAP_MAX
    libc.mallopt(-1, 2 ** 31 - 1)  # M_TRIM_THRESHOLD


def warn_reference_blas():
    """Debian's torch takes its matrix products from whichever libblas.so.3 the
    system's alternatives name. The reference one runs a dense layer on one
    core, many times slower: convnext_tiny's training, products nearly
    throughout, had not ended after 84 minutes; with OpenBLAS it takes 19."""
    try:
        with open("/proc/self/maps") as maps:
            reference = any("/blas/libblas.so.3" in line for line in maps)  # not openblas-pthread/
    except OSError:
        return
    if reference:
        print("train_classifiers: torch uses the reference BLAS; install libopenblas0-pthread "
              "for products many times faster", file=sys.stderr)


def replace_head(model):
    """The model's last dense layer becomes a ten-class one."""
    found = None
    for name, module in model.named_modules():
        if isinstance(module, torch.nn.Linear):
            found = name
    if found is None:
        raise ValueError("no dense head")
    *path, attr = found.split(".")
    parent = model
    for p in path:
        parent = getattr(parent, p)
    setattr(parent, attr, torch.nn.Linear(getattr(parent, attr).in_features, 10))


def train(model, pictures, labels, size, steps):
    generator = torch.Generator().manual_seed(0)
    optimiser = torch.optim.AdamW(model.parameters(), lr=1e-3)
    schedule = torch.optim.lr_scheduler.OneCycleLR(optimiser, max_lr=1e-3, total_steps=steps)
    model.train()
    for _ in range(steps):
        pick = torch.randint(0, len(pictures), (BATCH,), generator=generator).numpy()
        x = noisy_batch(pictures[pick], size, generator)
        loss = torch.nn.functional.cross_entropy(model(x), torch.from_numpy(labels[pick].astype(np.int64)))
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
        schedule.step()
    measure_normalisation(model, pictures, size, generator)
    return loss.item()


def noisy_batch(pictures, size, generator):
    x = make_inputs.batch(pictures, *size)
    return x + NOISE * torch.rand(len(x), 1, 1, 1, generator=generator) * torch.randn(x.shape, generator=generator)


def measure_normalisation(model, pictures, size, generator):
    """Batch normalisation statistics of the trained weights, an even average
    over 256 pictures: a running average over the steps holds weights long
    gone, and some architectures' (mobilenet_v3's momentum of 0.01) mostly
    the initial mean 0 and variance 1."""
    model.eval()
    norms = [m for m in model.modules() if isinstance(m, torch.nn.modules.batchnorm._BatchNorm)]
    for m in norms:
        m.reset_running_stats()
        m.momentum = None
        m.train()
    with torch.no_grad():
        for _ in range(256 // BATCH):
            pick = torch.randint(0, len(pictures), (BATCH,), generator=generator).numpy()
            model(noisy_batch(pictures[pick], size, generator))
    model.eval()


def main():
    args = sys.argv[1:]
    steps = 150
    if "--steps" in args:
        at = args.index("--steps")
        steps = int(args[at + 1])
        del args[at:at + 2]
    if len(args) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out, names = args[0], args[1:]
    os.makedirs(out, exist_ok=True)
    keep_memory()
    warn_reference_blas()
    torch.set_num_threads(os.cpu_count() or 1)
    specs = export_corpus.corpus()
    pictures, labels = make_inputs.load("train")
    test, test_labels = make_inputs.load("t10k")
    for name in names:
        _family, build, inputs, _names, _outs, opset, _extra = specs[name]
        start = time.time()
        torch.manual_seed(1)  # as export_corpus.export seeds it
        model = build()
        replace_head(model)
        size = tuple(inputs[0][0].shape[2:])
        loss = train(model, pictures, labels, size, steps)
        x = make_inputs.batch(test[EVAL], *size)
        noisy = x + x.std() * 10 ** (-40 / 20) * torch.randn(x.shape, generator=torch.Generator().manual_seed(1))
        with torch.no_grad():
            y = torch.cat([model(x[i:i + 25]) for i in range(0, len(x), 25)])
            y_noisy = torch.cat([model(noisy[i:i + 25]) for i in range(0, len(x), 25)])
        accuracy = int((y.argmax(1).numpy() == test_labels[EVAL]).sum())
        kept = int((y_noisy.argmax(1) == y.argmax(1)).sum())
        path = os.path.join(out, name + "_fmnist")
        picture = make_inputs.batch(test[:1], *size)
        torch.onnx.export(model, (picture,), path + ".onnx", input_names=["image"], output_names=["logits"],
                          opset_version=opset)
        picture.numpy().astype(np.float32).tofile(path + ".in0.raw")
        print(f"{name}: {steps} steps, last loss {loss:.2f}, accuracy {accuracy}/100; float with an input error "
              f"40 dB down: output SQNR {sqnr(y_noisy.numpy(), y.numpy()):.1f} dB, top-1 agreement {kept}/100; "
              f"{time.time() - start:.0f} s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
