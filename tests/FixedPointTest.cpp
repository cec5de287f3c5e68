// Fixed-point execution: convolutions on integer codes give what the
// dequantized convolution gives, and the rewrite holds activations at
// their encodings and quantizes weights per channel.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>

#include "executor/graph/Graph.h"
#include "executor/onednn/Dnnl.h"
#include "executor/passes/FixedPoint.h"
#include "executor/kernels/Fallbacks.h"
#include "executor/kernels/WeightCodes.h"
#include "tools/OnnxBuilder.h"
#include "support/Reference.h"

namespace {

using vexart::Graph;
using vexart::Shape;

// Weight codes round halves to even and saturate at -128 and 127, with one
// scale, one per row or one per column; the largest magnitude decides
// whether AVX2's 16-bit pair sums can hold the products.
TEST(WeightCodes, RoundSaturateAndReportTheLargest) {
    struct Case {
        const char* name;
        int64_t rows, cols;
        std::vector<float> weights, scales;
        bool perRow;
        std::vector<int8_t> codes;
        float largest;
    };
    const Case cases[] = {
        {"one scale", 1, 8, {0.25f, 0.75f, -0.25f, -64.0f, -70.0f, 70.0f, 1.25f, -1.25f}, {0.5f}, true,
         {0, 2, 0, -128, -128, 127, 2, -2}, 128},
        {"one per row", 2, 2, {3, -4, 3, -4}, {1, 2}, true, {3, -4, 2, -2}, 4},
        {"one per column", 2, 2, {3, -4, 3, -4}, {1, 2}, false, {3, -2, 3, -2}, 3},
        {"negative largest", 1, 3, {1, -5, 2}, {1}, true, {1, -5, 2}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int8_t> codes(c.weights.size(), 99);
        EXPECT_EQ(vexart::weightCodes(c.weights.data(), c.rows, c.cols, c.scales, c.perRow, codes.data()), c.largest);
        EXPECT_EQ(codes, c.codes);
        EXPECT_EQ(vexart::weightCodes(c.weights.data(), c.rows, c.cols, c.scales, c.perRow, nullptr), c.largest);
    }
}

std::vector<float> pseudoRandom(size_t n, uint32_t seed, float scale) {
    std::vector<float> v(n);
    for (auto& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = scale * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
    }
    return v;
}

// Signal over noise in dB, `want` the signal (+inf where they agree).
double sqnrDb(const std::vector<float>& got, const std::vector<float>& want) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < want.size() && i < got.size(); ++i) {
        signal += static_cast<double>(want[i]) * want[i];
        noise += (static_cast<double>(got[i]) - want[i]) * (static_cast<double>(got[i]) - want[i]);
    }
    return 10 * std::log10(signal / noise);
}

void fakeQuant(OnnxBuilder& b, const std::string& in, const std::string& out, float scale, int zero) {
    b.initializer(out + ".s", {}, {scale});
    b.initializer(OnnxBuilder::intTensor(out + ".z", onnx::TensorProto::UINT8, {}, {zero}));
    b.node("QuantizeLinear", {in, out + ".s", out + ".z"}, {out + ".q"});
    b.node("DequantizeLinear", {out + ".q", out + ".s", out + ".z"}, {out});
}

// Weights [m, c, k, k] as int8 codes within `code`, one scale per output
// channel or one for all, dequantized by the graph.
void quantizedWeights(OnnxBuilder& b, const std::string& name, int64_t m, int64_t c, int64_t k, int code,
                      bool perChannel, uint32_t seed) {
    const size_t n = static_cast<size_t>(m * c * k * k);
    std::vector<int> codes(n);
    const auto r = pseudoRandom(n, seed, static_cast<float>(code) + 0.49f);
    for (size_t i = 0; i < n; ++i) codes[i] = static_cast<int>(std::nearbyint(r[i]));
    b.initializer(OnnxBuilder::intTensor(name + ".q", onnx::TensorProto::INT8, {m, c, k, k}, codes));
    std::vector<float> scales(perChannel ? static_cast<size_t>(m) : 1);
    for (size_t i = 0; i < scales.size(); ++i) scales[i] = 0.004f + 0.001f * static_cast<float>(i % 5);
    if (perChannel) {
        b.initializer(name + ".s", {m}, scales);
        auto& dq = b.node("DequantizeLinear", {name + ".q", name + ".s"}, {name});
        OnnxBuilder::attr(dq, "axis", int64_t{0});
    } else {
        b.initializer(name + ".s", {}, scales);
        b.node("DequantizeLinear", {name + ".q", name + ".s"}, {name});
    }
}

struct IntegerCase {
    const char* name;
    int inputZero;  // the input grid's zero point (padding must read it as 0.0)
    int64_t kernel;
    bool perChannel;
    bool relu;
    bool residual;
    int code = 63;            // weight codes within +-code
    float inputStep = 0.02f;  // 0.01: input codes reach 250
    int64_t channels = 8;     // input channels
};

void PrintTo(const IntegerCase& c, std::ostream* os) { *os << c.name; }

std::vector<float> runConv(const IntegerCase& c, bool integers, size_t& integerSteps,
                           std::vector<std::string>* kernels = nullptr) {
    vexart::allowIntegerConvolution(integers);
    OnnxBuilder b("g");
    const int64_t C = c.channels, M = 16, H = 7;
    b.input("x", {1, C, H, H});
    fakeQuant(b, "x", "xq", c.inputStep, c.inputZero);
    quantizedWeights(b, "w", M, C, c.kernel, c.code, c.perChannel, 5);
    b.initializer("bias", {M}, pseudoRandom(M, 6, 0.3f));
    auto& conv = b.node("Conv", {"xq", "w", "bias"}, {"c"});
    OnnxBuilder::attr(conv, "pads", std::vector<int64_t>(4, c.kernel / 2));
    std::string last = "c";
    if (c.residual) {
        quantizedWeights(b, "w2", M, C, 1, 63, c.perChannel, 7);
        b.node("Conv", {"xq", "w2"}, {"side"});
        fakeQuant(b, "side", "sq", 0.03f, 128);
        b.node("Add", {"c", "sq"}, {"sum"});
        last = "sum";
    }
    if (c.relu) {
        b.node("Relu", {last}, {"r"});
        last = "r";
    }
    fakeQuant(b, last, "y", 0.05f, c.relu ? 0 : 128);
    b.output("y");
    Graph g(b.proto());
    g.enableTiming(kernels != nullptr);
    g.prepare({}, {"y"});
    const auto x = pseudoRandom(static_cast<size_t>(C * H * H), 11, 2.5f);
    std::copy(x.begin(), x.end(), g.input("x").data<float>());
    g.run();
    vexart::allowIntegerConvolution(true);
    integerSteps = g.integerSteps();
    for (const auto& row : kernels != nullptr ? g.timings() : std::vector<vexart::NodeTiming>{}) {
        if (row.opType == "Conv") kernels->push_back(row.kernel);
    }
    const auto& y = g.value("y");
    return {y.data<float>(), y.data<float>() + y.size()};
}

