// Attention written out as exporters write it (MatMul, scale, mask,
// Softmax, MatMul) runs as one kernel over blocks of rows: held to the
// definition in double for every batch broadcast, mask shape, block tail
// and thread count, and left alone where a part of it is wanted or does
// something else.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "executor/core/Threads.h"
#include "executor/graph/Graph.h"
#include "tools/OnnxBuilder.h"

namespace {

using vexart::Graph;
using vexart::Shape;

std::vector<float> noise(int64_t n, uint32_t seed, float scale) {
    std::vector<float> v(static_cast<size_t>(n));
    for (auto& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = scale * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
    }
    return v;
}

int64_t count(const Shape& s) {
    int64_t n = 1;
    for (const int64_t d : s) n *= d;
    return n;
}

enum class Mask { None, Random, Causal };

struct Case {
    const char* name;
    Shape q, k, v, mask;  // k as the product reads it: [..., K, N]
    const char* scaleOp;  // "", "Mul" or "Div"
    float scale;
    Mask maskKind;
    bool dropout;
    int threads;
};

// Index of element `at` (of a tensor shaped `out`) in a tensor shaped
// `shape` that broadcasts to it (numpy rules).
int64_t broadcastIndex(const Shape& shape, const Shape& out, int64_t at) {
    int64_t index = 0, step = 1;
    for (size_t i = out.size(); i-- > 0;) {
        const int64_t coord = at % out[i];
        at /= out[i];
        const size_t lead = out.size() - shape.size();
        if (i < lead) continue;
        const int64_t d = shape[i - lead];
        if (d != 1) index += coord * step;
        step *= d;
    }
    return index;
}

// y = softmax(scale(q k) + mask) v, every sum in double.
std::vector<double> definition(const Case& c, const std::vector<float>& q, const std::vector<float>& k,
                               const std::vector<float>& v, const std::vector<float>& mask, Shape& outShape) {
    const size_t r = c.q.size();
    const int64_t M = c.q[r - 2], K = c.q[r - 1], N = c.k[r - 1], P = c.v[r - 1];
    Shape batch;
    for (size_t i = 0; i + 2 < r; ++i) batch.push_back(std::max({c.q[i], c.k[i], c.v[i]}));
    Shape scoresShape = batch, qFull = batch, kFull = batch, vFull = batch;
    scoresShape.insert(scoresShape.end(), {M, N});
    qFull.insert(qFull.end(), {M, K});
    kFull.insert(kFull.end(), {K, N});
    vFull.insert(vFull.end(), {N, P});
    outShape = batch;
    outShape.insert(outShape.end(), {M, P});
    std::vector<double> y(static_cast<size_t>(count(outShape)));
    std::vector<double> s(static_cast<size_t>(N));
    for (int64_t b = 0; b < count(batch); ++b) {
        for (int64_t i = 0; i < M; ++i) {
            double top = -std::numeric_limits<double>::infinity();
            for (int64_t j = 0; j < N; ++j) {
                double sum = 0;
                for (int64_t t = 0; t < K; ++t) {
                    sum += double(q[static_cast<size_t>(broadcastIndex(c.q, qFull, (b * M + i) * K + t))]) *
                           k[static_cast<size_t>(broadcastIndex(c.k, kFull, (b * K + t) * N + j))];
                }
                const float scores = static_cast<float>(sum);  // the product's result is a float tensor
                double x = std::string(c.scaleOp) == "Mul"   ? double(scores * c.scale)
                           : std::string(c.scaleOp) == "Div" ? double(scores / c.scale)
                                                             : double(scores);
                if (!c.mask.empty()) x += mask[static_cast<size_t>(broadcastIndex(c.mask, scoresShape, (b * M + i) * N + j))];
                s[static_cast<size_t>(j)] = x;
                top = std::max(top, x);
            }
            double total = 0;
            for (double& x : s) total += x = std::exp(x - top);
            for (int64_t p = 0; p < P; ++p) {
                double sum = 0;
                for (int64_t j = 0; j < N; ++j) {
                    sum += s[static_cast<size_t>(j)] / total * v[static_cast<size_t>(broadcastIndex(c.v, vFull, (b * N + j) * P + p))];
                }
                y[static_cast<size_t>((b * M + i) * P + p)] = sum;
            }
        }
    }
    return y;
}

OnnxBuilder attentionGraph(const Case& c, int64_t softmaxAxis = -1) {
    OnnxBuilder b("attention");
    b.input("q", c.q);
    b.input("k", c.k);
    b.input("v", c.v);
    std::string at = "s";
    b.node("MatMul", {"q", "k"}, {at});
    if (std::string(c.scaleOp).size() != 0) {
        b.initializer("c", {}, {c.scale});
        b.node(c.scaleOp, {at, "c"}, {"scaled"});
        at = "scaled";
    }
    if (!c.mask.empty()) {
        b.input("mask", c.mask);
        b.node("Add", {at, "mask"}, {"masked"});
        at = "masked";
    }
    auto& softmax = b.node("Softmax", {at}, {"p"});
    if (softmaxAxis != -1) OnnxBuilder::attr(softmax, "axis", softmaxAxis);  // the last by default
    at = "p";
    if (c.dropout) {
        b.node("Dropout", {at}, {"kept"});
        at = "kept";
    }
    b.node("MatMul", {at, "v"}, {"y"});
    b.output("y");
    return b;
}

struct Outcome {
    std::vector<float> y;
    Shape shape;
    size_t steps = 0;
};

// The operands of a case by name: q, k, v and the mask where it has one.
std::map<std::string, std::vector<float>> operandsOf(const Case& c) {
    std::map<std::string, std::vector<float>> in = {
        {"q", noise(count(c.q), 1, 1.5f)}, {"k", noise(count(c.k), 2, 1.5f)}, {"v", noise(count(c.v), 3, 1.0f)}};
    if (c.mask.empty()) return in;
    std::vector<float> m = noise(count(c.mask), 4, 3.0f);
    if (c.maskKind == Mask::Causal) {
        const int64_t cols = c.mask.back(), rows = c.mask[c.mask.size() - 2];
        for (int64_t i = 0; i < count(c.mask); ++i) {
            m[static_cast<size_t>(i)] = i % cols > i / cols % rows ? -std::numeric_limits<float>::infinity() : 0.0f;
        }
    }
    in["mask"] = std::move(m);
    return in;
}

Outcome run(const Case& c, const OnnxBuilder& b, std::vector<std::string> outputs = {"y"}) {
    const auto feeds = operandsOf(c);
    std::map<std::string, Shape> shapes = {{"q", c.q}, {"k", c.k}, {"v", c.v}};
    if (!c.mask.empty()) shapes["mask"] = c.mask;
    Graph g(b.proto());
    g.enableTiming(true);
    g.prepare(shapes, outputs);
    // Executed on one thread first, then on the case's (which may be more).
    for (const int threads : {1, c.threads}) {
        const vexart::ThreadScope scope(threads);
        for (const auto& [name, values] : feeds) std::copy(values.begin(), values.end(), g.input(name).data<float>());
        g.run();
    }
    const vexart::Tensor& y = g.value("y");
    return {std::vector<float>(y.data<float>(), y.data<float>() + y.size()), y.shape(), g.timings().size()};
}

std::vector<double> definitionOf(const Case& c, Shape& shape) {
    auto in = operandsOf(c);
    return definition(c, in["q"], in["k"], in["v"], in["mask"], shape);
}

TEST(Attention, FusedBlocksGiveTheDefinition) {
    const Case cases[] = {
        // Whole blocks and a tail (300 rows of 300 keys), two threads.
        {"heads", {4, 300, 32}, {4, 32, 300}, {4, 300, 24}, {}, "", 1, Mask::None, false, 2},
        // A padding mask per sequence, broadcast over heads and rows.
        {"padding mask", {2, 3, 20, 16}, {2, 3, 16, 20}, {2, 3, 20, 8}, {2, 1, 1, 20}, "Mul", 0.25f, Mask::Random, false, 1},
        // A causal mask of -inf over the scores of every head.
        {"causal", {1, 2, 70, 8}, {1, 2, 8, 70}, {1, 2, 70, 8}, {1, 1, 70, 70}, "Div", 2.83f, Mask::Causal, false, 2},
        // Batches broadcast three ways, a mask without the leading one, Dropout passing through.
        {"broadcast", {3, 1, 10, 8}, {1, 2, 8, 1000}, {3, 2, 1000, 5}, {2, 10, 1000}, "", 1, Mask::Random, true, 2},
        // Matrices alone, long keys, a mask per key.
        {"matrices", {5, 4}, {4, 2100}, {2100, 3}, {2100}, "Mul", 0.5f, Mask::Random, false, 1},
        // One query row (a decoder step).
        {"one row", {1, 4, 1, 16}, {1, 4, 16, 33}, {1, 4, 33, 16}, {}, "Div", 4.0f, Mask::None, false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome got = run(c, attentionGraph(c));
        EXPECT_EQ(got.steps, 1u) << "not fused";
        Shape shape;
        const std::vector<double> want = definitionOf(c, shape);
        ASSERT_EQ(got.shape, shape);
        for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(got.y[i], want[i], 2e-5) << "element " << i;
    }
}

// What the kernel cannot run alone stays as written, and still computes
// what the graph defines: scores or probabilities asked for, a softmax
// over another axis, a mask that widens the scores.
TEST(Attention, PartsWantedOrOtherwiseShapedStayAsWritten) {
    const Case c{"plain", {2, 12, 8}, {2, 8, 12}, {2, 12, 4}, {}, "Div", 3.0f, Mask::None, false, 1};
    Shape shape;
    const std::vector<double> want = definitionOf(c, shape);
    for (const auto& wanted : {std::vector<std::string>{"y", "s"}, std::vector<std::string>{"y", "p"}}) {
        const Outcome got = run(c, attentionGraph(c), wanted);
        EXPECT_GT(got.steps, 1u) << wanted[1] << " asked for";
        for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(got.y[i], want[i], 2e-5) << "element " << i;
    }
    EXPECT_GT(run(c, attentionGraph(c, 1)).steps, 1u) << "softmax over the rows";
    for (const Case& wide : {Case{"longer", {12, 8}, {8, 12}, {12, 4}, {3, 12, 12}, "", 1, Mask::Random, false, 1},
                             Case{"wider", {1, 12, 8}, {1, 8, 12}, {1, 12, 4}, {3, 12, 12}, "", 1, Mask::Random, false, 1}}) {
        const Outcome widened = run(wide, attentionGraph(wide));
        EXPECT_GT(widened.steps, 1u) << "a mask that widens the scores: " << wide.name;
        EXPECT_EQ(widened.shape, (Shape{3, 12, 4}));
    }
}

}  // namespace
