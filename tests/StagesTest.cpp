// The build's stages on hand-built graphs (scheduling, liveness, codes,
// pattern substitution, lifetimes), against what is worked out by hand in
// each case's comment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>

#include <onnx/onnx_pb.h>

#include "executor/core/Kernel.h"
#include "executor/graph/Graph.h"
#include "executor/graph/Schedule.h"
#include "executor/passes/ActivationPatterns.h"
#include "executor/passes/CodesInput.h"
#include "executor/passes/LayerNormFusion.h"
#include "executor/passes/ShapeInference.h"
#include "executor/planner/Lifetimes.h"
#include "executor/planner/Liveness.h"
#include "tools/OnnxBuilder.h"

namespace {

using vexart::GraphState;
using vexart::Node;
using vexart::Tensor;

struct Fixture {
    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<Tensor> values;
    std::vector<bool> isConst;
    GraphState g{nodes, values, isConst};

    // Values 0..count-1; `constant` lists the constants.
    Fixture(size_t count, std::vector<int> constant) : values(count), isConst(count, false) {
        for (int c : constant) isConst[static_cast<size_t>(c)] = true;
    }
    void node(std::vector<int> in, std::vector<int> out) {
        auto n = std::make_unique<Node>();
        n->inputs = std::move(in);
        n->outputs = std::move(out);
        nodes.push_back(std::move(n));
    }
};

// x=0 (input), w=1 (constant):  k0: 2=A(0,1)  k1: 3=B(2)  k2: 4=C(0)  k3: 5=D(3,2);  5 wanted.
Fixture diamond() {
    Fixture f(6, {1});
    f.node({0, 1}, {2});
    f.node({2}, {3});
    f.node({0}, {4});
    f.node({3, 2}, {5});
    return f;
}

TEST(Liveness, NeededNodesConsumersAndProducers) {
    Fixture f = diamond();
    vexart::computeLiveness(f.g, {5}, {0});
    EXPECT_EQ(f.g.needed, (std::vector<bool>{true, true, false, true}));  // C feeds nothing wanted
    EXPECT_EQ(f.g.consumers[0], (std::vector<size_t>{0}));               // C is not counted
    EXPECT_EQ(f.g.consumers[2], (std::vector<size_t>{1, 3}));
    EXPECT_TRUE(f.g.consumers[5].empty());
    EXPECT_EQ(f.g.producer, (std::vector<int>{-1, -1, 0, 1, 2, 3}));
    EXPECT_EQ(f.g.ready, (std::vector<bool>{true, true, false, false, false, false}));
    EXPECT_EQ(f.g.wanted, (std::vector<bool>{false, false, false, false, false, true}));
}

TEST(Liveness, ANodeReadingAValueTwiceIsOneConsumer) {
    Fixture f(2, {});
    f.node({0, 0}, {1});
    vexart::computeLiveness(f.g, {1}, {0});
    EXPECT_EQ(f.g.consumers[0].size(), 1u);
}

TEST(Liveness, ValuesGoAfterTheirLastReaderAndNeverWhenKept) {
    Fixture f = diamond();
    vexart::computeLiveness(f.g, {5}, {0});
    vexart::ValueRelease r(f.g, {0});
    EXPECT_TRUE(r.due(0, f.isConst).empty());  // 2 is read again by k1 and k3
    EXPECT_TRUE(r.due(1, f.isConst).empty());
    EXPECT_TRUE(r.due(2, f.isConst).empty());
    EXPECT_EQ(r.due(3, f.isConst), (std::vector<int>{2, 3}));  // input 0, constant 1 and wanted 5 stay
}

TEST(Liveness, AnAliasKeepsWhatItViewsUntilItsOwnLastReader) {
    // k0: 1=A(0)  k1: 2=View(1)  k2: 3=B(1)  k3: 4=C(2);  4 wanted. 1 is last read
    // by k2, but its view 2 is read by k3, so 1 goes after k3.
    Fixture f(5, {});
    f.node({0}, {1});
    f.node({1}, {2});
    f.node({1}, {3});
    f.node({2, 3}, {4});
    vexart::computeLiveness(f.g, {4}, {0});
    vexart::ValueRelease r(f.g, {0});
    r.alias(2, 1);
    EXPECT_TRUE(r.due(1, f.isConst).empty());
    EXPECT_TRUE(r.due(2, f.isConst).empty());  // 1 postponed
    EXPECT_EQ(r.due(3, f.isConst), (std::vector<int>{2, 3, 1}));
}

TEST(Liveness, AWantedAliasPinsWhatItViews) {
    // k0: 1=A(0)  k1: 2=View(1)  k2: 3=B(1);  2 and 3 wanted: 1 must never go.
    Fixture f(4, {});
    f.node({0}, {1});
    f.node({1}, {2});
    f.node({1}, {3});
    vexart::computeLiveness(f.g, {2, 3}, {0});
    vexart::ValueRelease r(f.g, {0});
    r.alias(2, 1);
    for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(r.due(k, f.isConst).empty()) << k;
}

}  // namespace

