// The executor's build-time work: fusion, channels-last layouts, the
// arena and the recognised subgraphs must give what the unfused graph
// gives. Each model runs twice: asking only for its output (everything
// fuses) and asking for every tensor (nothing may fuse, every value is
// materialised plain).
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <cmath>
#include <functional>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "executor/graph/Graph.h"
#include "executor/kernels/BlockedPool.h"
#include "executor/core/Processor.h"
#include "executor/core/Threads.h"
#include "executor/planner/Arena.h"
#include "tools/OnnxBuilder.h"
#include "support/Reference.h"

namespace {

using vexart::Graph;
using vexart::Shape;

std::vector<float> pseudoRandom(size_t n, uint32_t seed, float scale = 0.5f) {
    std::vector<float> v(n);
    for (auto& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = scale * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
    }
    return v;
}

size_t countOf(const std::vector<int64_t>& dims) {
    size_t n = 1;
    for (int64_t d : dims) n *= static_cast<size_t>(d);
    return n;
}

// Weights with the given dims, stored raw as exporters store them.
void weights(OnnxBuilder& b, const std::string& name, const std::vector<int64_t>& dims, uint32_t seed,
             float scale = 0.3f) {
    b.initializerRaw(name, dims, pseudoRandom(countOf(dims), seed, scale));
}

onnx::NodeProto& conv(OnnxBuilder& b, const std::string& in, const std::string& out, int64_t c, int64_t m,
                      int64_t k, uint32_t seed, int64_t group = 1) {
    weights(b, out + ".w", {m, c / group, k, k}, seed);
    weights(b, out + ".b", {m}, seed + 1);
    auto& n = b.node("Conv", {in, out + ".w", out + ".b"}, {out});
    OnnxBuilder::attr(n, "pads", std::vector<int64_t>{k / 2, k / 2, k / 2, k / 2});
    OnnxBuilder::attr(n, "group", group);
    return n;
}

void scalar(OnnxBuilder& b, const std::string& name, float v) { b.initializer(name, {}, {v}); }

// A QuantizeLinear, DequantizeLinear pair, as quantization-aware exports write them.
void fakeQuant(OnnxBuilder& b, const std::string& in, const std::string& out, float scale, int zero, int32_t type) {
    scalar(b, out + ".s", scale);
    b.initializer(OnnxBuilder::intTensor(out + ".z", type, {}, {zero}));
    b.node("QuantizeLinear", {in, out + ".s", out + ".z"}, {out + ".q"});
    b.node("DequantizeLinear", {out + ".q", out + ".s", out + ".z"}, {out});
}

// A 3-D convolution of a k x k x k window, padded to keep the volume.
onnx::NodeProto& conv3d(OnnxBuilder& b, const std::string& in, const std::string& out, int64_t c, int64_t m, int64_t k,
                        uint32_t seed, int64_t group = 1) {
    weights(b, out + ".w", {m, c / group, k, k, k}, seed);
    weights(b, out + ".b", {m}, seed + 1);
    auto& n = b.node("Conv", {in, out + ".w", out + ".b"}, {out});
    OnnxBuilder::attr(n, "pads", std::vector<int64_t>(6, k / 2));
    OnnxBuilder::attr(n, "group", group);
    return n;
}

struct Case {
    const char* name;
    std::vector<int64_t> input;
    size_t fusedSteps;  // kernels left to run once everything that can fuse has
    std::function<void(OnnxBuilder&)> build;  // reads "x", writes "y"
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"ConvBatchNormRelu", {1, 3, 9, 9}, 2, [](OnnxBuilder& b) {
             conv(b, "x", "c1", 3, 8, 3, 1);
             weights(b, "g", {8}, 11, 1.0f);
             weights(b, "be", {8}, 12);
             weights(b, "mu", {8}, 13);
             b.initializer("var", {8}, std::vector<float>(8, 0.7f));
             b.node("BatchNormalization", {"c1", "g", "be", "mu", "var"}, {"bn"});
             b.node("Relu", {"bn"}, {"r"});
             conv(b, "r", "y", 8, 8, 3, 2);
         }},
        {"ResidualAddAndDenseHead", {1, 8, 7, 7}, 5, [](OnnxBuilder& b) {
             conv(b, "x", "c1", 8, 8, 3, 3);
             b.node("Relu", {"c1"}, {"r1"});
             conv(b, "r1", "c2", 8, 8, 3, 4);
             b.node("Add", {"c2", "r1"}, {"s"});
             b.node("Relu", {"s"}, {"r2"});
             b.node("GlobalAveragePool", {"r2"}, {"p"});
             b.node("Flatten", {"p"}, {"f"});
             weights(b, "fc.w", {5, 8}, 5);
             weights(b, "fc.b", {5}, 6);
             auto& g = b.node("Gemm", {"f", "fc.w", "fc.b"}, {"y"});
             OnnxBuilder::attr(g, "transB", int64_t{1});
         }},
        // Video: 3-D convolutions, whose output oneDNN writes blocked and
        // reorders, with the residual operand fused all the same. oneDNN
        // adds a whole channels-last volume only in its reference kernel:
        // the convolution runs without the add, and the add and the ReLU
        // after it run over its output.
        {"VideoResidual3d", {1, 16, 4, 6, 6}, 3, [](OnnxBuilder& b) {
             for (const auto& [in, out, seed] : {std::tuple{"x", "c1", 31u}, std::tuple{"r1", "c2", 33u}}) {
                 weights(b, std::string(out) + ".w", {16, 16, 3, 3, 3}, seed, 0.1f);
                 weights(b, std::string(out) + ".b", {16}, seed + 1);
                 auto& n = b.node("Conv", {in, std::string(out) + ".w", std::string(out) + ".b"}, {out});
                 OnnxBuilder::attr(n, "pads", std::vector<int64_t>{1, 1, 1, 1, 1, 1});
                 if (std::string(out) == "c1") b.node("Relu", {"c1"}, {"r1"});
             }
             b.node("Add", {"c2", "r1"}, {"s"});
             b.node("Relu", {"s"}, {"r2"});
             b.node("GlobalAveragePool", {"r2"}, {"y"});
         }},
        // A pointwise 1-D convolution (a separable speech block's) with a
        // residual add fused (the ReLU after it writes the graph's output):
        // with its source left open oneDNN takes the add only in its
        // reference kernel, a hundred times slower.
        {"SequenceResidual1d", {1, 32, 40}, 3, [](OnnxBuilder& b) {
             weights(b, "a.w", {32, 32, 3}, 37, 0.2f);
             weights(b, "a.b", {32}, 38);
             auto& a = b.node("Conv", {"x", "a.w", "a.b"}, {"a"});
             OnnxBuilder::attr(a, "pads", std::vector<int64_t>{1, 1});
             b.node("Relu", {"a"}, {"r"});
             weights(b, "c.w", {32, 32, 1}, 35, 0.2f);
             weights(b, "c.b", {32}, 36);
             b.node("Conv", {"r", "c.w", "c.b"}, {"c"});
             b.node("Add", {"c", "r"}, {"s"});
             b.node("Relu", {"s"}, {"y"});
         }},
        // A GhostNet layer: half the channels from a 1x1 convolution, half
        // from a depthwise one of those, concatenated and sliced to the
        // count asked for, here all of them: the slice views the concat's
        // bytes in their layout, and a slice of fewer channels copies.
        {"GhostSliceOfEverything", {1, 8, 6, 6}, 8, [](OnnxBuilder& b) {
             conv(b, "x", "a", 8, 16, 1, 41);
             conv(b, "a", "d", 16, 16, 3, 42, 16);
             auto& cat = b.node("Concat", {"a", "d"}, {"c"});
             OnnxBuilder::attr(cat, "axis", int64_t{1});
             for (const auto& [name, end] : {std::pair{"all", 32}, std::pair{"some", 24}}) {
                 b.initializer(OnnxBuilder::intTensor(std::string(name) + ".starts", onnx::TensorProto::INT64, {1}, {0}));
                 b.initializer(OnnxBuilder::intTensor(std::string(name) + ".ends", onnx::TensorProto::INT64, {1}, {end}));
                 b.initializer(OnnxBuilder::intTensor(std::string(name) + ".axes", onnx::TensorProto::INT64, {1}, {1}));
                 b.node("Slice", {"c", std::string(name) + ".starts", std::string(name) + ".ends", std::string(name) + ".axes"},
                        {std::string(name)});
             }
             conv(b, "all", "e", 32, 8, 1, 43);
             conv(b, "some", "f", 24, 8, 1, 44);
             b.node("Add", {"e", "f"}, {"y"});
         }},
        {"ActivationsAndGates", {1, 4, 6, 6}, 6, [](OnnxBuilder& b) {
             conv(b, "x", "c1", 4, 8, 3, 7);
             scalar(b, "lo", 0.0f);
             scalar(b, "hi", 6.0f);
             b.node("Clip", {"c1", "lo", "hi"}, {"a1"});
             conv(b, "a1", "c2", 8, 8, 1, 8);
             auto& hs = b.node("HardSigmoid", {"c2"}, {"hsig"});
             OnnxBuilder::attr(hs, "alpha", 1.0f / 6);
             b.node("Mul", {"c2", "hsig"}, {"a2"});  // HardSwish written out
             conv(b, "a2", "c3", 8, 8, 3, 9, 8);  // depthwise
             b.node("Sigmoid", {"c3"}, {"sig"});
             b.node("Mul", {"sig", "c3"}, {"a3"});  // Swish
             conv(b, "a3", "c4", 8, 8, 1, 10);
             auto& lr = b.node("LeakyRelu", {"c4"}, {"a4"});
             OnnxBuilder::attr(lr, "alpha", 0.2f);
             conv(b, "a4", "c5", 8, 8, 1, 14);
             b.node("HardSwish", {"c5"}, {"y"});  // asked for: stays a node of its own
         }},
        {"PReluSlopes", {1, 4, 6, 6}, 4, [](OnnxBuilder& b) {
             // One slope for all joins the convolution; one per channel stays a node.
             conv(b, "x", "c1", 4, 8, 3, 46);
             scalar(b, "s1", -0.3f);
             b.node("PRelu", {"c1", "s1"}, {"a1"});
             conv(b, "a1", "c2", 8, 8, 1, 47);
             weights(b, "s2", {8, 1, 1}, 48);
             b.node("PRelu", {"c2", "s2"}, {"a2"});
             conv(b, "a2", "y", 8, 4, 3, 49);
         }},
        {"HardSwishByClip", {1, 4, 6, 6}, 3, [](OnnxBuilder& b) {
             // x * Clip(x + 3, 0, 6) / 6, and Clip(x + 3, 0, 6) * (1/6) * x.
             scalar(b, "three", 3.0f);
             scalar(b, "zero", 0.0f);
             scalar(b, "six", 6.0f);
             scalar(b, "sixth", 1.0f / 6);
             conv(b, "x", "c1", 4, 8, 3, 36);
             b.node("Add", {"c1", "three"}, {"h1"});
             b.node("Clip", {"h1", "zero", "six"}, {"h2"});
             b.node("Mul", {"c1", "h2"}, {"h3"});
             b.node("Div", {"h3", "six"}, {"a1"});
             conv(b, "a1", "c2", 8, 8, 1, 37);
             b.node("Add", {"three", "c2"}, {"k1"});
             b.node("Clip", {"k1", "zero", "six"}, {"k2"});
             b.node("Mul", {"k2", "sixth"}, {"k3"});
             b.node("Mul", {"k3", "c2"}, {"a2"});
             conv(b, "a2", "y", 8, 4, 3, 38);
         }},
        {"FakeQuantizedResidual", {1, 4, 6, 6}, 4, [](OnnxBuilder& b) {
             conv(b, "x", "c1", 4, 8, 3, 39);
             b.node("Relu", {"c1"}, {"r1"});
             fakeQuant(b, "r1", "q1", 0.01f, 0, onnx::TensorProto::UINT8);
             conv(b, "q1", "c2", 8, 8, 3, 40);
             fakeQuant(b, "c2", "q2", 0.02f, 3, onnx::TensorProto::INT8);
             b.node("Add", {"q2", "q1"}, {"s"});
             fakeQuant(b, "s", "y", 0.03f, 128, onnx::TensorProto::UINT8);
         }},
        {"ReluAndClipNarrowAFakeQuantization", {1, 4, 6, 6}, 3, [](OnnxBuilder& b) {
             // Zero points inside the code range: the grid alone would keep negatives.
             conv(b, "x", "c1", 4, 8, 3, 45);
             b.node("Relu", {"c1"}, {"r1"});
             fakeQuant(b, "r1", "q1", 0.01f, 20, onnx::TensorProto::UINT8);
             conv(b, "q1", "c2", 8, 8, 3, 46);
             scalar(b, "lo", -0.5f);
             scalar(b, "hi", 0.7f);
             b.node("Clip", {"c2", "lo", "hi"}, {"k2"});
             fakeQuant(b, "k2", "q2", 0.01f, -5, onnx::TensorProto::INT8);
             conv(b, "q2", "y", 8, 4, 3, 47);
         }},
        {"ReluAndClipNarrowAFakeQuantizationThatFloatsRead", {1, 4, 6, 6}, 3, [](OnnxBuilder& b) {
             // As above, but read by float work: the pair stays a fused rounding step.
             conv(b, "x", "c1", 4, 8, 3, 51);
             b.node("Relu", {"c1"}, {"r1"});
             fakeQuant(b, "r1", "q1", 0.01f, 20, onnx::TensorProto::UINT8);
             b.node("Sigmoid", {"q1"}, {"s1"});
             conv(b, "s1", "c2", 8, 8, 3, 52);
             scalar(b, "lo", -0.5f);
             scalar(b, "hi", 0.7f);
             b.node("Clip", {"c2", "lo", "hi"}, {"k2"});
             fakeQuant(b, "k2", "q2", 0.01f, -5, onnx::TensorProto::INT8);
             b.node("Tanh", {"q2"}, {"t2"});
             conv(b, "t2", "y", 8, 4, 3, 53);
         }},
        {"PerChannelAddAndDefaultActivationsAfterConvolutions", {1, 4, 6, 6}, 4, [](OnnxBuilder& b) {
             conv(b, "x", "c1", 4, 8, 3, 48);
             weights(b, "chan", {8, 1, 1}, 49, 2.0f);
             b.node("Add", {"c1", "chan"}, {"a1"});  // one value per channel: into the bias
             b.node("Elu", {"a1"}, {"e1"});          // every attribute at its default
             conv(b, "e1", "c2", 8, 8, 1, 50);
             b.node("Tanh", {"c2"}, {"t2"});
             conv(b, "t2", "c3", 8, 8, 3, 51);
             b.node("Sigmoid", {"c3"}, {"s3"});
             conv(b, "s3", "y", 8, 4, 1, 52);
         }},
        {"DefaultActivationsAfterProducts", {2, 5, 16}, 5, [](OnnxBuilder& b) {
             weights(b, "w1", {16, 16}, 53, 1.0f);
             b.node("MatMul", {"x", "w1"}, {"h1"});
             b.node("Elu", {"h1"}, {"e1"});
             weights(b, "w2", {16, 16}, 54, 1.0f);
             b.node("MatMul", {"e1", "w2"}, {"h2"});
             b.node("Tanh", {"h2"}, {"t2"});
             weights(b, "w3", {16, 8}, 55, 1.0f);
             b.node("MatMul", {"t2", "w3"}, {"h3"});
             b.node("Sigmoid", {"h3"}, {"s3"});
             weights(b, "w4", {8, 8}, 56, 1.0f);
             b.node("MatMul", {"s3", "w4"}, {"h4"});
             b.node("LeakyRelu", {"h4"}, {"l4"});
             weights(b, "w5", {8, 4}, 57);
             b.node("MatMul", {"l4", "w5"}, {"y"});
         }},
        {"WideDenseRows", {1, 1024}, 4, [](OnnxBuilder& b) {
             // Weights of 4 MiB and more for one row: the panels, their bias,
             // activations and added operands applied column range by range.
             weights(b, "fc.w", {1041, 1024}, 58);
             weights(b, "fc.b", {1041}, 59);
             OnnxBuilder::attr(b.node("Gemm", {"x", "fc.w", "fc.b"}, {"g"}), "transB", int64_t{1});
             b.node("Relu", {"g"}, {"r"});
             weights(b, "w2", {1041, 1030}, 60, 0.1f);
             b.node("MatMul", {"r", "w2"}, {"h2"});
             weights(b, "chan", {1030}, 61);
             b.node("Add", {"h2", "chan"}, {"a2"});
             b.node("Tanh", {"a2"}, {"t2"});
             weights(b, "w3", {1030, 1030}, 62, 0.1f);
             b.node("MatMul", {"t2", "w3"}, {"h3"});
             b.node("Add", {"h3", "t2"}, {"s"});
             weights(b, "w4", {1030, 8}, 63, 0.1f);
             b.node("MatMul", {"s", "w4"}, {"y"});
         }},
        {"VolumesChannelsLast", {1, 3, 4, 6, 6}, 8, [](OnnxBuilder& b) {
             // Convolutions of volumes hand each other channels-last
             // tensors; a whole-tensor add joins the convolution, and consumers
             // that take only plain volumes (a depthwise volume, a per-channel
             // operand broadcast, a concat) get plain copies.
             conv3d(b, "x", "c1", 3, 16, 3, 64);
             b.node("Relu", {"c1"}, {"r1"});
             conv3d(b, "r1", "c2", 16, 16, 3, 66);
             b.node("Add", {"c2", "r1"}, {"s"});
             weights(b, "g", {16}, 68, 1.0f);
             weights(b, "be", {16}, 69);
             weights(b, "mu", {16}, 70);
             b.initializer("var", {16}, std::vector<float>(16, 0.8f));
             b.node("BatchNormalization", {"s", "g", "be", "mu", "var"}, {"bn"});
             b.node("Relu", {"bn"}, {"r2"});
             weights(b, "chan", {16, 1, 1, 1}, 71, 2.0f);
             b.node("Mul", {"r2", "chan"}, {"m"});
             conv3d(b, "m", "d", 16, 16, 3, 72, 16);
             conv3d(b, "r2", "c3", 16, 8, 1, 74);
             OnnxBuilder::attr(b.node("Concat", {"d", "c3"}, {"cat"}), "axis", int64_t{1});
             b.node("GlobalAveragePool", {"cat"}, {"y"});
         }},
        {"SqueezeExcitation", {1, 8, 5, 5}, 6, [](OnnxBuilder& b) {
             conv(b, "x", "c1", 8, 8, 3, 15);
             b.node("GlobalAveragePool", {"c1"}, {"p"});
             conv(b, "p", "s1", 8, 4, 1, 16);
             b.node("Relu", {"s1"}, {"s2"});
             conv(b, "s2", "s3", 4, 8, 1, 17);
             b.node("HardSigmoid", {"s3"}, {"s4"});
             b.node("Mul", {"c1", "s4"}, {"m"});
             weights(b, "chan", {8, 1, 1}, 18);
             b.node("Add", {"m", "chan"}, {"y"});
         }},
        {"ConcatAndPooling", {1, 4, 11, 11}, 7, [](OnnxBuilder& b) {
             conv(b, "x", "a", 4, 8, 3, 19);
             conv(b, "x", "c", 4, 8, 1, 20);
             auto& cat = b.node("Concat", {"a", "c"}, {"cat"});
             OnnxBuilder::attr(cat, "axis", int64_t{1});
             auto& mp = b.node("MaxPool", {"cat"}, {"mp"});
             OnnxBuilder::attr(mp, "kernel_shape", std::vector<int64_t>{3, 3});
             OnnxBuilder::attr(mp, "strides", std::vector<int64_t>{2, 2});
             OnnxBuilder::attr(mp, "ceil_mode", int64_t{1});
             auto& ap = b.node("AveragePool", {"mp"}, {"ap"});
             OnnxBuilder::attr(ap, "kernel_shape", std::vector<int64_t>{3, 3});
             OnnxBuilder::attr(ap, "pads", std::vector<int64_t>{1, 1, 1, 1});
             OnnxBuilder::attr(ap, "count_include_pad", int64_t{1});
             conv(b, "ap", "c2", 16, 4, 3, 21);
             b.node("Transpose", {"c2"}, {"y"});
         }},
        {"PreActivationNormalization", {1, 4, 6, 6}, 5, [](OnnxBuilder& b) {
             // DenseNet's order: normalisation and ReLU before the convolution.
             conv(b, "x", "a", 4, 8, 3, 27);
             conv(b, "x", "c", 4, 8, 1, 28);
             OnnxBuilder::attr(b.node("Concat", {"a", "c"}, {"cat"}), "axis", int64_t{1});
             weights(b, "g", {16}, 29, 1.0f);
             weights(b, "be", {16}, 30);
             weights(b, "mu", {16}, 31);
             b.initializer("var", {16}, std::vector<float>(16, 1.3f));
             b.node("BatchNormalization", {"cat", "g", "be", "mu", "var"}, {"bn"});
             b.node("Relu", {"bn"}, {"r"});
             conv(b, "r", "y", 16, 4, 3, 32);
         }},
        {"FeaturePyramid", {1, 8, 6, 6}, 6, [](OnnxBuilder& b) {
             conv(b, "x", "c1", 8, 8, 3, 33);
             auto& down = b.node("MaxPool", {"c1"}, {"d"});
             OnnxBuilder::attr(down, "kernel_shape", std::vector<int64_t>{2, 2});
             OnnxBuilder::attr(down, "strides", std::vector<int64_t>{2, 2});
             conv(b, "d", "c2", 8, 8, 1, 34);
             b.initializer("roi", {0}, {});
             b.initializer("scales", {4}, {1, 1, 2, 2});
             b.node("Resize", {"c2", "roi", "scales"}, {"up"});
             b.node("Add", {"up", "c1"}, {"sum"});
             conv(b, "sum", "y", 8, 4, 3, 35);
         }},
        {"ReshapesAreViews", {2, 3, 4}, 5, [](OnnxBuilder& b) {
             b.initializerInts("s1", {6, 4});
             b.node("Reshape", {"x", "s1"}, {"r1"});
             b.node("Relu", {"r1"}, {"a"});
             b.initializerInts("s2", {24});
             b.node("Reshape", {"a", "s2"}, {"r2"});
             b.node("Reshape", {"r2", "s1"}, {"r3"});  // a view of a view
             b.node("Add", {"r3", "r1"}, {"y"});       // r1 read after its views
         }},
        {"TransformerBlock", {2, 5, 16}, 6, [](OnnxBuilder& b) {
             // Layer normalisation written out, as exporters before opset 17 do.
             auto& m1 = b.node("ReduceMean", {"x"}, {"mean"});
             OnnxBuilder::attr(m1, "axes", std::vector<int64_t>{-1});
             b.node("Sub", {"x", "mean"}, {"d"});
             scalar(b, "two", 2.0f);
             b.node("Pow", {"d", "two"}, {"sq"});
             auto& m2 = b.node("ReduceMean", {"sq"}, {"var"});
             OnnxBuilder::attr(m2, "axes", std::vector<int64_t>{-1});
             scalar(b, "eps", 1e-5f);
             b.node("Add", {"var", "eps"}, {"ve"});
             b.node("Sqrt", {"ve"}, {"sd"});
             b.node("Div", {"d", "sd"}, {"n"});
             weights(b, "gamma", {16}, 22, 1.0f);
             weights(b, "beta", {16}, 23);
             b.node("Mul", {"n", "gamma"}, {"ng"});
             b.node("Add", {"ng", "beta"}, {"ln"});
             // MLP with a written-out GELU and a residual add.
             weights(b, "w1", {16, 32}, 24);
             weights(b, "b1", {32}, 25);
             b.node("MatMul", {"ln", "w1"}, {"h"});
             b.node("Add", {"h", "b1"}, {"hb"});
             scalar(b, "sqrt2", 1.4142135f);
             scalar(b, "one", 1.0f);
             scalar(b, "half", 0.5f);
             b.node("Div", {"hb", "sqrt2"}, {"g1"});
             b.node("Erf", {"g1"}, {"g2"});
             b.node("Add", {"g2", "one"}, {"g3"});
             b.node("Mul", {"hb", "g3"}, {"g4"});
             b.node("Mul", {"g4", "half"}, {"gelu"});
             weights(b, "w2", {32, 16}, 26);
             b.node("MatMul", {"gelu", "w2"}, {"o"});
             b.node("Add", {"o", "x"}, {"res"});
             // Attention-like product of two computed operands.
             auto& t = b.node("Transpose", {"res"}, {"rt"});
             OnnxBuilder::attr(t, "perm", std::vector<int64_t>{0, 2, 1});
             b.node("MatMul", {"res", "rt"}, {"scores"});
             auto& sm = b.node("Softmax", {"scores"}, {"y"});
             OnnxBuilder::attr(sm, "axis", int64_t{-1});
         }},
    };
    return all;
}

