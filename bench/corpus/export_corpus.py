#!/usr/bin/python3
"""Exports the corpus the engine is judged on: architectures of many families
with random weights, their inputs and PyTorch's outputs as the reference.

    /usr/bin/python3 bench/corpus/export_corpus.py OUT_DIR [NAME ...]
    /usr/bin/python3 bench/corpus/export_corpus.py --list

Needs Debian's python3-torch and python3-torchvision. Per model NAME it
writes NAME.onnx; NAME.in<i>.raw, each input as float32 (integer inputs hold
whole numbers); NAME.ref<i>.raw, each output of PyTorch as float32; and
NAME.json, which names the family, each input's name, shape and element type
and each output's name and shape. Seeded: a rerun gives the same files.
Models already exported are skipped.
"""
import json
import math
import os
import sys
import time

import torch
import torchvision

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "zoo"))
import export_zoo  # noqa: E402  (the classification zoo's own small models)

tv = torchvision.models
CHECK_IMAGES = 4  # more images a fixed-point network is judged on


def image(*shape):
    return torch.rand(*shape, generator=torch.Generator().manual_seed(2))


def noise(*shape):
    return torch.randn(*shape, generator=torch.Generator().manual_seed(3))


class Outputs(torch.nn.Module):
    """Wraps a model whose result is a dict or a list of dicts (segmentation,
    detection) so that it returns plain tensors, in a fixed order."""

    def __init__(self, model, keys):
        super().__init__()
        self.model, self.keys = model, keys

    def forward(self, *x):
        y = self.model(*x)
        if isinstance(y, dict):
            return tuple(y[k] for k in self.keys)
        if isinstance(y, (list, tuple)) and y and isinstance(y[0], dict):
            return tuple(y[0][k] for k in self.keys)
        return y


# --- Models of our own, for families torchvision lacks ---------------------

class MaskedEncoder(torch.nn.Module):
    """BERT-like: token and position embeddings, four encoder layers under a
    padding mask, a pooled classifier. Sequence length left open."""

    def __init__(self, vocab=1000, width=256):
        super().__init__()
        self.tokens = torch.nn.Embedding(vocab, width)
        self.positions = torch.nn.Embedding(512, width)
        layer = torch.nn.TransformerEncoderLayer(width, 4, 4 * width, dropout=0.0, batch_first=True, activation="gelu")
        self.encoder = torch.nn.TransformerEncoder(layer, 4, enable_nested_tensor=False)
        self.head = torch.nn.Linear(width, 2)

    def forward(self, ids, mask):
        positions = torch.arange(ids.shape[1]).unsqueeze(0)
        h = self.tokens(ids) + self.positions(positions)
        h = self.encoder(h, src_key_padding_mask=mask == 0)
        return self.head(h[:, 0])


class DecoderStep(torch.nn.Module):
    """One step of a GPT-like decoder with cached keys and values: the new
    token attends to the past and itself; the caches come back one longer."""

    def __init__(self, vocab=1000, width=256, heads=4, layers=2):
        super().__init__()
        self.heads, self.layers = heads, layers
        self.embed = torch.nn.Embedding(vocab, width)
        self.qkv = torch.nn.ModuleList(torch.nn.Linear(width, 3 * width) for _ in range(layers))
        self.proj = torch.nn.ModuleList(torch.nn.Linear(width, width) for _ in range(layers))
        self.ff = torch.nn.ModuleList(torch.nn.Sequential(torch.nn.Linear(width, 4 * width), torch.nn.GELU(),
                                                          torch.nn.Linear(4 * width, width)) for _ in range(layers))
        self.norm1 = torch.nn.ModuleList(torch.nn.LayerNorm(width) for _ in range(layers))
        self.norm2 = torch.nn.ModuleList(torch.nn.LayerNorm(width) for _ in range(layers))
        self.out = torch.nn.Linear(width, vocab)

    def forward(self, token, past_k, past_v):
        h = self.embed(token)  # [B, 1, W]
        B, _, W = h.shape
        d = W // self.heads
        new_k, new_v = [], []
        for i in range(self.layers):
            q, k, v = self.qkv[i](self.norm1[i](h)).split(W, dim=-1)
            q = q.view(B, 1, self.heads, d).transpose(1, 2)
            k = torch.cat([past_k[i], k.view(B, 1, self.heads, d).transpose(1, 2)], dim=2)
            v = torch.cat([past_v[i], v.view(B, 1, self.heads, d).transpose(1, 2)], dim=2)
            new_k.append(k)
            new_v.append(v)
            a = torch.softmax(q @ k.transpose(-1, -2) / math.sqrt(d), dim=-1) @ v
            h = h + self.proj[i](a.transpose(1, 2).reshape(B, 1, W))
            h = h + self.ff[i](self.norm2[i](h))
        return self.out(h), torch.stack(new_k), torch.stack(new_v)


