#!/usr/bin/python3
"""Exports one small graph per operator family with a non-trivial kernel, on
typical shapes, in the corpus's form (see bench/corpus/export_corpus.py), so
that bench/ops/compare-ops.sh can time each beside ONNX Runtime.

    /usr/bin/python3 bench/ops/export_ops.py OUT_DIR [NAME ...]
"""
import os
import sys

import torch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus"))
import export_corpus  # noqa: E402

F = torch.nn.functional


class Op(torch.nn.Module):
    def __init__(self, fn, *modules):
        super().__init__()
        self.fn = fn
        self.mods = torch.nn.ModuleList(modules)

    def forward(self, *x):
        return self.fn(self.mods, *x)


def op(fn, *modules):
    return lambda: Op(fn, *modules)


def img(*s):
    return [(export_corpus.image(*s), "float32")]


def resize(mode, align=None, scale=None):
    kw = {"align_corners": align} if align is not None else {}
    if scale:
        return op(lambda m, x: F.interpolate(x, scale_factor=scale, mode=mode, **kw))
    return op(lambda m, x: F.interpolate(x, size=(224, 224), mode=mode, **kw))


def ops():
    nms_boxes = torch.rand(1, 2000, 4, generator=torch.Generator().manual_seed(6)) * 300
    nms_boxes[..., 2:] += nms_boxes[..., :2]

    class Nms(torch.nn.Module):
        def forward(self, scores):
            import torchvision
            keep = torchvision.ops.nms(nms_boxes[0], scores[0], 0.5)
            return keep

    class RoiAlign(torch.nn.Module):
        def forward(self, x):
            import torchvision
            rois = torch.tensor([[0, 4.0, 4, 60, 60], [0, 10, 20, 40, 50], [0, 0, 0, 63, 63]] * 32)
            return torchvision.ops.roi_align(x, rois, (7, 7), 0.5, 2, aligned=True)

    grid = torch.rand(1, 112, 112, 2, generator=torch.Generator().manual_seed(7)) * 2 - 1
    weights = torch.rand(4 * 512, 512, generator=torch.Generator().manual_seed(8))
    c = {
        "resize_nearest_x2": (resize("nearest", scale=2.0), img(1, 32, 112, 112)),
        "resize_bilinear_sizes": (resize("bilinear", False), img(1, 21, 40, 40)),
        "resize_bilinear_aligned": (resize("bilinear", True), img(1, 21, 40, 40)),
        "resize_bicubic": (resize("bicubic", False), img(1, 16, 56, 56)),
        "resize_trilinear_3d": (op(lambda m, x: F.interpolate(x, scale_factor=2.0, mode="trilinear", align_corners=False)),
                                img(1, 8, 8, 28, 28)),
        "convtranspose_2d": (op(lambda m, x: m[0](x), torch.nn.ConvTranspose2d(64, 32, 4, 2, 1)), img(1, 64, 56, 56)),
        "convtranspose_3d": (op(lambda m, x: m[0](x), torch.nn.ConvTranspose3d(32, 16, 4, 2, 1)), img(1, 32, 8, 28, 28)),
        "conv_3d": (op(lambda m, x: m[0](x), torch.nn.Conv3d(32, 64, 3, padding=1)), img(1, 32, 8, 28, 28)),
        "maxpool_3d": (op(lambda m, x: F.max_pool3d(x, 2)), img(1, 64, 8, 56, 56)),
        "avgpool_3d": (op(lambda m, x: F.avg_pool3d(x, 2)), img(1, 64, 8, 56, 56)),
        "depthwise_3x3": (op(lambda m, x: m[0](x), torch.nn.Conv2d(128, 128, 3, padding=1, groups=128)), img(1, 128, 56, 56)),
        "depthwise_5x5": (op(lambda m, x: m[0](x), torch.nn.Conv2d(128, 128, 5, padding=2, groups=128)), img(1, 128, 56, 56)),
        "depthwise_7x7": (op(lambda m, x: m[0](x), torch.nn.Conv2d(96, 96, 7, padding=3, groups=96)), img(1, 96, 56, 56)),
        "grouped_3x3_g32": (op(lambda m, x: m[0](x), torch.nn.Conv2d(256, 256, 3, padding=1, groups=32)), img(1, 256, 28, 28)),
        "dilated_3x3": (op(lambda m, x: m[0](x), torch.nn.Conv2d(64, 64, 3, padding=4, dilation=4)), img(1, 64, 56, 56)),
        "instancenorm": (op(lambda m, x: m[0](x), torch.nn.InstanceNorm2d(64, affine=True)), img(1, 64, 128, 128)),
        "groupnorm": (op(lambda m, x: m[0](x), torch.nn.GroupNorm(8, 64)), img(1, 64, 64, 64)),
        "lrn": (op(lambda m, x: m[0](x), torch.nn.LocalResponseNorm(5)), img(1, 64, 56, 56)),
        # Unary functions standing alone (a gate, a head), not fused after a product.
        "sigmoid": (op(lambda m, x: torch.sigmoid(x)), img(1, 64, 112, 112)),
        "tanh_exp": (op(lambda m, x: torch.tanh(x) + torch.exp(-x.abs())), img(1, 64, 112, 112)),
        "softmax_axis1": (op(lambda m, x: torch.softmax(x, 1)), img(1, 1000, 32, 32)),
        "reduce_mean_axis1": (op(lambda m, x: x.mean(1)), img(8, 256, 1024)),
        "reduce_max_last": (op(lambda m, x: x.amax(-1)), img(8, 256, 1024)),
        "reduce_sum_axis0": (op(lambda m, x: x.sum(0)), img(64, 256, 128)),
        "gather_embedding": (op(lambda m, ids: m[0](ids), torch.nn.Embedding(30000, 256)),
                             [(torch.randint(0, 30000, (8, 128), generator=torch.Generator().manual_seed(9)), "int64")]),
        "pad_reflect": (op(lambda m, x: F.pad(x, (3, 3, 3, 3), mode="reflect")), img(1, 64, 112, 112)),
        "pad_edge": (op(lambda m, x: F.pad(x, (3, 3, 3, 3), mode="replicate")), img(1, 64, 112, 112)),
        "pad_constant": (op(lambda m, x: F.pad(x, (3, 3, 3, 3), value=0.5)), img(1, 64, 112, 112)),
        "transpose_0213": (op(lambda m, x: x.permute(0, 2, 1, 3).contiguous() * 1.0), img(8, 128, 12, 64)),
        "concat_split": (op(lambda m, x: torch.cat(torch.split(x, [16, 48, 64], 1)[::-1], 1) * 1.0), img(1, 128, 56, 56)),
        "topk_1000": (op(lambda m, x: torch.topk(x, 1000)[0]), img(1, 100000)),
        "nms": (Nms, [(torch.rand(1, 2000, generator=torch.Generator().manual_seed(10)), "float32")]),
        "roialign": (RoiAlign, img(1, 256, 64, 64)),
        "gridsample_bilinear": (op(lambda m, x: F.grid_sample(x, grid, align_corners=False)), img(1, 32, 112, 112)),
        "einsum_bhqk": (op(lambda m, q: torch.einsum("bhqd,bhkd->bhqk", q, q)), img(1, 8, 256, 64)),
        "batched_matmul": (op(lambda m, x: torch.matmul(x, x.transpose(-1, -2))), img(12, 128, 64)),
        # One token through a dense layer: a product of one row, bound by
        # reading the weights (a decoder step, an RNN's projection).
        "linear_token_256x1024": (op(lambda m, x: m[0](x), torch.nn.Linear(256, 1024)), img(1, 256)),
        "linear_token_768x3072": (op(lambda m, x: m[0](x), torch.nn.Linear(768, 3072)), img(1, 1, 768)),
        "linear_rows4_1024x1024": (op(lambda m, x: m[0](x), torch.nn.Linear(1024, 1024)), img(4, 1024)),
        # Sequences: speech and text front ends, 1-D windows.
        "conv1d_k5": (op(lambda m, x: m[0](x), torch.nn.Conv1d(128, 128, 5, padding=2)), img(1, 128, 1000)),
        "depthwise_1d_k31": (op(lambda m, x: m[0](x), torch.nn.Conv1d(256, 256, 31, padding=15, groups=256)),
                             img(1, 256, 500)),
        "convtranspose_1d": (op(lambda m, x: m[0](x), torch.nn.ConvTranspose1d(64, 32, 16, 8, 4)), img(1, 64, 500)),
        "maxpool_1d": (op(lambda m, x: F.max_pool1d(x, 3, 2, 1)), img(4, 128, 2000)),
        "avgpool_adaptive_2d": (op(lambda m, x: F.adaptive_avg_pool2d(x, 7)), img(1, 256, 28, 28)),
        "resize_linear_1d": (op(lambda m, x: F.interpolate(x, scale_factor=4.0, mode="linear", align_corners=False)),
                             img(1, 64, 1000)),
        "resize_nearest_3d": (op(lambda m, x: F.interpolate(x, scale_factor=2.0, mode="nearest")), img(1, 16, 8, 28, 28)),
        "batchnorm_3d": (op(lambda m, x: m[0](x), torch.nn.BatchNorm3d(32).eval()), img(1, 32, 8, 28, 28)),
        "instancenorm_1d": (op(lambda m, x: m[0](x), torch.nn.InstanceNorm1d(128, affine=True)), img(4, 128, 1000)),
        "layernorm_last": (op(lambda m, x: m[0](x), torch.nn.LayerNorm(768)), img(1, 197, 768)),
        "gelu_erf": (op(lambda m, x: F.gelu(x)), img(1, 197, 3072)),
        "softmax_last": (op(lambda m, x: torch.softmax(x, -1)), img(1, 12, 197, 197)),
        "attention_masked": (op(lambda m, q: torch.softmax(q @ q.transpose(-1, -2) * 0.125
                                                            + torch.triu(torch.full((128, 128), -1e4), 1), -1) @ q),
                             img(2, 8, 128, 64)),
        "prelu_channels": (op(lambda m, x: m[0](x), torch.nn.PReLU(64)), img(1, 64, 112, 112)),
        "hardswish": (op(lambda m, x: F.hardswish(x)), img(1, 64, 112, 112)),
        "where_mask": (op(lambda m, x: torch.where(x > 0.5, x, torch.zeros_like(x) - 1.0)), img(1, 64, 112, 112)),
        "cumsum_last": (op(lambda m, x: torch.cumsum(x, -1)), img(64, 4096)),
        "argmax_axis1": (op(lambda m, x: torch.argmax(x, 1)), img(1, 21, 320, 320)),
        "expand_tile": (op(lambda m, x: x.expand(8, 64, 56, 56) * 1.0), img(1, 64, 56, 56)),
        "gather_axis1": (op(lambda m, x: x[:, torch.arange(0, 256, 2)] * 1.0), img(1, 256, 56, 56)),
        "reduce_l2_spatial": (op(lambda m, x: x.norm(dim=(2, 3))), img(8, 256, 28, 28)),
        "pixel_shuffle": (op(lambda m, x: F.pixel_shuffle(x, 3)), img(1, 27, 224, 224)),
        "space_to_depth": (op(lambda m, x: F.pixel_unshuffle(x, 2)), img(1, 32, 224, 224)),
        "upsample_bilinear_x8": (resize("bilinear", False, scale=8.0), img(1, 21, 40, 40)),
        # Functions and gathers of transformers, detectors and generators.
        "mish": (op(lambda m, x: F.mish(x)), img(1, 64, 112, 112)),
        "softplus": (op(lambda m, x: F.softplus(x)), img(1, 64, 112, 112)),
        "sin_cos_encoding": (op(lambda m, x: torch.sin(x * 10.0) + torch.cos(x * 3.0)), img(1, 1024, 512)),
        "log_softmax_vocab": (op(lambda m, x: torch.log_softmax(x, -1)), img(8, 32000)),
        "logsumexp": (op(lambda m, x: torch.logsumexp(x, -1)), img(64, 4096)),
        "clip_standalone": (op(lambda m, x: torch.clamp(x, 0.2, 0.8)), img(1, 64, 112, 112)),
        "reciprocal_sqrt": (op(lambda m, x: torch.rsqrt(x + 1.0)), img(1, 64, 112, 112)),
        "floor_round": (op(lambda m, x: torch.floor(x * 7.0) + torch.round(x * 3.0)), img(1, 64, 112, 112)),
        "slice_step2": (op(lambda m, x: x[:, :, ::2, ::2] * 1.0), img(1, 64, 224, 224)),
        "gather_nd_boxes": (op(lambda m, x: x[0, torch.arange(0, 19000, 7)] * 1.0), img(1, 19000, 4)),
        "scatter_kv_cache": (op(lambda m, x, v: torch.cat([x[:, :, 1:], v], 2)), img(1, 12, 511, 64) + img(1, 12, 1, 64)),
        "tile_repeat": (op(lambda m, x: x.repeat(1, 1, 4, 4) * 1.0), img(1, 32, 56, 56)),
        "matmul_4d_weights": (op(lambda m, x: m[0](x), torch.nn.Linear(64, 256)), img(2, 8, 256, 64)),
        "einsum_outer": (op(lambda m, a: torch.einsum("bi,bj->bij", a, a)), img(16, 256)),
        "conv_1x7_7x1": (op(lambda m, x: m[1](m[0](x)), torch.nn.Conv2d(128, 128, (1, 7), padding=(0, 3)),
                             torch.nn.Conv2d(128, 128, (7, 1), padding=(3, 0))), img(1, 128, 17, 17)),
        "conv_stem_7x7_s2": (op(lambda m, x: m[0](x), torch.nn.Conv2d(3, 64, 7, 2, 3)), img(1, 3, 224, 224)),
        "depthwise_3x3_s2": (op(lambda m, x: m[0](x), torch.nn.Conv2d(96, 96, 3, 2, 1, groups=96)), img(1, 96, 112, 112)),
        "batchnorm_2d_alone": (op(lambda m, x: m[0](x * 1.0), torch.nn.BatchNorm2d(64).eval()), img(1, 64, 112, 112)),
        # Index work of detectors and samplers, casts, quantization, 3-D normalizations.
        "convtranspose_depthwise": (op(lambda m, x: m[0](x), torch.nn.ConvTranspose2d(64, 64, 4, 2, 1, groups=64)),
                                    img(1, 64, 56, 56)),
        "conv3d_depthwise": (op(lambda m, x: m[0](x), torch.nn.Conv3d(96, 96, 3, padding=1, groups=96)), img(1, 96, 8, 28, 28)),
        "instancenorm_3d": (op(lambda m, x: m[0](x), torch.nn.InstanceNorm3d(32, affine=True)), img(1, 32, 8, 28, 28)),
        "groupnorm_3d": (op(lambda m, x: m[0](x), torch.nn.GroupNorm(8, 64)), img(1, 64, 8, 28, 28)),
        "global_avgpool_3d": (op(lambda m, x: F.adaptive_avg_pool3d(x, 1)), img(1, 512, 4, 14, 14)),
        "maxpool_3x3_s1": (op(lambda m, x: F.max_pool2d(x, 3, 1, 1)), img(1, 192, 35, 35)),
        "batchnorm_1d": (op(lambda m, x: m[0](x * 1.0), torch.nn.BatchNorm1d(128).eval()), img(8, 128, 1000)),
        "topk_k5_batch": (op(lambda m, x: torch.topk(x, 5, dim=1)[1]), img(64, 1000)),
        "gather_elements": (op(lambda m, x: torch.gather(x, 1, (x[:, :1000] * 4999).long())), img(16, 5000)),
        "scatter_elements": (op(lambda m, x: torch.zeros(16, 5000).scatter(1, (x * 4999).long(), x)), img(16, 1000)),
        "nonzero_mask": (op(lambda m, x: torch.nonzero(x > 0.9)), img(1, 64, 112, 112)),
        "cast_roundtrip": (op(lambda m, x: (x * 100).long().float()), img(1, 64, 112, 112)),
        "sign_abs_sqrt": (op(lambda m, x: torch.sign(x - 0.5) * (x - 0.5).abs().sqrt()), img(1, 64, 112, 112)),
        # A step of 2^-7: PyTorch multiplies by its inverse where ONNX divides, exact alike.
        "fake_quant": (op(lambda m, x: torch.fake_quantize_per_tensor_affine(x, 0.0078125, 10, 0, 255)), img(1, 64, 112, 112)),
        "einsum_bij_bjk": (op(lambda m, a: torch.einsum("bij,bjk->bik", a, a)), img(16, 128, 128)),
        "reduce_prod_min": (op(lambda m, x: x.prod(-1).sum(-1) + x.amin(1).sum(-1)), img(32, 64, 256)),
        "lstm": (op(lambda m, x: m[0](x)[0], torch.nn.LSTM(128, 256)), img(50, 1, 128)),
        "gru": (op(lambda m, x: m[0](x)[0], torch.nn.GRU(128, 256, bidirectional=True)), img(50, 1, 128)),
        "dft_conv1d": (op(lambda m, x: F.conv1d(x.unsqueeze(1), weights[:402, :400].unsqueeze(1), stride=160)),
                       [(export_corpus.noise(1, 16000), "float32")]),
    }
    return {name: ("op", build, inputs, [f"x{i}" for i in range(len(inputs))],
                   ["y"], 17, {}) for name, (build, inputs) in c.items()}


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    return export_corpus.export_all(sys.argv[1], ops(), sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