struct Outcome {
    std::vector<float> y;
    uint64_t arenaBytes = 0;
    uint64_t activationBytes = 0;
    size_t steps = 0;
};

Outcome run(const Case& c, bool everyTensor, int threads = 1, int times = 1) {
    OnnxBuilder b("g");
    b.input("x", c.input);
    c.build(b);
    b.output("y");
    Graph g(b.proto());
    std::vector<std::string> outputs = {"y"};
    if (everyTensor) outputs = g.nodeOutputNames();
    const vexart::ThreadScope scope(threads);
    g.enableTiming(true);  // the profile's rows count the steps
    g.prepare({{"x", c.input}}, outputs);
    const std::vector<float> x = pseudoRandom(countOf(c.input), 99, 2.0f);
    Outcome r;
    for (int i = 0; i < times; ++i) {
        vexart::Tensor& in = g.input("x");
        std::copy(x.begin(), x.end(), in.data<float>());
        g.run();
        const vexart::Tensor& y = g.value("y");
        r.y.assign(y.data<float>(), y.data<float>() + y.size());
    }
    r.arenaBytes = g.arenaBytes();
    r.steps = g.timings().size();
    r.activationBytes = g.activationBytes();
    return r;
}

void expectClose(const std::vector<float>& got, const std::vector<float>& want, float tol) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_NEAR(got[i], want[i], tol * (1.0f + std::fabs(want[i]))) << "element " << i;
    }
}

