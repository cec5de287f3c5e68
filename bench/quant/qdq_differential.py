#!/usr/bin/python3
"""Random quantize-dequantize graphs, run by the engine and by a reference.

    bench/quant/qdq_differential.py [COUNT] [SEED] [--fixed-point]     (default 200 graphs, seed 1)

Each graph is a chain of nodes drawn at random over a 4-D picture: element-
wise arithmetic and activations, QuantizeLinear/DequantizeLinear pairs on
u8 and s8 grids, nodes that only move or rename bytes (Reshape, Flatten,
Identity, Transpose, Squeeze/Unsqueeze, Slice), pooling, convolutions and
dense layers on fake-quantized weights, Concat, and residual adds of two
branches. That is how exporters write QDQ models, and where the engine's
passes (codes read for floats, codes written for a QuantizeLinear, a
dequantization moved after a view) meet in combinations no model of the
corpus has. The reference below computes each node as the operator's
definition states it, in numpy (float32 where the definition rounds, float64
sums; convolution and pooling through PyTorch): not ONNX Runtime, whose
integer kernels round some sums otherwise. A graph fails when our run stops
or an output differs from the reference by more than a few codes of its
last grid on more than a few elements. Failing graphs are kept in
build/qdq-differential/ with their inputs.

With --fixed-point the graphs run with --enable_cpu_fxp, every other one
packed with --qdq-encodings (its pairs read as encodings), where the rewrite
puts every activation on a grid on top:
there a graph fails when the run stops or its output falls below 10 dB of
signal to noise against the reference.
"""
import os
import random
import subprocess
import sys
import tempfile

import numpy as np
import onnx
import torch
from onnx import TensorProto, helper, numpy_helper

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# VEXA_BIN=build-asan/bin runs the sanitizer build instead.
BIN = os.environ.get("VEXA_BIN", os.path.join(ROOT, "build", "bin"))


class Chain:
    """Nodes added one by one, each computed at once on the test input: a
    grid is fitted to the values its tensor holds, as calibration would."""

    def __init__(self, rng, x):
        self.rng = rng
        self.nodes, self.inits = [], []
        self.values = {"x": x}
        self.count = 0
        self.step = None  # the last grid's step, for the tolerance

    def name(self, base):
        self.count += 1
        return f"{base}{self.count}"

    def const(self, value, dtype=None):
        n = self.name("c")
        array = np.array(value, dtype=dtype) if dtype else np.asarray(value)
        if array.dtype == np.float64:
            array = array.astype(np.float32)
        self.inits.append(numpy_helper.from_array(array, n))
        self.values[n] = array
        return n

    def node(self, op, ins, n_out=1, **attrs):
        outs = [self.name(op.lower()) for _ in range(n_out)]
        self.nodes.append(helper.make_node(op, ins, outs, **attrs))
        evaluate(self.nodes[-1], self.values)
        return outs[0] if n_out == 1 else outs

    def qdq(self, x):
        """A pair on a grid over 1 to 1.3 times the tensor's range, as
        calibration by minimum and maximum fits one."""
        signed = self.rng.random() < 0.4
        lo, hi = min(float(self.values[x].min()), 0.0), max(float(self.values[x].max()), 0.0)
        step = max(hi - lo, 1e-3) * self.rng.uniform(1.0, 1.3) / 255
        zero = int(np.clip(round(-lo / step), 0, 255)) - (128 if signed else 0)
        s = self.const(np.float32(step))
        z = self.const(zero, np.int8 if signed else np.uint8)
        self.step = step
        return self.node("DequantizeLinear", [self.node("QuantizeLinear", [x, s, z]), s, z])

    def weights(self, shape, axis=0):
        """Fake-quantized per-channel weights, as exporters write them."""
        w = np.array([self.rng.uniform(-0.5, 0.5) for _ in range(int(np.prod(shape)))], np.float32).reshape(shape)
        scale = (np.abs(w).max(axis=tuple(i for i in range(w.ndim) if i != axis)) / 127 + 1e-6).astype(np.float32)
        q = self.const(np.clip(np.round(w / scale.reshape([-1 if i == axis else 1 for i in range(w.ndim)])), -127, 127), np.int8)
        return self.node("DequantizeLinear", [q, self.const(scale), self.const(np.zeros(scale.shape, np.int8), np.int8)],
                         axis=axis)