namespace {

// The codes stage: which readers of a dequantization take its codes.
//   k0: 3=Q(0 x, 1 step, 2 zero)      k1: 4=DQ(3, 1, 2)       k2: 6=Conv(4, 5 w)
//   k3: 7=MatMul(4, 5)                 k4: 9=DQ(3, 8 steps per channel, 2)   k5: 10=Conv(9, 5)
//   k6: 11=DQ(3, 1)  (no zero point)   k7: 12=Conv(11, 5)
//   k8: 14=DQ(13 constant codes, 1, 2) k9: 15=Conv(14, 5)
// Only k2 reads codes: MatMul does not take them, and the others have a
// grid per channel, no stated code type or constant codes.
TEST(CodesInput, OnlyConvolutionsOfComputedPerTensorCodesReadThem) {
    Fixture f(16, {1, 2, 5, 8, 13});
    auto op = [&](const char* type, std::vector<int> in, std::vector<int> out) {
        f.node(std::move(in), std::move(out));
        f.nodes.back()->opType = type;
        f.nodes.back()->traits = &vexart::opTraits(type);
    };
    f.values[1].reset(vexart::DType::Float, {});
    f.values[1].data<float>()[0] = 0.1f;
    f.values[2].reset(vexart::DType::UInt8, {});
    f.values[8].reset(vexart::DType::Float, {4});
    std::fill(f.values[8].data<float>(), f.values[8].data<float>() + 4, 0.1f);
    op("QuantizeLinear", {0, 1, 2}, {3});
    op("DequantizeLinear", {3, 1, 2}, {4});
    op("Conv", {4, 5}, {6});
    op("MatMul", {4, 5}, {7});
    op("DequantizeLinear", {3, 8, 2}, {9});
    op("Conv", {9, 5}, {10});
    op("DequantizeLinear", {3, 1}, {11});
    op("Conv", {11, 5}, {12});
    op("DequantizeLinear", {13, 1, 2}, {14});
    op("Conv", {14, 5}, {15});
    ASSERT_TRUE(vexart::readCodesDirectly(f.nodes, f.values, f.isConst));
    std::vector<int> first, from;
    for (const auto& n : f.nodes) {
        first.push_back(n->inputs[0]);
        from.push_back(n->codesFrom);
    }
    EXPECT_EQ(first, (std::vector<int>{0, 3, 3, 4, 3, 9, 3, 11, 13, 14}));
    EXPECT_EQ(from, (std::vector<int>{-1, -1, 1, -1, -1, -1, -1, -1, -1, -1}));
    EXPECT_FALSE(vexart::readCodesDirectly(f.nodes, f.values, f.isConst)) << "a second pass rewired again";
}

}  // namespace