class Planned : public ::testing::TestWithParam<Case> {};

TEST_P(Planned, FusedGraphGivesWhatTheUnfusedGraphGives) {
    const Outcome fused = run(GetParam(), false);
    const Outcome plain = run(GetParam(), true);
    ASSERT_FALSE(plain.y.empty());
    expectClose(fused.y, plain.y, 1e-4f);
    EXPECT_EQ(fused.steps, GetParam().fusedSteps);
    EXPECT_GE(plain.steps, fused.steps);
}

TEST_P(Planned, ArenaIsReusedAcrossExecutionsAndSmallerThanItsValues) {
    const Outcome once = run(GetParam(), false, 1, 1);
    const Outcome thrice = run(GetParam(), false, 1, 3);
    EXPECT_EQ(once.y, thrice.y);
    EXPECT_GT(once.arenaBytes, 0u);
    EXPECT_LT(once.arenaBytes, once.activationBytes);
    EXPECT_LE(once.arenaBytes, run(GetParam(), true).arenaBytes);
}

// Asking for any one value besides the output keeps it what the unfused
// graph computes: no fusion may swallow a value the user asked for.
TEST_P(Planned, EveryValueAskedForComesOutAsComputed) {
    const Case& c = GetParam();
    OnnxBuilder b("g");
    b.input("x", c.input);
    c.build(b);
    b.output("y");
    const std::vector<float> x = pseudoRandom(countOf(c.input), 99, 2.0f);
    auto values = [&](const std::vector<std::string>& outputs) {
        Graph g(b.proto());
        g.prepare({{"x", c.input}}, outputs);
        vexart::Tensor& in = g.input("x");
        std::copy(x.begin(), x.end(), in.data<float>());
        g.run();
        std::map<std::string, std::vector<float>> got;
        for (const auto& name : outputs) {
            const vexart::Tensor& t = g.value(name);
            if (t.type() == vexart::DType::Float) got[name].assign(t.data<float>(), t.data<float>() + t.size());
        }
        return got;
    };
    const std::vector<std::string> names = Graph(b.proto()).nodeOutputNames();
    const auto all = values(names);
    for (const auto& name : names) {
        if (name == "y" || all.count(name) == 0) continue;
        SCOPED_TRACE(name);
        const auto got = values({"y", name});
        ASSERT_EQ(got.count(name), 1u) << "not a float tensor when asked for alone";
        expectClose(got.at(name), all.at(name), 1e-4f);
    }
}