def build(rng, index):
    channels, h, w = rng.choice([3, 4, 8, 16]), rng.randint(4, 12), rng.randint(4, 12)
    shape = [1, channels, h, w]
    x = np.random.RandomState(index).uniform(-3, 3, shape).astype(np.float32)
    c = Chain(rng, x)
    cur = c.qdq("x") if rng.random() < 0.8 else "x"
    rank4 = True
    # Kinds of step and their weights; one that does not apply here falls
    # through to element-wise work.
    kinds = {"conv": 15, "pad": 4, "resize": 2, "norm": 2.5, "softmax": 1.5, "split": 1.5, "d2s": 1, "deconv": 1.5,
             "pool": 3, "gate": 3, "transpose": 5, "branch": 5, "concat": 4, "flatten": 6, "gemm": 8, "identity": 7,
             "slice": 6, "elementwise": 25}
    for _ in range(rng.randint(3, 9)):
        kind = rng.choices(list(kinds), weights=list(kinds.values()))[0]
        roomy = rank4 and shape[2] >= 4 and shape[3] >= 4
        if rank4 and kind == "conv":
            depthwise = rng.random() < 0.3
            out = shape[1] if depthwise else rng.choice([4, 8, 16])
            k = rng.choice([1, 3])
            stride = 2 if roomy and rng.random() < 0.25 else 1
            cur = c.node("Conv", [cur, c.weights([out, 1 if depthwise else shape[1], k, k]),
                                  c.const(np.zeros(out, np.float32) + 0.1)],
                         pads=[k // 2] * 4, strides=[stride] * 2, group=shape[1] if depthwise else 1)
            shape = [1, out, (shape[2] - 1) // stride + 1, (shape[3] - 1) // stride + 1]
        elif roomy and kind == "pad":
            cur = c.node("Pad", [cur, c.const(np.array([0, 0, 1, 1, 0, 0, 1, 1], np.int64))])
            shape[2] += 2
            shape[3] += 2
        elif rank4 and kind == "resize":
            cur = c.node("Resize", [cur, "", c.const(np.array([1, 1, 2, 2], np.float32))], mode="nearest")
            shape[2] *= 2
            shape[3] *= 2
        elif rank4 and kind == "norm":
            n = shape[1]
            cur = c.node("BatchNormalization", [cur, c.const(np.linspace(0.5, 1.5, n)), c.const(np.linspace(-0.2, 0.2, n)),
                                                c.const(np.linspace(-0.1, 0.1, n)), c.const(np.linspace(0.8, 1.2, n))])
        elif rank4 and kind == "softmax":
            cur = c.node("Softmax", [cur], axis=1)
        elif rank4 and shape[1] % 2 == 0 and kind == "split":
            halves = c.node("Split", [cur], n_out=2, axis=1)
            cur = c.node("Concat", [halves[1], halves[0]], axis=1)
        elif rank4 and shape[1] % 4 == 0 and kind == "d2s":
            cur = c.node("DepthToSpace", [cur], blocksize=2, mode=rng.choice(["DCR", "CRD"]))
            shape = [1, shape[1] // 4, shape[2] * 2, shape[3] * 2]
        elif rank4 and kind == "deconv":
            out = rng.choice([4, 8])
            cur = c.node("ConvTranspose", [cur, c.weights([shape[1], out, 2, 2], axis=1)], strides=[2, 2])
            shape = [1, out, shape[2] * 2, shape[3] * 2]
        elif roomy and kind == "pool":
            cur = c.node(rng.choice(["MaxPool", "AveragePool"]), [cur], kernel_shape=[2, 2], strides=[1, 1])
            shape[2] -= 1
            shape[3] -= 1
        elif rank4 and kind == "gate":
            gate = c.node("Sigmoid", [c.node("GlobalAveragePool", [cur])])
            cur = c.node("Mul", [cur, gate] if rng.random() < 0.5 else [gate, cur])
        elif rank4 and kind == "transpose":
            perm = [0, 1, 3, 2]
            cur = c.node("Transpose", [cur], perm=perm)
            shape = [shape[i] for i in perm]
        elif rank4 and kind == "branch":
            # No Neg: x + q(-x) leaves only the rounding, which no engine keeps.
            branch = c.node(rng.choice(["Relu", "Sigmoid", "Tanh"]), [cur])
            if rng.random() < 0.5:
                branch = c.qdq(branch)
            cur = c.node("Add", [cur, branch])
        elif rank4 and kind == "concat":
            other = c.node("Mul", [cur, c.const(np.float32(0.5))])
            cur = c.node("Concat", [cur, c.qdq(other)], axis=1)
            shape[1] *= 2
        elif kind == "flatten":
            if rank4:
                cur = c.node("Flatten", [cur]) if rng.random() < 0.5 else \
                    c.node("Reshape", [cur, c.const(np.array([1, -1], np.int64))])
                shape = [1, int(np.prod(shape[1:]))]
                rank4 = False
            else:
                cur = c.node("Unsqueeze", [cur, c.const(np.array([0], np.int64))])
                cur = c.node("Squeeze", [cur, c.const(np.array([0], np.int64))])
        elif not rank4 and kind == "gemm":
            out = rng.choice([5, 10, 32])
            cur = c.node("Gemm", [cur, c.weights([out, shape[1]]), c.const(np.zeros(out, np.float32) + 0.05)], transB=1)
            shape = [1, out]
        elif kind == "identity":
            cur = c.node("Identity", [cur])
        elif kind == "slice" and roomy:
            cur = c.node("Slice", [cur, c.const(np.array([1], np.int64)), c.const(np.array([shape[2]], np.int64)),
                                   c.const(np.array([2], np.int64))])
            shape[2] -= 1
        else:
            op = rng.choice(["Add", "Mul", "Sub", "Div", "Relu", "Sigmoid", "Clip", "HardSwish", "Tanh", "LeakyRelu"])
            if op in ("Add", "Mul", "Sub", "Div"):
                k = np.float32(rng.uniform(0.5, 1.5))
                args = [cur, c.const(k)] if rng.random() < 0.7 else [c.const(k), cur]
                if op == "Div" and args[1] == cur:
                    args = [cur, c.const(k)]
                cur = c.node(op, args)
            elif op == "Clip":
                cur = c.node("Clip", [cur, c.const(np.float32(-1)), c.const(np.float32(3))])
            else:
                cur = c.node(op, [cur])
        if rng.random() < 0.55:
            cur = c.qdq(cur)
    c.nodes.append(helper.make_node("Identity", [cur], ["y"]))
    evaluate(c.nodes[-1], c.values)
    graph = helper.make_graph(c.nodes, f"g{index}", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, channels, h, w])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)], c.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 14)])
    return model, x, c.values["y"], c.step