class Conv1dSpeech(torch.nn.Module):
    """Wav2letter-style acoustic model: strided and dilated 1-D convolutions over 80 mel bands."""

    def __init__(self):
        super().__init__()
        layers, c = [], 80
        for out, k, s, dil in [(128, 11, 2, 1), (128, 11, 1, 1), (192, 13, 1, 2), (192, 17, 1, 2), (256, 29, 1, 4),
                               (256, 1, 1, 1)]:
            layers += [torch.nn.Conv1d(c, out, k, s, padding=dil * (k // 2), dilation=dil), torch.nn.BatchNorm1d(out),
                       torch.nn.ReLU()]
            c = out
        self.body = torch.nn.Sequential(*layers)
        self.head = torch.nn.Conv1d(c, 29, 1)

    def forward(self, x):
        return self.head(self.body(x)).log_softmax(1)


class MelFrontEnd(torch.nn.Module):
    """Audio front end: short-time Fourier transform of one second at 16 kHz
    as exporters write it, a strided 1-D convolution with windowed cosine and
    sine kernels; power, a mel filter bank, log; then a small convolutional
    classifier."""

    def __init__(self):
        super().__init__()
        n = torch.arange(400, dtype=torch.float64)
        k = torch.arange(201, dtype=torch.float64).unsqueeze(1)
        window = torch.hann_window(400, dtype=torch.float64)
        basis = torch.cat([torch.cos(2 * math.pi * k * n / 400), -torch.sin(2 * math.pi * k * n / 400)]) * window
        self.register_buffer("basis", basis.float().unsqueeze(1))  # [402, 1, 400]
        self.register_buffer("mel", torch.rand(64, 201, generator=torch.Generator().manual_seed(5)))
        self.conv = torch.nn.Sequential(torch.nn.Conv2d(1, 16, 3, padding=1), torch.nn.ReLU(), torch.nn.MaxPool2d(2),
                                        torch.nn.Conv2d(16, 32, 3, padding=1), torch.nn.ReLU(),
                                        torch.nn.AdaptiveAvgPool2d(1), torch.nn.Flatten(), torch.nn.Linear(32, 10))

    def forward(self, wave):
        spec = torch.nn.functional.conv1d(wave.unsqueeze(1), self.basis, stride=160)  # [B, 402, frames]
        power = spec[:, :201] ** 2 + spec[:, 201:] ** 2
        mel = torch.log(torch.matmul(self.mel, power) + 1e-6)
        return self.conv(mel.unsqueeze(1))


class ConformerBlock(torch.nn.Module):
    """Conformer: half feed-forward, self-attention, a depthwise convolution
    module with GLU and BatchNorm, half feed-forward, LayerNorm."""

    def __init__(self, width=144, heads=4):
        super().__init__()
        ff = lambda: torch.nn.Sequential(torch.nn.LayerNorm(width), torch.nn.Linear(width, 4 * width), torch.nn.SiLU(),
                                         torch.nn.Linear(4 * width, width))
        self.ff1, self.ff2 = ff(), ff()
        self.norm_att = torch.nn.LayerNorm(width)
        self.att = torch.nn.MultiheadAttention(width, heads, batch_first=True)
        self.norm_conv = torch.nn.LayerNorm(width)
        self.pw1 = torch.nn.Conv1d(width, 2 * width, 1)
        self.dw = torch.nn.Conv1d(width, width, 31, padding=15, groups=width)
        self.bn = torch.nn.BatchNorm1d(width)
        self.pw2 = torch.nn.Conv1d(width, width, 1)
        self.norm_out = torch.nn.LayerNorm(width)

    def forward(self, x):
        x = x + 0.5 * self.ff1(x)
        a = self.norm_att(x)
        x = x + self.att(a, a, a, need_weights=False)[0]
        c = self.norm_conv(x).transpose(1, 2)
        c = torch.nn.functional.glu(self.pw1(c), dim=1)
        c = self.pw2(torch.nn.functional.silu(self.bn(self.dw(c))))
        x = x + c.transpose(1, 2)
        x = x + 0.5 * self.ff2(x)
        return self.norm_out(x)


class Crnn(torch.nn.Module):
    """Text recognition: a VGG-style convolutional stack over a 32-pixel-high
    line, two bidirectional LSTM layers, a CTC head over 37 symbols."""

    def __init__(self):
        super().__init__()
        c = [1, 64, 128, 256, 256]
        layers = []
        for i in range(4):
            layers += [torch.nn.Conv2d(c[i], c[i + 1], 3, padding=1), torch.nn.BatchNorm2d(c[i + 1]), torch.nn.ReLU()]
            layers.append(torch.nn.MaxPool2d(2) if i < 2 else torch.nn.MaxPool2d((2, 1)))
        self.cnn = torch.nn.Sequential(*layers)
        self.rnn = torch.nn.LSTM(256 * 2, 128, num_layers=2, bidirectional=True)
        self.head = torch.nn.Linear(256, 37)

    def forward(self, x):
        f = self.cnn(x)  # [B, 256, 2, W/4]
        b, c, h, w = f.shape
        f = f.reshape(b, c * h, w).permute(2, 0, 1)  # [T, B, features]
        y, _ = self.rnn(f)
        return self.head(y).log_softmax(-1)


class Espcn(torch.nn.Module):
    """Super-resolution by sub-pixel convolution (PixelShuffle, x3)."""

    def __init__(self, factor=3):
        super().__init__()
        self.body = torch.nn.Sequential(torch.nn.Conv2d(1, 64, 5, padding=2), torch.nn.Tanh(),
                                        torch.nn.Conv2d(64, 32, 3, padding=1), torch.nn.Tanh(),
                                        torch.nn.Conv2d(32, factor * factor, 3, padding=1), torch.nn.PixelShuffle(factor))

    def forward(self, x):
        return self.body(x)


class UNetGenerator(torch.nn.Module):
    """Image-to-image: a small UNet with InstanceNorm, strided encoders,
    ConvTranspose decoders, skip concatenations, reflection padding."""

    def __init__(self, base=32):
        super().__init__()
        block = lambda i, o: torch.nn.Sequential(torch.nn.Conv2d(i, o, 4, 2, 1), torch.nn.InstanceNorm2d(o, affine=True),
                                                 torch.nn.LeakyReLU(0.2))
        up = lambda i, o: torch.nn.Sequential(torch.nn.ConvTranspose2d(i, o, 4, 2, 1), torch.nn.InstanceNorm2d(o, affine=True),
                                              torch.nn.ReLU())
        self.stem = torch.nn.Sequential(torch.nn.ReflectionPad2d(3), torch.nn.Conv2d(3, base, 7), torch.nn.ReLU())
        self.d1, self.d2, self.d3 = block(base, 2 * base), block(2 * base, 4 * base), block(4 * base, 8 * base)
        self.u3, self.u2, self.u1 = up(8 * base, 4 * base), up(8 * base, 2 * base), up(4 * base, base)
        self.out = torch.nn.Sequential(torch.nn.Conv2d(2 * base, 3, 3, padding=1), torch.nn.Tanh())

    def forward(self, x):
        s = self.stem(x)
        a = self.d1(s)
        b = self.d2(a)
        c = self.d3(b)
        y = torch.cat([self.u3(c), b], 1)
        y = torch.cat([self.u2(y), a], 1)
        y = torch.cat([self.u1(y), s], 1)
        return self.out(y)


class ResizeModes(torch.nn.Module):
    """A feature pyramid upsampled in every interpolation mode torch
    exports: nearest, bilinear and bicubic with and without
    aligned corners, by scale and to sizes, downscales too. (nearest-exact
    has no export in this PyTorch.)"""

    def __init__(self):
        super().__init__()
        self.conv = torch.nn.Conv2d(3, 8, 3, stride=4, padding=1)

    def forward(self, x):
        f = torch.nn.functional
        s = self.conv(x)  # [B, 8, H/4, W/4]
        size = x.shape[-2:]
        outs = [f.interpolate(s, size=size, mode="nearest"),
                f.interpolate(s, scale_factor=4.0, mode="nearest"),
                f.interpolate(s, size=size, mode="bilinear", align_corners=False),
                f.interpolate(s, size=size, mode="bilinear", align_corners=True),
                f.interpolate(s, scale_factor=4.0, mode="bicubic", align_corners=False),
                f.interpolate(s, size=size, mode="bicubic", align_corners=True),
                f.interpolate(f.interpolate(x, scale_factor=0.5, mode="bilinear", align_corners=False).repeat(1, 3, 1, 1)[:, :8],
                              size=size, mode="bilinear", align_corners=False)]
        return torch.cat(outs, 1)


class FlowWarp(torch.nn.Module):
    """Optical-flow style warping: a small network estimates a flow field
    from two frames and the second frame is sampled along it (GridSample)."""

    def __init__(self, mode="bilinear", padding="zeros", align=False):
        super().__init__()
        self.mode, self.padding, self.align = mode, padding, align
        self.net = torch.nn.Sequential(torch.nn.Conv2d(6, 32, 3, padding=1), torch.nn.ReLU(),
                                       torch.nn.Conv2d(32, 32, 3, padding=1), torch.nn.ReLU(),
                                       torch.nn.Conv2d(32, 2, 3, padding=1), torch.nn.Tanh())

    def forward(self, a, b):
        flow = self.net(torch.cat([a, b], 1)).permute(0, 2, 3, 1) * 0.1
        n, h, w, _ = flow.shape
        ys = torch.linspace(-1, 1, h).view(1, h, 1, 1).expand(n, h, w, 1)
        xs = torch.linspace(-1, 1, w).view(1, 1, w, 1).expand(n, h, w, 1)
        grid = torch.cat([xs, ys], 3) + flow
        return torch.nn.functional.grid_sample(b, grid, mode=self.mode, padding_mode=self.padding,
                                               align_corners=self.align)


class VideoPool(torch.nn.Module):
    """3-D pooling: max and average pools over time and space between 3-D convolutions."""

    def __init__(self):
        super().__init__()
        self.body = torch.nn.Sequential(torch.nn.Conv3d(3, 32, 3, padding=1), torch.nn.ReLU(),
                                        torch.nn.MaxPool3d((1, 2, 2)), torch.nn.Conv3d(32, 64, 3, padding=1),
                                        torch.nn.ReLU(), torch.nn.AvgPool3d(2), torch.nn.Conv3d(64, 64, (3, 1, 1)),
                                        torch.nn.ReLU(), torch.nn.AdaptiveAvgPool3d(1), torch.nn.Flatten(),
                                        torch.nn.Linear(64, 10))

    def forward(self, x):
        return self.body(x)


class YoloLike(torch.nn.Module):
    """One-stage detector head in the YOLO style: SiLU convolution stages, a
    pyramid level upsampled (nearest) and concatenated with the one below,
    and the predictions decoded on their grids (sigmoid, meshgrid, powers)."""

    def __init__(self):
        super().__init__()

        def cbs(i, o, k=3, stride=1):
            return torch.nn.Sequential(torch.nn.Conv2d(i, o, k, stride, k // 2, bias=False), torch.nn.BatchNorm2d(o),
                                       torch.nn.SiLU())

        self.stem = torch.nn.Sequential(cbs(3, 16, 3, 2), cbs(16, 32, 3, 2), cbs(32, 32), cbs(32, 64, 3, 2), cbs(64, 64))
        self.down4 = torch.nn.Sequential(cbs(64, 128, 3, 2), cbs(128, 128))
        self.down5 = torch.nn.Sequential(cbs(128, 256, 3, 2), cbs(256, 256))
        self.pool = torch.nn.MaxPool2d(5, 1, 2)
        self.lateral = cbs(256, 128, 1)
        self.fuse = cbs(256, 128)
        self.heads = torch.nn.ModuleList([torch.nn.Conv2d(128, 3 * 85, 1), torch.nn.Conv2d(256, 3 * 85, 1)])

    @staticmethod
    def decode(p, stride):
        b, _, h, w = p.shape
        p = p.view(b, 3, 85, h, w).permute(0, 1, 3, 4, 2).sigmoid()
        gy, gx = torch.meshgrid(torch.arange(h), torch.arange(w), indexing="ij")
        grid = torch.stack((gx, gy), 2).view(1, 1, h, w, 2).float()
        xy = (p[..., :2] * 2 - 0.5 + grid) * stride
        wh = (p[..., 2:4] * 2) ** 2 * 16
        return torch.cat((xy, wh, p[..., 4:]), -1).view(b, -1, 85)

    def forward(self, x):
        p4 = self.down4(self.stem(x))
        p5 = self.down5(p4)
        p5 = torch.cat([p5, self.pool(p5)], 1)[:, :256]
        up = torch.nn.functional.interpolate(self.lateral(p5), scale_factor=2.0, mode="nearest")
        f4 = self.fuse(torch.cat([up, p4], 1))
        return torch.cat([self.decode(self.heads[0](f4), 16), self.decode(self.heads[1](p5), 32)], 1)


class DiffusionBlock(torch.nn.Module):
    """A level of a latent-diffusion UNet: a sinusoidal timestep embedding
    through an MLP, GroupNorm and SiLU residual convolutions, and
    self-attention over the 1024 positions of a 32x32 latent."""

    def __init__(self, c=128):
        super().__init__()
        self.time = torch.nn.Sequential(torch.nn.Linear(128, 512), torch.nn.SiLU(), torch.nn.Linear(512, c))
        self.inp = torch.nn.Conv2d(4, c, 3, 1, 1)
        self.n1, self.c1 = torch.nn.GroupNorm(32, c), torch.nn.Conv2d(c, c, 3, 1, 1)
        self.n2, self.c2 = torch.nn.GroupNorm(32, c), torch.nn.Conv2d(c, c, 3, 1, 1)
        self.na, self.attn = torch.nn.GroupNorm(32, c), torch.nn.MultiheadAttention(c, 4, batch_first=True)
        self.out = torch.nn.Conv2d(c, 4, 3, 1, 1)

    def forward(self, x, t):
        freqs = torch.exp(-torch.arange(64, dtype=torch.float32) * (math.log(10000.0) / 64))
        e = t[:, None] * freqs[None]
        e = self.time(torch.cat([e.sin(), e.cos()], 1))
        h = self.inp(x)
        r = self.c1(torch.nn.functional.silu(self.n1(h))) + e[:, :, None, None]
        h = h + self.c2(torch.nn.functional.silu(self.n2(r)))
        b, c, hh, ww = h.shape
        a = self.na(h).flatten(2).transpose(1, 2)
        a, _ = self.attn(a, a, a, need_weights=False)
        return self.out(h + a.transpose(1, 2).reshape(b, c, hh, ww))


class GptPrefill(torch.nn.Module):
    """A GPT-like prompt pass: the causal mask made in the graph (Trilu),
    rotary position embeddings, pre-norm blocks and a head tied to the
    token embedding; open sequence length."""

    def __init__(self, d=256, heads=4, layers=3, vocab=2000):
        super().__init__()
        self.emb, self.heads = torch.nn.Embedding(vocab, d), heads
        self.qkv = torch.nn.ModuleList([torch.nn.Linear(d, 3 * d) for _ in range(layers)])
        self.proj = torch.nn.ModuleList([torch.nn.Linear(d, d) for _ in range(layers)])
        self.ln1 = torch.nn.ModuleList([torch.nn.LayerNorm(d) for _ in range(layers)])
        self.ln2 = torch.nn.ModuleList([torch.nn.LayerNorm(d) for _ in range(layers)])
        self.mlp = torch.nn.ModuleList([torch.nn.Sequential(torch.nn.Linear(d, 4 * d), torch.nn.GELU(),
                                                            torch.nn.Linear(4 * d, d)) for _ in range(layers)])

    @staticmethod
    def rotate(x, length):
        half = x.shape[-1] // 2
        inv = 1.0 / (10000 ** (torch.arange(half, dtype=torch.float32) / half))
        angle = torch.arange(length, dtype=torch.float32)[:, None] * inv[None]
        cos, sin = angle.cos(), angle.sin()
        x1, x2 = x[..., :half], x[..., half:]
        return torch.cat([x1 * cos - x2 * sin, x1 * sin + x2 * cos], -1)

    def forward(self, ids):
        b, t = ids.shape
        x = self.emb(ids)
        mask = torch.triu(torch.full((t, t), float("-inf")), 1)
        for qkv, proj, ln1, ln2, mlp in zip(self.qkv, self.proj, self.ln1, self.ln2, self.mlp):
            q, k, v = qkv(ln1(x)).reshape(b, t, 3, self.heads, -1).permute(2, 0, 3, 1, 4)
            q, k = self.rotate(q, t), self.rotate(k, t)
            a = torch.softmax(q @ k.transpose(-1, -2) / 8.0 + mask, -1) @ v
            x = x + proj(a.transpose(1, 2).reshape(b, t, -1))
            x = x + mlp(ln2(x))
        return x @ self.emb.weight.t()


class PointNet(torch.nn.Module):
    """Point-cloud classifier: shared per-point layers (1x1 1-D convolutions
    with batch norm) widening to 1024 features, a max over the points, and a
    dense head."""

    def __init__(self):
        super().__init__()

        def layer(i, o):
            return [torch.nn.Conv1d(i, o, 1), torch.nn.BatchNorm1d(o), torch.nn.ReLU()]

        self.features = torch.nn.Sequential(*layer(3, 64), *layer(64, 128), *layer(128, 1024))
        self.head = torch.nn.Sequential(torch.nn.Linear(1024, 512), torch.nn.ReLU(), torch.nn.Linear(512, 40))

    def forward(self, points):
        return self.head(self.features(points).max(2)[0])


class MlpMixer(torch.nn.Module):
    """MLP-Mixer: patches by a strided convolution, then blocks that mix
    across tokens (dense layers over the transposed sequence) and across
    channels, each behind a LayerNorm with GELU inside."""

    def __init__(self, d=256, tokens=196, layers=4):
        super().__init__()
        self.patch = torch.nn.Conv2d(3, d, 16, 16)
        mlp = lambda n, h: torch.nn.Sequential(torch.nn.Linear(n, h), torch.nn.GELU(), torch.nn.Linear(h, n))
        self.token = torch.nn.ModuleList([mlp(tokens, 128) for _ in range(layers)])
        self.channel = torch.nn.ModuleList([mlp(d, 4 * d) for _ in range(layers)])
        self.n1 = torch.nn.ModuleList([torch.nn.LayerNorm(d) for _ in range(layers)])
        self.n2 = torch.nn.ModuleList([torch.nn.LayerNorm(d) for _ in range(layers)])
        self.head = torch.nn.Linear(d, 1000)

    def forward(self, x):
        x = self.patch(x).flatten(2).transpose(1, 2)
        for token, channel, n1, n2 in zip(self.token, self.channel, self.n1, self.n2):
            x = x + token(n1(x).transpose(1, 2)).transpose(1, 2)
            x = x + channel(n2(x))
        return self.head(x.mean(1))


class WaveNet(torch.nn.Module):
    """A WaveNet-style stack: causal 1-D convolutions (left padding) with
    dilations doubling to 128, gated tanh * sigmoid units, 1x1 residual and
    skip outputs summed over every layer."""

    def __init__(self, c=64, layers=8):
        super().__init__()
        self.dil = [2 ** i for i in range(layers)]
        self.inp = torch.nn.Conv1d(1, c, 1)
        self.conv = torch.nn.ModuleList([torch.nn.Conv1d(c, 2 * c, 2, dilation=d) for d in self.dil])
        self.res = torch.nn.ModuleList([torch.nn.Conv1d(c, c, 1) for _ in self.dil])
        self.skip = torch.nn.ModuleList([torch.nn.Conv1d(c, c, 1) for _ in self.dil])
        self.out = torch.nn.Sequential(torch.nn.ReLU(), torch.nn.Conv1d(c, 256, 1))

    def forward(self, wave):
        x, total = self.inp(wave), 0
        for d, conv, res, skip in zip(self.dil, self.conv, self.res, self.skip):
            a, b = conv(torch.nn.functional.pad(x, (d, 0))).chunk(2, 1)
            g = torch.tanh(a) * torch.sigmoid(b)
            x, total = x + res(g), total + skip(g)
        return self.out(total)


class LlamaBlock(torch.nn.Module):
    """Decoder blocks of the LLaMA kind: RMSNorm written out (pow, mean,
    rsqrt), rotary embeddings, grouped-query attention (8 query heads share
    2 key/value heads, expanded), a causal mask, and a SwiGLU MLP."""

    def __init__(self, d=256, heads=8, kv=2, layers=2, vocab=2000):
        super().__init__()
        self.heads, self.kv, self.hd = heads, kv, d // heads
        self.emb = torch.nn.Embedding(vocab, d)
        self.q = torch.nn.ModuleList([torch.nn.Linear(d, d, bias=False) for _ in range(layers)])
        self.kvp = torch.nn.ModuleList([torch.nn.Linear(d, 2 * kv * self.hd, bias=False) for _ in range(layers)])
        self.o = torch.nn.ModuleList([torch.nn.Linear(d, d, bias=False) for _ in range(layers)])
        self.gate = torch.nn.ModuleList([torch.nn.Linear(d, 688, bias=False) for _ in range(layers)])
        self.up = torch.nn.ModuleList([torch.nn.Linear(d, 688, bias=False) for _ in range(layers)])
        self.down = torch.nn.ModuleList([torch.nn.Linear(688, d, bias=False) for _ in range(layers)])
        self.w1 = torch.nn.ParameterList([torch.nn.Parameter(torch.rand(d) + 0.5) for _ in range(layers)])
        self.w2 = torch.nn.ParameterList([torch.nn.Parameter(torch.rand(d) + 0.5) for _ in range(layers)])

    @staticmethod
    def rms(x, w):
        return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + 1e-6) * w

    def forward(self, ids):
        b, t = ids.shape
        x = self.emb(ids)
        mask = torch.triu(torch.full((t, t), float("-inf")), 1)
        for q, kvp, o, gate, up, down, w1, w2 in zip(self.q, self.kvp, self.o, self.gate, self.up, self.down, self.w1, self.w2):
            h = self.rms(x, w1)
            qh = GptPrefill.rotate(q(h).reshape(b, t, self.heads, self.hd).transpose(1, 2), t)
            k, v = kvp(h).reshape(b, t, 2, self.kv, self.hd).permute(2, 0, 3, 1, 4)
            # Repeated as LLaMA's own code does (expand, reshape): torch 1.13
            # exports repeat_interleave over an axis it cannot size as a
            # graph that neither engine can run.
            rep = lambda z: z[:, :, None].expand(b, self.kv, self.heads // self.kv, t, self.hd).reshape(b, self.heads, t, self.hd)
            k, v = rep(GptPrefill.rotate(k, t)), rep(v)
            a = torch.softmax(qh @ k.transpose(-1, -2) / self.hd ** 0.5 + mask, -1) @ v
            x = x + o(a.transpose(1, 2).reshape(b, t, -1))
            h = self.rms(x, w2)
            x = x + down(torch.nn.functional.silu(gate(h)) * up(h))
        return x


class HrFusion(torch.nn.Module):
    """HRNet-style exchange between three resolutions kept in parallel:
    each branch a pair of 3x3 convolutions, then every branch receives the
    others, strided 3x3 convolutions going down and 1x1 convolutions with
    nearest upsampling going up, summed."""

    def __init__(self, c=(32, 64, 128), rounds=3):
        super().__init__()
        bn = lambda i, o, k=3, s=1: torch.nn.Sequential(torch.nn.Conv2d(i, o, k, s, k // 2, bias=False), torch.nn.BatchNorm2d(o))
        self.stem = torch.nn.Sequential(bn(3, 32, 3, 2), torch.nn.ReLU(), bn(32, 32, 3, 2), torch.nn.ReLU())
        self.down1, self.down2 = bn(32, 64, 3, 2), bn(64, 128, 3, 2)
        self.blocks = torch.nn.ModuleList([torch.nn.ModuleList([torch.nn.Sequential(bn(n, n), torch.nn.ReLU(), bn(n, n))
                                                                for n in c]) for _ in range(rounds)])
        self.links = torch.nn.ModuleList()
        for _ in range(rounds):
            row = torch.nn.ModuleList()
            for i in range(3):
                for j in range(3):
                    if i == j:
                        continue
                    if j > i:  # from the lower resolution j up to i
                        row.append(torch.nn.Sequential(bn(c[j], c[i], 1), torch.nn.Upsample(scale_factor=2 ** (j - i))))
                    else:
                        row.append(torch.nn.Sequential(*[bn(c[j] if s == 0 else c[i], c[i], 3, 2) for s in range(i - j)]))
            self.links.append(row)
        self.head = torch.nn.Conv2d(sum(c), 19, 1)

    def forward(self, x):
        x = self.stem(x)
        xs = [x, self.down1(x), self.down2(self.down1(x))]
        for blocks, links in zip(self.blocks, self.links):
            xs = [torch.relu(b(v) + v) for b, v in zip(blocks, xs)]
            it, fused = iter(links), []
            ups = {(i, j): next(it) for i in range(3) for j in range(3) if i != j}
            for i in range(3):
                fused.append(torch.relu(xs[i] + sum(ups[(i, j)](xs[j]) for j in range(3) if j != i)))
            xs = fused
        size = xs[0].shape[-2:]
        up = [torch.nn.functional.interpolate(v, size=size, mode="bilinear", align_corners=False) for v in xs[1:]]
        return self.head(torch.cat([xs[0]] + up, 1))


class LinearAttention(torch.nn.Module):
    """Linear attention written with einsum (feature map elu + 1): keys and
    values summarised per head as a d x d matrix, then read by every query,
    normalised by the queries' product with the summed keys."""

    def __init__(self, d=256, heads=4, layers=3):
        super().__init__()
        self.heads = heads
        self.qkv = torch.nn.ModuleList([torch.nn.Linear(d, 3 * d) for _ in range(layers)])
        self.out = torch.nn.ModuleList([torch.nn.Linear(d, d) for _ in range(layers)])
        self.norm = torch.nn.ModuleList([torch.nn.LayerNorm(d) for _ in range(layers)])

    def forward(self, x):
        b, n, d = x.shape
        for qkv, out, norm in zip(self.qkv, self.out, self.norm):
            q, k, v = qkv(norm(x)).reshape(b, n, 3, self.heads, -1).unbind(2)
            q, k = torch.nn.functional.elu(q) + 1, torch.nn.functional.elu(k) + 1
            kv = torch.einsum("bnhd,bnhe->bhde", k, v)
            z = 1.0 / (torch.einsum("bnhd,bhd->bnh", q, k.sum(1)) + 1e-6)
            a = torch.einsum("bnhd,bhde,bnh->bnhe", q, kv, z)
            x = x + out(a.reshape(b, n, d))
        return x


class ConvLstm(torch.nn.Module):
    """A convolutional LSTM unrolled over 6 frames: each step one 3x3
    convolution over the frame's features and the hidden state
    concatenated, split into four gates."""

    def __init__(self, c=32, steps=6):
        super().__init__()
        self.steps, self.c = steps, c
        self.enc = torch.nn.Sequential(torch.nn.Conv2d(3, c, 3, 2, 1), torch.nn.ReLU())
        self.cell = torch.nn.Conv2d(2 * c, 4 * c, 3, 1, 1)
        self.head = torch.nn.Conv2d(c, 1, 1)

    def forward(self, clip):
        h = c = None
        for s in range(self.steps):
            f = self.enc(clip[:, s])
            if h is None:
                h, c = torch.zeros_like(f), torch.zeros_like(f)
            i, g, o, z = self.cell(torch.cat([f, h], 1)).chunk(4, 1)
            c = torch.sigmoid(g) * c + torch.sigmoid(i) * torch.tanh(z)
            h = torch.sigmoid(o) * torch.tanh(c)
        return self.head(h)


class QuartzNet(torch.nn.Module):
    """A QuartzNet-style speech encoder: time-channel separable 1-D
    convolutions (depthwise kernels of 33 to 87 taps, then pointwise), batch
    norm and ReLU, residual blocks, a CTC head."""

    def __init__(self, c=256):
        super().__init__()
        sep = lambda i, o, k: [torch.nn.Conv1d(i, i, k, padding=k // 2, groups=i), torch.nn.Conv1d(i, o, 1),
                               torch.nn.BatchNorm1d(o)]
        self.stem = torch.nn.Sequential(*sep(64, c, 33), torch.nn.ReLU())
        self.blocks = torch.nn.ModuleList([torch.nn.Sequential(*sep(c, c, k), torch.nn.ReLU(), *sep(c, c, k))
                                           for k in (33, 39, 51, 63, 75)])
        self.tail = torch.nn.Sequential(*sep(c, 512, 87), torch.nn.ReLU(), torch.nn.Conv1d(512, 29, 1))

    def forward(self, x):
        x = self.stem(x)
        for b in self.blocks:
            x = torch.relu(b(x) + x)
        return self.tail(x).log_softmax(1)


class UNet3d(torch.nn.Module):
    """A small 3-D UNet (volumetric segmentation): 3x3x3 convolutions with
    instance norm and leaky ReLU, strided downsampling, transposed 3-D
    convolutions up, skips concatenated."""

    def __init__(self, c=16):
        super().__init__()
        blk = lambda i, o, s=1: torch.nn.Sequential(torch.nn.Conv3d(i, o, 3, s, 1), torch.nn.InstanceNorm3d(o, affine=True),
                                                    torch.nn.LeakyReLU(0.01))
        self.e1, self.e2, self.e3 = blk(1, c), blk(c, 2 * c, 2), blk(2 * c, 4 * c, 2)
        self.u2, self.d2 = torch.nn.ConvTranspose3d(4 * c, 2 * c, 2, 2), blk(4 * c, 2 * c)
        self.u1, self.d1 = torch.nn.ConvTranspose3d(2 * c, c, 2, 2), blk(2 * c, c)
        self.out = torch.nn.Conv3d(c, 3, 1)

    def forward(self, x):
        a = self.e1(x)
        b = self.e2(a)
        y = self.d2(torch.cat([self.u2(self.e3(b)), b], 1))
        return self.out(self.d1(torch.cat([self.u1(y), a], 1)))


class Dlrm(torch.nn.Module):
    """A DLRM-style recommender: dense features through an MLP, 8 sparse
    features looked up in embedding tables of 20,000 rows and summed per
    bag of 4 ids, pairwise dot products of all 9 vectors (a batched
    product and the upper triangle), a top MLP; batch 128."""

    def __init__(self, d=64, tables=8, rows=20000):
        super().__init__()
        self.bottom = torch.nn.Sequential(torch.nn.Linear(13, 256), torch.nn.ReLU(), torch.nn.Linear(256, d), torch.nn.ReLU())
        self.emb = torch.nn.ModuleList([torch.nn.Embedding(rows, d) for _ in range(tables)])
        n = tables + 1
        self.iu = torch.triu_indices(n, n, 1)
        self.top = torch.nn.Sequential(torch.nn.Linear(d + n * (n - 1) // 2, 512), torch.nn.ReLU(), torch.nn.Linear(512, 256),
                                       torch.nn.ReLU(), torch.nn.Linear(256, 1), torch.nn.Sigmoid())

    def forward(self, dense, ids):
        x = self.bottom(dense)
        vs = [x] + [e(ids[:, i]).sum(1) for i, e in enumerate(self.emb)]
        t = torch.stack(vs, 1)
        z = torch.bmm(t, t.transpose(1, 2))[:, self.iu[0], self.iu[1]]
        return self.top(torch.cat([x, z], 1))


class StyleTransfer(torch.nn.Module):
    """A fast style-transfer network: reflection padding, instance norm,
    strided convolutions down, five residual blocks, nearest upsampling
    and convolutions up."""

    def __init__(self):
        super().__init__()
        conv = lambda i, o, k, s=1: torch.nn.Sequential(torch.nn.ReflectionPad2d(k // 2), torch.nn.Conv2d(i, o, k, s),
                                                        torch.nn.InstanceNorm2d(o, affine=True))
        self.down = torch.nn.Sequential(conv(3, 32, 9), torch.nn.ReLU(), conv(32, 64, 3, 2), torch.nn.ReLU(),
                                        conv(64, 128, 3, 2), torch.nn.ReLU())
        self.res = torch.nn.ModuleList([torch.nn.Sequential(conv(128, 128, 3), torch.nn.ReLU(), conv(128, 128, 3))
                                        for _ in range(5)])
        self.up = torch.nn.Sequential(torch.nn.Upsample(scale_factor=2), conv(128, 64, 3), torch.nn.ReLU(),
                                      torch.nn.Upsample(scale_factor=2), conv(64, 32, 3), torch.nn.ReLU(),
                                      torch.nn.ReflectionPad2d(4), torch.nn.Conv2d(32, 3, 9))

    def forward(self, x):
        x = self.down(x)
        for r in self.res:
            x = x + r(x)
        return self.up(x)


class Gcn(torch.nn.Module):
    """A graph convolutional network over 2,000 nodes and 16,000 edges
    given as index lists: messages gathered at each edge's source, summed
    at its target by a scatter-add, normalised by degree; three layers."""

    def __init__(self, d=64):
        super().__init__()
        self.lin = torch.nn.ModuleList([torch.nn.Linear(32, d), torch.nn.Linear(d, d), torch.nn.Linear(d, 16)])

    def forward(self, x, src, dst):
        deg = torch.zeros(x.shape[0]).scatter_add(0, dst, torch.ones(dst.shape[0])) + 1
        for i, lin in enumerate(self.lin):
            h = lin(x)
            at = dst[:, None].expand(-1, h.shape[1])
            x = (torch.zeros_like(h).scatter_add(0, at, h[src]) + h) / deg[:, None]
            if i < 2:
                x = torch.relu(x)
        return x


class NerfMlp(torch.nn.Module):
    """A NeRF-style field: 16,384 sample points encoded with sines and
    cosines of 10 frequencies, an 8-layer MLP of width 256 with a skip of
    the encoding at layer 4, density and colour heads."""

    def __init__(self, w=256, freqs=10):
        super().__init__()
        self.freqs = 2.0 ** torch.arange(freqs)
        e = 3 + 6 * freqs
        self.layers = torch.nn.ModuleList([torch.nn.Linear(e if i == 0 else w + e if i == 4 else w, w) for i in range(8)])
        self.sigma, self.rgb = torch.nn.Linear(w, 1), torch.nn.Sequential(torch.nn.Linear(w, 128), torch.nn.ReLU(),
                                                                            torch.nn.Linear(128, 3), torch.nn.Sigmoid())

    def forward(self, p):
        a = p[:, :, None] * self.freqs
        enc = torch.cat([p, a.sin().flatten(1), a.cos().flatten(1)], 1)
        h = enc
        for i, layer in enumerate(self.layers):
            h = torch.relu(layer(torch.cat([h, enc], 1) if i == 4 else h))
        return torch.cat([torch.relu(self.sigma(h)), self.rgb(h)], 1)


class HifiGan(torch.nn.Module):
    """A HiFi-GAN-style vocoder generator: transposed 1-D convolutions
    upsampling 8, 8 and 4 times, each followed by residual stacks of
    dilated 1-D convolutions (dilations 1, 3, 5) with leaky ReLU; tanh out."""

    def __init__(self, c=128):
        super().__init__()
        self.pre = torch.nn.Conv1d(80, c, 7, padding=3)
        self.ups, self.res = torch.nn.ModuleList(), torch.nn.ModuleList()
        for i, r in enumerate((8, 8, 4)):
            i_c, o_c = c // 2 ** i, c // 2 ** (i + 1)
            self.ups.append(torch.nn.ConvTranspose1d(i_c, o_c, 2 * r, r, padding=r // 2))
            self.res.append(torch.nn.ModuleList([torch.nn.Conv1d(o_c, o_c, 3, dilation=d, padding=d) for d in (1, 3, 5)]))
        self.post = torch.nn.Conv1d(c // 8, 1, 7, padding=3)

    def forward(self, mel):
        x = self.pre(mel)
        for up, res in zip(self.ups, self.res):
            x = up(torch.nn.functional.leaky_relu(x, 0.1))
            for conv in res:
                x = x + conv(torch.nn.functional.leaky_relu(x, 0.1))
        return torch.tanh(self.post(torch.nn.functional.leaky_relu(x)))


class T5Encoder(torch.nn.Module):
    """A T5-style encoder: relative position buckets (log-spaced, computed
    in the graph) looked up as a per-head bias added to the scores, scale-
    free RMS norms, a gated-GELU feed-forward, no biases."""

    def __init__(self, d=256, heads=4, layers=2, vocab=2000, buckets=32):
        super().__init__()
        self.heads, self.buckets = heads, buckets
        self.emb = torch.nn.Embedding(vocab, d)
        self.rel = torch.nn.Embedding(buckets, heads)
        lin = lambda i, o: torch.nn.Linear(i, o, bias=False)
        self.qkv = torch.nn.ModuleList([lin(d, 3 * d) for _ in range(layers)])
        self.o = torch.nn.ModuleList([lin(d, d) for _ in range(layers)])
        self.wi0 = torch.nn.ModuleList([lin(d, 512) for _ in range(layers)])
        self.wi1 = torch.nn.ModuleList([lin(d, 512) for _ in range(layers)])
        self.wo = torch.nn.ModuleList([lin(512, d) for _ in range(layers)])

    def bucket(self, t):
        pos = torch.arange(t)
        rel = pos[None, :] - pos[:, None]
        half = self.buckets // 2
        side = (rel > 0).long() * half
        n = rel.abs()
        exact = half // 2
        big = exact + (torch.log(n.float().clamp(min=1) / exact) / math.log(128 / exact) * (half - exact)).long()
        return side + torch.where(n < exact, n, big.clamp(max=half - 1))

    def forward(self, ids):
        b, t = ids.shape
        x = self.emb(ids)
        bias = self.rel(self.bucket(t)).permute(2, 0, 1)[None]
        rms = lambda v: v * torch.rsqrt(v.pow(2).mean(-1, keepdim=True) + 1e-6)
        for qkv, o, wi0, wi1, wo in zip(self.qkv, self.o, self.wi0, self.wi1, self.wo):
            q, k, v = qkv(rms(x)).reshape(b, t, 3, self.heads, -1).permute(2, 0, 3, 1, 4)
            a = torch.softmax(q @ k.transpose(-1, -2) + bias, -1) @ v
            x = x + o(a.transpose(1, 2).reshape(b, t, -1))
            h = rms(x)
            x = x + wo(torch.nn.functional.gelu(wi0(h)) * wi1(h))
        return rms(x)


class BiFpn(torch.nn.Module):
    """An EfficientDet-style BiFPN over five levels: top-down and bottom-up
    paths, nearest upsampling and 3x3 max pooling (stride 2) between
    levels, fast normalised fusion (ReLU'd weights over their sum) and
    depthwise-separable convolutions with Swish."""

    def __init__(self, c=64, rounds=2):
        super().__init__()
        self.stem = torch.nn.ModuleList([torch.nn.Conv2d(3, c, 3, 2 ** (i + 3), 1) for i in range(5)])
        sep = lambda: torch.nn.Sequential(torch.nn.Conv2d(c, c, 3, 1, 1, groups=c), torch.nn.Conv2d(c, c, 1), torch.nn.BatchNorm2d(c))
        self.td = torch.nn.ModuleList([torch.nn.ModuleList([sep() for _ in range(4)]) for _ in range(rounds)])
        self.bu = torch.nn.ModuleList([torch.nn.ModuleList([sep() for _ in range(4)]) for _ in range(rounds)])
        self.w2 = torch.nn.Parameter(torch.rand(rounds, 4, 2) + 0.5)
        self.w3 = torch.nn.Parameter(torch.rand(rounds, 4, 3) + 0.5)

    @staticmethod
    def fuse(w, xs):
        w = torch.relu(w)
        return sum(w[i] * x for i, x in enumerate(xs)) / (w.sum() + 1e-4)

    def forward(self, image):
        ps = [s(image) for s in self.stem]
        act = torch.nn.functional.silu
        down = lambda x: torch.nn.functional.max_pool2d(x, 3, 2, 1)
        for r in range(len(self.td)):
            td = [ps[4]]
            for i in range(3, -1, -1):
                up = torch.nn.functional.interpolate(td[-1], scale_factor=2.0, mode="nearest")
                td.append(self.td[r][i](act(self.fuse(self.w2[r, i], [ps[i], up]))))
            td = td[::-1]
            out = [td[0]]
            for i in range(1, 5):
                prev = td[i] if i < 4 else ps[4]
                out.append(self.bu[r][i - 1](act(self.fuse(self.w3[r, i - 1], [ps[i], prev, down(out[-1])]))))
            ps = out
        return torch.cat([p.mean((2, 3)) for p in ps], 1)


class GhostNet(torch.nn.Module):
    """GhostNet-style blocks: half of each layer's channels from a 1x1
    convolution, the other half from a cheap depthwise 3x3 of those,
    concatenated and sliced; squeeze-excitation on some; stride-2
    depthwise downsampling with a shortcut."""

    def __init__(self):
        super().__init__()

        class Ghost(torch.nn.Module):
            def __init__(self, i, o, relu=True):
                super().__init__()
                h = (o + 1) // 2
                self.o = o
                self.primary = torch.nn.Sequential(torch.nn.Conv2d(i, h, 1, bias=False), torch.nn.BatchNorm2d(h),
                                                   torch.nn.ReLU() if relu else torch.nn.Identity())
                self.cheap = torch.nn.Sequential(torch.nn.Conv2d(h, h, 3, 1, 1, groups=h, bias=False), torch.nn.BatchNorm2d(h),
                                                 torch.nn.ReLU() if relu else torch.nn.Identity())

            def forward(self, x):
                a = self.primary(x)
                return torch.cat([a, self.cheap(a)], 1)[:, :self.o]

        class Block(torch.nn.Module):
            def __init__(self, i, mid, o, stride, se):
                super().__init__()
                self.g1, self.g2 = Ghost(i, mid), Ghost(mid, o, False)
                self.dw = torch.nn.Sequential(torch.nn.Conv2d(mid, mid, 3, stride, 1, groups=mid, bias=False),
                                              torch.nn.BatchNorm2d(mid)) if stride > 1 else torch.nn.Identity()
                self.se = torch.nn.Sequential(torch.nn.AdaptiveAvgPool2d(1), torch.nn.Conv2d(mid, mid // 4, 1), torch.nn.ReLU(),
                                              torch.nn.Conv2d(mid // 4, mid, 1), torch.nn.Hardsigmoid()) if se else None
                self.short = torch.nn.Identity() if stride == 1 and i == o else torch.nn.Sequential(
                    torch.nn.Conv2d(i, i, 3, stride, 1, groups=i, bias=False), torch.nn.BatchNorm2d(i),
                    torch.nn.Conv2d(i, o, 1, bias=False), torch.nn.BatchNorm2d(o))

            def forward(self, x):
                h = self.dw(self.g1(x))
                if self.se is not None:
                    h = h * self.se(h)
                return self.g2(h) + self.short(x)

        cfg = [(16, 16, 16, 1, 0), (16, 48, 24, 2, 0), (24, 72, 24, 1, 0), (24, 72, 40, 2, 1), (40, 120, 40, 1, 1),
               (40, 240, 80, 2, 0), (80, 200, 80, 1, 0), (80, 480, 112, 1, 1), (112, 672, 160, 2, 1), (160, 960, 160, 1, 1)]
        self.stem = torch.nn.Sequential(torch.nn.Conv2d(3, 16, 3, 2, 1, bias=False), torch.nn.BatchNorm2d(16), torch.nn.ReLU())
        self.blocks = torch.nn.Sequential(*[Block(*c) for c in cfg])
        self.head = torch.nn.Sequential(torch.nn.Conv2d(160, 960, 1), torch.nn.ReLU(), torch.nn.AdaptiveAvgPool2d(1),
                                        torch.nn.Flatten(), torch.nn.Linear(960, 1000))

    def forward(self, x):
        return self.head(self.blocks(self.stem(x)))


class Trilinear3d(torch.nn.Module):
    """Volumetric upsampling: 3-D convolutions at a quarter of the
    resolution, trilinear resizing back up (twice 2x, align_corners
    false), and a skip added at each scale."""

    def __init__(self, c=16):
        super().__init__()
        self.down = torch.nn.Sequential(torch.nn.Conv3d(1, c, 3, 2, 1), torch.nn.ReLU(), torch.nn.Conv3d(c, c, 3, 2, 1), torch.nn.ReLU())
        self.mid = torch.nn.Conv3d(c, c, 3, 1, 1)
        self.s1, self.s2 = torch.nn.Conv3d(1, c, 1), torch.nn.Conv3d(c, c, 3, 2, 1)
        self.out = torch.nn.Conv3d(c, 2, 1)

    def forward(self, v):
        h = self.mid(self.down(v))
        up = lambda x: torch.nn.functional.interpolate(x, scale_factor=2.0, mode="trilinear", align_corners=False)
        h = up(h) + self.s2(torch.relu(self.s1(v)))
        return self.out(up(h) + self.s1(v))


class ConvTasNet(torch.nn.Module):
    """A Conv-TasNet-style separator: a strided 1-D convolution encoder,
    blocks of 1x1 convolution, PReLU, global layer norm (GroupNorm of one
    group), dilated depthwise 1-D convolution, a sigmoid mask per source and
    a transposed 1-D convolution decoder."""

    def __init__(self, n=128, b=64, h=128, sources=2, blocks=8):
        super().__init__()
        self.sources = sources
        self.enc = torch.nn.Conv1d(1, n, 16, 8, bias=False)
        self.bottleneck = torch.nn.Sequential(torch.nn.GroupNorm(1, n), torch.nn.Conv1d(n, b, 1))
        self.blocks = torch.nn.ModuleList([torch.nn.Sequential(
            torch.nn.Conv1d(b, h, 1), torch.nn.PReLU(), torch.nn.GroupNorm(1, h),
            torch.nn.Conv1d(h, h, 3, padding=2 ** i, dilation=2 ** i, groups=h), torch.nn.PReLU(), torch.nn.GroupNorm(1, h),
            torch.nn.Conv1d(h, b, 1)) for i in range(blocks)])
        self.mask = torch.nn.Sequential(torch.nn.PReLU(), torch.nn.Conv1d(b, sources * n, 1), torch.nn.Sigmoid())
        self.dec = torch.nn.ConvTranspose1d(n, 1, 16, 8, bias=False)

    def forward(self, wave):
        w = torch.relu(self.enc(wave))
        x = self.bottleneck(w)
        for blk in self.blocks:
            x = x + blk(x)
        m = self.mask(x).reshape(wave.shape[0] * self.sources, -1, w.shape[-1])
        return self.dec(m * w.repeat(self.sources, 1, 1))


class YoloSppf(torch.nn.Module):
    """A YOLOv5-style backbone end and neck: SiLU convolutions, cross-stage
    partial blocks, SPPF (three chained 5x5 max pools of stride 1,
    concatenated), nearest upsampling and concatenation with the earlier
    scale."""

    def __init__(self):
        super().__init__()
        cbs = lambda i, o, k=1, s=1: torch.nn.Sequential(torch.nn.Conv2d(i, o, k, s, (k - 1) // 2, bias=False),
                                                       torch.nn.BatchNorm2d(o), torch.nn.SiLU())

        class Csp(torch.nn.Module):
            def __init__(self, i, o):
                super().__init__()
                self.a, self.b, self.m = cbs(i, o // 2), cbs(i, o // 2), torch.nn.Sequential(cbs(o // 2, o // 2), cbs(o // 2, o // 2, 3))
                self.out = cbs(o, o)

            def forward(self, x):
                a = self.a(x)
                return self.out(torch.cat([a + self.m(a), self.b(x)], 1))

        self.stem = torch.nn.Sequential(cbs(3, 32, 6, 2), cbs(32, 64, 3, 2), Csp(64, 64), cbs(64, 128, 3, 2), Csp(128, 128))
        self.down = torch.nn.Sequential(cbs(128, 256, 3, 2), Csp(256, 256))
        self.sppf_in, self.sppf_out = cbs(256, 128), cbs(512, 256)
        self.lateral, self.fuse = cbs(256, 128), Csp(256, 128)
        self.head = torch.nn.Conv2d(128, 3 * 85, 1)

    def forward(self, x):
        p3 = self.stem(x)
        p4 = self.down(p3)
        y = self.sppf_in(p4)
        pool = lambda v: torch.nn.functional.max_pool2d(v, 5, 1, 2)
        y1 = pool(y)
        y2 = pool(y1)
        p4 = self.sppf_out(torch.cat([y, y1, y2, pool(y2)], 1))
        up = torch.nn.functional.interpolate(self.lateral(p4), scale_factor=2.0, mode="nearest")
        return self.head(self.fuse(torch.cat([up, p3], 1)))


class RaftSmall(torch.nn.Module):
    """torchvision's RAFT (small) with four refinement steps, unrolled: the
    same update block's weights in every step, correlation pyramids sampled
    with GridSample; the last flow estimate."""

    def __init__(self):
        super().__init__()
        self.raft = tv.optical_flow.raft_small(weights=None)

    def forward(self, a, b):
        return self.raft(a, b, num_flow_updates=4)[-1]


def detector(build, **kw):
    # Small images keep the two-stage detectors affordable; a low score
    # threshold, so that random weights still give boxes.
    kw = kw or {"box_score_thresh": 0.001}
    return lambda: build(weights=None, weights_backbone=None, min_size=320, max_size=320, **kw).eval()


# name: (family, builder, inputs, input names, output names, opset, extra)
# inputs: a list of (tensor, element type); extra: output keys of dicts,
# dynamic axes.
def corpus():
    img = lambda *s: [(image(*s), "float32")]
    c = {}
    for name in export_zoo.MODELS:
        if name in export_zoo.SEQUENCE_MODELS:
            build, shape = export_zoo.SEQUENCE_MODELS[name]
            family = "quantized" if name.endswith("_qdq") else "transformer" if name == "text_encoder" else "speech"
            c[name] = (family, build, img(*shape), ["input"], ["output"], 13, {})
        else:
            extra = {"aux_logits": False, "init_weights": True} if name == "googlenet" else {}
            family = "transformer" if name.startswith("vit") else "classification"
            c[name] = (family, (lambda n, e: lambda: getattr(tv, n)(weights=None, **e))(name, extra),
                       img(1, 3, 224, 224), ["image"], ["logits"], 13, {})
    for name, shape in [("resnext50_32x4d", (1, 3, 224, 224)), ("alexnet", (1, 3, 224, 224)), ("mnasnet1_0", (1, 3, 224, 224)),
                        ("inception_v3", (1, 3, 299, 299))]:
        extra = {"aux_logits": False, "init_weights": True} if name == "inception_v3" else {}
        c[name] = ("classification", (lambda n, e: lambda: getattr(tv, n)(weights=None, **e))(name, extra), img(*shape),
                   ["image"], ["logits"], 13, {})
    c["resnet18_batch4"] = ("classification", lambda: tv.resnet18(weights=None), img(4, 3, 224, 224), ["image"], ["logits"], 13, {})
    c["mobilenet_v2_wide"] = ("classification", lambda: tv.mobilenet_v2(weights=None), img(1, 3, 192, 320), ["image"],
                              ["logits"], 13, {})
    seg = tv.segmentation
    for name, build in [("deeplabv3_mobilenet", seg.deeplabv3_mobilenet_v3_large), ("lraspp_mobilenet", seg.lraspp_mobilenet_v3_large),
                        ("fcn_resnet50", seg.fcn_resnet50)]:
        c[name] = ("segmentation", (lambda b: lambda: b(weights=None, weights_backbone=None, aux_loss=None).eval()
                                    if b is not seg.lraspp_mobilenet_v3_large else b(weights=None, weights_backbone=None).eval())(build),
                   img(1, 3, 320, 320), ["image"], ["out"], 17, {"keys": ["out"]})
    det = tv.detection
    boxes = ["boxes", "scores", "labels"]
    c["ssdlite320"] = ("detection", lambda: det.ssdlite320_mobilenet_v3_large(weights=None, weights_backbone=None).eval(),
                       img(1, 3, 320, 320), ["image"], boxes, 17, {"keys": boxes})
    c["retinanet_resnet50"] = ("detection", detector(det.retinanet_resnet50_fpn, score_thresh=0.005), img(1, 3, 320, 320),
                               ["image"], boxes, 17, {"keys": boxes})
    c["fasterrcnn_mobilenet"] = ("detection", detector(det.fasterrcnn_mobilenet_v3_large_320_fpn), img(1, 3, 320, 320),
                                 ["image"], boxes, 17, {"keys": boxes})
    c["maskrcnn_resnet50"] = ("detection", detector(det.maskrcnn_resnet50_fpn), img(1, 3, 320, 320), ["image"],
                              boxes + ["masks"], 17, {"keys": boxes + ["masks"]})
    c["keypointrcnn_resnet50"] = ("detection", detector(det.keypointrcnn_resnet50_fpn), img(1, 3, 320, 320), ["image"],
                                  boxes + ["keypoints"], 17, {"keys": boxes + ["keypoints"]})
    vid = tv.video
    for name in ["r3d_18", "mc3_18", "r2plus1d_18"]:
        c[name] = ("video", (lambda n: lambda: getattr(vid, n)(weights=None))(name), img(1, 3, 8, 112, 112), ["clip"],
                   ["logits"], 17, {})
    c["video_pool3d"] = ("video", VideoPool, img(2, 3, 8, 64, 64), ["clip"], ["logits"], 17, {})
    c["swin_t"] = ("transformer", lambda: tv.swin_t(weights=None), img(1, 3, 224, 224), ["image"], ["logits"], 17, {})
    ids = torch.randint(0, 1000, (1, 96), generator=torch.Generator().manual_seed(4))
    mask = torch.ones(1, 96, dtype=torch.int64)
    mask[:, 80:] = 0
    c["bert_masked"] = ("transformer", MaskedEncoder, [(ids, "int64"), (mask, "int64")], ["ids", "mask"], ["logits"], 17,
                        {"dynamic": {"ids": {1: "sequence"}, "mask": {1: "sequence"}}})
    past = 24
    c["decoder_step"] = ("transformer", DecoderStep,
                         [(torch.tensor([[7]]), "int64"), (noise(2, 1, 4, past, 64), "float32"), (noise(2, 1, 4, past, 64), "float32")],
                         ["token", "past_k", "past_v"], ["logits", "new_k", "new_v"], 17,
                         {"dynamic": {"past_k": {3: "past"}, "past_v": {3: "past"}}})
    c["conv1d_speech"] = ("speech", Conv1dSpeech, [(noise(1, 80, 400), "float32")], ["mel"], ["log_probs"], 17, {})
    c["mel_frontend"] = ("speech", MelFrontEnd, [(noise(1, 16000), "float32")], ["wave"], ["logits"], 17, {})
    c["conformer_block"] = ("speech", ConformerBlock, [(noise(1, 200, 144), "float32")], ["features"], ["encoded"], 17, {})
    c["crnn"] = ("text_recognition", Crnn, img(1, 1, 32, 128), ["line"], ["log_probs"], 17, {})
    c["crnn_batch2"] = ("text_recognition", Crnn, img(2, 1, 32, 200), ["line"], ["log_probs"], 17, {})
    c["espcn_x3"] = ("super_resolution", Espcn, img(1, 1, 224, 224), ["image"], ["upscaled"], 17, {})
    c["unet_generator"] = ("image_to_image", UNetGenerator, img(1, 3, 256, 256), ["image"], ["image_out"], 17, {})
    c["resize_modes"] = ("image_to_image", ResizeModes, img(1, 3, 160, 224), ["image"], ["resized"], 17, {})
    two = lambda: [(image(1, 3, 128, 160), "float32"), (noise(1, 3, 128, 160), "float32")]
    c["flow_warp"] = ("optical_flow", FlowWarp, two(), ["frame0", "frame1"], ["warped"], 17, {})
    c["flow_warp_nearest"] = ("optical_flow", lambda: FlowWarp("nearest", "border", True), two(), ["frame0", "frame1"],
                              ["warped"], 17, {})
    c["raft_small"] = ("optical_flow", RaftSmall, two(), ["frame0", "frame1"], ["flow"], 17, {})
    # Families and shapes no benchmark was tuned on, added to find the next cliff.
    c["s3d"] = ("video", lambda: vid.s3d(weights=None), img(1, 3, 16, 224, 224), ["clip"], ["logits"], 17, {})
    for name in ["efficientnet_v2_s", "regnet_x_400mf", "maxvit_t"]:
        c[name] = ("classification", (lambda n: lambda: getattr(tv, n)(weights=None))(name), img(1, 3, 224, 224),
                   ["image"], ["logits"], 17, {})
    c["fcos_resnet50"] = ("detection", detector(det.fcos_resnet50_fpn, score_thresh=0.005), img(1, 3, 320, 320),
                          ["image"], boxes, 17, {"keys": boxes})
    c["ssd300_vgg16"] = ("detection", lambda: det.ssd300_vgg16(weights=None, weights_backbone=None).eval(),
                         img(1, 3, 300, 300), ["image"], boxes, 17, {"keys": boxes})
    c["yolo_like"] = ("detection_head", YoloLike, img(1, 3, 320, 480), ["image"], ["predictions"], 17, {})
    c["diffusion_block"] = ("image_to_image", DiffusionBlock, [(noise(1, 4, 32, 32), "float32"), (torch.tensor([500.0]), "float32")],
                            ["latent", "t"], ["eps"], 17, {})
    prompt = torch.randint(0, 2000, (1, 128), generator=torch.Generator().manual_seed(5))
    c["gpt_prefill"] = ("transformer", GptPrefill, [(prompt, "int64")], ["ids"], ["logits"], 17,
                        {"dynamic": {"ids": {1: "sequence"}}})
    c["pointnet"] = ("point_cloud", PointNet, [(noise(2, 3, 1024), "float32")], ["points"], ["logits"], 17, {})
    # A third round of shapes never tuned on.
    c["mlp_mixer"] = ("transformer", MlpMixer, img(1, 3, 224, 224), ["image"], ["logits"], 17, {})
    c["wavenet"] = ("speech", WaveNet, [(noise(1, 1, 8000), "float32")], ["wave"], ["logits"], 17, {})
    tokens = torch.randint(0, 2000, (1, 160), generator=torch.Generator().manual_seed(6))
    c["llama_block"] = ("transformer", LlamaBlock, [(tokens, "int64")], ["ids"], ["hidden"], 17,
                        {"dynamic": {"ids": {1: "sequence"}}})
    c["hrnet_fusion"] = ("segmentation", HrFusion, img(1, 3, 256, 320), ["image"], ["logits"], 17, {})
    c["linear_attention"] = ("transformer", LinearAttention, [(noise(2, 300, 256), "float32")], ["tokens"], ["encoded"], 17, {})
    c["conv_lstm"] = ("video", ConvLstm, img(1, 6, 3, 96, 128), ["clip"], ["map"], 17, {})
    c["quartznet"] = ("speech", QuartzNet, [(noise(1, 64, 500), "float32")], ["features"], ["log_probs"], 17, {})
    c["unet3d"] = ("segmentation", UNet3d, img(1, 1, 32, 64, 64), ["volume"], ["labels"], 17, {})
    g = torch.Generator().manual_seed(7)
    c["dlrm"] = ("recommendation", Dlrm, [(noise(128, 13), "float32"), (torch.randint(0, 20000, (128, 8, 4), generator=g), "int64")],
                 ["dense", "ids"], ["click"], 17, {})
    c["style_transfer"] = ("image_to_image", StyleTransfer, img(1, 3, 256, 256), ["image"], ["styled"], 17, {})
    c["gcn"] = ("graph", Gcn, [(noise(2000, 32), "float32"), (torch.randint(0, 2000, (16000,), generator=g), "int64"),
                               (torch.randint(0, 2000, (16000,), generator=g), "int64")], ["x", "src", "dst"], ["out"], 17, {})
    c["nerf_mlp"] = ("neural_field", NerfMlp, [(noise(16384, 3), "float32")], ["points"], ["density_rgb"], 17, {})
    c["hifigan"] = ("speech", HifiGan, [(noise(1, 80, 64), "float32")], ["mel"], ["wave"], 17, {})
    words = torch.randint(0, 2000, (2, 120), generator=torch.Generator().manual_seed(8))
    c["t5_encoder"] = ("transformer", T5Encoder, [(words, "int64")], ["ids"], ["encoded"], 17, {"dynamic": {"ids": {1: "sequence"}}})
    c["bifpn"] = ("detection_head", BiFpn, img(1, 3, 512, 512), ["image"], ["features"], 17, {})
    c["ghostnet"] = ("classification", GhostNet, img(1, 3, 224, 224), ["image"], ["logits"], 17, {})
    c["trilinear3d"] = ("segmentation", Trilinear3d, img(1, 1, 32, 64, 64), ["volume"], ["labels"], 17, {})
    c["conv_tasnet"] = ("speech", ConvTasNet, [(noise(1, 1, 16000), "float32")], ["mixture"], ["sources"], 17, {})
    c["yolo_sppf"] = ("detection_head", YoloSppf, img(1, 3, 384, 640), ["image"], ["predictions"], 17, {})
    return c


def export(name, spec, out):
    family, build, inputs, in_names, out_names, opset, extra = spec
    torch.manual_seed(1)
    model = build().eval()
    if "keys" in extra:
        model = Outputs(model, extra["keys"]).eval()
    args = tuple(t for t, _ in inputs)
    with torch.no_grad():
        ref = model(*args)
    refs = ref if isinstance(ref, (tuple, list)) else (ref,)
    path = os.path.join(out, name)
    torch.onnx.export(model, args, path + ".onnx", input_names=in_names, output_names=out_names, opset_version=opset,
                      dynamic_axes=extra.get("dynamic"))
    for i, (t, _) in enumerate(inputs):
        t.detach().numpy().astype("float32").tofile(f"{path}.in{i}.raw")
    for i, r in enumerate(refs):
        r.detach().numpy().astype("float32").tofile(f"{path}.ref{i}.raw")
    # A fixed-point network's error against float is chaotic in its input
    # (a rounding flipped early moves everything after it): its signal-to-
    # noise swings by about 0.5 dB from one image to the next, so it is
    # judged on the mean over several images, kept here with their results.
    checks = []
    for k in range(CHECK_IMAGES if family == "quantized" else 0):
        x = torch.rand(*args[0].shape, generator=torch.Generator().manual_seed(100 + k))
        with torch.no_grad():
            model(x).numpy().astype("float32").tofile(f"{path}.check{k}.ref0.raw")
        x.numpy().astype("float32").tofile(f"{path}.check{k}.in0.raw")
        checks.append(k)
    with open(path + ".json", "w") as f:
        json.dump({"family": family,
                   "inputs": [{"name": n, "shape": list(t.shape), "type": ty} for n, (t, ty) in zip(in_names, inputs)],
                   "outputs": [{"name": n, "shape": list(r.shape)} for n, r in zip(out_names, refs)],
                   "checks": len(checks),
                   "torch": torch.__version__, "torchvision": torchvision.__version__}, f)


def export_all(out, specs, names):
    """Exports `names` (all of `specs` when empty) into `out`, skipping what
    is there; 1 when an exporter failed (the others are still exported)."""
    os.makedirs(out, exist_ok=True)
    failed = []
    for name in names or specs:
        if os.path.exists(os.path.join(out, name + ".json")):
            continue
        start = time.time()
        try:
            export(name, specs[name], out)
            print(f"{name}: {time.time() - start:.1f} s", flush=True)
        except Exception as e:  # one model's exporter failure leaves the rest
            failed.append(name)
            print(f"{name}: export failed: {str(e).splitlines()[0][:200]}", flush=True)
    return 1 if failed else 0


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    specs = corpus()
    if sys.argv[1] == "--list":
        for name, spec in specs.items():
            print(name, spec[0])
        return 0
    return export_all(sys.argv[1], specs, sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