TEST_P(Planned, ThreadCountDoesNotChangeResults) {
    expectClose(run(GetParam(), false, 2).y, run(GetParam(), false, 1).y, 1e-5f);
}

INSTANTIATE_TEST_SUITE_P(Executor, Planned, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The named case's graph, planned with timings and run once.
std::unique_ptr<Graph> ranCase(const std::string& name) {
    const auto& all = cases();
    const Case& c = *std::find_if(all.begin(), all.end(), [&](const Case& k) { return k.name == name; });
    OnnxBuilder b("g");
    b.input("x", c.input);
    c.build(b);
    b.output("y");
    auto g = std::make_unique<Graph>(b.proto());
    g->enableTiming(true);
    g->prepare({{"x", c.input}}, {"y"});
    g->run();
    return g;
}

// The volumes of the case above stay channels last from one convolution
// to the next and through the element-wise nodes between them.
TEST(Layouts, VolumeConvolutionsPassChannelsLastTensors) {
    const auto graph = ranCase("VolumesChannelsLast");
    const Graph& g = *graph;
    for (const char* name : {"r1", "s", "r2"}) {
        EXPECT_TRUE(g.value(name).layout().isChannelsLast()) << name << " is " << g.value(name).layout().name();
        EXPECT_EQ(g.value(name).logicalShape(), (Shape{1, 16, 4, 6, 6})) << name;
    }
}

// Convolutions with a residual add fused never run on oneDNN's reference
// kernel: those of sequences add inside oneDNN's kernel, those of volumes,
// whose add oneDNN takes only in its reference kernel, after it.
TEST(Layouts, ResidualConvolutionsAvoidTheReferenceKernel) {
    for (const char* name : {"SequenceResidual1d", "VideoResidual3d", "VolumesChannelsLast"}) {
        const auto g = ranCase(name);
        for (const auto& t : g->timings()) {
            EXPECT_EQ(t.kernel.rfind("onednn:ref", 0), std::string::npos) << name << ": " << t.kernel;
            const bool after = t.kernel.find("+vexa:posts") != std::string::npos;
            EXPECT_EQ(after, std::string(name) != "SequenceResidual1d" && t.name == "Conv_3") << name << ": " << t.kernel;
        }
    }
}

// Of the two slices in the GhostNet case, the one that keeps every channel
// views the concat's bytes in the layout they have; the other copies.
TEST(Layouts, SliceOfEverythingViewsItsInput) {
    const auto g = ranCase("GhostSliceOfEverything");
    std::vector<std::string> slices;
    for (const auto& t : g->timings()) {
        if (t.opType == "Slice") slices.push_back(t.kernel);
    }
    EXPECT_EQ(slices, (std::vector<std::string>{"view", "vexa"}));
    EXPECT_FALSE(g->value("c").isPlain()) << "the concat's output is not laid out for the convolutions";
}

// Pooling over channel blocks against the definition, tap by tap, for the
// unrolled windows (2x2, 3x3), the general one, every block width and the
// windows that hang over the padding and the input's end.
// What the processor offers, read from the kernel's report, against what
// the library's check finds; every extension the build's loops use is
// among them (the suite runs where it was built); a processor denied some
// is told which, in order.
TEST(Processor, TheBuildsExtensionsAreCheckedAgainstTheProcessor) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::set<std::string> flags;
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;) flags.insert(w);
        break;
    }
    if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags here";
    const std::pair<const char*, const char*> names[] = {
        {"sse4.2", "sse4_2"},     {"avx", "avx"},           {"avx2", "avx2"},         {"fma", "fma"},
        {"f16c", "f16c"},         {"bmi2", "bmi2"},         {"avx512f", "avx512f"},   {"avx512bw", "avx512bw"},
        {"avx512dq", "avx512dq"}, {"avx512vl", "avx512vl"}, {"avx512vnni", "avx512_vnni"},
    };
    for (const auto& [ours, kernels] : names) {
        EXPECT_EQ(vexart::processorHas(ours), flags.count(kernels) != 0) << ours;
    }
    const std::vector<std::string> built = vexart::builtForExtensions();
    EXPECT_EQ(vexart::missingExtensions(built, vexart::processorHas), "");
    EXPECT_NO_THROW(vexart::requireProcessorExtensions());
    const std::vector<std::string> needed = {"avx", "avx2", "fma", "avx512f"};
    EXPECT_EQ(vexart::missingExtensions(needed, [](const std::string& e) { return e == "avx" || e == "fma"; }), "avx2 avx512f");
    EXPECT_EQ(vexart::missingExtensions(needed, [](const std::string&) { return true; }), "");
    EXPECT_EQ(vexart::processorHas("no-such-extension"), false);
}

