// The liveness and codes stages on hand-built graphs, against what is worked
// out by hand in each case's comment.
#include <gtest/gtest.h>

#include "executor/core/Kernel.h"
#include "executor/passes/CodesInput.h"
#include "executor/planner/Liveness.h"

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