namespace {

using Shape = vexart::Shape;

// The pattern-substitution stage: hand-built formulas, each with the nodes
// a match must span, and the near misses it must refuse.
struct Formula {
    Fixture f{0, {}};
    int wanted = -1;
    // A constant scalar (or a vector of `n` equal values).
    int constant(float v, size_t n = 0) {
        f.values.emplace_back();
        f.isConst.push_back(true);
        Shape s;
        if (n > 0) s = {static_cast<int64_t>(n)};
        f.values.back().reset(vexart::DType::Float, s);
        std::fill(f.values.back().data<float>(), f.values.back().data<float>() + f.values.back().size(), v);
        return static_cast<int>(f.values.size()) - 1;
    }
    int codeZero(vexart::DType type) {
        f.values.emplace_back();
        f.isConst.push_back(true);
        f.values.back().reset(type, {});
        std::memset(f.values.back().raw(), 0, 1);
        return static_cast<int>(f.values.size()) - 1;
    }
    int value() {
        f.values.emplace_back();
        f.isConst.push_back(false);
        return static_cast<int>(f.values.size()) - 1;
    }
    // A node of `type` reading `in`; returns its output.
    int op(const char* type, std::vector<int> in, int64_t opset = 17) {
        const int out = value();
        f.node(std::move(in), {out});
        Node& n = *f.nodes.back();
        n.index = f.nodes.size() - 1;
        n.opType = type;
        n.traits = &vexart::opTraits(type);
        n.attrs.opset = opset;
        wanted = out;
        return out;
    }
    Node& last() { return *f.nodes.back(); }
    // Plans with a reader after the formula, whose result is asked for:
    // inside a network a formula's own result is read on.
    void plan(std::vector<int> alsoWanted = {}) {
        formulaNodes = f.nodes.size();
        op("Relu", {wanted});
        alsoWanted.push_back(wanted);
        vexart::computeLiveness(f.g, alsoWanted, {0});
    }
    size_t formulaNodes = 0;
};

// What a match should report: the step, the nodes it spans and the last.
struct PatternCase {
    const char* name;
    std::function<void(Formula&)> build;  // from x = value 0; the last node ends the formula
    bool matches;
    vexart::Fusion::Act act;
};

class ActivationPatterns : public ::testing::TestWithParam<PatternCase> {};

TEST_P(ActivationPatterns, SpanTheFormulaOrNothing) {
    const PatternCase& c = GetParam();
    Formula fm;
    fm.value();  // x
    c.build(fm);
    fm.plan();
    vexart::ActivationMatch m;
    ASSERT_EQ(vexart::matchActivationPattern(fm.f.g, 0, m), c.matches);
    if (!c.matches) {
        EXPECT_EQ(m.last, nullptr);
        EXPECT_TRUE(m.spanned.empty());
        return;
    }
    EXPECT_EQ(m.post.act, c.act);
    EXPECT_EQ(m.last, fm.f.nodes[fm.formulaNodes - 1].get());
    // Spanned: every node of the formula but the last, each once.
    std::vector<size_t> spanned;
    for (const Node* n : m.spanned) spanned.push_back(n->index);
    std::sort(spanned.begin(), spanned.end());
    std::vector<size_t> expected(fm.formulaNodes - 1);
    std::iota(expected.begin(), expected.end(), size_t{0});
    EXPECT_EQ(spanned, expected);
}

void hardSigmoid(Formula& fm, float alpha, float beta) {
    const int g = fm.op("HardSigmoid", {0});
    fm.last().attrs.alpha = alpha;
    fm.last().attrs.beta = beta;
    fm.op("Mul", {g, 0});
}

void gelu(Formula& fm, float root2, float one, float half) {
    const int d = fm.op("Div", {0, fm.constant(root2)});
    const int e = fm.op("Erf", {d});
    const int a = fm.op("Add", {e, fm.constant(one)});
    const int m = fm.op("Mul", {0, a});
    fm.op("Mul", {m, fm.constant(half)});
}

// x * Clip(x + 3, 0, 6) / 6, the sixth taken first or last.
void hardSwish(Formula& fm, float three, float six, bool sixthFirst) {
    const int a = fm.op("Add", {0, fm.constant(three)});
    const int c = fm.op("Clip", {a, fm.constant(0), fm.constant(six)});
    if (sixthFirst) {
        const int s = fm.op("Div", {c, fm.constant(6)});
        fm.op("Mul", {0, s});
    } else {
        const int m = fm.op("Mul", {c, 0});
        fm.op("Mul", {m, fm.constant(1.0f / 6)});
    }
}

void fakeQuant(Formula& fm, float s1, float s2, vexart::DType type = vexart::DType::UInt8) {
    const int z = fm.codeZero(type);
    const int q = fm.op("QuantizeLinear", {0, fm.constant(s1), z});
    fm.op("DequantizeLinear", {q, fm.constant(s2), z});
}

using Act = vexart::Fusion::Act;
const PatternCase kPatterns[] = {
    {"Swish", [](Formula& fm) { fm.op("Mul", {0, fm.op("Sigmoid", {0})}); }, true, Act::Swish},
    {"SwishProductFirst", [](Formula& fm) {
         const int s = fm.op("Sigmoid", {0});
         fm.op("Mul", {s, 0});
     }, true, Act::Swish},
    {"HardSwishBySigmoid", [](Formula& fm) { hardSigmoid(fm, 1.0f / 6, 0.5f); }, true, Act::HardSwish},
    {"HardSigmoidAtItsDefaults", [](Formula& fm) { hardSigmoid(fm, std::nanf(""), std::nanf("")); }, false, {}},
    {"Gelu", [](Formula& fm) { gelu(fm, 1.41421356f, 1, 0.5f); }, true, Act::Gelu},
    {"GeluDividedByTwo", [](Formula& fm) { gelu(fm, 2.0f, 1, 0.5f); }, false, {}},
    {"GeluWithoutTheHalf", [](Formula& fm) { gelu(fm, 1.41421356f, 1, 1.0f); }, false, {}},
    {"HardSwishSixthFirst", [](Formula& fm) { hardSwish(fm, 3, 6, true); }, true, Act::HardSwish},
    {"HardSwishSixthLast", [](Formula& fm) { hardSwish(fm, 3, 6, false); }, true, Act::HardSwish},
    {"ClipToFive", [](Formula& fm) { hardSwish(fm, 3, 5, true); }, false, {}},
    {"ShiftedByTwo", [](Formula& fm) { hardSwish(fm, 2, 6, false); }, false, {}},
    {"FakeQuant", [](Formula& fm) { fakeQuant(fm, 0.1f, 0.1f); }, true, Act::FakeQuant},
    {"FakeQuantSigned", [](Formula& fm) { fakeQuant(fm, 0.1f, 0.1f, vexart::DType::Int8); }, true, Act::FakeQuant},
    {"TwoGrids", [](Formula& fm) { fakeQuant(fm, 0.1f, 0.2f); }, false, {}},
    {"PerChannelSteps", [](Formula& fm) {
         const int z = fm.codeZero(vexart::DType::UInt8);
         const int q = fm.op("QuantizeLinear", {0, fm.constant(0.1f, 4), z});
         fm.op("DequantizeLinear", {q, fm.constant(0.1f, 4), z});
     }, false, {}},
    {"ProductOfOtherValues", [](Formula& fm) {
         const int y = fm.op("Relu", {0});
         fm.op("Mul", {y, fm.op("Sigmoid", {0})});
     }, false, {}},
};

INSTANTIATE_TEST_SUITE_P(Formulas, ActivationPatterns, ::testing::ValuesIn(kPatterns),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ActivationPatterns, AValueReadOutsideTheFormulaKeepsItApart) {
    // Sigmoid's result asked for, or read by one more node: the Mul cannot
    // take its place.
    for (bool asked : {true, false}) {
        Formula fm;
        fm.value();
        const int s = fm.op("Sigmoid", {0});
        fm.op("Mul", {0, s});
        const int product = fm.wanted;
        if (!asked) fm.op("Relu", {s});
        fm.plan(asked ? std::vector<int>{s} : std::vector<int>{product});
        vexart::ActivationMatch m;
        EXPECT_FALSE(vexart::matchActivationPattern(fm.f.g, 0, m)) << asked;
    }
}

TEST(ActivationPatterns, StepsCarryTheGridAndTheClipBounds) {
    Formula fq;
    fq.value();
    fakeQuant(fq, 0.25f, 0.25f, vexart::DType::Int8);
    fq.plan();
    vexart::ActivationMatch m;
    ASSERT_TRUE(vexart::matchActivationPattern(fq.f.g, 0, m));
    EXPECT_EQ(m.post.scale, 0.25f);
    EXPECT_EQ(m.post.zero, 0.0f);
    EXPECT_EQ(m.post.lo, -128.0f);
    EXPECT_EQ(m.post.hi, 127.0f);

    // Clip before opset 11 takes its bounds from attributes; after, from inputs.
    Formula clip;
    clip.value();
    clip.op("Clip", {0, clip.constant(-1), clip.constant(2)});
    clip.plan();
    vexart::Fusion::Post p;
    ASSERT_TRUE(vexart::activationOf(clip.f.g, *clip.f.nodes[0], p));
    EXPECT_EQ(p.lo, -1.0f);
    EXPECT_EQ(p.hi, 2.0f);
    Formula old;
    old.value();
    old.op("Clip", {0}, 6);
    old.last().attrs.clipMin = 0;
    old.last().attrs.clipMax = 6;
    old.plan();
    ASSERT_TRUE(vexart::activationOf(old.f.g, *old.f.nodes[0], p));
    EXPECT_EQ(p.lo, 0.0f);
    EXPECT_EQ(p.hi, 6.0f);
}

// Layer normalisation written out: m = mean(x), d = x - m,
// y = d / sqrt(mean(d^2) + eps) * scale + bias, means over the last axis.
struct LayerNormGraph {
    Formula fm;
    int scale = -1, bias = -1;
    explicit LayerNormGraph(int64_t axis = -1, float power = 2, int64_t scaleSize = 8) {
        fm.value();
        fm.f.values[0].reset(vexart::DType::Float, {2, 8});
        const int m = mean(0, axis);
        const int d = fm.op("Sub", {0, m});
        const int v = mean(fm.op("Pow", {d, fm.constant(power)}), axis);
        const int s = fm.op("Sqrt", {fm.op("Add", {v, fm.constant(1e-5f)})});
        const int n = fm.op("Div", {d, s});
        scale = fm.constant(1.5f, static_cast<size_t>(scaleSize));
        bias = fm.constant(0.5f, 8);
        output = fm.op("Add", {fm.op("Mul", {n, scale}), bias});
    }
    int output = -1;
    int mean(int x, int64_t axis) {
        const int out = fm.op("ReduceMean", {x});
        fm.last().attrs.axes = {axis};
        return out;
    }
};

TEST(LayerNormPattern, SpansTheNineNodesFromTheFirstMean) {
    for (int64_t axis : {-1, 1}) {
        LayerNormGraph ln(axis);
        ln.fm.plan();
        vexart::LayerNormMatch m;
        ASSERT_TRUE(vexart::matchLayerNorm(ln.fm.f.g, 0, m)) << axis;
        EXPECT_EQ(m.x, 0);
        EXPECT_EQ(m.scale, ln.scale);
        EXPECT_EQ(m.bias, ln.bias);
        EXPECT_EQ(m.output, ln.output);
        EXPECT_FLOAT_EQ(m.epsilon, 1e-5f);
        EXPECT_EQ(m.spanned, (std::vector<size_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    }
}

TEST(LayerNormPattern, RefusesOtherAxesPowersAndScales) {
    struct Miss {
        const char* why;
        int64_t axis;
        float power;
        int64_t scaleSize;
    };
    for (const Miss& c : {Miss{"first axis", 0, 2, 8}, Miss{"cube", -1, 3, 8}, Miss{"scale per row", -1, 2, 2}}) {
        LayerNormGraph ln(c.axis, c.power, c.scaleSize);
        ln.fm.plan();
        vexart::LayerNormMatch m;
        EXPECT_FALSE(vexart::matchLayerNorm(ln.fm.f.g, 0, m)) << c.why;
    }
    LayerNormGraph seen;
    seen.fm.plan({5});  // the variance asked for
    vexart::LayerNormMatch m;
    EXPECT_FALSE(vexart::matchLayerNorm(seen.fm.f.g, 0, m));
}

}  // namespace

namespace {

// Lifetimes: hand-worked steps for buffers and views.
TEST(Lifetimes, ABufferLivesFromItsFirstWriteToItsLastReadThroughAnyView) {
    // 0 written at 1 and 4, read at 2; 1 views 0 and is read at 9; 2 views 1
    // (a view of a view) and is read at 7; 3 is written at 3 and never read.
    vexart::Lifetimes l(4);
    l.write(0, 1);
    l.read(0, 2);
    l.write(0, 4);
    l.read(1, 9);  // read before it is known as a view: still counts
    l.view(1, 0);
    l.view(2, 1);
    l.read(2, 7);
    l.write(3, 3);
    EXPECT_EQ(l.firstWrite(0), 1u);
    EXPECT_EQ(l.lastRead(0), 9u);
    EXPECT_EQ(l.owner(2), 0u);
    EXPECT_EQ(l.lastRead(2), 9u);
    l.read(2, 12);
    EXPECT_EQ(l.lastRead(0), 12u);
    EXPECT_EQ(l.firstWrite(3), 3u);
    EXPECT_EQ(l.lastRead(3), 0u);
    l.view(0, 2);  // a cycle is refused: 0 keeps its bytes
    EXPECT_EQ(l.owner(0), 0u);
}

}  // namespace

namespace {

// Which values planning must compute: those an output shape follows.
//   k0: 2=Add(0, 1 constant)   k1: 3=Relu(2)   k2: 4=Cast(3)   k3: 6=Reshape(5, 4)
//   k4: 7=Relu(0)   k5: 8=NonZero(7)   k6: 9=Reshape(5, 0)  (not needed)
//   k7: 11=Conv(10, 1)   k8: 12=Relu(11)   k9: 13=Reshape(5, 12)
//   k10: 15=Shape(14)   k11: 16=Reshape(5, 15)
// Reshape's target (input 1) and NonZero's input set shapes, and so does
// everything they are made from; Reshape's data (5) does not. A
// convolution runs dry all the same (11, and 10 behind it), and Shape reads
// no values (14).
TEST(ShapeInference, ValuesThatShapeAreWhatShapeFollowsThroughAnyChain) {
    Fixture f(17, {1});
    auto op = [&](const char* type, std::vector<int> in, std::vector<int> out) {
        f.node(std::move(in), std::move(out));
        f.nodes.back()->opType = type;
        f.nodes.back()->traits = &vexart::opTraits(type);
    };
    op("Add", {0, 1}, {2});
    op("Relu", {2}, {3});
    op("Cast", {3}, {4});
    op("Reshape", {5, 4}, {6});
    op("Relu", {0}, {7});
    op("NonZero", {7}, {8});
    op("Reshape", {5, 0}, {9});
    op("Conv", {10, 1}, {11});
    op("Relu", {11}, {12});
    op("Reshape", {5, 12}, {13});
    op("Shape", {14}, {15});
    op("Reshape", {5, 15}, {16});
    vexart::computeLiveness(f.g, {6, 8, 13, 16}, {0, 5, 10, 14});
    EXPECT_EQ(vexart::valuesThatShape(f.g), (std::vector<bool>{true, true, true, true, true, false, false, true, false,
                                                                false, false, false, true, false, false, true, false}));
}


// --- Scheduling ----------------------------------------------------------

// Node names of `g` in order.
std::string orderOf(const onnx::GraphProto& g) {
    std::string names;
    for (const auto& n : g.node()) names += (names.empty() ? "" : " ") + n.name();
    return names;
}

// A graph of nodes "name:out=in,in" (op Identity; inputs x and y).
onnx::GraphProto listed(const std::vector<std::string>& nodes) {
    onnx::GraphProto g;
    for (const auto& spec : nodes) {
        const auto colon = spec.find(':'), eq = spec.find('=');
        auto* n = g.add_node();
        n->set_name(spec.substr(0, colon));
        n->set_op_type("Identity");
        n->add_output(spec.substr(colon + 1, eq - colon - 1));
        for (size_t at = eq + 1; at < spec.size();) {
            const auto comma = std::min(spec.find(',', at), spec.size());
            n->add_input(spec.substr(at, comma - at));
            at = comma + 1;
        }
    }
    return g;
}

// Each node after the producers of what it reads; among the nodes ready
// at once, the earliest listed first; a graph in order keeps its order.
TEST(Schedule, NodesComeAfterWhatTheyReadAndKeepTheirPlaceOtherwise) {
    const std::tuple<const char*, std::vector<std::string>, const char*> rows[] = {
        {"in order", {"a:p=x", "b:q=p", "c:r=x", "d:s=q,r"}, "a b c d"},
        {"reversed chain", {"c:r=q", "b:q=p", "a:p=x"}, "a b c"},
        // b and c wait for a; d is ready at once and stays first.
        {"ready ones by place", {"d:s=y", "b:q=p", "c:r=p", "a:p=x"}, "d a b c"},
        {"reads the graph's inputs only", {"b:q=y", "a:p=x"}, "b a"},
        {"a late producer of two readers", {"r1:u=t,x", "r2:v=t", "p:t=y", "z:w=u,v"}, "p r1 r2 z"},
    };
    for (const auto& [what, nodes, want] : rows) {
        onnx::GraphProto g = listed(nodes);
        vexart::scheduleNodes(g);
        EXPECT_EQ(orderOf(g), want) << what;
    }
}

// An If whose branch reads a value made by a node listed after it waits
// for that node, and the branch's own nodes are put in order too.
TEST(Schedule, ANodeWaitsForWhatItsBranchesReadAndBranchesAreOrdered) {
    onnx::GraphProto g = listed({"p:t=x"});
    auto* iff = g.add_node();
    iff->set_name("if");
    iff->set_op_type("If");
    iff->add_input("c");
    iff->add_output("picked");
    auto* branch = iff->add_attribute();
    branch->set_name("then_branch");
    branch->set_type(onnx::AttributeProto::GRAPH);
    *branch->mutable_g() = listed({"b2:out=mid", "b1:mid=late"});
    g.mutable_node()->SwapElements(0, 1);  // if, p
    *g.add_node() = listed({"late:late=t"}).node(0);
    vexart::scheduleNodes(g);
    EXPECT_EQ(orderOf(g), "p late if");
    EXPECT_EQ(orderOf(g.node(2).attribute(0).g()), "b1 b2");
}

TEST(Schedule, ACycleIsRefusedNamingANodeOnIt) {
    onnx::GraphProto g = listed({"a:p=x", "b:q=p,s", "c:s=q"});
    try {
        vexart::scheduleNodes(g);
        FAIL() << "a cycle was scheduled";
    } catch (const vexart::ExecError& e) {
        EXPECT_NE(std::string(e.what()).find("cycle through node 'b'"), std::string::npos) << e.what();
    }
}

// Listed backwards, a graph computes what it computes listed in order.
TEST(Schedule, AGraphListedBackwardsRuns) {
    OnnxBuilder b("backwards");
    b.input("x", {4});
    b.node("Mul", {"s", "x"}, {"y"});
    b.node("Add", {"x", "x"}, {"s"});
    b.output("y");
    vexart::Graph graph(b.proto());
    graph.prepare({}, {"y"});
    const float x[] = {1, -2, 3, 0.5f};
    std::memcpy(graph.input("x").raw(), x, sizeof x);
    graph.run();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(graph.value("y").data<float>()[i], 2 * x[i] * x[i]);
}

}  // namespace