TEST(BlockedPool, MatchesTheDefinition) {
    struct Geometry {
        int64_t block, ih, iw, kh, kw, stride, dil, pad, oh, ow;
    };
    const Geometry geometries[] = {
        {8, 9, 9, 3, 3, 1, 1, 1, 9, 9},     // same padding
        {8, 10, 11, 3, 3, 2, 1, 0, 5, 6},   // ceil-mode overhang at the end
        {16, 6, 6, 2, 2, 2, 1, 0, 3, 3},
        {8, 7, 7, 3, 2, 1, 2, 1, 5, 7},     // dilated, not square
        {5, 5, 4, 5, 5, 1, 1, 2, 5, 4},     // channels-last width, window over the whole input
    };
    for (const auto& g : geometries) {
        for (int kind = 0; kind < 3; ++kind) {
            vexart::BlockedPoolShape s;
            s.outer = 3;
            s.block = g.block;
            s.ih = g.ih, s.iw = g.iw, s.oh = g.oh, s.ow = g.ow, s.kh = g.kh, s.kw = g.kw;
            s.sh = s.sw = g.stride;
            s.dh = s.dw = g.dil;
            s.padTop = s.padLeft = g.pad;
            s.isMax = kind == 0;
            s.countPad = kind == 2;
            const std::vector<float> x = pseudoRandom(static_cast<size_t>(s.outer * g.ih * g.iw * g.block), 7, 3.0f);
            std::vector<float> y(static_cast<size_t>(s.outer * g.oh * g.ow * g.block), -7.0f);
            vexart::blockedPool(x.data(), y.data(), s);
            for (int64_t b = 0; b < s.outer; ++b) {
                for (int64_t oy = 0; oy < g.oh; ++oy) {
                    for (int64_t ox = 0; ox < g.ow; ++ox) {
                        for (int64_t c = 0; c < g.block; ++c) {
                            float best = -INFINITY, sum = 0;
                            int64_t taps = 0;
                            for (int64_t ky = 0; ky < g.kh; ++ky) {
                                for (int64_t kx = 0; kx < g.kw; ++kx) {
                                    const int64_t iy = oy * g.stride - g.pad + ky * g.dil;
                                    const int64_t ix = ox * g.stride - g.pad + kx * g.dil;
                                    if (iy < 0 || iy >= g.ih || ix < 0 || ix >= g.iw) continue;
                                    const float v = x[static_cast<size_t>(((b * g.ih + iy) * g.iw + ix) * g.block + c)];
                                    best = std::max(best, v);
                                    sum += v;
                                    ++taps;
                                }
                            }
                            const float want = kind == 0   ? best
                                               : kind == 1 ? sum / static_cast<float>(taps)
                                                           : sum / static_cast<float>(g.kh * g.kw);
                            const float got = y[static_cast<size_t>(((b * g.oh + oy) * g.ow + ox) * g.block + c)];
                            ASSERT_NEAR(got, want, 1e-5f) << "block " << g.block << " kernel " << g.kh << "x" << g.kw
                                                         << " kind " << kind << " at " << b << "," << oy << "," << ox
                                                         << "," << c;
                        }
                    }
                }
            }
        }
    }
}