class IntegerConvolution : public ::testing::TestWithParam<IntegerCase> {};

// Exact integer sums against float sums of the same grid values: the
// results agree but where a float sum lands on the other side of a
// rounding boundary, by one output step.
TEST_P(IntegerConvolution, MatchesTheDequantizedConvolution) {
    size_t onIntegers = 0, onFloats = 0;
    std::vector<std::string> kernels;
    const auto got = runConv(GetParam(), true, onIntegers, &kernels);
    const auto want = runConv(GetParam(), false, onFloats);
    // On AMX, spatial integer convolutions take oneDNN's direct kernel (its
    // brgemm one takes ten times as long to generate for a like speed), and
    // outputs that sum fewer than 128 products take no AMX kernel at all.
    const bool shallow = GetParam().channels * GetParam().kernel * GetParam().kernel < 128;
    ASSERT_FALSE(kernels.empty());
    for (const auto& k : kernels) {
        EXPECT_EQ(k.rfind("onednn:brgconv:avx512_core_amx", 0), std::string::npos) << k;
        if (shallow) {
            EXPECT_EQ(k.find("amx"), std::string::npos) << k;
        }
    }
    // Seven-bit weights run on integers on every processor; wider ones may
    // not (paired 16-bit sums saturate without dot-product instructions),
    // but must give the same values wherever they run.
    if (GetParam().code <= 63) {
        EXPECT_GE(onIntegers, 1u);
    }
    EXPECT_EQ(onFloats, 0u);
    ASSERT_EQ(got.size(), want.size());
    size_t differing = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_LE(std::fabs(got[i] - want[i]), 0.05f * 1.001f) << "element " << i;
        differing += got[i] != want[i] ? 1 : 0;
    }
    EXPECT_LE(differing, got.size() / 50) << differing << " of " << got.size() << " elements differ";
}

INSTANTIATE_TEST_SUITE_P(Cases, IntegerConvolution,
                         ::testing::Values(IntegerCase{"PaddedWithZeroPoint", 37, 3, true, false, false},
                                           IntegerCase{"PerTensorRelu", 0, 3, false, true, false},
                                           IntegerCase{"Pointwise", 200, 1, true, true, false},
                                           IntegerCase{"ResidualAddThenRelu", 0, 3, true, true, true},
                                           // u8 250 x s8 127, paired: past a 16-bit sum.
                                           IntegerCase{"WideWeightCodesAndLargeInputs", 0, 3, true, false, false, 127,
                                                       0.01f},
                                           IntegerCase{"DeepSpatial", 0, 3, true, true, false, 63, 0.02f, 32}),
                         [](const auto& info) { return std::string(info.param.name); });