def evaluate(n, v):
    """Node n computed from the operator's definition on the values in v."""
    def attr(n, k, d=None):
        for a in n.attribute:
            if a.name == k:
                return helper.get_attribute_value(a)
        return d

    def along(t, axis, rank):
        if t.ndim != 1:
            return t
        shape = [1] * rank
        shape[axis] = -1
        return t.reshape(shape)

    i = [v[k] if k else None for k in n.input]
    op = n.op_type
    if op == "QuantizeLinear":
        s, z = along(i[1], attr(n, "axis", 1), i[0].ndim), along(i[2], attr(n, "axis", 1), i[0].ndim)
        q = np.round((i[0] / s).astype(np.float32)) + z.astype(np.float32)
        r = np.clip(q, np.iinfo(z.dtype).min, np.iinfo(z.dtype).max).astype(z.dtype)
    elif op == "DequantizeLinear":
        s, z = along(i[1], attr(n, "axis", 1), i[0].ndim), along(i[2], attr(n, "axis", 1), i[0].ndim)
        r = ((i[0].astype(np.int32) - z.astype(np.int32)).astype(np.float32) * s).astype(np.float32)
    elif op == "Conv":
        pad = attr(n, "pads", [0, 0, 0, 0])
        r = torch.nn.functional.conv2d(torch.tensor(i[0], dtype=torch.float64), torch.tensor(i[1], dtype=torch.float64),
                                       torch.tensor(i[2], dtype=torch.float64), padding=(pad[0], pad[1]),
                                       stride=attr(n, "strides", [1, 1]), groups=attr(n, "group", 1)).numpy()
    elif op == "BatchNormalization":
        sh = [1, -1, 1, 1]
        r = (i[0] - i[3].reshape(sh)) / np.sqrt(i[4].reshape(sh).astype(np.float64) + 1e-5) * i[1].reshape(sh) + i[2].reshape(sh)
    elif op == "Softmax":
        e = np.exp(i[0].astype(np.float64) - i[0].max(axis=1, keepdims=True))
        r = e / e.sum(axis=1, keepdims=True)
    elif op == "Split":
        for k, part in enumerate(np.split(i[0], 2, axis=attr(n, "axis"))):
            v[n.output[k]] = part
        return
    elif op == "DepthToSpace":
        b, (N, C, H, W) = attr(n, "blocksize"), i[0].shape
        if attr(n, "mode", b"DCR") in (b"DCR", "DCR"):
            r = i[0].reshape(N, b, b, C // (b * b), H, W).transpose(0, 3, 4, 1, 5, 2)
        else:
            r = i[0].reshape(N, C // (b * b), b, b, H, W).transpose(0, 1, 4, 2, 5, 3)
        r = r.reshape(N, C // (b * b), H * b, W * b)
    elif op == "ConvTranspose":
        r = torch.nn.functional.conv_transpose2d(torch.tensor(i[0], dtype=torch.float64), torch.tensor(i[1], dtype=torch.float64),
                                                 stride=attr(n, "strides", [1, 1])).numpy()
    elif op == "Pad":
        p = i[1]
        r = np.pad(i[0], [(p[k], p[k + 4]) for k in range(4)])
    elif op == "Resize":
        r = i[0].repeat(2, axis=2).repeat(2, axis=3)
    elif op == "AveragePool":
        r = torch.nn.functional.avg_pool2d(torch.tensor(i[0], dtype=torch.float64), 2, 1).numpy()
    elif op == "LeakyRelu":
        r = np.where(i[0] > 0, i[0], i[0] * np.float32(0.01))
    elif op == "Gemm":
        r = i[0].astype(np.float64) @ (i[1].T if attr(n, "transB", 0) else i[1]).astype(np.float64) + i[2]
    elif op == "MaxPool":
        r = torch.nn.functional.max_pool2d(torch.tensor(i[0]), 2, 1).numpy()
    elif op == "GlobalAveragePool":
        r = i[0].mean(axis=(2, 3), keepdims=True, dtype=np.float64)
    elif op in ("Add", "Sub", "Mul", "Div"):
        r = {"Add": np.add, "Sub": np.subtract, "Mul": np.multiply, "Div": np.divide}[op](i[0], i[1])
    elif op == "Relu":
        r = np.maximum(i[0], 0)
    elif op == "Neg":
        r = -i[0]
    elif op == "Sigmoid":
        r = 1 / (1 + np.exp(-i[0].astype(np.float64)))
    elif op == "Tanh":
        r = np.tanh(i[0].astype(np.float64))
    elif op == "HardSwish":
        r = i[0] * np.clip(i[0].astype(np.float64) / 6 + 0.5, 0, 1)
    elif op == "Clip":
        r = np.clip(i[0], i[1], i[2])
    elif op == "Identity":
        r = i[0]
    elif op == "Flatten":
        r = i[0].reshape(i[0].shape[0], -1)
    elif op == "Reshape":
        r = i[0].reshape(i[1])
    elif op == "Transpose":
        r = np.transpose(i[0], attr(n, "perm"))
    elif op == "Unsqueeze":
        r = np.expand_dims(i[0], tuple(i[1]))
    elif op == "Squeeze":
        r = np.squeeze(i[0], tuple(i[1]))
    elif op == "Concat":
        r = np.concatenate(i, axis=attr(n, "axis"))
    elif op == "Slice":
        cut = [slice(None)] * i[0].ndim
        cut[int(i[3][0])] = slice(int(i[1][0]), int(i[2][0]))
        r = i[0][tuple(cut)]
    else:
        raise ValueError("no reference for " + op)
    v[n.output[0]] = np.asarray(r, np.float32) if np.asarray(r).dtype.kind == "f" else r


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True)


def main():
    args = [a for a in sys.argv[1:] if a != "--fixed-point"]
    fixed = len(args) != len(sys.argv) - 1
    count = int(args[0]) if args else 200
    seed = int(args[1]) if len(args) > 1 else 1
    keep = os.path.join(ROOT, "build", "qdq-differential")
    os.makedirs(keep, exist_ok=True)
    failures = 0
    for i in range(count):
        rng = random.Random(seed * 100003 + i)
        model, x, want, step = build(rng, i)
        with tempfile.TemporaryDirectory() as d:
            base = os.path.join(d, "g")
            onnx.save(model, base + ".onnx")
            x.tofile(base + ".in0.raw")
            with open(os.path.join(d, "list.txt"), "w") as f:
                f.write(base + ".in0.raw\n")
            # In fixed point, every other graph has its pairs read as encodings.
            imported = ["--qdq-encodings"] if fixed and i % 2 == 1 else []
            ours = run([os.path.join(BIN, "vexa-dlc-pack"), "-o", base + ".dlc", base + ".onnx"] + imported)
            if ours.returncode == 0:
                ours = run([os.path.join(BIN, "vexa-net-run"), "--container", base + ".dlc", "--input_list",
                            os.path.join(d, "list.txt"), "--output_dir", os.path.join(d, "ours")] +
                           (["--enable_cpu_fxp"] if fixed else []))
            why = None
            if ours.returncode != 0:
                why = "stopped: " + (ours.stderr.strip() or ours.stdout.strip()).splitlines()[-1]
            else:
                want = want.ravel()
                got = np.fromfile(os.path.join(d, "ours", "Result_0", "y.raw"), np.float32)
                # Float sums in another order may round one code the other
                # way, and that grows through what follows: a few codes of
                # the last grid, on few elements.
                tol = 4 * (step or 0.01) + 1e-4 * np.abs(want).max(initial=0)
                if got.shape != want.shape:
                    why = f"{got.size} values where the reference gives {want.size}"
                elif not np.isfinite(got).all() and np.isfinite(want).all():
                    why = "non-finite values"
                elif fixed:
                    noise = np.sum((got.astype(np.float64) - want) ** 2)
                    sqnr = 10 * np.log10(np.sum(want.astype(np.float64) ** 2) / noise) if noise > 0 else np.inf
                    if sqnr < 10:
                        why = f"SQNR {sqnr:.1f} dB"
                else:
                    far = np.abs(got - want) > tol
                    if far.mean() > 0.02:
                        why = f"{far.sum()} of {far.size} values off by more than {tol:.3g} (max {np.abs(got - want).max():.3g})"
            if why:
                failures += 1
                onnx.save(model, os.path.join(keep, f"g{seed}_{i}.onnx"))
                x.tofile(os.path.join(keep, f"g{seed}_{i}.in0.raw"))
                ops = " ".join(n.op_type for n in model.graph.node)
                print(f"graph {seed}_{i} ({ops}): {why}")
    print(f"{count} graphs, {failures} failed" + (f" (kept in {keep})" if failures else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