// Inputs lent by the caller are read where the caller holds them: by the
// convolution, by the per-channel operand of a sum seen through a view in
// the convolution's layout, and by a Reshape's alias that is an output.
// Taken back, the graph reads its own storage again and the caller's is
// left as it was.
TEST(LentInputs, AreReadInPlaceAndGivenBack) {
    const int64_t C = 16, H = 5;
    OnnxBuilder b("lend", 13);
    b.input("x", {1, C, H, H});
    b.input("shift", {1, C, 1, 1});
    const auto w = pseudoRandom(static_cast<size_t>(C * C), 71);
    b.initializerRaw("w", {C, C, 1, 1}, w);
    b.node("Conv", {"x", "w"}, {"c"});
    b.node("Add", {"c", "shift"}, {"sum"});
    b.node("Neg", {"sum"}, {"y"});
    b.initializerInts("flat", {C});
    b.node("Reshape", {"shift", "flat"}, {"shifts"});
    b.output("y");
    b.output("shifts");
    Graph g(b.proto());
    g.prepare({}, {"y", "shifts"});
    const size_t n = static_cast<size_t>(C * H * H);
    auto check = [&](const std::vector<float>& x, const std::vector<float>& shift, const char* what) {
        Shape ys;
        const auto want = convolve(std::vector<double>(x.begin(), x.end()), {1, C, H, H}, w, shift, C, 1, {1, 1}, {1, 1},
                                   {0, 0, 0, 0}, ys);
        const auto& y = g.value("y");
        ASSERT_EQ(static_cast<size_t>(y.size()), want.size()) << what;
        for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(-y.data<float>()[i], want[i], 1e-4) << what << ", element " << i;
        for (int64_t c = 0; c < C; ++c) ASSERT_EQ(g.value("shifts").data<float>()[c], shift[static_cast<size_t>(c)]) << what;
    };
    std::fill(g.input("x").data<float>(), g.input("x").data<float>() + n, 0.0f);
    std::fill(g.input("shift").data<float>(), g.input("shift").data<float>() + C, 0.0f);
    for (uint32_t seed : {72u, 73u}) {
        const auto x = pseudoRandom(n, seed), shift = pseudoRandom(static_cast<size_t>(C), seed + 10);
        ASSERT_TRUE(g.lendInput("x", x.data()));
        ASSERT_TRUE(g.lendInput("shift", shift.data()));
        g.run();
        check(x, shift, "lent");
        g.takeBackInputs();
    }
    const auto lent = pseudoRandom(n, 74), own = pseudoRandom(n, 75), shift = pseudoRandom(static_cast<size_t>(C), 76);
    const auto kept = lent;
    ASSERT_TRUE(g.lendInput("x", lent.data()));
    g.takeBackInputs();
    std::copy(own.begin(), own.end(), g.input("x").data<float>());
    std::copy(shift.begin(), shift.end(), g.input("shift").data<float>());
    g.run();
    check(own, shift, "own");
    EXPECT_EQ(lent, kept) << "the caller's input was written";

    // A plan made on the input's values keeps its own copy.
    OnnxBuilder v("valued", 13);
    v.input("x", {6});
    v.node("NonZero", {"x"}, {"nz"});
    v.output("nz");
    Graph valued(v.proto());
    valued.prepare({}, {"nz"});
    const std::vector<float> ones(6, 1.0f);
    EXPECT_FALSE(valued.lendInput("x", ones.data()));
}