// Integer layers in a chain pass codes: a convolution whose result a
// QuantizeLinear ends writes 8-bit codes, and the next convolution reads
// them where the model dequantizes them. Checked against the chain
// computed here in double: fake-quantized input, grouped 3x3 convolution,
// activation, onto the middle grid, 1x1 convolution (plus the middle for
// a residual), onto the output grid.
struct ChainCase {
    const char* name;
    int64_t group;       // of the first convolution (8: depthwise)
    const char* act;     // after it: Relu, Clip (to [0, 0.5]), LeakyRelu, Sigmoid or none ("")
    int zero;            // the middle grid's zero point
    bool signedCodes;    // ... and its codes int8 instead of uint8
    bool floatReader;    // something else reads the dequantized middle too
    bool residual;       // the dequantized middle is added before the output grid (a float reader)
    bool integers = true;
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

class IntegerLayers : public ::testing::TestWithParam<ChainCase> {};

double onGrid(double v, double step, int zero, bool isSigned) {
    const double q = std::clamp(std::nearbyint(v / step) + zero, isSigned ? -128.0 : 0.0, isSigned ? 127.0 : 255.0);
    return (q - zero) * step;
}

TEST_P(IntegerLayers, PassCodesAndMatchTheFakeQuantizedChain) {
    const ChainCase& c = GetParam();
    const int64_t C = 8, H = 9;
    const float sx = 0.02f, s1 = 0.03f, s2 = 0.05f;
    OnnxBuilder b("chain", 13);
    b.input("x", {1, C, H, H});
    fakeQuant(b, "x", "xq", sx, 128);
    std::vector<float> w1(static_cast<size_t>(C * (C / c.group) * 9)), w2(static_cast<size_t>(C * C));
    auto weights = [&](const std::string& name, std::vector<float>& w, Shape shape, uint32_t seed) {
        const auto r = pseudoRandom(w.size(), seed, 40.49f);
        std::vector<int> codes(w.size());
        for (size_t i = 0; i < w.size(); ++i) codes[i] = static_cast<int>(std::nearbyint(r[i]));
        b.initializer(OnnxBuilder::intTensor(name + ".q", onnx::TensorProto::INT8, shape, codes));
        b.initializer(name + ".s", {}, {0.01f});
        b.node("DequantizeLinear", {name + ".q", name + ".s"}, {name});
        for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<float>(codes[i]) * 0.01f;
    };
    weights("w1", w1, {C, C / c.group, 3, 3}, 31);
    weights("w2", w2, {C, C, 1, 1}, 32);
    const auto b1 = pseudoRandom(C, 33, 0.2f), b2 = pseudoRandom(C, 34, 0.2f);
    b.initializer("b1", {C}, b1);
    b.initializer("b2", {C}, b2);
    auto& conv1 = b.node("Conv", {"xq", "w1", "b1"}, {"c1"});
    OnnxBuilder::attr(conv1, "pads", std::vector<int64_t>(4, 1));
    OnnxBuilder::attr(conv1, "group", c.group);
    std::string act = "c1";
    const std::string kind = c.act;
    if (kind == "Clip") {
        b.initializer("lo", {}, {0.0f});
        b.initializer("hi", {}, {0.5f});
        b.node("Clip", {"c1", "lo", "hi"}, {"r1"});
        act = "r1";
    } else if (!kind.empty()) {
        b.node(kind, {"c1"}, {"r1"});
        act = "r1";
    }
    b.initializer("a.s", {}, {s1});
    b.initializer(OnnxBuilder::intTensor("a.z", c.signedCodes ? onnx::TensorProto::INT8 : onnx::TensorProto::UINT8, {},
                                         {c.zero}));
    b.node("QuantizeLinear", {act, "a.s", "a.z"}, {"a.q"}, "quantize a");
    b.node("DequantizeLinear", {"a.q", "a.s", "a.z"}, {"a"}, "dequantize a");
    b.node("Conv", {"a", "w2", "b2"}, {"c2"});
    std::string last = "c2";
    if (c.residual) {
        b.node("Add", {"c2", "a"}, {"sum"});
        last = "sum";
    }
    fakeQuant(b, last, "y", s2, 100);
    b.output("y");
    std::vector<std::string> outputs = {"y"};
    if (c.floatReader) {
        b.node("Add", {"a", "a"}, {"twice"});
        b.output("twice");
        outputs.push_back("twice");
    }
    vexart::allowIntegerConvolution(c.integers);
    Graph g(b.proto());
    g.enableTiming(true);
    g.prepare({}, outputs);
    const auto x = pseudoRandom(static_cast<size_t>(C * H * H), 35, 2.0f);
    std::copy(x.begin(), x.end(), g.input("x").data<float>());
    g.run();
    vexart::allowIntegerConvolution(true);

    std::vector<double> xq(x.size());
    for (size_t i = 0; i < x.size(); ++i) xq[i] = onGrid(x[i], sx, 128, false);
    Shape ys;
    auto a = convolve(xq, {1, C, H, H}, w1, b1, C, c.group, {3, 3}, {1, 1}, {1, 1, 1, 1}, ys);
    for (size_t i = 0; i < a.size(); ++i) {
        double v = a[i];
        if (kind == "Relu") v = std::max(v, 0.0);
        if (kind == "Clip") v = std::clamp(v, 0.0, 0.5);
        if (kind == "LeakyRelu") v = v < 0 ? 0.01 * v : v;
        if (kind == "Sigmoid") v = 1 / (1 + std::exp(-v));
        a[i] = onGrid(v, s1, c.zero, c.signedCodes);
    }
    auto y = convolve(a, ys, w2, b2, C, 1, {1, 1}, {1, 1}, {0, 0, 0, 0}, ys);
    for (size_t i = 0; i < y.size(); ++i) y[i] = onGrid(y[i] + (c.residual ? a[i] : 0.0), s2, 100, false);

    // The middle value is written as codes, in the first convolution; its
    // floats are made only for a float reader.
    bool quantizedInside = false, dequantized = false;
    for (const auto& row : g.timings()) {
        for (const auto& f : row.fused) quantizedInside = quantizedInside || (row.opType == "Conv" && f == "quantize a");
        dequantized = dequantized || row.name == "dequantize a";
    }
    EXPECT_TRUE(quantizedInside);
    EXPECT_EQ(dequantized, c.floatReader);
    EXPECT_EQ(g.integerSteps(), c.integers ? 2u : 0u);
    const auto names = g.unconsumedNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "a"), 0) << "a convolution still reads it";
    // Float sums may land on the other side of a rounding boundary than
    // the exact ones: one step, rarely.
    size_t off = 0;
    const auto& out = g.value("y");
    ASSERT_EQ(static_cast<size_t>(out.size()), y.size());
    for (size_t i = 0; i < y.size(); ++i) {
        ASSERT_LE(std::fabs(out.data<float>()[i] - y[i]), 2 * s2 * 1.001) << "element " << i;
        off += std::fabs(out.data<float>()[i] - y[i]) > 1e-5 ? 1 : 0;
    }
    EXPECT_LE(off, y.size() / 20) << off << " elements off by a step";
    if (c.floatReader) {
        const auto& twice = g.value("twice");
        for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(twice.data<float>()[i], 2 * a[i], 2 * s1 * 1.001) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, IntegerLayers,
    ::testing::Values(ChainCase{"ReluOntoAZeroPoint", 1, "Relu", 20, false, false, false},
                      ChainCase{"DepthwiseClipped", 8, "Clip", 0, false, false, false},
                      ChainCase{"GroupedLeakyReluSigned", 2, "LeakyRelu", -10, true, false, false},
                      ChainCase{"NoActivationSignedCodes", 1, "", -5, true, false, false},
                      ChainCase{"SigmoidReadAlsoAsFloats", 1, "Sigmoid", 128, false, true, false},
                      ChainCase{"ResidualBeforeTheOutputGrid", 8, "Relu", 0, false, true, true},
                      ChainCase{"OnFloatsBetweenCodes", 8, "Clip", 7, false, true, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Codes between convolutions of ranks the integer kernels do not take
// (1-D and 3-D): the first writes its codes through a quantizing reorder,
// the second dequantizes them on the way in.
TEST(IntegerLayersOfEveryRank, PassCodesAndMatchTheFakeQuantizedChain) {
    for (const Shape& xs : {Shape{1, 4, 11}, Shape{1, 4, 3, 5, 6}}) {
        const size_t sp = xs.size() - 2;
        const int64_t C = 4;
        OnnxBuilder b("ranks", 13);
        b.input("x", xs);
        Shape ws = {C, C};
        ws.insert(ws.end(), sp, 3);
        const auto w1 = pseudoRandom(static_cast<size_t>(C * C) * (sp == 1 ? 3 : 27), 51, 0.4f);
        const auto w2 = pseudoRandom(w1.size(), 52, 0.4f);
        const std::vector<float> zeros(static_cast<size_t>(C), 0.0f);
        b.initializerRaw("w1", ws, w1);
        b.initializerRaw("w2", ws, w2);
        OnnxBuilder::attr(b.node("Conv", {"x", "w1"}, {"c1"}), "pads", std::vector<int64_t>(2 * sp, 1));
        b.initializer("a.s", {}, {0.03f});
        b.initializer(OnnxBuilder::intTensor("a.z", onnx::TensorProto::UINT8, {}, {100}));
        b.node("QuantizeLinear", {"c1", "a.s", "a.z"}, {"a.q"});
        b.node("DequantizeLinear", {"a.q", "a.s", "a.z"}, {"a"});
        OnnxBuilder::attr(b.node("Conv", {"a", "w2"}, {"y"}), "pads", std::vector<int64_t>(2 * sp, 1));
        b.output("y");
        Graph g(b.proto());
        g.prepare({}, {"y"});
        const auto x = pseudoRandom(static_cast<size_t>(g.input("x").size()), 53, 1.0f);
        std::copy(x.begin(), x.end(), g.input("x").data<float>());
        g.run();
        Shape ys;
        const std::vector<int64_t> k(sp, 3), stride(sp, 1), pads(2 * sp, 1);
        auto a = convolve(std::vector<double>(x.begin(), x.end()), xs, w1, zeros, C, 1, k, stride, pads, ys);
        for (double& v : a) v = onGrid(v, 0.03, 100, false);
        const auto y = convolve(a, ys, w2, zeros, C, 1, k, stride, pads, ys);
        const auto& out = g.value("y");
        ASSERT_EQ(out.shape(), ys);
        for (size_t i = 0; i < y.size(); ++i) {
            ASSERT_NEAR(out.data<float>()[i], y[i], 0.03 * 1.2 * 12) << "rank " << xs.size() << ", element " << i;
        }
    }
}

// Dense products on integer codes against the same products on the
// dequantized floats: exact int32 sums against float sums of the same grid
// values, so they agree to float rounding. Gemm with weights as [N, K] or
// [K, N], MatMul with a batch folded into rows, per-column or per-tensor
// weight scales, inputs on u8 and s8 grids.
struct ProductCase {
    const char* name;
    bool gemm;
    Shape a;          // the input; its last axis is K
    int64_t n;        // columns
    bool transB;      // weights stored [N, K]
    bool perColumn;
    bool signedInput;
    int inputZero;
    float code = 60.49f;      // weight codes within +-code
    float inputStep = 0.02f;  // 0.01: input codes reach 200
    bool transA = false;      // Gemm's input stored [K, M]: `a` is {K, M}
    bool reluAndResidual = false;  // then Relu, then + a float input of the output's shape
};

void PrintTo(const ProductCase& c, std::ostream* os) { *os << c.name; }

class IntegerProducts : public ::testing::TestWithParam<ProductCase> {};

std::vector<float> runProduct(const ProductCase& c, bool integers, size_t& integerSteps) {
    const int64_t K = c.transA ? c.a.front() : c.a.back(), N = c.n;
    OnnxBuilder b("p", 13);
    b.input("x", c.a);
    b.initializer("x.s", {}, {c.inputStep});
    b.initializer(OnnxBuilder::intTensor("x.z", c.signedInput ? onnx::TensorProto::INT8 : onnx::TensorProto::UINT8, {},
                                         {c.inputZero}));
    b.node("QuantizeLinear", {"x", "x.s", "x.z"}, {"x.q"});
    b.node("DequantizeLinear", {"x.q", "x.s", "x.z"}, {"xq"});
    const Shape ws = c.transB ? Shape{N, K} : Shape{K, N};
    const auto r = pseudoRandom(static_cast<size_t>(N * K), 41, c.code);
    std::vector<int> codes(r.size());
    for (size_t i = 0; i < r.size(); ++i) codes[i] = static_cast<int>(std::nearbyint(r[i]));
    b.initializer(OnnxBuilder::intTensor("w.q", onnx::TensorProto::INT8, ws, codes));
    std::vector<float> scales(c.perColumn ? static_cast<size_t>(N) : 1);
    for (size_t i = 0; i < scales.size(); ++i) scales[i] = 0.003f + 0.0005f * static_cast<float>(i % 7);
    b.initializer("w.s", c.perColumn ? Shape{N} : Shape{}, scales);
    auto& dq = b.node("DequantizeLinear", {"w.q", "w.s"}, {"w"});
    if (c.perColumn) OnnxBuilder::attr(dq, "axis", int64_t{c.transB ? 0 : 1});
    b.initializer("bias", {N}, pseudoRandom(static_cast<size_t>(N), 42, 0.5f));
    const std::string product = c.reluAndResidual ? "p" : "y";
    if (c.gemm) {
        auto& g = b.node("Gemm", {"xq", "w", "bias"}, {product});
        OnnxBuilder::attr(g, "transB", int64_t{c.transB ? 1 : 0});
        if (c.transA) OnnxBuilder::attr(g, "transA", int64_t{1});
    } else {
        b.node("MatMul", {"xq", "w"}, {"m"});
        b.node("Add", {"m", "bias"}, {product});
    }
    if (c.reluAndResidual) {
        b.input("r", {c.transA ? c.a.back() : c.a.front(), N});
        b.node("Relu", {"p"}, {"pr"});
        b.node("Add", {"pr", "r"}, {"y"});
    }
    b.output("y");
    vexart::allowIntegerConvolution(integers);
    Graph g(b.proto());
    g.prepare({}, {"y"});
    const auto x = pseudoRandom(static_cast<size_t>(g.input("x").size()), 43, 2.0f);
    std::copy(x.begin(), x.end(), g.input("x").data<float>());
    if (c.reluAndResidual) {
        const auto r = pseudoRandom(static_cast<size_t>(g.input("r").size()), 44, 1.0f);
        std::copy(r.begin(), r.end(), g.input("r").data<float>());
    }
    g.run();
    vexart::allowIntegerConvolution(true);
    integerSteps = g.integerSteps();
    const auto& y = g.value("y");
    return {y.data<float>(), y.data<float>() + y.size()};
}

TEST_P(IntegerProducts, MatchTheDequantizedProduct) {
    size_t onIntegers = 0, onFloats = 0;
    const auto got = runProduct(GetParam(), true, onIntegers);
    const auto want = runProduct(GetParam(), false, onFloats);
    // Seven-bit weights run on integers everywhere; wider ones where the
    // CPU's sums cannot saturate (see IntegerConvolution).
    if (GetParam().code < 64) {
        EXPECT_EQ(onIntegers, 1u);
    }
    EXPECT_EQ(onFloats, 0u);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_NEAR(got[i], want[i], 1e-4 * (1 + std::fabs(want[i]))) << "element " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntegerProducts,
    ::testing::Values(ProductCase{"GemmPerColumnTransposed", true, {3, 40}, 24, true, true, false, 17},
                      ProductCase{"GemmPerTensor", true, {1, 64}, 33, false, false, false, 128},
                      ProductCase{"MatMulBatchFoldedSignedInput", false, {2, 5, 48}, 20, false, true, true, -3},
                      ProductCase{"MatMulOneRow", false, {1, 1, 96}, 70, false, true, false, 0},
                      // u8 200 x s8 127, paired: past a 16-bit sum.
                      ProductCase{"WideWeightCodesAndLargeInputs", true, {2, 64}, 16, true, true, false, 0, 127.49f,
                                  0.01f},
                      ProductCase{"GemmTransposedInputThenReluAndResidual", true, {40, 3}, 24, false, true, false, 17,
                                  60.49f, 0.02f, true, true},
                      ProductCase{"MatMulRowsThenReluAndResidual", false, {7, 56}, 1000, false, true, false, 9, 60.49f,
                                  0.02f, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A small network: convolution, ReLU, a residual block, pooling and a dense head.
OnnxBuilder network() {
    OnnxBuilder b("g");
    b.input("x", {1, 4, 8, 8});
    auto conv = [&](const std::string& in, const std::string& out, int64_t c, int64_t m, int64_t k, uint32_t seed) {
        b.initializerRaw(out + ".w", {m, c, k, k}, pseudoRandom(static_cast<size_t>(m * c * k * k), seed, 0.4f));
        b.initializerRaw(out + ".b", {m}, pseudoRandom(static_cast<size_t>(m), seed + 1, 0.1f));
        OnnxBuilder::attr(b.node("Conv", {in, out + ".w", out + ".b"}, {out}), "pads", std::vector<int64_t>(4, k / 2));
    };
    conv("x", "c1", 4, 16, 3, 1);
    b.node("Relu", {"c1"}, {"r1"});
    conv("r1", "c2", 16, 16, 3, 3);
    b.node("Add", {"c2", "r1"}, {"s"});
    b.node("Relu", {"s"}, {"r2"});
    b.node("GlobalAveragePool", {"r2"}, {"p"});
    b.node("Flatten", {"p"}, {"f"});
    b.initializerRaw("fc.w", {10, 16}, pseudoRandom(160, 9, 0.4f));
    OnnxBuilder::attr(b.node("Gemm", {"f", "fc.w"}, {"y"}), "transB", int64_t{1});
    b.output("y");
    return b;
}

std::vector<float> runNetwork(onnx::ModelProto model, const std::vector<std::string>& outputs, const std::string& read,
                              Graph** keep = nullptr) {
    static std::unique_ptr<Graph> held;
    held = std::make_unique<Graph>(std::move(model));
    held->prepare({}, outputs);
    const auto x = pseudoRandom(256, 21, 1.0f);
    std::copy(x.begin(), x.end(), held->input("x").data<float>());
    held->run();
    if (keep != nullptr) *keep = held.get();
    const auto& t = held->value(read);
    return {t.data<float>(), t.data<float>() + t.size()};
}

// A 1-D network in fixed point: the convolution writes its output's codes
// channels last ([N,W,C]) and the global pool averages them where they
// lie, per channel (each of the 16 channels its own mean, not the 64
// positions').
TEST(FixedPointRewrite, SequenceCodesPoolChannelsLast) {
    OnnxBuilder b("seq");
    b.input("x", {1, 4, 64});
    b.initializerRaw("w", {16, 4, 3}, pseudoRandom(16 * 4 * 3, 31, 0.4f));
    b.initializerRaw("bias", {16}, pseudoRandom(16, 32, 0.1f));
    OnnxBuilder::attr(b.node("Conv", {"x", "w", "bias"}, {"c"}), "pads", std::vector<int64_t>{1, 1});
    b.node("Relu", {"c"}, {"r"});
    b.node("GlobalAveragePool", {"r"}, {"p"});
    b.node("Flatten", {"p"}, {"y"});
    b.output("y");
    const auto reference = runNetwork(b.proto(), {"y"}, "y");
    vexart::FixedPointOptions options;
    options.encodings["x"] = {8, 1.0f / 127, 128};
    const float step = 0.01f;
    options.encodings["r"] = {8, step, 0};
    options.weightCode = 63;
    onnx::ModelProto model = b.proto();
    vexart::rewriteForFixedPoint(model, options);
    Graph* g = nullptr;
    const auto got = runNetwork(model, {"y"}, "y", &g);
    // On AVX2 oneDNN writes 1-D outputs in channel blocks, which stay inside the convolution.
    EXPECT_EQ(g->value("r#q").layout().isChannelsLast(), vexart::onednn::hasAvx512());
    ASSERT_EQ(got.size(), reference.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i], reference[i], 3 * step) << "channel " << i;
    }
}

TEST(FixedPointRewrite, HoldsActivationsAtTheirEncodingsAndHidesWhatItAdds) {
    const OnnxBuilder b = network();
    const auto reference = runNetwork(b.proto(), {"y"}, "y");
    vexart::FixedPointOptions options;
    options.encodings["x"] = {8, 1.0f / 127, 128};
    options.encodings["r1"] = {8, 0.02f, 0};
    options.encodings["r2"] = {8, 0.03f, 0};
    options.encodings["y"] = {16, 1e-4f, 32768};
    options.weightCode = 63;
    onnx::ModelProto model = b.proto();
    const auto rewrite = vexart::rewriteForFixedPoint(model, options);

    // Users see their own names: mapped back, the rewritten graph's tensors
    // are exactly the model's (weights, now dequantized by nodes, are not
    // among them), and nothing the rewrite added shows.
    Graph* g = nullptr;
    runNetwork(model, {"y", "r1", "r2"}, "y", &g);
    std::set<std::string> own, shown;
    for (const auto& n : b.proto().graph().node()) own.insert(n.output().begin(), n.output().end());
    for (const auto& name : g->nodeOutputNames()) {
        const std::string v = rewrite.visible(name);
        EXPECT_EQ(v.find('#'), std::string::npos) << name;
        if (!v.empty()) shown.insert(v);
    }
    EXPECT_EQ(shown, own);
    // c2 feeds the fused residual add: no runtime holds it, so it keeps no grid.
    EXPECT_EQ(rewrite.visibleName.count("c2#raw"), 0u);

    for (const auto& [tensor, e] : options.encodings) {
        if (tensor == "x") continue;
        const auto& t = g->value(tensor);
        const float* v = t.data<float>();
        const double codes = std::pow(2.0, e.bitWidth) - 1;
        for (int64_t i = 0; i < t.size(); ++i) {
            const double code = v[i] / e.stepSize + static_cast<double>(e.stepExactly0);
            ASSERT_NEAR(code, std::nearbyint(code), 1e-3) << tensor << " element " << i << " is off its grid";
            ASSERT_GE(code, -1e-3) << tensor;
            ASSERT_LE(code, codes + 1e-3) << tensor;
        }
    }
    // Both products run on integer codes.
    EXPECT_EQ(g->integerSteps(), 2u);

    // Quantization error, and only that: within a few steps of every layer
    // on an output of about 1.
    const auto& t = g->value("y");
    const std::vector<float> y(t.data<float>(), t.data<float>() + t.size());
    ASSERT_EQ(y.size(), reference.size());
    const double sqnr = sqnrDb(y, reference);
    EXPECT_LT(sqnr, INFINITY) << "the rewrite changed nothing";
    EXPECT_GT(sqnr, 25);
    for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], reference[i], 0.1) << "element " << i;
}

// A bias correction reads as the same product with that added to its bias
// (over beta for a Gemm): the rewrite must give the edited model's codes
// exactly, bias or none, and leave a correction of the wrong length unused.
// Weight codes step per output channel, wherever the channels lie: each
// channel's largest magnitude takes the largest code. Channels along the
// last axis (MatMul, Gemm without transB) interleave in memory.
TEST(FixedPointRewrite, WeightCodesStepPerChannelAlongTheirAxis) {
    struct Case {
        const char* op;
        std::vector<int64_t> dims;
        int64_t axis;
        bool transB;
    };
    for (const Case& c : {Case{"MatMul", {4, 6}, 1, false}, Case{"Gemm", {4, 6}, 1, false},
                          Case{"Gemm", {6, 4}, 0, true}, Case{"Conv", {6, 2, 1, 2}, 0, false}}) {
        OnnxBuilder b("g");
        const bool conv = std::string(c.op) == "Conv";
        b.input("x", conv ? std::vector<int64_t>{1, 2, 3, 3} : std::vector<int64_t>{1, 4});
        auto w = pseudoRandom(24, 17, 2.0f);
        for (size_t i = 0; i < w.size(); ++i) w[i] *= static_cast<float>(1 + i % 5);  // channels of unlike ranges
        b.initializer("w", c.dims, w);
        auto& n = b.node(c.op, {"x", "w"}, {"y"});
        if (c.transB) OnnxBuilder::attr(n, "transB", int64_t{1});
        b.output("y");
        onnx::ModelProto model = b.proto();
        vexart::FixedPointOptions options;
        options.weightCode = 127;
        vexart::rewriteForFixedPoint(model, options);
        const onnx::TensorProto *codes = nullptr, *steps = nullptr;
        for (const auto& t : model.graph().initializer()) {
            if (t.name() == "w#q") codes = &t;
            if (t.name() == "w#scale") steps = &t;
        }
        ASSERT_TRUE(codes != nullptr && steps != nullptr) << c.op;
        const int64_t channels = c.dims[static_cast<size_t>(c.axis)];
        ASSERT_EQ(steps->float_data_size(), channels) << c.op;
        // Element i of a row-major tensor: channel by its coordinates.
        auto channelOf = [&](int64_t i) {
            int64_t after = 1;
            for (size_t d = static_cast<size_t>(c.axis) + 1; d < c.dims.size(); ++d) after *= c.dims[d];
            return (i / after) % channels;
        };
        std::vector<double> largest(static_cast<size_t>(channels), 0.0);
        for (int64_t i = 0; i < 24; ++i) largest[channelOf(i)] = std::max(largest[channelOf(i)], std::fabs(double{w[i]}));
        for (int64_t i = 0; i < 24; ++i) {
            const double step = largest[channelOf(i)] / 127;
            EXPECT_NEAR(steps->float_data(static_cast<int>(channelOf(i))), step, step * 1e-6) << c.op;
            EXPECT_EQ(static_cast<int8_t>(codes->raw_data()[static_cast<size_t>(i)]), std::nearbyint(w[i] / step))
                << c.op << " element " << i;
        }
    }
}

TEST(FixedPointRewrite, BiasCorrectionsAddToTheBiasOfTheirProduct) {
    struct Case {
        const char* name;
        bool conv, bias;
        float beta;
        size_t shiftLength;  // the output channels (5) where it applies
    };
    const Case cases[] = {{"ConvWithBias", true, true, 1, 5},      {"ConvWithoutBias", true, false, 1, 5},
                          {"GemmScaledRowBias", false, true, 0.5f, 5}, {"GemmWithoutBias", false, false, 1, 5},
                          {"WrongLengthUnused", true, true, 1, 4}, {"WrongLengthAddsNoBias", true, false, 1, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<float> shift = pseudoRandom(c.shiftLength, 31, 0.3f);
        const std::vector<float> bias = pseudoRandom(5, 32, 0.2f);
        // `added` is what the bias holds beyond the model's own.
        auto build = [&](const std::vector<float>& added) {
            OnnxBuilder b("g");
            std::vector<float> given = bias;
            for (size_t i = 0; i < given.size(); ++i) given[i] = (c.bias ? given[i] : 0) + added[i];
            const bool withBias = c.bias || added != std::vector<float>(5, 0.0f);
            if (c.conv) {
                b.input("x", {1, 3, 6, 6});
                b.initializerRaw("w", {5, 3, 3, 3}, pseudoRandom(135, 33, 0.5f));
                std::vector<std::string> in = {"x", "w"};
                if (withBias) b.initializerRaw("b", {5}, given), in.push_back("b");
                OnnxBuilder::attr(b.node("Conv", in, {"y"}), "pads", std::vector<int64_t>(4, 1));
            } else {
                b.input("x", {3, 8});
                b.initializerRaw("w", {5, 8}, pseudoRandom(40, 33, 0.5f));
                std::vector<std::string> in = {"x", "w"};
                if (withBias) b.initializerRaw("b", {1, 5}, given), in.push_back("b");
                auto& n = b.node("Gemm", in, {"y"});
                OnnxBuilder::attr(n, "transB", int64_t{1});
                OnnxBuilder::attr(n, "beta", c.beta);
            }
            b.output("y");
            return b;
        };
        auto run = [](onnx::ModelProto model, const std::map<std::string, std::vector<float>>& corrections) {
            vexart::FixedPointOptions options;
            options.encodings["x"] = {8, 1.0f / 100, 128};
            options.encodings["y"] = {8, 0.02f, 128};
            options.biasCorrections = corrections;
            vexart::rewriteForFixedPoint(model, options);
            Graph g(std::move(model));
            g.prepare({}, {"y"});
            auto& x = g.input("x");
            const auto v = pseudoRandom(static_cast<size_t>(x.size()), 34, 1.0f);
            std::copy(v.begin(), v.end(), x.data<float>());
            g.run();
            const auto& y = g.value("y");
            return std::vector<float>(y.data<float>(), y.data<float>() + y.size());
        };
        const auto corrected = run(build(std::vector<float>(5, 0.0f)).proto(), {{"y", shift}});
        std::vector<float> added(5, 0.0f);
        if (c.shiftLength == 5) {
            for (size_t i = 0; i < added.size(); ++i) added[i] = shift[i] / c.beta;
        }
        EXPECT_EQ(corrected, run(build(added).proto(), {}));
        if (c.shiftLength == 5) {
            EXPECT_NE(corrected, run(build(std::vector<float>(5, 0.0f)).proto(), {}));
        }
    }
}

TEST(FixedPointRewrite, WithoutEncodingsQuantizesEachExecutionToItsOwnRange) {
    const OnnxBuilder b = network();
    const auto reference = runNetwork(b.proto(), {"y"}, "y");
    onnx::ModelProto model = b.proto();
    vexart::rewriteForFixedPoint(model, {});
    Graph* g = nullptr;
    const auto y = runNetwork(model, {"y", "r1"}, "y", &g);
    // r1 holds at most 256 distinct values, spread over its own range.
    const auto& r1 = g->value("r1");
    std::vector<float> distinct(r1.data<float>(), r1.data<float>() + r1.size());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    EXPECT_LE(distinct.size(), 256u);
    EXPECT_GT(distinct.size(), 32u);
    const double sqnr = sqnrDb(y, reference);
    EXPECT_LT(sqnr, INFINITY) << "the rewrite changed nothing";
    EXPECT_GT(sqnr, 20);
}

// Swish or HardSwish written out (x * Sigmoid(x), x * HardSigmoid(x)), a
// squeeze-excitation block, GELU and a LayerNorm written out, with every
// tensor calibrated as a user's calibration would: no tensor inside such a
// formula holds a grid, so each activation fuses whole into its
// convolution, every convolution, the excitation's included, runs on
// integers, and the excitation's pooling and gate read codes and its gate
// writes them.
TEST(FixedPointRewrite, ElementWiseRegionsFuseWholeAndExcitationsRunOnIntegers) {
    for (const char* gateOp : {"Sigmoid", "HardSigmoid"}) {
        OnnxBuilder b("g");
        b.input("x", {1, 4, 8, 8});
        auto conv = [&](const std::string& in, const std::string& out, int64_t c, int64_t m, int64_t k, uint32_t seed) {
            b.initializerRaw(out + ".w", {m, c, k, k}, pseudoRandom(static_cast<size_t>(m * c * k * k), seed, 0.5f));
            b.initializerRaw(out + ".b", {m}, pseudoRandom(static_cast<size_t>(m), seed + 1, 0.1f));
            OnnxBuilder::attr(b.node("Conv", {in, out + ".w", out + ".b"}, {out}), "pads", std::vector<int64_t>(4, k / 2));
        };
        auto gated = [&](const std::string& in, const std::string& out) {
            auto& gate = b.node(gateOp, {in}, {out + ".gate"});
            if (std::string(gateOp) == "HardSigmoid") OnnxBuilder::attr(gate, "alpha", 1.0f / 6);
            b.node("Mul", {in, out + ".gate"}, {out});
        };
        conv("x", "c1", 4, 16, 3, 1);
        gated("c1", "s1");
        b.node("GlobalAveragePool", {"s1"}, {"p"});
        conv("p", "fc1", 16, 4, 1, 3);
        gated("fc1", "a1");
        conv("a1", "fc2", 4, 16, 1, 5);
        b.node("Sigmoid", {"fc2"}, {"scale"});
        b.node("Mul", {"s1", "scale"}, {"se"});
        // GELU written out: x * 0.5 * (1 + erf(x / sqrt(2))).
        conv("se", "g.x", 16, 8, 3, 7);
        b.initializer("sqrt2", {}, {1.41421356f});
        b.initializer("one", {}, {1.0f});
        b.initializer("half", {}, {0.5f});
        b.node("Div", {"g.x", "sqrt2"}, {"g.div"});
        b.node("Erf", {"g.div"}, {"g.erf"});
        b.node("Add", {"g.erf", "one"}, {"g.plus"});
        b.node("Mul", {"g.x", "g.plus"}, {"g.times"});
        b.node("Mul", {"g.times", "half"}, {"g.half"});
        conv("g.half", "y", 8, 8, 3, 9);
        // A LayerNorm written out over the last axis: reductions read tensors within it.
        auto reduceMean = [&](const std::string& in, const std::string& out) {
            OnnxBuilder::attr(b.node("ReduceMean", {in}, {out}), "axes", std::vector<int64_t>{-1});
        };
        b.initializer("two", {}, {2.0f});
        b.initializer("eps", {}, {1e-5f});
        reduceMean("y", "ln.mean");
        b.node("Sub", {"y", "ln.mean"}, {"ln.sub"});
        b.node("Pow", {"ln.sub", "two"}, {"ln.pow"});
        reduceMean("ln.pow", "ln.var");
        b.node("Add", {"ln.var", "eps"}, {"ln.plus"});
        b.node("Sqrt", {"ln.plus"}, {"ln.root"});
        b.node("Div", {"ln.sub", "ln.root"}, {"z"});
        b.output("z");
        std::vector<std::string> every;
        for (const auto& n : b.proto().graph().node()) every.insert(every.end(), n.output().begin(), n.output().end());
        Graph* g = nullptr;
        const auto reference = runNetwork(b.proto(), every, "z", &g);
        // Calibrated: each tensor's own range on this input.
        vexart::FixedPointOptions options;
        options.encodings["x"] = {8, 1.0f / 127, 128};
        for (const auto& name : every) {
            const auto& t = g->value(name);
            const auto [lo, hi] = std::minmax_element(t.data<float>(), t.data<float>() + t.size());
            const float low = std::min(*lo, 0.0f), step = (std::max(*hi, 0.0f) - low) / 255;
            options.encodings[name] = {8, step, static_cast<uint64_t>(std::nearbyint(-low / step))};
        }
        options.weightCode = 63;
        onnx::ModelProto model = b.proto();
        const auto rewrite = vexart::rewriteForFixedPoint(model, options);
        const auto y = runNetwork(model, {"z"}, "z", &g);
        for (const char* held : {"s1", "p", "a1", "se", "g.half", "z"}) {
            EXPECT_EQ(rewrite.visibleName.count(std::string(held) + "#raw"), 1u) << gateOp << " " << held;
        }
        for (const char* inside : {"c1", "s1.gate", "fc1", "a1.gate", "fc2", "scale", "g.x", "g.div", "g.erf", "g.plus", "g.times",
                                  "y", "ln.mean", "ln.sub", "ln.pow", "ln.var", "ln.root"}) {
            EXPECT_EQ(rewrite.visibleName.count(std::string(inside) + "#raw"), 0u) << gateOp << " " << inside;
        }
        EXPECT_EQ(g->integerSteps(), 5u) << gateOp;
        // The excitation's product writes the codes the next convolution reads.
        g->enableTiming(true);
        bool gateWritesCodes = false;
        for (const auto& row : g->timings()) {
            for (const auto& f : row.fused) gateWritesCodes = gateWritesCodes || (row.opType == "Mul" && f == "se#q");
        }
        EXPECT_TRUE(gateWritesCodes) << gateOp;
        // The pooling and the gate read the codes of s1: its floats are never made.
        for (const auto& row : g->timings()) EXPECT_NE(row.name, "s1") << gateOp << ": " << row.opType;
        EXPECT_GT(sqnrDb(y, reference), 25) << gateOp;
    }
}

// Nodes that only move or pick their input's values (pooling to the
// largest, padding with zeros, reshaping, transposing, slicing) between
// two products: the rewrite runs them on the codes, so the product after
// them reads codes too.
struct PassingCase {
    const char* name;
    int zero;  // the grid's zero point between the products (padding must write it)
    bool relu;  // the first convolution's, fused before the grid
    std::function<void(OnnxBuilder&)> between;  // from "r1" to "p"
    int64_t pads;  // the second convolution's padding
};

void PrintTo(const PassingCase& c, std::ostream* os) { *os << c.name; }

class CodesThroughNodes : public ::testing::TestWithParam<PassingCase> {};

TEST_P(CodesThroughNodes, KeepTheNextProductOnIntegers) {
    const PassingCase& c = GetParam();
    OnnxBuilder b("g");
    b.input("x", {1, 4, 8, 8});
    b.initializerRaw("c1.w", {8, 4, 3, 3}, pseudoRandom(288, 1, 0.4f));
    OnnxBuilder::attr(b.node("Conv", {"x", "c1.w"}, {c.relu ? "c1" : "r1"}), "pads", std::vector<int64_t>(4, 1));
    if (c.relu) b.node("Relu", {"c1"}, {"r1"});
    c.between(b);
    b.initializerRaw("c2.w", {8, 8, 3, 3}, pseudoRandom(576, 3, 0.3f));
    OnnxBuilder::attr(b.node("Conv", {"p", "c2.w"}, {"c2"}), "pads", std::vector<int64_t>(4, c.pads));
    b.node("Relu", {"c2"}, {"r2"});
    b.node("Flatten", {"r2"}, {"f"});
    b.initializerRaw("fc.w", {10, 512}, pseudoRandom(5120, 9, 0.05f));
    OnnxBuilder::attr(b.node("Gemm", {"f", "fc.w"}, {"y"}), "transB", int64_t{1});
    b.output("y");
    const auto reference = runNetwork(b.proto(), {"y"}, "y");

    vexart::FixedPointOptions options;
    options.encodings["x"] = {8, 1.0f / 127, 128};
    options.encodings["r1"] = {8, 0.02f, static_cast<uint64_t>(c.zero)};
    options.encodings["r2"] = {8, 0.02f, 0};
    options.weightCode = 63;
    onnx::ModelProto model = b.proto();
    vexart::rewriteForFixedPoint(model, options);
    Graph* g = nullptr;
    const auto y = runNetwork(model, {"y", "p"}, "y", &g);
    // Both convolutions and the dense head.
    EXPECT_EQ(g->integerSteps(), 3u);

    // What the user reads between them is the dequantized result: r1's grid values.
    const auto& p = g->value("p");
    ASSERT_EQ(p.type(), vexart::DType::Float);
    for (int64_t i = 0; i < p.size(); ++i) {
        const double code = p.data<float>()[i] / 0.02 + c.zero;
        ASSERT_NEAR(code, std::nearbyint(code), 1e-3) << "element " << i;
    }
    ASSERT_EQ(y.size(), reference.size());
    EXPECT_GT(sqnrDb(y, reference), 25);
}

void pad(OnnxBuilder& b, const char* mode, bool zeroGiven) {
    b.initializerInts("pads", {0, 0, 1, 1, 0, 0, 1, 1});
    std::vector<std::string> in{"r1", "pads"};
    if (zeroGiven) {
        b.initializer("fill", {}, {0.0f});
        in.push_back("fill");
    }
    OnnxBuilder::attr(b.node("Pad", in, {"p"}), "mode", std::string(mode));
}

// Between the products: a 3x3 max pool, a transpose there and back, a reshape.
void maxPool(OnnxBuilder& b, const char* from = "r1", const char* to = "p") {
    auto& m = b.node("MaxPool", {from}, {to});
    OnnxBuilder::attr(m, "kernel_shape", std::vector<int64_t>{3, 3});
    OnnxBuilder::attr(m, "pads", std::vector<int64_t>(4, 1));
}

void transposedThereAndBack(OnnxBuilder& b) {
    OnnxBuilder::attr(b.node("Transpose", {"r1"}, {"t"}), "perm", std::vector<int64_t>{0, 2, 3, 1});
    OnnxBuilder::attr(b.node("Transpose", {"t"}, {"p"}), "perm", std::vector<int64_t>{0, 3, 1, 2});
}

void reshaped(OnnxBuilder& b) {
    b.initializerInts("shape", {1, 8, 4, 16});
    b.node("Reshape", {"r1", "shape"}, {"p"});
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, CodesThroughNodes,
    ::testing::Values(
        PassingCase{"MaxPool", 0, true,
                    [](OnnxBuilder& b) { maxPool(b); },
                    1},
        PassingCase{"MaxPoolOffZero", 128, false,
                    [](OnnxBuilder& b) { maxPool(b); },
                    1},
        PassingCase{"PadWithZeros", 128, false, [](OnnxBuilder& b) { pad(b, "constant", false); }, 0},
        PassingCase{"PadWithAGivenZero", 128, false, [](OnnxBuilder& b) { pad(b, "constant", true); }, 0},
        PassingCase{"PadByReflection", 128, false, [](OnnxBuilder& b) { pad(b, "reflect", false); }, 0},
        PassingCase{"TransposedThereAndBack", 128, false,
                    transposedThereAndBack,
                    1},
        PassingCase{"Reshaped", 128, false,
                    reshaped,
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

// The same chain as an imported quantized graph, as exporters write one (a
// QuantizeLinear / DequantizeLinear pair after every layer, weights as int8
// codes that the graph dequantizes), run in float: the dequantization
// before the node that keeps the grid moves after it, so the product after
// that node runs on integers too, and what the node gives is the same to
// the bit.
class ImportedCodesThroughNodes : public ::testing::TestWithParam<PassingCase> {};

TEST_P(ImportedCodesThroughNodes, KeepTheNextProductOnIntegers) {
    const PassingCase& c = GetParam();
    auto build = [&](bool quantized) {
        OnnxBuilder b("g");
        b.input("x", {1, 4, 8, 8});
        if (quantized) fakeQuant(b, "x", "xq", 1.0f / 127, 128);
        quantizedWeights(b, "c1.w", 8, 4, 3, 63, true, 1);
        OnnxBuilder::attr(b.node("Conv", {quantized ? "xq" : "x", "c1.w"}, {"c1"}), "pads", std::vector<int64_t>(4, 1));
        b.node("Relu", {"c1"}, {quantized ? "r1.raw" : "r1"});
        if (quantized) fakeQuant(b, "r1.raw", "r1", 0.02f, c.zero);
        c.between(b);
        quantizedWeights(b, "c2.w", 8, 8, 3, 63, true, 3);
        OnnxBuilder::attr(b.node("Conv", {"p", "c2.w"}, {"c2"}), "pads", std::vector<int64_t>(4, c.pads));
        b.node("Relu", {"c2"}, {quantized ? "r2.raw" : "r2"});
        if (quantized) fakeQuant(b, "r2.raw", "r2", 0.02f, 0);
        b.node("Flatten", {"r2"}, {"f"});
        std::vector<int> codes(5120);
        const auto r = pseudoRandom(codes.size(), 9, 63.49f);
        for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<int>(std::nearbyint(r[i]));
        b.initializer(OnnxBuilder::intTensor("fc.q", onnx::TensorProto::INT8, {10, 512}, codes));
        b.initializer("fc.s", {}, {0.001f});
        b.node("DequantizeLinear", {"fc.q", "fc.s"}, {"fc.w"});
        OnnxBuilder::attr(b.node("Gemm", {"f", "fc.w"}, {"y"}), "transB", int64_t{1});
        b.output("y");
        return b.proto();
    };
    const auto reference = runNetwork(build(false), {"y"}, "y");
    Graph* g = nullptr;
    const auto y = runNetwork(build(true), {"y", "r1", "p"}, "y", &g);
    // Both convolutions and the dense head (zero padding folds into the
    // convolution after it, which pads with the zero point).
    EXPECT_EQ(g->integerSteps(), 3u);
    for (const auto& name : g->nodeOutputNames()) EXPECT_EQ(name.find('#'), std::string::npos) << name;
    // The model's dequantization is still what the node reads: no result left over.
    EXPECT_EQ(g->unconsumedNames(), std::vector<std::string>{});
    ASSERT_EQ(y.size(), reference.size());
    EXPECT_GT(sqnrDb(y, reference), 25);

    // The node alone, on the dequantized values it read, gives what was read between.
    const vexart::Tensor& r1 = g->value("r1");
    const std::vector<float> between(g->value("p").data<float>(), g->value("p").data<float>() + g->value("p").size());
    OnnxBuilder alone("alone");
    alone.input("r1", {1, 8, 8, 8});
    c.between(alone);
    alone.output("p");
    Graph one(alone.proto());
    one.prepare({}, {"p"});
    std::copy(r1.data<float>(), r1.data<float>() + r1.size(), one.input("r1").data<float>());
    one.run();
    ASSERT_EQ(one.value("p").size(), static_cast<int64_t>(between.size()));
    for (size_t i = 0; i < between.size(); ++i) ASSERT_EQ(one.value("p").data<float>()[i], between[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, ImportedCodesThroughNodes,
    ::testing::Values(PassingCase{"MaxPool", 0, true, [](OnnxBuilder& b) { maxPool(b); }, 1},
                      PassingCase{"TwoMaxPoolsOffZero", 128, true,
                                  [](OnnxBuilder& b) {
                                      maxPool(b, "r1", "m");
                                      maxPool(b, "m", "p");
                                  },
                                  1},
                      PassingCase{"TransposedThereAndBack", 128, true, transposedThereAndBack, 1},
                      PassingCase{"Reshaped", 128, true, reshaped, 1},
                      PassingCase{"PadWithZeros", 128, true, [](OnnxBuilder& b) { pad(b, "constant", false); }, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
