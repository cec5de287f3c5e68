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
] + ["keyword_lstm", "vad_gru", "text_encoder"] + [a + "_qdq" for a in (
    "mobilenet_v2", "mobilenet_v3_large", "resnet18", "resnet50", "shufflenet_v2_x1_0", "googlenet", "inception_v3")]


class KeywordLstm(torch.nn.Module):
    """Keyword spotting: two bidirectional LSTM layers over 40 mel bands, a classifier on the last step."""

    def __init__(self):
        super().__init__()
        self.rnn = torch.nn.LSTM(40, 128, num_layers=2, bidirectional=True)
        self.head = torch.nn.Linear(256, 12)

    def forward(self, x):
        y, _ = self.rnn(x)
        return self.head(y[-1])


class VoiceActivityGru(torch.nn.Module):
    """Voice activity detection: two GRU layers, a speech score per frame."""

    def __init__(self):
        super().__init__()
        self.rnn = torch.nn.GRU(40, 64, num_layers=2)
        self.head = torch.nn.Linear(64, 1)

    def forward(self, x):
        y, _ = self.rnn(x)
        return torch.sigmoid(self.head(y))


class TextEncoder(torch.nn.Module):
    """A small transformer encoder (four layers, width 256, four heads) over 64 tokens."""

    def __init__(self):
        super().__init__()
        layer = torch.nn.TransformerEncoderLayer(256, 4, 512, dropout=0.0, batch_first=True)
        self.encoder = torch.nn.TransformerEncoder(layer, 4, enable_nested_tensor=False)

    def forward(self, x):
        return self.encoder(x)


def qdq(arch, size=224, **extra):
    """torchvision's quantizable `arch` with fake quantization (per-channel
    int8 weights, uint8 activations), calibrated on random images: exports
    as QuantizeLinear / DequantizeLinear pairs around every layer."""
    def build():
        model = getattr(torchvision.models.quantization, arch)(weights=None, quantize=False, **extra)
        # Normalisation statistics taken from data, so that activations keep
        # their scale through the depth (with the initial ones they vanish).
        for m in model.modules():
            if isinstance(m, torch.nn.BatchNorm2d):
                m.reset_running_stats()
                m.momentum = None
        model.train()
        with torch.no_grad():
            for i in range(4):
                model(torch.rand(2, 3, size, size, generator=torch.Generator().manual_seed(20 + i)))
        model.eval()
        model.fuse_model()
        model.train()
        fq = torch.ao.quantization
        # Plain fake-quantize modules: the fused observer form has no ONNX export.
        model.qconfig = fq.QConfig(
            activation=fq.FakeQuantize.with_args(observer=fq.MovingAverageMinMaxObserver, quant_min=0, quant_max=255,
                                                 dtype=torch.quint8, reduce_range=False),
            weight=fq.FakeQuantize.with_args(observer=fq.MovingAveragePerChannelMinMaxObserver, quant_min=-128,
                                             quant_max=127, dtype=torch.qint8, qscheme=torch.per_channel_symmetric))
        torch.ao.quantization.prepare_qat(model, inplace=True)
        model.eval()  # ranges observed with the normalisation statistics that inference uses
        with torch.no_grad():
            for i in range(4):
                model(torch.rand(2, 3, size, size, generator=torch.Generator().manual_seed(10 + i)))
        model.apply(torch.ao.quantization.disable_observer)
        # Per-tensor scales as scalars, as the operator set has them (a [1]
        # scale is refused by ONNX Runtime's quantized fusions).
        for m in model.modules():
            if isinstance(m, fq.FakeQuantize) and m.qscheme in (torch.per_tensor_affine, torch.per_tensor_symmetric):
                m.scale = m.scale.reshape(())
                m.zero_point = m.zero_point.reshape(())
        return model.eval()
    return build


# Non-image models: their builders and input shapes.
SEQUENCE_MODELS = {
    "keyword_lstm": (KeywordLstm, [100, 1, 40]),
    "vad_gru": (VoiceActivityGru, [100, 1, 40]),
    "text_encoder": (TextEncoder, [1, 64, 256]),
}
# torchvision's quantizable architectures, fake-quantized.
QDQ_MODELS = {"mobilenet_v2": {}, "mobilenet_v3_large": {}, "resnet18": {}, "resnet50": {}, "shufflenet_v2_x1_0": {},
              "googlenet": {"aux_logits": False, "init_weights": True},
              "inception_v3": {"aux_logits": False, "init_weights": True}}
for _arch, _extra in QDQ_MODELS.items():
    _size = 299 if _arch == "inception_v3" else 224
    SEQUENCE_MODELS[_arch + "_qdq"] = (qdq(_arch, _size, **_extra), [1, 3, _size, _size])


def export(name, out):
    torch.manual_seed(1)
    if name in SEQUENCE_MODELS:
        build, shape = SEQUENCE_MODELS[name]
        model = build().eval()
        data = torch.rand(*shape, generator=torch.Generator().manual_seed(2))
        with torch.no_grad():
            reference = model(data)
        path = os.path.join(out, name)
        torch.onnx.export(model, data, path + ".onnx", input_names=["input"], output_names=["output"], opset_version=13)
        data.numpy().astype("float32").tofile(path + ".input.raw")
        reference.numpy().astype("float32").tofile(path + ".reference.raw")
        with open(path + ".json", "w") as f:
            json.dump({"input": "input", "input_shape": list(data.shape), "output": "output",
                       "output_shape": list(reference.shape), "torch": torch.__version__,
                       "quantized": name.endswith("_qdq")}, f)
        return
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