// Lifetimes [first, last] and sizes; buffers alive at once never share bytes.
TEST(Arena, PlacesOverlappingLifetimesApartAndReusesTheRest) {
    struct Table {
        std::vector<vexart::BufferLife> buffers;
        size_t total;
    };
    const Table tables[] = {
        {{}, 0},
        {{{100, 0, 0}}, 128},
        // A chain: each value dies when the next one is made, two alive at a time.
        {{{640, 0, 1}, {640, 1, 2}, {640, 2, 3}, {640, 3, 4}}, 1280},
        // Disjoint in time: one slot of the largest size.
        {{{64, 0, 0}, {256, 1, 1}, {128, 2, 2}}, 256},
        // A long-lived skip connection beside a chain.
        {{{512, 0, 4}, {256, 1, 2}, {256, 2, 3}, {256, 3, 4}}, 1024},
        // Zero-sized values still take an aligned slot.
        {{{0, 0, 1}, {0, 1, 2}}, 128},
    };
    for (const auto& t : tables) {
        const vexart::ArenaPlan plan = vexart::planArena(t.buffers);
        EXPECT_EQ(plan.total, t.total);
        for (size_t i = 0; i < t.buffers.size(); ++i) {
            EXPECT_EQ(plan.offsets[i] % vexart::kArenaAlignment, 0u);
            for (size_t j = i + 1; j < t.buffers.size(); ++j) {
                const auto& a = t.buffers[i];
                const auto& b = t.buffers[j];
                if (a.last < b.first || b.last < a.first) continue;
                const size_t ea = plan.offsets[i] + std::max<size_t>(a.bytes, 1);
                const size_t eb = plan.offsets[j] + std::max<size_t>(b.bytes, 1);
                EXPECT_TRUE(ea <= plan.offsets[j] || eb <= plan.offsets[i]) << i << " and " << j << " overlap";
            }
        }
    }
}

// Random lifetimes, many seeds: no two buffers alive at once share a byte,
// and the plan is the one of a direct greedy-by-size placement (every
// placed buffer checked, lowest offset that fits), which the planner's
// index by time must only make faster.
TEST(Arena, RandomLifetimesMatchTheDirectPlacement) {
    auto direct = [](const std::vector<vexart::BufferLife>& buffers) {
        auto slot = [](size_t bytes) { return (std::max<size_t>(bytes, 1) + 63) / 64 * 64; };
        std::vector<size_t> order(buffers.size()), offsets(buffers.size(), 0);
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return buffers[x].bytes > buffers[y].bytes; });
        std::vector<size_t> placed;
        size_t total = 0;
        for (size_t i : order) {
            std::vector<std::pair<size_t, size_t>> busy;  // [begin, end) of buffers alive with i
            for (size_t j : placed) {
                if (buffers[j].last < buffers[i].first || buffers[i].last < buffers[j].first) continue;
                busy.emplace_back(offsets[j], offsets[j] + slot(buffers[j].bytes));
            }
            std::sort(busy.begin(), busy.end());
            size_t at = 0;
            for (const auto& [begin, end] : busy) {
                if (at + slot(buffers[i].bytes) <= begin) break;
                at = std::max(at, end);
            }
            offsets[i] = at;
            total = std::max(total, at + slot(buffers[i].bytes));
            placed.push_back(i);
        }
        return std::make_pair(offsets, total);
    };
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        uint32_t state = seed;
        auto next = [&](uint32_t bound) {
            state = state * 1664525u + 1013904223u;
            return (state >> 8) % bound;
        };
        std::vector<vexart::BufferLife> buffers(next(60) + 1);
        const uint32_t steps = next(40) + 1;
        for (auto& b : buffers) {
            b.first = next(steps);
            b.last = b.first + (next(4) == 0 ? next(steps) : next(3));  // mostly short, some long-lived
            b.bytes = next(5) == 0 ? 0 : next(4096);
        }
        const vexart::ArenaPlan plan = vexart::planArena(buffers);
        const auto [offsets, total] = direct(buffers);
        ASSERT_EQ(plan.offsets, offsets) << "seed " << seed;
        ASSERT_EQ(plan.total, total) << "seed " << seed;
        for (size_t i = 0; i < buffers.size(); ++i) {
            for (size_t j = i + 1; j < buffers.size(); ++j) {
                const auto& a = buffers[i];
                const auto& b = buffers[j];
                if (a.last < b.first || b.last < a.first) continue;
                ASSERT_TRUE(plan.offsets[i] + std::max<size_t>(a.bytes, 1) <= plan.offsets[j] ||
                            plan.offsets[j] + std::max<size_t>(b.bytes, 1) <= plan.offsets[i])
                    << "seed " << seed << ": " << i << " and " << j << " overlap";
            }
        }
    }
}

// A graph whose shapes depend on its data (a length read from the input)
// is planned with zeros and then runs with other data: values that
// outgrow the plan must not corrupt anything.
TEST(Arena, ValuesThatOutgrowThePlanStillComeOutRight) {
    OnnxBuilder b("g");
    b.input("n", {1});
    b.input("x", {1});
    OnnxBuilder::attr(b.node("Cast", {"n"}, {"len"}), "to", int64_t{onnx::TensorProto::INT64});
    b.node("ConstantOfShape", {"len"}, {"zeros"});
    b.node("Add", {"zeros", "x"}, {"filled"});
    b.node("Add", {"filled", "filled"}, {"f"});
    b.output("f");
    Graph g(b.proto());
    g.prepare({{"n", {1}}, {"x", {1}}}, {"f"});
    for (float len : {5.0f, 300.0f, 2.0f}) {
        g.input("n").data<float>()[0] = len;
        g.input("x").data<float>()[0] = 1.5f;
        g.run();
        const vexart::Tensor& f = g.value("f");
        ASSERT_EQ(f.shape(), (Shape{static_cast<int64_t>(len)}));
        for (int64_t i = 0; i < f.size(); ++i) ASSERT_EQ(f.data<float>()[i], 3.0f);
    }
}

// Resize's image cases (oneDNN's resampling) against their definition:
// nearest by a whole factor reads x[o / k]; linear with half-pixel centres
// reads x at (o + 0.5) / k - 0.5, clamped to the image, in each axis.
TEST(Resize, ImageCasesComputeWhatTheOperatorDefines) {
    struct Row {
        const char* mode;
        const char* coord;
        const char* nearest;
        float scale;
    };
    const Row rows[] = {{"nearest", "asymmetric", "floor", 2},
                        {"nearest", "half_pixel", "round_prefer_floor", 3},
                        {"linear", "half_pixel", "", 2},
                        {"linear", "pytorch_half_pixel", "", 0.5f},
                        {"linear", "half_pixel", "", 1.5f}};
    const Shape xs = {1, 2, 4, 6};
    const std::vector<float> x = pseudoRandom(countOf(xs), 7, 1.0f);
    for (const Row& r : rows) {
        OnnxBuilder b("g", 13);
        b.input("x", xs);
        b.initializer("roi", {0}, {});
        b.initializer("scales", {4}, {1, 1, r.scale, r.scale});
        auto& n = b.node("Resize", {"x", "roi", "scales"}, {"y"});
        n.add_attribute()->CopyFrom([&] {
            onnx::AttributeProto a;
            a.set_name("mode");
            a.set_type(onnx::AttributeProto::STRING);
            a.set_s(r.mode);
            return a;
        }());
        for (auto [name, value] : {std::pair{"coordinate_transformation_mode", r.coord}, {"nearest_mode", r.nearest}}) {
            if (*value == 0) continue;
            auto* a = n.add_attribute();
            a->set_name(name);
            a->set_type(onnx::AttributeProto::STRING);
            a->set_s(value);
        }
        b.output("y");
        Graph g(b.proto());
        g.prepare({{"x", xs}}, {"y"});
        std::copy(x.begin(), x.end(), g.input("x").data<float>());
        g.run();
        const vexart::Tensor& y = g.value("y");
        const int64_t H = xs[2], W = xs[3], OH = H * r.scale, OW = W * r.scale;
        ASSERT_EQ(y.shape(), (Shape{1, 2, OH, OW})) << r.mode << " " << r.scale;
        auto source = [&](int64_t o, int64_t in) {
            const double c = (o + 0.5) / r.scale - 0.5;
            return std::clamp(c, 0.0, static_cast<double>(in - 1));
        };
        for (int64_t c = 0; c < 2; ++c) {
            for (int64_t oh = 0; oh < OH; ++oh) {
                for (int64_t ow = 0; ow < OW; ++ow) {
                    const float* plane = x.data() + c * H * W;
                    double want;
                    if (std::string(r.mode) == "nearest") {
                        want = plane[(oh / static_cast<int64_t>(r.scale)) * W + ow / static_cast<int64_t>(r.scale)];
                    } else {
                        const double sh = source(oh, H), sw = source(ow, W);
                        const auto h0 = static_cast<int64_t>(sh), w0 = static_cast<int64_t>(sw);
                        const int64_t h1 = std::min(h0 + 1, H - 1), w1 = std::min(w0 + 1, W - 1);
                        const double fh = sh - h0, fw = sw - w0;
                        want = (1 - fh) * ((1 - fw) * plane[h0 * W + w0] + fw * plane[h0 * W + w1]) +
                               fh * ((1 - fw) * plane[h1 * W + w0] + fw * plane[h1 * W + w1]);
                    }
                    ASSERT_NEAR(y.data<float>()[(c * OH + oh) * OW + ow], want, 1e-5)
                        << r.mode << " " << r.coord << " x" << r.scale << " at " << c << "," << oh << "," << ow;
                }
            }
        }
    }
}

}  // namespace

namespace {

// Zero padding written as a node of its own folds into the Conv or
// AveragePool that alone reads it: the same values as the Pad node's result
// read by the reader without padding of its own (a graph that also asks for
// the padded tensor, so that nothing folds), and no Pad step runs.
struct PadCase {
    const char* name;
    Shape input;
    std::vector<int64_t> pads;  // the Pad node's, [begin..., end...]
    const char* mode;
    float value;
    const char* reader;
    std::vector<int64_t> readerPads;  // empty: none
    int64_t countPad;                 // AveragePool's count_include_pad
    bool folds;
};

TEST(PadFolding, ZeroPaddingMovesIntoItsOnlyReader) {
    const PadCase cases[] = {
        {"ConvAsymmetric", {1, 3, 9, 7}, {0, 0, 1, 2, 0, 0, 2, 1}, "constant", 0, "Conv", {0, 0, 0, 1}, 0, true},
        // Padded as wide as the window, a kernel would read outside the image: left to the Pad node.
        {"ConvWindowWide", {1, 3, 9, 7}, {0, 0, 1, 2, 0, 0, 2, 1}, "constant", 0, "Conv", {1, 0, 1, 0}, 0, false},
        {"Conv1d", {1, 3, 11}, {0, 0, 2, 0, 0, 1}, "constant", 0, "Conv", {}, 0, true},
        {"AverageCountingPadding", {1, 4, 8, 8}, {0, 0, 1, 1, 0, 0, 1, 1}, "constant", 0, "AveragePool", {1, 1, 1, 1}, 1, true},
        {"AverageWithoutPadding", {1, 4, 8, 8}, {0, 0, 1, 1, 0, 0, 1, 1}, "constant", 0, "AveragePool", {}, 0, true},
        {"AverageLeavingItsPaddingOut", {1, 4, 8, 8}, {0, 0, 1, 1, 0, 0, 1, 1}, "constant", 0, "AveragePool", {1, 1, 1, 1}, 0, false},
        {"NonZeroValue", {1, 3, 9, 7}, {0, 0, 1, 1, 0, 0, 1, 1}, "constant", 0.5f, "Conv", {}, 0, false},
        {"ChannelPadding", {1, 3, 9, 7}, {0, 1, 1, 1, 0, 0, 1, 1}, "constant", 0, "Conv", {}, 0, false},
        {"Reflection", {1, 3, 9, 7}, {0, 0, 1, 1, 0, 0, 1, 1}, "reflect", 0, "Conv", {}, 0, false},
        {"MaxPool", {1, 4, 8, 8}, {0, 0, 1, 1, 0, 0, 1, 1}, "constant", 0, "MaxPool", {}, 0, false},
    };
    for (const PadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t spatial = c.input.size() - 2;
        auto build = [&](bool askPadded) {
            OnnxBuilder b("g", 13);
            b.input("x", c.input);
            b.initializerInts("pads", c.pads);
            b.initializer("value", {}, {c.value});
            OnnxBuilder::attr(b.node("Pad", {"x", "pads", "value"}, {"padded"}), "mode", std::string(c.mode));
            const int64_t channels = c.input[1] + c.pads[1] + c.pads[1 + c.input.size()];
            if (std::string(c.reader) == "Conv") {
                Shape w = {5, channels};
                w.insert(w.end(), spatial, 3);
                b.initializerRaw("w", w, pseudoRandom(static_cast<size_t>(countOf(w)), 7));
                auto& n = b.node("Conv", {"padded", "w"}, {"y"});
                if (!c.readerPads.empty()) OnnxBuilder::attr(n, "pads", c.readerPads);
            } else {
                auto& n = b.node(c.reader, {"padded"}, {"y"});
                OnnxBuilder::attr(n, "kernel_shape", std::vector<int64_t>(spatial, 3));
                if (!c.readerPads.empty()) OnnxBuilder::attr(n, "pads", c.readerPads);
                if (std::string(c.reader) == "AveragePool") OnnxBuilder::attr(n, "count_include_pad", c.countPad);
            }
            b.output("y");
            if (askPadded) b.output("padded");
            return b.proto();
        };
        const auto x = pseudoRandom(static_cast<size_t>(countOf(c.input)), 11, 1.0f);
        auto run = [&](bool askPadded, bool& padRan) {
            Graph g(build(askPadded));
            g.enableTiming(true);
            g.prepare({}, {"y"});
            std::copy(x.begin(), x.end(), g.input("x").data<float>());
            g.run();
            padRan = false;
            for (const auto& t : g.timings()) padRan = padRan || t.opType == "Pad";
            const vexart::Tensor& y = g.value("y");
            return std::vector<float>(y.data<float>(), y.data<float>() + y.size());
        };
        bool padRan = false, reference = false;
        const auto y = run(false, padRan);
        const auto want = run(true, reference);
        EXPECT_TRUE(reference);
        EXPECT_EQ(padRan, !c.folds);
        expectClose(y, want, 1e-5f);
    }
}

}  // namespace
