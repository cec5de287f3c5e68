// Operator behaviour that the backend test data leaves out: recurrent
// layers over batches of unequal lengths, loops whose values change shape
// between iterations and read enclosing graphs, and integer convolution
// against its float definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <tuple>
#include <utility>

#include "executor/core/SharedBytes.h"
#include "executor/core/Threads.h"
#include "executor/graph/Graph.h"
#include "executor/kernels/CodesPool.h"
#include "executor/kernels/Fallbacks.h"
#include "executor/kernels/PanelProduct.h"
#include "executor/kernels/SoftmaxRows.h"
#include "executor/onednn/Dnnl.h"
#include "executor/passes/LoopAppend.h"
#include "tools/OnnxBuilder.h"
#include "support/Reference.h"

namespace {

using vexart::DType;
using vexart::Graph;
using vexart::Shape;
using vexart::Tensor;
using vexart::KernelContext;

void fill(Tensor& t, const std::vector<float>& v) { std::copy(v.begin(), v.end(), t.data<float>()); }

// --- Recurrent layers ---------------------------------------------------

struct RecurrentCase {
    const char* op;
    const char* direction;
    int64_t gates;
    int64_t linearBeforeReset;
};

class Recurrent : public ::testing::TestWithParam<RecurrentCase> {};

// One layer over `lens` (a batch, or one sequence); returns Y and Y_h.
std::pair<std::vector<float>, std::vector<float>> runLayer(const RecurrentCase& c, const std::vector<float>& x, int64_t T,
                                                           const std::vector<int64_t>& lens, int64_t I, int64_t H) {
    const int64_t B = static_cast<int64_t>(lens.size()), D = std::string(c.direction) == "bidirectional" ? 2 : 1;
    OnnxBuilder b("rnn");
    b.input("x", {T, B, I});
    b.initializer("w", {D, c.gates * H, I}, pseudoRandom(static_cast<size_t>(D * c.gates * H * I), 1, 0.6f));
    b.initializer("r", {D, c.gates * H, H}, pseudoRandom(static_cast<size_t>(D * c.gates * H * H), 2, 0.6f));
    b.initializer("bias", {D, 2 * c.gates * H}, pseudoRandom(static_cast<size_t>(D * 2 * c.gates * H), 3, 0.3f));
    b.initializerInts("lens", lens);
    auto& n = b.node(c.op, {"x", "w", "r", "bias", "lens"}, {"y", "yh"});
    OnnxBuilder::attr(n, "hidden_size", H);
    OnnxBuilder::attr(n, "direction", std::string(c.direction));
    if (c.linearBeforeReset != 0) OnnxBuilder::attr(n, "linear_before_reset", c.linearBeforeReset);
    b.output("y");
    b.output("yh");
    Graph g(b.proto());
    g.prepare({{"x", {T, B, I}}}, {"y", "yh"});
    fill(g.input("x"), x);
    g.run();
    auto values = [&](const char* name) {
        const Tensor& t = g.value(name);
        return std::vector<float>(t.data<float>(), t.data<float>() + t.size());
    };
    return {values("y"), values("yh")};
}

// Every cell and direction against the definition in double: the
// sequence's output at each step, a batch of two (the split over threads
// is checked by TwoThreadsGiveTheBitsOfOne).
TEST_P(Recurrent, LayersFollowTheDefinition) {
    const RecurrentCase c = GetParam();
    const int64_t T = 9, B = 2, I = 5, H = 24, D = std::string(c.direction) == "bidirectional" ? 2 : 1;
    const auto x = pseudoRandom(static_cast<size_t>(T * B * I), 8, 1.0f);
    const auto y = runLayer(c, x, T, {T, T}, I, H).first;
    const auto want = recurrentLayer(c.op, D, std::string(c.direction) == "reverse", c.linearBeforeReset != 0, x,
                                     pseudoRandom(static_cast<size_t>(D * c.gates * H * I), 1, 0.6f),
                                     pseudoRandom(static_cast<size_t>(D * c.gates * H * H), 2, 0.6f),
                                     pseudoRandom(static_cast<size_t>(D * 2 * c.gates * H), 3, 0.3f), T, B, I, H);
    ASSERT_EQ(y.size(), want.size());
    for (size_t i = 0; i < y.size(); ++i) ASSERT_NEAR(y[i], want[i], 1e-4) << "element " << i;
}

// Each entry of a batch of unequal lengths computes what it computes
// alone, in every direction; steps past its end stay zero.
TEST_P(Recurrent, EachSequenceOfABatchMatchesItsOwnRun) {
    const RecurrentCase c = GetParam();
    const int64_t T = 5, I = 3, H = 4, D = std::string(c.direction) == "bidirectional" ? 2 : 1;
    const std::vector<int64_t> lens = {5, 2, 3};
    const int64_t B = static_cast<int64_t>(lens.size());
    const auto x = pseudoRandom(static_cast<size_t>(T * B * I), 7, 1.0f);
    const auto [y, yh] = runLayer(c, x, T, lens, I, H);
    for (int64_t bi = 0; bi < B; ++bi) {
        const int64_t L = lens[static_cast<size_t>(bi)];
        std::vector<float> alone(static_cast<size_t>(L * I));
        for (int64_t t = 0; t < L; ++t) {
            std::copy_n(x.begin() + (t * B + bi) * I, I, alone.begin() + t * I);
        }
        const auto [y1, yh1] = runLayer(c, alone, L, {L}, I, H);
        for (int64_t d = 0; d < D; ++d) {
            for (int64_t k = 0; k < H; ++k) {
                EXPECT_NEAR(yh[static_cast<size_t>((d * B + bi) * H + k)], yh1[static_cast<size_t>(d * H + k)], 1e-5)
                    << "Y_h, batch " << bi << " direction " << d;
            }
            for (int64_t t = 0; t < T; ++t) {
                for (int64_t k = 0; k < H; ++k) {
                    const float got = y[static_cast<size_t>(((t * D + d) * B + bi) * H + k)];
                    const float want = t < L ? y1[static_cast<size_t>((t * D + d) * H + k)] : 0.0f;
                    EXPECT_NEAR(got, want, 1e-5) << "Y, batch " << bi << " step " << t << " direction " << d;
                }
            }
        }
    }
}

// The two directions of a bidirectional layer run on threads of their
// own when there are two, and a layer of one direction splits each step's
// product over them by gate columns: each column's sums are the same, so
// the bits are the same as on one thread.
TEST_P(Recurrent, TwoThreadsGiveTheBitsOfOne) {
    const RecurrentCase c = GetParam();
    const int64_t T = 24, I = 48, H = 96;  // a step's product large enough to split
    const std::vector<int64_t> lens = {24, 17};
    const auto x = pseudoRandom(static_cast<size_t>(T * 2 * I), 9, 1.0f);
    std::pair<std::vector<float>, std::vector<float>> runs[2];
    for (int threads : {1, 2}) {
        const vexart::ThreadScope scope(threads);
        runs[threads - 1] = runLayer(c, x, T, lens, I, H);
    }
    EXPECT_EQ(runs[0].first, runs[1].first);
    EXPECT_EQ(runs[0].second, runs[1].second);
}

// Weights given as inputs, not constants, are read anew by each
// execution, and a new sequence length is planned anew: each of two
// executions computes what a layer holding its weights as constants does.
TEST_P(Recurrent, WeightsGivenAsInputsAndNewLengthsAreReadEachExecution) {
    const RecurrentCase c = GetParam();
    const int64_t I = 5, H = 8, D = std::string(c.direction) == "bidirectional" ? 2 : 1;
    const Shape ws = {D, c.gates * H, I}, rs = {D, c.gates * H, H};
    using Weights = std::pair<std::vector<float>, std::vector<float>>;  // input and recurrent
    auto layer = [&](const Weights* held, int64_t T) {
        OnnxBuilder b("rnn");
        b.input("x", {T, 1, I});
        if (held != nullptr) {
            b.initializerRaw("w", ws, held->first);
            b.initializerRaw("r", rs, held->second);
        } else {
            b.input("w", ws);
            b.input("r", rs);
        }
        auto& n = b.node(c.op, {"x", "w", "r"}, {"y"});
        OnnxBuilder::attr(n, "hidden_size", H);
        OnnxBuilder::attr(n, "direction", std::string(c.direction));
        b.output("y");
        return b;
    };
    // Planned again only for a new length: new weights need no new plan.
    int64_t plannedT = -1;
    auto outputOf = [&](Graph& g, const Weights* given, int64_t T) {
        const auto x = pseudoRandom(static_cast<size_t>(T * I), 11, 1.0f);
        if (given != nullptr) {
            if (T != plannedT) g.prepare({{"x", {T, 1, I}}, {"w", ws}, {"r", rs}}, {"y"});
            plannedT = T;
            fill(g.input("w"), given->first);
            fill(g.input("r"), given->second);
        } else {
            g.prepare({{"x", {T, 1, I}}}, {"y"});
        }
        fill(g.input("x"), x);
        g.run();
        const Tensor& y = g.value("y");
        return std::vector<float>(y.data<float>(), y.data<float>() + y.size());
    };
    auto weights = [&](uint32_t seed) {
        return Weights{pseudoRandom(static_cast<size_t>(vexart::elementCount(ws)), seed, 0.6f),
                       pseudoRandom(static_cast<size_t>(vexart::elementCount(rs)), seed + 100, 0.6f)};
    };
    const Weights w12 = weights(12), w13 = weights(13);
    auto fresh = [&](const Weights& w, int64_t T) {
        const OnnxBuilder held = layer(&w, T);
        Graph h(held.proto());
        return outputOf(h, nullptr, T);
    };
    // New weights in the same place, then a longer sequence.
    const OnnxBuilder given = layer(nullptr, 4);
    Graph g(given.proto());
    EXPECT_EQ(outputOf(g, &w12, 4), fresh(w12, 4));
    EXPECT_EQ(outputOf(g, &w13, 4), fresh(w13, 4)) << "new weights";
    EXPECT_EQ(outputOf(g, &w13, 6), fresh(w13, 6)) << "a longer sequence";
    // Constant weights, a longer sequence.
    const OnnxBuilder held = layer(&w12, 4);
    Graph k(held.proto());
    EXPECT_EQ(outputOf(k, nullptr, 4), fresh(w12, 4));
    EXPECT_EQ(outputOf(k, nullptr, 6), fresh(w12, 6)) << "a longer sequence, constant weights";
}

INSTANTIATE_TEST_SUITE_P(Executor, Recurrent,
                         ::testing::Values(RecurrentCase{"RNN", "forward", 1, 0}, RecurrentCase{"RNN", "reverse", 1, 0},
                                           RecurrentCase{"GRU", "bidirectional", 3, 0},
                                           RecurrentCase{"GRU", "reverse", 3, 1},
                                           RecurrentCase{"LSTM", "forward", 4, 0},
                                           RecurrentCase{"LSTM", "bidirectional", 4, 0}),
                         [](const auto& info) { return std::string(info.param.op) + "_" + info.param.direction +
                                                       (info.param.linearBeforeReset != 0 ? "_lbr" : ""); });

// The packed recurrent product against sums in double, for row counts
// that fill and leave part of each row block, column counts that fill and
// leave part of a panel, and ranges that start and end inside panels; a
// range split anywhere gives the bits of the whole, and the AVX-512 kernel
// (where the machine has it) the bits of the AVX2 one.
TEST(PanelProduct, PackedPanelsGiveEveryRowAndColumnRange) {
    const std::vector<bool> kernels = vexart::panelsHaveAvx512() ? std::vector<bool>{false, true} : std::vector<bool>{false};
    for (const int64_t depth : {1, 7, 33}) {
        for (const int64_t cols : {5, 16, 37, 70, 150}) {
            const auto w = pseudoRandom(static_cast<size_t>(cols * depth), 21, 1.0f);
            std::vector<float> packed(static_cast<size_t>(vexart::packedSize(cols, depth)), -1.0f);
            vexart::packWeights(w.data(), cols, depth, packed.data());
            for (int64_t rows = 1; rows <= 9; ++rows) {
                const int64_t lda = depth + 3;  // rows apart by more than their length
                const auto a = pseudoRandom(static_cast<size_t>(rows * lda), 22, 1.0f);
                for (const auto& [from, to] : {std::pair<int64_t, int64_t>{0, cols}, {3, cols - 1}, {cols - 1, cols}}) {
                    const int64_t ldc = to - from + 2;
                    std::vector<float> c(static_cast<size_t>(rows * ldc), 7.0f);
                    vexart::rowsTimesPacked(a.data(), rows, lda, depth, packed.data(), from, to, c.data(), ldc);
                    for (int64_t i = 0; i < rows; ++i) {
                        for (int64_t j = from; j < to; ++j) {
                            double want = 0;
                            for (int64_t k = 0; k < depth; ++k) want += double(a[i * lda + k]) * w[j * depth + k];
                            ASSERT_NEAR(c[i * ldc + j - from], want, 1e-5 * depth)
                                << rows << " rows, depth " << depth << ", column " << j << " of " << cols;
                        }
                        EXPECT_EQ(c[i * ldc + to - from], 7.0f) << "written past the range";
                    }
                    // The same columns in two ranges, split inside a panel.
                    const int64_t mid = from + (to - from) / 2;
                    std::vector<float> halves(c.size(), 7.0f);
                    vexart::rowsTimesPacked(a.data(), rows, lda, depth, packed.data(), from, mid, halves.data(), ldc);
                    vexart::rowsTimesPacked(a.data(), rows, lda, depth, packed.data(), mid, to, halves.data() + mid - from, ldc);
                    EXPECT_EQ(halves, c) << rows << " rows, columns " << from << ".." << to << " split at " << mid;
                    for (const bool wide : kernels) {
                        std::vector<float> other(c.size(), 7.0f);
                        vexart::rowsTimesPackedOn(wide, a.data(), rows, lda, depth, packed.data(), from, to, other.data(), ldc);
                        EXPECT_EQ(other, c) << rows << " rows, columns " << from << ".." << to << (wide ? " on AVX-512" : " on AVX2");
                    }
                }
            }
        }
    }
}

// --- Control flow -------------------------------------------------------

// Loop body: state [k, 2] grows by one row of `x` (read from the enclosing
// graph through an If nested in the body) per iteration; the iteration
// number is scanned out.
onnx::GraphProto growingBody() {
    OnnxBuilder body("body");
    body.input("i", {}, onnx::TensorProto::INT64);
    body.input("cond", {}, onnx::TensorProto::BOOL);
    body.input("state", {});
    OnnxBuilder thenB("then"), elseB("else");
    thenB.node("Identity", {"x"}, {"row"});
    thenB.output("row");
    elseB.node("Neg", {"x"}, {"row"});
    elseB.output("row");
    body.node("Identity", {"cond"}, {"cond_out"});
    auto& iff = body.node("If", {"cond"}, {"picked"});
    OnnxBuilder::attr(iff, "then_branch", thenB.proto().graph());
    OnnxBuilder::attr(iff, "else_branch", elseB.proto().graph());
    auto& cat = body.node("Concat", {"state", "picked"}, {"state_out"});
    OnnxBuilder::attr(cat, "axis", int64_t{0});
    body.node("Identity", {"i"}, {"i_out"});
    body.output("cond_out", {}, onnx::TensorProto::BOOL);
    body.output("state_out");
    body.output("i_out", {}, onnx::TensorProto::INT64);
    return body.proto().graph();
}

TEST(ControlFlow, LoopStateGrowsAcrossIterationsAndReadsTheEnclosingGraph) {
    OnnxBuilder b("loop");
    b.input("x", {1, 2});
    b.input("start", {1, 2});
    b.initializerInts("trips", {4});
    b.node("Squeeze", {"trips"}, {"m"});
    OnnxBuilder::attr(b.node("Constant", {}, {"go"}), "value", OnnxBuilder::intTensor("", onnx::TensorProto::BOOL, {}, {1}));
    auto& loop = b.node("Loop", {"m", "go", "start"}, {"final", "iters"});
    OnnxBuilder::attr(loop, "body", growingBody());
    b.output("final");
    b.output("iters", {}, onnx::TensorProto::INT64);
    Graph g(b.proto());
    g.prepare({}, {"final", "iters"});
    fill(g.input("x"), {3, 4});
    fill(g.input("start"), {1, 2});
    for (int pass = 0; pass < 2; ++pass) {  // a second execution starts from the first state again
        g.run();
        const Tensor& final = g.value("final");
        ASSERT_EQ(final.shape(), (Shape{5, 2}));
        EXPECT_EQ(std::vector<float>(final.data<float>(), final.data<float>() + 10),
                  (std::vector<float>{1, 2, 3, 4, 3, 4, 3, 4, 3, 4}));
        const Tensor& iters = g.value("iters");
        ASSERT_EQ(iters.shape(), (Shape{4}));
        EXPECT_EQ(std::vector<int64_t>(iters.data<int64_t>(), iters.data<int64_t>() + 4), (std::vector<int64_t>{0, 1, 2, 3}));
    }
}

// A Loop's carried value moves between iterations where the body computes
// it; what the body does not own (a constant of its own, its input passed
// straight through, a value it also scans out) must come out unchanged.
// Each body runs as planned once and, with an If in it, planned on every
// iteration while it computes.
TEST(ControlFlow, CarriedValuesSurviveBeingMovedBetweenIterations) {
    struct Case {
        const char* name;
        const char* carriedOut;  // the body's output for the carried value
        const char* scanned;     // its scan output
        std::vector<float> final, scan;  // after 3 trips from v = {1, 2}
    };
    const Case cases[] = {
        // v + 1 each trip, also scanned out under the same name.
        {"computed and scanned", "plus", "plus", {4, 5}, {2, 3, 3, 4, 4, 5}},
        // The body's own constant {7, 8}: it must still be there on the next trip.
        {"body constant", "c", "plus", {7, 8}, {2, 3, 8, 9, 8, 9}},
        // The body's input, straight through.
        {"input passed through", "v", "plus", {1, 2}, {2, 3, 2, 3, 2, 3}},
    };
    for (const Case& c : cases) {
        for (const bool withIf : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (withIf ? ", planned each trip" : ""));
            OnnxBuilder body("body");
            body.input("i", {}, onnx::TensorProto::INT64);
            body.input("cond", {}, onnx::TensorProto::BOOL);
            body.input("v", {1, 2});
            body.initializer("one", {1}, {1});
            body.initializer("c", {1, 2}, {7, 8});
            body.node("Identity", {"cond"}, {"cond_out"});
            std::string read = "v";
            if (withIf) {
                OnnxBuilder thenB("then"), elseB("else");
                thenB.node("Identity", {"v"}, {"picked"});
                thenB.output("picked");
                elseB.node("Neg", {"v"}, {"negated"});
                elseB.output("negated");
                auto& iff = body.node("If", {"cond"}, {"read"});
                OnnxBuilder::attr(iff, "then_branch", thenB.proto().graph());
                OnnxBuilder::attr(iff, "else_branch", elseB.proto().graph());
                read = "read";
            }
            body.node("Add", {read, "one"}, {"plus"});
            body.output("cond_out", {}, onnx::TensorProto::BOOL);
            body.output(c.carriedOut, {1, 2});
            body.output(c.scanned, {1, 2});
            OnnxBuilder b("loop", 16);
            b.input("start", {1, 2});
            b.initializerInts("trips", {3});
            b.node("Squeeze", {"trips"}, {"m"});
            auto& loop = b.node("Loop", {"m", "", "start"}, {"final", "scan"});
            OnnxBuilder::attr(loop, "body", body.proto().graph());
            b.output("final");
            b.output("scan");
            Graph g(b.proto());
            g.prepare({}, {"final", "scan"});
            fill(g.input("start"), {1, 2});
            for (int pass = 0; pass < 2; ++pass) {
                g.run();
                const Tensor& final = g.value("final");
                const Tensor& scan = g.value("scan");
                EXPECT_EQ(std::vector<float>(final.data<float>(), final.data<float>() + final.size()), c.final);
                EXPECT_EQ(scan.shape(), (Shape{3, 1, 2}));
                EXPECT_EQ(std::vector<float>(scan.data<float>(), scan.data<float>() + scan.size()), c.scan);
            }
        }
    }
}

// A carried value that the body only appends to joins as Concat would join
// it on every iteration, whether the loop appends in place or (with rows
// before the axis, or other readers of the value) runs the Concat itself.
// Three trips; trip t appends base + t (and, with `negated`, its negation).
TEST(ControlFlow, AppendedCarriedValuesJoinAsConcatWould) {
    struct Case {
        const char* name;
        Shape start;
        std::vector<float> startValues;
        Shape base;
        std::vector<float> baseValues;
        int64_t axis;
        bool negated, shapeScanned;
        size_t rewritten;  // carried values the body yields only the part of
        Shape want;
        std::vector<float> wantValues;
    };
    const Case cases[] = {
        {"rows onto nothing", {0, 2}, {}, {1, 2}, {10, 20}, 0, false, false, 1, {3, 2}, {10, 20, 11, 21, 12, 22}},
        {"rows onto rows, axis from the end", {1, 2}, {1, 2}, {1, 2}, {10, 20}, -2, false, false, 1, {4, 2},
         {1, 2, 10, 20, 11, 21, 12, 22}},
        {"columns of one row", {1, 1}, {5}, {1, 2}, {10, 20}, -1, false, false, 1, {1, 7}, {5, 10, 20, 11, 21, 12, 22}},
        {"columns of two rows", {2, 1}, {1, 2}, {2, 1}, {10, 20}, 1, false, false, 1, {2, 4}, {1, 10, 11, 12, 2, 20, 21, 22}},
        {"two parts a trip", {0, 2}, {}, {1, 2}, {10, 20}, 0, true, false, 1, {6, 2},
         {10, 20, -10, -20, 11, 21, -11, -21, 12, 22, -12, -22}},
        {"value also read", {0, 2}, {}, {1, 2}, {10, 20}, 0, false, true, 0, {3, 2}, {10, 20, 11, 21, 12, 22}},
        {"parts that do not join", {0, 3}, {}, {1, 2}, {10, 20}, 0, false, false, 1, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OnnxBuilder body("body");
        body.input("i", {}, onnx::TensorProto::INT64);
        body.input("cond", {}, onnx::TensorProto::BOOL);
        body.input("state", {});
        body.initializer("base", c.base, c.baseValues);
        OnnxBuilder::attr(body.node("Cast", {"i"}, {"t"}), "to", int64_t{onnx::TensorProto::FLOAT});
        body.node("Add", {"base", "t"}, {"part"});
        std::vector<std::string> joined{"state", "part"};
        if (c.negated) {
            body.node("Neg", {"part"}, {"negative"});
            joined.push_back("negative");
        }
        OnnxBuilder::attr(body.node("Concat", joined, {"state_out"}), "axis", c.axis);
        body.node("Identity", {"cond"}, {"cond_out"});
        body.output("cond_out", {}, onnx::TensorProto::BOOL);
        body.output("state_out");
        if (c.shapeScanned) {
            body.node("Shape", {"state"}, {"seen"});
            body.output("seen", {2}, onnx::TensorProto::INT64);
        }
        onnx::GraphProto rewritten = body.proto().graph();
        EXPECT_EQ(vexart::yieldAppendedParts(rewritten).size(), c.rewritten);

        OnnxBuilder b("loop", 16);
        b.input("start", c.start);
        b.initializerInts("trips", {3});
        b.node("Squeeze", {"trips"}, {"m"});
        std::vector<std::string> outs{"final"};
        if (c.shapeScanned) outs.push_back("seen");
        OnnxBuilder::attr(b.node("Loop", {"m", "", "start"}, outs), "body", body.proto().graph());
        for (const auto& o : outs) b.output(o);
        Graph g(b.proto());
        if (c.want.empty()) {
            EXPECT_THROW(g.prepare({}, outs), vexart::ExecError);
            continue;
        }
        g.prepare({}, outs);
        for (int pass = 0; pass < 2; ++pass) {  // each execution starts from the given value again
            fill(g.input("start"), c.startValues);
            g.prepare({}, outs, true);
            EXPECT_EQ(g.value("final").shape(), c.want);
            const Tensor& final = g.value("final");
            EXPECT_EQ(std::vector<float>(final.data<float>(), final.data<float>() + final.size()), c.wantValues);
        }
        if (c.shapeScanned) {
            const Tensor& seen = g.value("seen");
            EXPECT_EQ(std::vector<int64_t>(seen.data<int64_t>(), seen.data<int64_t>() + seen.size()),
                      (std::vector<int64_t>{0, 2, 1, 2, 2, 2}));
        }
    }
}

// Scan: a running sum over the rows of x, scanned out forwards and, with
// scan_output_directions 1, backwards (the last step's value first).
TEST(ControlFlow, ScanOutputsInEitherDirection) {
    for (const int64_t direction : {0, 1}) {
        SCOPED_TRACE(direction);
        onnx::GraphProto body;
        body.set_name("step");
        auto typed = [](const std::string& name) {
            onnx::ValueInfoProto v;
            v.set_name(name);
            v.mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::FLOAT);
            return v;
        };
        *body.add_input() = typed("sum_in");
        *body.add_input() = typed("row");
        auto* add = body.add_node();
        add->set_op_type("Add");
        add->add_input("sum_in");
        add->add_input("row");
        add->add_output("sum_out");
        auto* copy = body.add_node();
        copy->set_op_type("Identity");
        copy->add_input("sum_out");
        copy->add_output("scanned");
        *body.add_output() = typed("sum_out");
        *body.add_output() = typed("scanned");
        OnnxBuilder b("scan", 16);
        b.input("init", {2});
        b.input("x", {3, 2});
        auto& scan = b.node("Scan", {"init", "x"}, {"total", "sums"});
        OnnxBuilder::attr(scan, "body", body);
        OnnxBuilder::attr(scan, "num_scan_inputs", int64_t{1});
        OnnxBuilder::attr(scan, "scan_output_directions", std::vector<int64_t>{direction});
        b.output("total");
        b.output("sums");
        Graph g(b.proto());
        g.prepare({}, {"total", "sums"});
        fill(g.input("init"), {0, 0});
        fill(g.input("x"), {1, 2, 3, 4, 5, 6});
        g.run();
        const Tensor& sums = g.value("sums");
        const std::vector<float> got(sums.data<float>(), sums.data<float>() + sums.size());
        EXPECT_EQ(got, direction == 0 ? (std::vector<float>{1, 2, 4, 6, 9, 12}) : (std::vector<float>{9, 12, 4, 6, 1, 2}));
        EXPECT_EQ(std::vector<float>(g.value("total").data<float>(), g.value("total").data<float>() + 2),
                  (std::vector<float>{9, 12}));
    }
}

// --- Quantized operators ------------------------------------------------

TEST(Quantized, QuantizeRoundsHalvesToEvenAndSaturates) {
    OnnxBuilder b("q");
    b.input("x", {8});
    b.initializer("s", {}, {0.5f});
    b.node("QuantizeLinear", {"x", "s"}, {"y"});
    b.output("y", {8}, onnx::TensorProto::UINT8);
    Graph g(b.proto());
    g.prepare({}, {"y"});
    // x / 0.5: 0.5, 1.5, 2.5, -0.5, 254.5, 255.5, 1000, -3
    fill(g.input("x"), {0.25f, 0.75f, 1.25f, -0.25f, 127.25f, 127.75f, 500.0f, -1.5f});
    g.run();
    const Tensor& y = g.value("y");
    EXPECT_EQ(std::vector<uint8_t>(y.data<uint8_t>(), y.data<uint8_t>() + 8),
              (std::vector<uint8_t>{0, 2, 2, 0, 254, 255, 255, 0}));
}

// Both code types with a zero point, over a tensor long enough to be split
// between threads (with a ragged last block): each element rounds x / s
// half to even, adds the zero point and saturates; NaN and -inf give the
// lowest code, +inf the highest. Dequantizing gives (q - z) * s.
TEST(Quantized, QuantizeAndDequantizeEveryElementOfALongTensor) {
    const float special[] = {std::nanf(""), -INFINITY, INFINITY, -1e9f, 1e9f, 0.05f, 0.15f, -0.05f, -0.15f};
    const int64_t n = 3 * 4096 + 17;
    std::vector<float> x(static_cast<size_t>(n));
    const auto r = pseudoRandom(x.size(), 91, 8.0f);
    for (size_t i = 0; i < x.size(); ++i) x[i] = i % 7 == 0 ? special[(i / 7) % 9] : r[i];
    const float step = 0.1f;
    for (const auto& [type, zero, lowest, highest] :
         {std::tuple<int32_t, int32_t, int32_t, int32_t>{onnx::TensorProto::UINT8, 20, 0, 255},
          {onnx::TensorProto::INT8, -5, -128, 127}}) {
        OnnxBuilder b("qd");
        b.input("x", {n});
        b.initializer("s", {}, {step});
        b.initializer(OnnxBuilder::intTensor("z", type, {}, {zero}));
        b.node("QuantizeLinear", {"x", "s", "z"}, {"q"});
        b.node("DequantizeLinear", {"q", "s", "z"}, {"y"});
        b.output("q", {n}, type);
        b.output("y");
        Graph g(b.proto());
        const vexart::ThreadScope threads(2);
        g.prepare({}, {"q", "y"});
        fill(g.input("x"), x);
        g.run();
        const Tensor& q = g.value("q");
        const Tensor& y = g.value("y");
        for (int64_t i = 0; i < n; ++i) {
            const float v = x[static_cast<size_t>(i)];
            int32_t want = lowest;
            if (v == INFINITY) {
                want = highest;
            } else if (!std::isnan(v) && v != -INFINITY) {
                const double code = std::nearbyint(static_cast<double>(v / step)) + zero;
                want = static_cast<int32_t>(std::clamp<double>(code, lowest, highest));
            }
            const int32_t got = type == onnx::TensorProto::UINT8 ? q.data<uint8_t>()[i] : q.data<int8_t>()[i];
            ASSERT_EQ(got, want) << "element " << i << " = " << v;
            ASSERT_EQ(y.data<float>()[i], static_cast<float>(want - zero) * step) << "element " << i;
        }
    }
}

// QLinearConv sums in int32 and requantizes once: it lands within one step
// of dequantize -> float Conv -> quantize, per output channel scales included.
TEST(Quantized, QLinearConvMatchesTheDequantizedConvolution) {
    const int64_t C = 3, M = 4, H = 6, K = 3;
    auto quantized = [](size_t n, uint32_t seed, int scale, int offset) {
        std::vector<int32_t> q;
        for (float f : pseudoRandom(n, seed, 1.0f)) q.push_back(static_cast<int32_t>(f * static_cast<float>(scale)) + offset);
        return q;
    };
    auto build = [&](bool integer) {
        OnnxBuilder b("qconv");
        b.input("x", {1, C, H, H}, onnx::TensorProto::UINT8);
        b.initializer(OnnxBuilder::intTensor("w", onnx::TensorProto::INT8, {M, C, K, K}, quantized(M * C * K * K, 5, 120, 0)));
        b.initializer(OnnxBuilder::intTensor("xz", onnx::TensorProto::UINT8, {}, {120}));
        b.initializer(OnnxBuilder::intTensor("wz", onnx::TensorProto::INT8, {M}, {0, 0, 0, 0}));
        b.initializer(OnnxBuilder::intTensor("yz", onnx::TensorProto::UINT8, {}, {128}));
        b.initializer("xs", {}, {0.02f});
        b.initializer("ws", {M}, {0.01f, 0.02f, 0.005f, 0.015f});
        b.initializer("ys", {}, {0.05f});
        if (integer) {
            auto& n = b.node("QLinearConv", {"x", "xs", "xz", "w", "ws", "wz", "ys", "yz"}, {"y"});
            OnnxBuilder::attr(n, "pads", std::vector<int64_t>{1, 1, 1, 1});
        } else {
            b.node("DequantizeLinear", {"x", "xs", "xz"}, {"xf"});
            auto& dq = b.node("DequantizeLinear", {"w", "ws", "wz"}, {"wf"});
            OnnxBuilder::attr(dq, "axis", int64_t{0});
            auto& n = b.node("Conv", {"xf", "wf"}, {"yf"});
            OnnxBuilder::attr(n, "pads", std::vector<int64_t>{1, 1, 1, 1});
            b.node("QuantizeLinear", {"yf", "ys", "yz"}, {"y"});
        }
        b.output("y", {}, onnx::TensorProto::UINT8);
        return b;
    };
    std::vector<std::vector<uint8_t>> results;
    for (bool integer : {true, false}) {
        Graph g(build(integer).proto());
        g.prepare({}, {"y"});
        Tensor& x = g.input("x");
        const auto v = pseudoRandom(static_cast<size_t>(x.size()), 9, 1.0f);
        for (int64_t i = 0; i < x.size(); ++i) x.data<uint8_t>()[i] = static_cast<uint8_t>((v[static_cast<size_t>(i)] + 1) * 127);
        g.run();
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), (Shape{1, M, H, H}));
        results.emplace_back(y.data<uint8_t>(), y.data<uint8_t>() + y.size());
    }
    int spread = 0;
    for (size_t i = 0; i < results[0].size(); ++i) spread = std::max(spread, std::abs(results[0][i] - results[1][i]));
    EXPECT_LE(spread, 1);
}

}  // namespace

namespace {

// --- Pooling by norm and by region --------------------------------------

// A 1x1 convolution that copies `in`'s C channels: its result comes in the
// layout oneDNN prefers for C (blocks, channels last), so what reads it
// runs on that layout. Returns the result's name.
std::string identityConv(OnnxBuilder& b, const std::string& in, int64_t C) {
    std::vector<float> eye(static_cast<size_t>(C * C), 0.0f);
    for (int64_t c = 0; c < C; ++c) eye[static_cast<size_t>(c * C + c)] = 1.0f;
    b.initializerRaw(in + ".eye", {C, C, 1, 1}, eye);
    b.node("Conv", {in, in + ".eye"}, {in + ".same"});
    return in + ".same";
}

// MaxPool and AveragePool against the definition, computed here in double,
// on a plain input and on one that a 1x1 identity convolution leaves in the
// layout oneDNN prefers for its channel count (blocks of 16, channels last):
// the pooling kernel runs on each layout, and on its reference where oneDNN
// has none. Strided, padded, ceil mode, padding counted or not.
TEST(Pooling, EveryLayoutGivesTheDefinition) {
    struct Row {
        const char* op;
        int64_t c, h, w, k, stride, pad;
        int64_t ceil, countPad;
    };
    const Row rows[] = {
        {"MaxPool", 16, 9, 11, 3, 2, 1, 0, 0},      {"MaxPool", 24, 8, 8, 2, 2, 0, 1, 0},
        {"MaxPool", 3, 7, 10, 3, 1, 1, 0, 0},       {"AveragePool", 16, 9, 11, 3, 2, 1, 0, 0},
        {"AveragePool", 16, 9, 11, 3, 2, 1, 0, 1},  {"AveragePool", 32, 7, 7, 2, 2, 0, 1, 0},
        {"AveragePool", 5, 6, 9, 3, 2, 1, 1, 1},
    };
    for (const Row& r : rows) {
        for (const bool throughConv : {false, true}) {
            const Shape xs = {1, r.c, r.h, r.w};
            const auto x = pseudoRandom(static_cast<size_t>(r.c * r.h * r.w), 101, 2.0f);
            OnnxBuilder b("pool", 13);
            b.input("x", xs);
            std::string in = "x";
            if (throughConv) in = identityConv(b, "x", r.c);
            auto& n = b.node(r.op, {in}, {"y"});
            OnnxBuilder::attr(n, "kernel_shape", std::vector<int64_t>{r.k, r.k});
            OnnxBuilder::attr(n, "strides", std::vector<int64_t>{r.stride, r.stride});
            OnnxBuilder::attr(n, "pads", std::vector<int64_t>{r.pad, r.pad, r.pad, r.pad});
            OnnxBuilder::attr(n, "ceil_mode", r.ceil);
            if (std::string(r.op) == "AveragePool") OnnxBuilder::attr(n, "count_include_pad", r.countPad);
            b.output("y");
            Graph g(b.proto());
            g.prepare({{"x", xs}}, {"y"});
            fill(g.input("x"), x);
            g.run();
            auto outSize = [&](int64_t len) {
                const int64_t span = len + 2 * r.pad - r.k;
                int64_t o = (r.ceil ? (span + r.stride - 1) / r.stride : span / r.stride) + 1;
                // A last window that starts in the end padding is dropped.
                if (r.ceil && (o - 1) * r.stride >= len + r.pad) --o;
                return o;
            };
            const int64_t oh = outSize(r.h), ow = outSize(r.w);
            const Tensor& y = g.value("y");
            ASSERT_EQ(y.shape(), (Shape{1, r.c, oh, ow})) << r.op;
            for (int64_t c = 0; c < r.c; ++c) {
                for (int64_t i = 0; i < oh; ++i) {
                    for (int64_t j = 0; j < ow; ++j) {
                        double best = -INFINITY, sum = 0;
                        int64_t inside = 0, counted = 0;
                        for (int64_t a = 0; a < r.k; ++a) {
                            for (int64_t bb = 0; bb < r.k; ++bb) {
                                const int64_t hi = i * r.stride - r.pad + a, wi = j * r.stride - r.pad + bb;
                                // Padding counts where it lies within the padded input, not past it.
                                if (hi < r.h + r.pad && wi < r.w + r.pad) ++counted;
                                if (hi < 0 || wi < 0 || hi >= r.h || wi >= r.w) continue;
                                const double v = x[static_cast<size_t>((c * r.h + hi) * r.w + wi)];
                                best = std::max(best, v);
                                sum += v;
                                ++inside;
                            }
                        }
                        const double want = std::string(r.op) == "MaxPool" ? best : sum / double(r.countPad ? counted : inside);
                        ASSERT_NEAR(y.data<float>()[(c * oh + i) * ow + j], want, 1e-5)
                            << r.op << " C=" << r.c << (throughConv ? " after a convolution" : " plain") << " at " << c << ","
                            << i << "," << j;
                    }
                }
            }
        }
    }
}

// Pooling over one and three spatial axes (sequences, video) against the
// definition, computed here in double: windows with strides, padding,
// dilation and ceil mode, padding counted or not, and global pools.
TEST(Pooling, SequencesAndVolumesGiveTheDefinition) {
    struct Row {
        const char* op;
        Shape xs;
        int64_t k, stride, pad, dilation, ceil, countPad;
    };
    const Row rows[] = {
        {"MaxPool", {2, 3, 17}, 3, 2, 1, 1, 0, 0},          {"AveragePool", {1, 4, 16}, 4, 3, 1, 1, 1, 0},
        {"MaxPool", {1, 5, 19}, 3, 1, 2, 2, 0, 0},          {"MaxPool", {1, 6, 5, 9, 8}, 2, 2, 0, 1, 1, 0},
        {"AveragePool", {1, 3, 4, 7, 6}, 3, 2, 1, 1, 0, 1}, {"AveragePool", {2, 2, 5, 6, 7}, 3, 2, 1, 1, 0, 0},
        {"MaxPool", {1, 2, 6, 7, 9}, 2, 1, 1, 2, 0, 0},     {"GlobalAveragePool", {2, 3, 3, 5, 4}, 0, 1, 0, 1, 0, 0},
        {"GlobalMaxPool", {1, 4, 11}, 0, 1, 0, 1, 0, 0},
        // Rows wider than a vector, at strides 1, 2 and 3 along them.
        {"AveragePool", {1, 3, 2, 5, 37}, 3, 1, 1, 1, 0, 0}, {"MaxPool", {2, 2, 3, 5, 35}, 3, 2, 1, 1, 1, 0},
        {"MaxPool", {1, 2, 3, 4, 41}, 3, 3, 1, 2, 1, 0},     {"AveragePool", {1, 2, 4, 3, 40}, 2, 2, 0, 1, 0, 1},
    };
    for (const Row& r : rows) {
        const size_t spatial = r.xs.size() - 2;
        const bool global = std::string(r.op).rfind("Global", 0) == 0;
        const bool isMax = std::string(r.op).find("Max") != std::string::npos;
        OnnxBuilder b("pool", 13);
        b.input("x", r.xs);
        auto& n = b.node(r.op, {"x"}, {"y"});
        if (!global) {
            OnnxBuilder::attr(n, "kernel_shape", std::vector<int64_t>(spatial, r.k));
            OnnxBuilder::attr(n, "strides", std::vector<int64_t>(spatial, r.stride));
            OnnxBuilder::attr(n, "pads", std::vector<int64_t>(2 * spatial, r.pad));
            OnnxBuilder::attr(n, "ceil_mode", r.ceil);
            if (isMax) OnnxBuilder::attr(n, "dilations", std::vector<int64_t>(spatial, r.dilation));
            if (!isMax) OnnxBuilder::attr(n, "count_include_pad", r.countPad);
        }
        b.output("y");
        Graph g(b.proto());
        g.enableTiming(true);
        g.prepare({{"x", r.xs}}, {"y"});
        const auto x = pseudoRandom(static_cast<size_t>(vexart::elementCount(r.xs)), 31, 2.0f);
        fill(g.input("x"), x);
        g.run();
        // Windows over plain rows pool where the rows lie, without converting the layout.
        if (!global) {
            EXPECT_EQ(g.timings().at(0).kernel, "vexa:plain");
        }
        // Per spatial axis: input length, window, output length.
        std::vector<int64_t> in, k, out;
        for (size_t d = 0; d < spatial; ++d) {
            const int64_t len = r.xs[d + 2];
            const int64_t kk = global ? len : r.k, extent = global ? len : (r.k - 1) * r.dilation + 1;
            const int64_t span = (global ? len : len + 2 * r.pad) - extent, step = global ? 1 : r.stride;
            int64_t o = (r.ceil ? (span + step - 1) / step : span / step) + 1;
            if (r.ceil && (o - 1) * step >= len + r.pad) --o;  // a window starting in the end padding
            in.push_back(len);
            k.push_back(kk);
            out.push_back(o);
        }
        Shape ys = {r.xs[0], r.xs[1]};
        ys.insert(ys.end(), out.begin(), out.end());
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), ys) << r.op << " rank " << r.xs.size();
        const int64_t planeIn = vexart::elementCount(Shape(in.begin(), in.end()));
        const int64_t planeOut = vexart::elementCount(Shape(out.begin(), out.end()));
        const int64_t windowSize = vexart::elementCount(Shape(k.begin(), k.end()));
        const int64_t pad = global ? 0 : r.pad, stride = global ? 1 : r.stride, dil = global ? 1 : r.dilation;
        for (int64_t p = 0; p < r.xs[0] * r.xs[1]; ++p) {
            for (int64_t o = 0; o < planeOut; ++o) {
                double best = -INFINITY, sum = 0;
                int64_t inside = 0, counted = 0;
                for (int64_t t = 0; t < windowSize; ++t) {
                    int64_t at = 0, oRest = o, tRest = t;
                    bool valid = true, withinPadded = true;
                    for (size_t d = spatial; d-- > 0;) {
                        const int64_t od = oRest % out[d], kd = tRest % k[d];
                        oRest /= out[d];
                        tRest /= k[d];
                        const int64_t i = od * stride - pad + kd * dil;
                        withinPadded = withinPadded && i < in[d] + pad;
                        valid = valid && i >= 0 && i < in[d];
                        int64_t stridePart = 1;
                        for (size_t e = d + 1; e < spatial; ++e) stridePart *= in[e];
                        at += i * stridePart;
                    }
                    if (withinPadded) ++counted;
                    if (!valid) continue;
                    const double v = x[static_cast<size_t>(p * planeIn + at)];
                    best = std::max(best, v);
                    sum += v;
                    ++inside;
                }
                const double want = isMax ? best : sum / double(r.countPad ? counted : inside);
                ASSERT_NEAR(y.data<float>()[p * planeOut + o], want, 1e-5) << r.op << " rank " << r.xs.size() << " at " << p << "," << o;
            }
        }
    }
}

// A global average of codes in each layout a convolution writes, summed
// per channel and dequantized once: against the mean of the dequantized
// values, placed and worked out here.
TEST(Pooling, GlobalAverageOfCodesInEveryLayout) {
    using vexart::Layout;
    const int64_t N = 2, C = 16, H = 5, W = 7;
    for (const Layout layout : {Layout::plain(), Layout::channelsLast(), Layout::blocked(8), Layout::blocked(16)}) {
        for (const auto& [type, zero] : {std::pair{DType::UInt8, 3}, {DType::Int8, -2}}) {
            SCOPED_TRACE(layout.name() + (type == DType::Int8 ? ", int8" : ", uint8"));
            Tensor x;
            x.reset(type, vexart::physicalShape({N, C, H, W}, layout));
            x.setLayout(layout);
            auto code = [&, type = type](int64_t n, int64_t c, int64_t h, int64_t w) {
                return (n * 31 + c * 7 + h * 5 + w * 3) % 200 - (type == DType::Int8 ? 100 : 0);
            };
            std::vector<double> mean(static_cast<size_t>(N * C), 0);
            for (int64_t n = 0; n < N; ++n) {
                for (int64_t c = 0; c < C; ++c) {
                    for (int64_t h = 0; h < H; ++h) {
                        for (int64_t w = 0; w < W; ++w) {
                            int64_t at = ((n * C + c) * H + h) * W + w;
                            if (layout.isChannelsLast()) at = ((n * H + h) * W + w) * C + c;
                            const int64_t b = layout.block();
                            if (b > 0) at = (((n * (C / b) + c / b) * H + h) * W + w) * b + c % b;
                            const int64_t v = code(n, c, h, w);
                            if (type == DType::Int8) x.data<int8_t>()[at] = static_cast<int8_t>(v);
                            if (type == DType::UInt8) x.data<uint8_t>()[at] = static_cast<uint8_t>(v);
                            mean[static_cast<size_t>(n * C + c)] += 0.25 * static_cast<double>(v - zero) / (H * W);
                        }
                    }
                }
            }
            vexart::QuantGrid grid;
            grid.type = type;
            grid.scales = {0.25f};
            grid.zeroPoints = {zero};
            std::vector<float> y(static_cast<size_t>(N * C));
            vexart::averageCodes(x, grid, y.data());
            for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], mean[i], 1e-5 * std::fabs(mean[i]) + 1e-6) << "channel " << i;
        }
    }
}

// A plane of large pictures sums more codes than 32 bits hold: 2944^2
// codes of 255 (and of -128) average to themselves.
TEST(Pooling, GlobalAverageOfCodesOverLargePlanes) {
    const int64_t side = 2944;
    for (const auto& [type, code] : {std::pair{DType::UInt8, 255}, {DType::Int8, -128}}) {
        Tensor x;
        x.reset(type, {1, 1, side, side});
        std::memset(x.raw(), code & 0xff, static_cast<size_t>(side * side));
        vexart::QuantGrid grid;
        grid.type = type;
        grid.scales = {1.0f};
        grid.zeroPoints = {0};
        float y = 0;
        vexart::averageCodes(x, grid, &y);
        EXPECT_EQ(y, static_cast<float>(code));
    }
}

// MaxPool and GlobalMaxPool of 8-bit codes keep their type and give the
// largest code of each window, over images and sequences.
TEST(Pooling, MaxOfCodesIsTheLargestCode) {
    for (const int32_t type : {onnx::TensorProto::UINT8, onnx::TensorProto::INT8}) {
        for (const Shape& xs : {Shape{1, 5, 6, 7}, Shape{2, 3, 9}}) {
            for (const bool global : {false, true}) {
                const size_t spatial = xs.size() - 2;
                OnnxBuilder b("pool", 13);
                b.input("x", xs, type);
                auto& n = b.node(global ? "GlobalMaxPool" : "MaxPool", {"x"}, {"y"});
                if (!global) {
                    OnnxBuilder::attr(n, "kernel_shape", std::vector<int64_t>(spatial, 3));
                    OnnxBuilder::attr(n, "strides", std::vector<int64_t>(spatial, 2));
                    OnnxBuilder::attr(n, "pads", std::vector<int64_t>(2 * spatial, 1));
                }
                b.output("y", {}, type);
                Graph g(b.proto());
                g.prepare({{"x", xs}}, {"y"});
                Tensor& x = g.input("x");
                const auto r = pseudoRandom(static_cast<size_t>(x.size()), 7, 127.0f);
                std::vector<int> codes;
                for (int64_t i = 0; i < x.size(); ++i) {
                    const int c = static_cast<int>(r[static_cast<size_t>(i)]) + (type == onnx::TensorProto::UINT8 ? 128 : 0);
                    codes.push_back(c);
                    if (type == onnx::TensorProto::UINT8) {
                        x.data<uint8_t>()[i] = static_cast<uint8_t>(c);
                    } else {
                        x.data<int8_t>()[i] = static_cast<int8_t>(c);
                    }
                }
                g.run();
                const Tensor& y = g.value("y");
                ASSERT_EQ(static_cast<int32_t>(y.type()), type);
                // Windows of 3, stride 2, one padding each side: output i
                // covers 2i-1 .. 2i+1; a global window covers the plane.
                const int64_t planes = xs[0] * xs[1], h = spatial == 2 ? xs[2] : 1, w = xs.back();
                const int64_t oh = global || spatial == 1 ? 1 : (h - 1) / 2 + 1, ow = global ? 1 : (w - 1) / 2 + 1;
                ASSERT_EQ(y.size(), planes * oh * ow);
                for (int64_t p = 0; p < planes; ++p) {
                    for (int64_t i = 0; i < oh; ++i) {
                        for (int64_t j = 0; j < ow; ++j) {
                            int best = -1000;
                            for (int64_t a = 0; a < h; ++a) {
                                for (int64_t c = 0; c < w; ++c) {
                                    const bool inside = global || ((spatial == 1 || std::abs(a - 2 * i) <= 1) && std::abs(c - 2 * j) <= 1);
                                    if (inside) best = std::max(best, codes[static_cast<size_t>((p * h + a) * w + c)]);
                                }
                            }
                            const int64_t at = (p * oh + i) * ow + j;
                            const int got = type == onnx::TensorProto::UINT8 ? y.data<uint8_t>()[at] : y.data<int8_t>()[at];
                            ASSERT_EQ(got, best) << (global ? "global" : "windows") << ", rank " << xs.size() << " at " << at;
                        }
                    }
                }
            }
        }
    }
}

// Softmax and LogSoftmax over every axis of a rank-4 tensor, on a plain
// input and on one that a 1x1 identity convolution leaves in the layout
// oneDNN prefers, against the definition in double (opset 13: one axis).
TEST(Softmax, EveryAxisAndLayoutGivesTheDefinition) {
    const Shape xs = {2, 16, 5, 7};
    const auto x = pseudoRandom(static_cast<size_t>(2 * 16 * 5 * 7), 121, 4.0f);
    for (const char* op : {"Softmax", "LogSoftmax"}) {
        for (int64_t axis = -4; axis < 4; ++axis) {
            for (const bool throughConv : {false, true}) {
                OnnxBuilder b("sm", 13);
                b.input("x", xs);
                std::string in = "x";
                if (throughConv) in = identityConv(b, "x", 16);
                OnnxBuilder::attr(b.node(op, {in}, {"y"}), "axis", axis);
                b.output("y");
                Graph g(b.proto());
                g.prepare({{"x", xs}}, {"y"});
                fill(g.input("x"), x);
                g.run();
                const Tensor& y = g.value("y");
                ASSERT_EQ(y.shape(), xs);
                const auto a = static_cast<size_t>(axis < 0 ? axis + 4 : axis);
                int64_t stride = 1;
                for (size_t d = a + 1; d < 4; ++d) stride *= xs[d];
                const int64_t len = xs[a];
                for (int64_t i = 0; i < y.size(); ++i) {
                    // The first element of i's row along the axis, then the row.
                    const int64_t first = i - (i / stride % len) * stride;
                    double top = -INFINITY, sum = 0;
                    for (int64_t j = 0; j < len; ++j) top = std::max(top, double(x[static_cast<size_t>(first + j * stride)]));
                    for (int64_t j = 0; j < len; ++j) sum += std::exp(double(x[static_cast<size_t>(first + j * stride)]) - top);
                    const double v = double(x[static_cast<size_t>(i)]) - top;
                    const double want = std::string(op) == "Softmax" ? std::exp(v) / sum : v - std::log(sum);
                    ASSERT_NEAR(y.data<float>()[i], want, 1e-5) << op << " axis " << axis
                                                                << (throughConv ? " after a convolution" : " plain") << ", element " << i;
                }
            }
        }
    }
}

// The rows kernel's AVX2 and AVX-512 variants against the definition in
// double: row lengths around each vector width and a long attention row;
// values within a few units and spread over hundreds (exp underflows);
// masked entries (-inf) exactly 0, or -inf for the logarithm; a NaN makes
// its row NaN; in place as well as into another buffer.
TEST(Softmax, RowKernelsGiveTheDefinitionOnEveryWidth) {
    using Variant = void (*)(const float*, float*, int64_t, bool);
    std::vector<std::pair<const char*, Variant>> variants = {{"AVX2", vexart::softmaxRowsAvx2}};
    if (vexart::softmaxRowsHaveAvx512()) variants.emplace_back("AVX-512", vexart::softmaxRowsAvx512);
    struct Row {
        int64_t n;
        float spread;
        int maskEvery;  // every k-th element -inf (0: none)
        bool nan;
        float offset = 0;  // far below zero: a lane outside the row must not pass for the largest
    };
    const Row rows[] = {{1, 4, 0, false},   {3, 4, 0, false},    {8, 4, 0, false},  {15, 4, 3, false},
                        {16, 4, 0, false},  {17, 300, 0, false}, {31, 4, 2, false}, {33, 60, 5, false},
                        {100, 4, 7, false}, {1024, 4, 0, false}, {40, 4, 0, true},  {9, 4, 1, false},
                        {13, 4, 0, false, -120}, {29, 4, 0, false, -120}};
    for (const auto& [name, run] : variants) {
        for (const Row& r : rows) {
            for (const bool log : {false, true}) {
                for (const bool inPlace : {false, true}) {
                    auto x = pseudoRandom(static_cast<size_t>(r.n), 141 + static_cast<uint32_t>(r.n), r.spread);
                    for (float& v : x) v += r.offset;
                    for (int64_t i = 0; r.maskEvery > 0 && i < r.n; i += r.maskEvery) x[static_cast<size_t>(i)] = -INFINITY;
                    if (r.maskEvery == 1) x[4] = 1.5f;  // one unmasked entry among masked ones
                    if (r.nan) x[21] = std::nanf("");
                    std::vector<float> y(x.size(), 7.0f);
                    const std::vector<float> in = x;
                    run(x.data(), inPlace ? x.data() : y.data(), r.n, log);
                    const std::vector<float>& got = inPlace ? x : y;
                    double top = -INFINITY, sum = 0;
                    for (float v : in) top = std::max(top, double(v));
                    for (float v : in) sum += std::exp(double(v) - top);
                    for (int64_t i = 0; i < r.n; ++i) {
                        const double v = in[static_cast<size_t>(i)], g = got[static_cast<size_t>(i)];
                        const std::string where = std::string(name) + (log ? " log" : "") + " n " + std::to_string(r.n) +
                                                  ", element " + std::to_string(i);
                        if (r.nan) {
                            EXPECT_TRUE(std::isnan(g)) << where;
                        } else if (std::isinf(v)) {
                            EXPECT_EQ(g, log ? -INFINITY : 0.0) << where;
                        } else if (log) {
                            const double want = v - top - std::log(sum);
                            ASSERT_NEAR(g, want, 1e-5 * (1 + std::fabs(want))) << where;
                        } else {
                            const double want = std::exp(v - top) / sum;
                            ASSERT_NEAR(g, want, 1e-5 * want + 1e-30) << where;
                        }
                    }
                }
            }
        }
    }
    // One peak 100 above the rest, at every position of a row: each lane of
    // each running maximum must see it, or exp overflows.
    for (const auto& [name, run] : variants) {
        for (int64_t at = 0; at < 200; ++at) {
            std::vector<float> x(200, 0.0f), y(200);
            x[static_cast<size_t>(at)] = 100.0f;
            run(x.data(), y.data(), 200, false);
            ASSERT_NEAR(y[static_cast<size_t>(at)], 1.0, 1e-6) << name << ", peak at " << at;
        }
    }
}

// Unary float functions on tensors large enough for oneDNN's vectorised
// kernels, against their definitions in double; each ran on oneDNN.
TEST(Activations, OneDnnStepsGiveTheDefinition) {
    struct Row {
        const char* op;
        std::function<double(double)> f;
        float alpha = std::nanf(""), beta = std::nanf("");
        float lo = -6, hi = 6;  // the input's range
    };
    const Row rows[] = {
        {"Relu", [](double x) { return std::max(x, 0.0); }},
        {"Sigmoid", [](double x) { return 1 / (1 + std::exp(-x)); }, std::nanf(""), std::nanf(""), -20, 20},
        {"Tanh", [](double x) { return std::tanh(x); }},
        {"Sqrt", [](double x) { return std::sqrt(x); }, std::nanf(""), std::nanf(""), 0, 50},
        {"LeakyRelu", [](double x) { return x < 0 ? 0.1 * x : x; }, 0.1f},
        {"Elu", [](double x) { return x < 0 ? 0.5 * std::expm1(x) : x; }, 0.5f},
        {"HardSigmoid", [](double x) { return std::clamp(0.3 * x + 0.4, 0.0, 1.0); }, 0.3f, 0.4f},
        {"HardSwish", [](double x) { return x * std::clamp(x / 6 + 0.5, 0.0, 1.0); }},
        // Far enough out that exp overflows a float.
        {"Softplus", [](double x) { return std::log1p(std::exp(x)); }, std::nanf(""), std::nanf(""), -100, 100},
    };
    const Shape xs = {4, 3, 37};
    for (const auto& r : rows) {
        OnnxBuilder b("act", 14);
        b.input("x", xs);
        auto& n = b.node(r.op, {"x"}, {"y"});
        if (!std::isnan(r.alpha)) OnnxBuilder::attr(n, "alpha", r.alpha);
        if (!std::isnan(r.beta)) OnnxBuilder::attr(n, "beta", r.beta);
        b.output("y");
        Graph g(b.proto());
        g.enableTiming(true);
        g.prepare({}, {"y"});
        auto x = pseudoRandom(static_cast<size_t>(4 * 3 * 37), 131, 1.0f);
        for (float& v : x) v = r.lo + (v + 1) / 2 * (r.hi - r.lo);
        fill(g.input("x"), x);
        g.run();
        ASSERT_EQ(g.timings().size(), 1u);
        EXPECT_EQ(g.timings()[0].kernel.rfind("onednn:", 0), 0u) << r.op << " ran on " << g.timings()[0].kernel;
        const Tensor& y = g.value("y");
        for (size_t i = 0; i < x.size(); ++i) {
            const double want = r.f(x[i]);
            ASSERT_NEAR(y.data<float>()[i], want, 1e-5 * (1 + std::fabs(want))) << r.op << "(" << x[i] << ")";
        }
    }
}

// The fast products against the reference kernel they fall back on, on
// the same inputs: Gemm with every transpose and bias shape, MatMul with a
// batch folded into rows, batched weights and a vector on either side;
// weights constant (packed once) and computed. Constant weights of 4 MiB
// and more with one row run on panels, with each bias shape and layout;
// a column count off the panel width and two rows check the edges. One kernel takes constant weights, then computed ones.
TEST(MatMul, FastKernelsMatchTheirReference) {
    struct Case {
        const char* op;
        Shape a, b, c;
        int64_t transA = 0, transB = 0;
        bool panels = false;  // with constant weights
    };
    const Case cases[] = {
        {"Gemm", {5, 7}, {7, 3}, {}},           {"Gemm", {7, 5}, {7, 3}, {3}, 1, 0},
        {"Gemm", {5, 7}, {3, 7}, {5, 1}, 0, 1}, {"Gemm", {7, 5}, {3, 7}, {5, 3}, 1, 1},
        {"Gemm", {1, 64}, {64, 40}, {1, 40}},   {"MatMul", {2, 3, 5, 7}, {7, 4}, {}},
        {"MatMul", {3, 5, 7}, {3, 7, 4}, {}},   {"MatMul", {7}, {7, 4}, {}},
        {"MatMul", {3, 5, 7}, {7}, {}},
        {"Gemm", {1, 1024}, {1041, 1024}, {1041}, 0, 1, true},
        {"Gemm", {1, 1024}, {1024, 1041}, {1, 1}, 0, 0, true},
        {"Gemm", {1024, 1}, {1024, 1041}, {1, 1041}, 1, 0, true},
        {"Gemm", {2, 1024}, {1041, 1024}, {2, 1041}, 0, 1},
        {"MatMul", {1, 1, 1024}, {1024, 1041}, {}, 0, 0, true},
        {"MatMul", {1024}, {1024, 1041}, {}, 0, 0, true},
        {"MatMul", {3, 1024}, {1024, 1041}, {}},       {"Gemm", {1024, 2}, {1024, 1041}, {}, 1, 0},
        {"MatMul", {1, 1000}, {1000, 1000}, {}},
    };
    for (const auto& c : cases) {
        onnx::NodeProto n;
        n.set_op_type(c.op);
        const bool gemm = std::string(c.op) == "Gemm";
        if (gemm) {
            OnnxBuilder::attr(n, "transA", c.transA);
            OnnxBuilder::attr(n, "transB", c.transB);
        }
        std::vector<Tensor> in(c.c.empty() ? 2 : 3);
        const Shape* shapes[] = {&c.a, &c.b, &c.c};
        for (size_t i = 0; i < in.size(); ++i) {
            in[i].reset(vexart::DType::Float, *shapes[i]);
            fill(in[i], pseudoRandom(static_cast<size_t>(in[i].size()), 90 + static_cast<uint32_t>(i), 1.0f));
        }
        std::vector<const Tensor*> ins;
        for (const auto& t : in) ins.push_back(&t);
        auto kernel = (*vexart::findKernel(c.op))(n, 13);
        kernel->setFusion({});
        for (bool constWeights : {true, false}) {
            Tensor fast, slow;
            KernelContext f(ins, {&fast}), r(ins, {&slow});
            f.setConstant({false, constWeights, constWeights});
            kernel->run(f);
            vexart::referenceMatMul(n, gemm)->run(r);
            const std::string what = std::string(c.op) + " " + vexart::shapeText(c.a) + " x " + vexart::shapeText(c.b) +
                                     (constWeights ? ", constant weights" : "");
            ASSERT_FALSE(kernel->implementation().empty()) << what << " ran on the reference";
            EXPECT_EQ(kernel->implementation() == "vexa:panels", c.panels && constWeights)
                << what << " ran on " << kernel->implementation();
            ASSERT_EQ(fast.shape(), slow.shape()) << what;
            for (int64_t i = 0; i < fast.size(); ++i) {
                const float want = slow.data<float>()[i];
                ASSERT_NEAR(fast.data<float>()[i], want, 1e-4 * (1 + std::fabs(want))) << what << ", element " << i;
            }
        }
    }
}

// A dense layer planned for one row, then more and fewer: its weights,
// released once packed, come back from whichever layout holds them (the
// panels of one row, oneDNN's of more), and each plan
// computes the product, summed here in double.
TEST(MatMul, NewRowCountsAfterTheWeightsWereReleased) {
    const int64_t K = 1024, N = 1041;
    const auto w = pseudoRandom(static_cast<size_t>(K * N), 31, 1.0f);
    const auto bias = pseudoRandom(static_cast<size_t>(N), 32, 1.0f);
    OnnxBuilder b("dense");
    b.input("x", {1, K});
    b.initializerRaw("w", {N, K}, w);
    b.initializerRaw("b", {N}, bias);
    OnnxBuilder::attr(b.node("Gemm", {"x", "w", "b"}, {"y"}), "transB", int64_t{1});
    b.output("y");
    Graph g(b.proto());
    for (const int64_t rows : {1, 3, 1, 2}) {
        g.prepare({{"x", {rows, K}}}, {"y"});
        const auto x = pseudoRandom(static_cast<size_t>(rows * K), 33 + static_cast<uint32_t>(rows), 1.0f);
        fill(g.input("x"), x);
        g.run();
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), (Shape{rows, N}));
        for (int64_t i = 0; i < rows; ++i) {
            for (int64_t j = 0; j < N; ++j) {
                double want = bias[static_cast<size_t>(j)];
                for (int64_t k = 0; k < K; ++k) {
                    want += static_cast<double>(x[static_cast<size_t>(i * K + k)]) * w[static_cast<size_t>(j * K + k)];
                }
                ASSERT_NEAR(y.data<float>()[i * N + j], want, 1e-4 * (1 + std::fabs(want)))
                    << rows << " rows, element " << i << ", " << j;
            }
        }
    }
}

// Input "x" put on a u8 grid (step 1/64, zero 128) by a QuantizeLinear,
// DequantizeLinear pair; returns the name a product reads it by.
constexpr float kInputStep = 1.0f / 64;
std::string inputOnGrid(OnnxBuilder& b) {
    b.initializer("xs", {}, {kInputStep});
    b.initializer(OnnxBuilder::intTensor("xz", onnx::TensorProto::UINT8, {}, {128}));
    b.node("QuantizeLinear", {"x", "xs", "xz"}, {"xq"});
    b.node("DequantizeLinear", {"xq", "xs", "xz"}, {"xd"});
    return "xd";
}

// x as that pair leaves it.
void ontoInputGrid(std::vector<float>& x) {
    for (float& v : x) v = (std::clamp(std::nearbyint(v / kInputStep) + 128, 0.0f, 255.0f) - 128) * kInputStep;
}

// Dense weights that come as dequantized codes reach MatMul and Gemm as
// those codes (never as floats) and every path computes with them: the
// panels of one row, oneDNN's float product, the integer one, and the
// reference kernel for what oneDNN does not take (weights with a batch
// that broadcasts, Gemm's alpha). Codes u8 or s8, one scale or one per
// column, zero points zero or not; against the definition in double.
TEST(MatMul, WeightCodesReachTheProductAsCodes) {
    struct Row {
        const char* op;
        Shape a, b;  // b: the weights' shape
        int64_t transB = 0;
        float alpha = 1;
        bool s8 = true, perColumn = true;
        int zero = 0;
        bool inputOnGrid = false;
        const char* kernel;  // what runs: a prefix of the step's kernel, or "" for the reference
    };
    const Row rows[] = {
        {"MatMul", {1, 1024}, {1024, 1041}, 0, 1, true, true, 0, false, "vexa:panels"},
        {"Gemm", {3, 64}, {40, 64}, 1, 1, false, true, 119, false, "onednn:"},
        {"Gemm", {3, 64}, {40, 64}, 1, 1, true, true, 0, true, "onednn:"},
        {"MatMul", {2, 3, 5, 16}, {3, 16, 6}, 0, 1, true, false, 4, false, "vexa"},
        {"Gemm", {4, 16}, {16, 6}, 0, 0.5f, false, false, 128, false, "vexa"},
    };
    for (const Row& r : rows) {
        const std::string what = std::string(r.op) + " " + vexart::shapeText(r.a) + " x " + vexart::shapeText(r.b);
        const int64_t N = r.transB ? r.b[r.b.size() - 2] : r.b.back(), K = r.a.back();
        const size_t n = static_cast<size_t>(vexart::elementCount(r.b));
        const int64_t axis = r.transB ? static_cast<int64_t>(r.b.size()) - 2 : static_cast<int64_t>(r.b.size()) - 1;
        std::vector<float> step(r.perColumn ? static_cast<size_t>(N) : 1);
        for (size_t c = 0; c < step.size(); ++c) step[c] = 0.002f + 0.0005f * static_cast<float>(c % 5);
        auto column = [&](size_t i) {  // of weight i
            return r.transB ? i / static_cast<size_t>(K) % static_cast<size_t>(N) : i % static_cast<size_t>(N);
        };
        const auto floats = pseudoRandom(n, 51, 0.2f);
        std::vector<int> codes(n);
        std::vector<double> w(n);
        for (size_t i = 0; i < n; ++i) {
            const double s = step[r.perColumn ? column(i) : 0];
            codes[i] = static_cast<int>(std::clamp(std::nearbyint(floats[i] / s) + r.zero, r.s8 ? -128.0 : 0.0, r.s8 ? 127.0 : 255.0));
            w[i] = (codes[i] - r.zero) * s;
        }
        const int32_t type = r.s8 ? onnx::TensorProto::INT8 : onnx::TensorProto::UINT8;
        OnnxBuilder b("dense", 13);
        b.input("x", r.a);
        const std::vector<int64_t> sdims = r.perColumn ? std::vector<int64_t>{N} : std::vector<int64_t>{};
        b.initializer(OnnxBuilder::intTensor("w", type, r.b, codes));
        b.initializer("ws", sdims, step);
        b.initializer(OnnxBuilder::intTensor("wz", type, sdims, std::vector<int32_t>(step.size(), r.zero)));
        OnnxBuilder::attr(b.node("DequantizeLinear", {"w", "ws", "wz"}, {"wd"}), "axis", axis);
        const std::string in = r.inputOnGrid ? inputOnGrid(b) : "x";
        auto& node = b.node(r.op, {in, "wd"}, {"y"});
        if (std::string(r.op) == "Gemm") {
            OnnxBuilder::attr(node, "transB", r.transB);
            OnnxBuilder::attr(node, "alpha", r.alpha);
        }
        b.output("y");
        Graph g(b.proto());
        g.enableTiming(true);
        g.prepare({{"x", r.a}}, {"y"});
        EXPECT_EQ(static_cast<int32_t>(g.value("wd").type()), type) << what << ": the weights were made floats";
        auto x = pseudoRandom(static_cast<size_t>(vexart::elementCount(r.a)), 52, 1.0f);
        fill(g.input("x"), x);
        g.run();
        ASSERT_FALSE(g.timings().empty());
        const auto& step0 = g.timings().back();
        EXPECT_EQ(step0.kernel.rfind(r.kernel, 0), 0u) << what << " ran on " << step0.kernel;
        if (r.inputOnGrid) {
            // Without VNNI only codes within 63 run on integers (pairs sum in 16 bits).
            int largest = 0;
            for (int c : codes) largest = std::max(largest, std::abs(c - r.zero));
            EXPECT_EQ(step0.precision, vexart::onednn::hasVnni() || largest <= 63 ? "int8" : "f32") << what;
            ontoInputGrid(x);
        }
        // y[..., m, c] = alpha * sum_k x[..., m, k] w[(batch of w), k, c], the batches broadcast.
        const Tensor& y = g.value("y");
        const int64_t M = r.a[r.a.size() - 2], outer = y.size() / (M * N);
        const int64_t wBatches = static_cast<int64_t>(n) / (K * N);
        for (int64_t o = 0; o < outer; ++o) {
            const int64_t wb = o % wBatches;
            for (int64_t m = 0; m < M; ++m) {
                for (int64_t c = 0; c < N; ++c) {
                    double want = 0;
                    for (int64_t k = 0; k < K; ++k) {
                        const int64_t wi = wb * K * N + (r.transB ? c * K + k : k * N + c);
                        want += x[static_cast<size_t>((o * M + m) * K + k)] * w[static_cast<size_t>(wi)];
                    }
                    want *= r.alpha;
                    ASSERT_NEAR(y.data<float>()[(o * M + m) * N + c], want, 1e-4 * (1 + std::fabs(want)))
                        << what << ", element " << o << ", " << m << ", " << c;
                }
            }
        }
    }
}

// LayerNormalization over rows of every length around the kernel's
// 16-wide statistics (and a row of one), far from zero, so that a mean or
// variance taken carelessly in float shows; against sums in double.
TEST(LayerNorm, RowsOfEveryLengthFollowTheDefinition) {
    for (const int64_t S : {1, 7, 16, 37, 256}) {
        const int64_t rows = 3;
        auto x = pseudoRandom(static_cast<size_t>(rows * S), 40, 1.0f);
        for (size_t i = 0; i < x.size(); ++i) x[i] += 1000.0f * static_cast<float>(i / static_cast<size_t>(S) + 1);
        const auto scale = pseudoRandom(static_cast<size_t>(S), 41, 1.0f), bias = pseudoRandom(static_cast<size_t>(S), 42, 1.0f);
        OnnxBuilder b("ln");
        b.input("x", {rows, S});
        b.initializer("scale", {S}, scale);
        b.initializer("bias", {S}, bias);
        OnnxBuilder::attr(b.node("LayerNormalization", {"x", "scale", "bias"}, {"y"}), "epsilon", 1e-3f);
        b.output("y");
        Graph g(b.proto());
        g.prepare({{"x", {rows, S}}}, {"y"});
        fill(g.input("x"), x);
        g.run();
        const float* y = g.value("y").data<float>();
        for (int64_t r = 0; r < rows; ++r) {
            double mean = 0, var = 0;
            for (int64_t s = 0; s < S; ++s) mean += x[static_cast<size_t>(r * S + s)];
            mean /= static_cast<double>(S);
            for (int64_t s = 0; s < S; ++s) var += std::pow(x[static_cast<size_t>(r * S + s)] - mean, 2);
            const double inv = 1 / std::sqrt(var / static_cast<double>(S) + 1e-3);
            for (int64_t s = 0; s < S; ++s) {
                const double want = (x[static_cast<size_t>(r * S + s)] - mean) * inv * scale[static_cast<size_t>(s)] +
                                    bias[static_cast<size_t>(s)];
                ASSERT_NEAR(y[r * S + s], want, 2e-3 * (1 + std::fabs(want))) << "row length " << S << ", element " << r << ", " << s;
            }
        }
    }
}

// BatchNormalization on a plain input and on one in the layout a
// convolution leaves (a second reader keeps it from folding into the
// convolution), alone and with a fused ReLU, against its reference kernel.
TEST(BatchNorm, EveryLayoutMatchesTheReference) {
    for (const int64_t C : {16, 24, 5, 64}) {
        const Shape xs = {2, C, 6, 7};
        const auto x = pseudoRandom(static_cast<size_t>(2 * C * 42), 95, 2.0f);
        std::vector<std::vector<float>> params;
        for (uint32_t k = 0; k < 4; ++k) params.push_back(pseudoRandom(static_cast<size_t>(C), 96 + k, 1.0f));
        for (float& v : params[3]) v = std::fabs(v) + 0.1f;  // variances
        onnx::NodeProto bn;
        bn.set_op_type("BatchNormalization");
        OnnxBuilder::attr(bn, "epsilon", 1e-3f);
        std::vector<Tensor> ts(5);
        ts[0].reset(vexart::DType::Float, xs);
        fill(ts[0], x);
        for (size_t k = 0; k < 4; ++k) {
            ts[k + 1].reset(vexart::DType::Float, {C});
            fill(ts[k + 1], params[k]);
        }
        Tensor want;
        KernelContext r({&ts[0], &ts[1], &ts[2], &ts[3], &ts[4]}, {&want});
        vexart::referenceBatchNorm(bn)->run(r);
        for (bool throughConv : {false, true}) {
            for (bool relu : {false, true}) {
                OnnxBuilder b("bn", 13);
                b.input("x", xs);
                const char* names[] = {"scale", "bias", "mean", "var"};
                for (size_t k = 0; k < 4; ++k) b.initializerRaw(names[k], {C}, params[k]);
                std::string in = "x";
                if (throughConv) {
                    in = identityConv(b, "x", C);
                    b.node("Neg", {in}, {"other"});
                    b.output("other");
                }
                auto& n = b.node("BatchNormalization", {in, "scale", "bias", "mean", "var"}, {relu ? "n" : "y"});
                OnnxBuilder::attr(n, "epsilon", 1e-3f);
                if (relu) b.node("Relu", {"n"}, {"y"});
                b.output("y");
                Graph g(b.proto());
                std::vector<std::string> outs = {"y"};
                if (throughConv) outs.push_back("other");
                g.prepare({}, outs);
                fill(g.input("x"), x);
                g.run();
                const Tensor& y = g.value("y");
                ASSERT_EQ(y.shape(), xs);
                for (int64_t i = 0; i < y.size(); ++i) {
                    const float w = relu ? std::max(0.0f, want.data<float>()[i]) : want.data<float>()[i];
                    ASSERT_NEAR(y.data<float>()[i], w, 1e-4)
                        << C << " channels" << (throughConv ? ", laid out" : "") << (relu ? ", ReLU" : "") << ", element " << i;
                }
            }
        }
    }
}

TEST(Pooling, LpNormsAndRegionMaximaOfSmallPlanes) {
    OnnxBuilder b("pools");
    b.input("x", {1, 1, 4, 4});
    auto& lp = b.node("LpPool", {"x"}, {"lp"});
    OnnxBuilder::attr(lp, "kernel_shape", std::vector<int64_t>{2, 2});
    OnnxBuilder::attr(lp, "strides", std::vector<int64_t>{2, 2});
    OnnxBuilder::attr(lp, "p", int64_t{1});
    b.node("GlobalLpPool", {"x"}, {"glp"});
    b.initializer("rois", {1, 5}, {0, 1, 1, 3, 3});  // batch 0, x 1..3, y 1..3
    auto& roi = b.node("MaxRoiPool", {"x", "rois"}, {"roi"});
    OnnxBuilder::attr(roi, "pooled_shape", std::vector<int64_t>{1, 1});
    b.output("lp");
    b.output("glp");
    b.output("roi");
    Graph g(b.proto());
    g.prepare({}, {"lp", "glp", "roi"});
    std::vector<float> x(16);
    for (int i = 0; i < 16; ++i) x[static_cast<size_t>(i)] = static_cast<float>(i % 2 == 0 ? i : -i);
    fill(g.input("x"), x);
    g.run();
    auto values = [&](const char* name) {
        const Tensor& t = g.value(name);
        return std::vector<float>(t.data<float>(), t.data<float>() + t.size());
    };
    // |0|+|-1|+|4|+|-5| and so on for each 2x2 block.
    EXPECT_EQ(values("lp"), (std::vector<float>{10, 18, 42, 50}));
    double squares = 0;
    for (float v : x) squares += v * v;
    EXPECT_NEAR(values("glp")[0], std::sqrt(squares), 1e-4);
    // Rows and columns 1..3 of the alternating ramp: the largest is x[3][2] = 14.
    EXPECT_EQ(values("roi"), (std::vector<float>{14}));
}

// Average pooling that counts padding, in ceil mode: a window is divided
// by its extent within the padded input (explicit padding counts, the
// ceil-mode overhang past it does not), as ONNX Runtime and PyTorch define
// it. Computed here from that definition, tap by tap.
TEST(Pooling, AverageCountingPaddingInCeilMode) {
    const int64_t C = 8, H = 6, W = 7, k = 3, stride = 2, pad = 1;
    OnnxBuilder b("avg");
    b.input("x", {1, C, H, W});
    auto& ap = b.node("AveragePool", {"x"}, {"y"});
    OnnxBuilder::attr(ap, "kernel_shape", std::vector<int64_t>{k, k});
    OnnxBuilder::attr(ap, "strides", std::vector<int64_t>{stride, stride});
    OnnxBuilder::attr(ap, "pads", std::vector<int64_t>{pad, pad, pad, pad});
    OnnxBuilder::attr(ap, "count_include_pad", int64_t{1});
    OnnxBuilder::attr(ap, "ceil_mode", int64_t{1});
    b.output("y");
    Graph g(b.proto());
    g.prepare({}, {"y"});
    const auto x = pseudoRandom(static_cast<size_t>(C * H * W), 9, 1.0f);
    fill(g.input("x"), x);
    g.run();
    const Tensor& y = g.value("y");
    auto outLength = [&](int64_t in) {
        int64_t out = (in + 2 * pad - k + stride - 1) / stride + 1;  // ceil
        if ((out - 1) * stride >= in + pad) --out;  // a window starting in the end padding is dropped
        return out;
    };
    const int64_t OH = outLength(H), OW = outLength(W);
    ASSERT_EQ(y.shape(), (vexart::Shape{1, C, OH, OW}));
    for (int64_t c = 0; c < C; ++c) {
        for (int64_t oh = 0; oh < OH; ++oh) {
            for (int64_t ow = 0; ow < OW; ++ow) {
                const int64_t h0 = oh * stride - pad, w0 = ow * stride - pad;
                const int64_t h1 = std::min(h0 + k, H + pad), w1 = std::min(w0 + k, W + pad);
                double sum = 0;
                for (int64_t h = std::max<int64_t>(h0, 0); h < std::min(h1, H); ++h) {
                    for (int64_t w = std::max<int64_t>(w0, 0); w < std::min(w1, W); ++w) sum += x[static_cast<size_t>((c * H + h) * W + w)];
                }
                const double want = sum / static_cast<double>((h1 - h0) * (w1 - w0));
                ASSERT_NEAR(y.data<float>()[(c * OH + oh) * OW + ow], want, 1e-5) << c << "," << oh << "," << ow;
            }
        }
    }
}

// LRN sums squares over the channels c - floor((size - 1) / 2) to
// c + ceil((size - 1) / 2): for an even size, one more above than below.
// Planes of 37 values cover a vectorised body and its tail; two images
// keep their windows apart.
TEST(Normalization, LocalResponseOverAnEvenWindow) {
    const int64_t N = 2, C = 6, S = 37, size = 4;
    const float alpha = 0.5f, beta = 0.75f, bias = 2.0f;
    OnnxBuilder b("lrn");
    b.input("x", {N, C, 1, S});
    auto& n = b.node("LRN", {"x"}, {"y"});
    OnnxBuilder::attr(n, "size", size);
    OnnxBuilder::attr(n, "alpha", alpha);
    OnnxBuilder::attr(n, "beta", beta);
    OnnxBuilder::attr(n, "bias", bias);
    b.output("y");
    Graph g(b.proto());
    g.prepare({}, {"y"});
    const auto x = pseudoRandom(static_cast<size_t>(N * C * S), 4, 2.0f);
    fill(g.input("x"), x);
    g.run();
    for (int64_t i = 0; i < N; ++i) {
        for (int64_t c = 0; c < C; ++c) {
            for (int64_t s = 0; s < S; ++s) {
                auto at = [&](int64_t j) { return x[static_cast<size_t>((i * C + j) * S + s)]; };
                double squares = 0;
                for (int64_t j = std::max<int64_t>(0, c - 1); j <= std::min<int64_t>(C - 1, c + 2); ++j) {
                    squares += at(j) * at(j);
                }
                const double want = at(c) / std::pow(bias + alpha / size * squares, beta);
                EXPECT_NEAR(g.value("y").data<float>()[(i * C + c) * S + s], want, 1e-5) << i << "," << c << "," << s;
            }
        }
    }
}

std::vector<float> ramp(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i);
    return v;
}

// Builds `b` with output y, fills its input x with `x` and runs it: y's
// shape and values.
std::pair<Shape, std::vector<float>> runOnX(OnnxBuilder& b, const std::vector<float>& x) {
    b.output("y");
    Graph g(b.proto());
    g.prepare({}, {"y"});
    fill(g.input("x"), x);
    g.run();
    const Tensor& y = g.value("y");
    return {y.shape(), std::vector<float>(y.data<float>(), y.data<float>() + y.size())};
}

// Pow by a constant exponent against pow itself, over bases that cover
// its special cases (negatives, signed zeros, infinities, NaN, tiny and
// huge values) and enough of them for a vectorised body and its tail.
// Integer exponents keep negative bases; others give NaN for them.
TEST(Elementwise, PowersByAConstantFollowPow) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> bases = {-2.0f, -0.5f, -0.0f, 0.0f, 1e-30f, 0.5f, 1.0f, 1.5f, 3.0f, 1e10f, 3e38f, inf, -inf, nan};
    for (int i = 0; bases.size() < 45; ++i) bases.push_back(0.05f + 0.37f * static_cast<float>(i));
    const Shape xs = {static_cast<int64_t>(bases.size())};
    for (const float e : {0.75f, -0.5f, 2.5f, 1.0f / 3.0f, 2.0f, 3.0f, -1.0f}) {
        OnnxBuilder b("pow");
        b.input("x", xs);
        b.initializer("e", {}, {e});
        b.node("Pow", {"x", "e"}, {"y"});
        const std::vector<float> y = runOnX(b, bases).second;
        for (size_t i = 0; i < bases.size(); ++i) {
            const float want = static_cast<float>(std::pow(static_cast<double>(bases[i]), static_cast<double>(e)));
            const std::string at = "x=" + std::to_string(bases[i]) + " e=" + std::to_string(e);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(y[i])) << at;
            } else if (std::isinf(want) || want == 0.0f) {
                EXPECT_EQ(y[i], want) << at;
                EXPECT_EQ(std::signbit(y[i]), std::signbit(want)) << at;
            } else {
                EXPECT_NEAR(y[i] / want, 1.0f, 4e-6f) << at;
            }
        }
    }
}

// Erf, Sin, Cos, Exp and Log against the C library's, over their special
// values and sweeps (long enough for a vectorised body and tail; sines far
// out too; logarithms of the powers of two, whose quotients a model may
// truncate to integers), each within its stated error: steps of the rounded value.
TEST(Elementwise, VectorisedFunctionsFollowTheLibrary) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::tuple<const char*, double (*)(double), float> rows[] = {
        {"Erf", [](double x) { return std::erf(x); }, 4},
        {"Sin", [](double x) { return std::sin(x); }, 1},
        {"Cos", [](double x) { return std::cos(x); }, 1},
        {"Exp", [](double x) { return std::exp(x); }, 1.5f},
        {"Log", [](double x) { return std::log(x); }, 1},
    };
    std::vector<float> xs = {0.0f, -0.0f, 1e-30f, -1e-20f, 1e-6f, inf, -inf, 10.0f, -10.0f, 1234.5f, -98765.4f, std::nanf(""), 1.0f};
    for (int i = 0; i <= 60; ++i) xs.push_back(-4.0f + 0.1337f * static_cast<float>(i));
    for (int i = -20; i <= 20; ++i) xs.push_back(std::ldexp(1.0f, i));
    for (int i = 0; i <= 40; ++i) xs.push_back(-87.0f + 4.35f * static_cast<float>(i));
    for (float v : {-88.0f, -95.5f, -103.0f, -104.5f, 1e-38f, 1e-40f, 3e-45f}) xs.push_back(v);  // denormal results and arguments
    // Enough values that a vectorised kernel takes them, if one would.
    for (int i = 0; i < 2048; ++i) {
        xs.push_back(i % 2 == 0 ? std::ldexp(1.0f + static_cast<float>(i) / 2048.0f, i % 40 - 20) : -80.0f + 0.078f * static_cast<float>(i));
    }
    for (const auto& [op, f, steps] : rows) {
        OnnxBuilder b("unary");
        b.input("x", {static_cast<int64_t>(xs.size())});
        b.node(op, {"x"}, {"y"});
        const std::vector<float> y = runOnX(b, xs).second;
        for (size_t i = 0; i < xs.size(); ++i) {
            const float want = static_cast<float>(f(static_cast<double>(xs[i])));
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(y[i])) << op << "(" << xs[i] << ")";
                continue;
            }
            if (std::isinf(want)) {
                EXPECT_EQ(y[i], want) << op << "(" << xs[i] << ")";
                continue;
            }
            // Erf scales a subnormal argument, whose few bits it cannot round as the library does.
            if (std::fpclassify(xs[i]) == FP_SUBNORMAL && std::string(op) == "Erf") continue;
            // A float step at |want|, or at the smallest normal for sines
            // near zero, or a subnormal's step.
            const float step = std::max(std::max(std::fabs(want), std::numeric_limits<float>::min()) * 6e-8f,
                                        std::numeric_limits<float>::denorm_min());
            EXPECT_NEAR(y[i], want, steps * step * 2) << op << "(" << xs[i] << ")";
            if (want != 0) {
                EXPECT_EQ(std::signbit(y[i]), std::signbit(want)) << op << "(" << xs[i] << ")";
            }
        }
    }
}

// Two shapes broadcast, aligned at their last axes, and the element of an
// operand that an output index reads: the definition, worked out here.
struct BroadcastPair {
    Shape a, b, out;
    BroadcastPair(Shape sa, Shape sb) : a(std::move(sa)), b(std::move(sb)), out(std::max(a.size(), b.size())) {
        for (size_t d = 0; d < out.size(); ++d) out[d] = std::max(dimOf(a, d), dimOf(b, d));
    }
    int64_t dimOf(const Shape& s, size_t d) const { return d + s.size() < out.size() ? 1 : s[d + s.size() - out.size()]; }
    int64_t source(const Shape& s, int64_t i) const {
        int64_t at = 0, stride = 1;
        for (size_t d = out.size(); d-- > 0;) {
            const int64_t coordinate = i % out[d];
            i /= out[d];
            if (dimOf(s, d) != 1) at += coordinate * stride;
            stride *= dimOf(s, d);
        }
        return at;
    }
};

// Binary operators over broadcast operands against the definition: each
// output element from the operands' elements that its index names, for
// per-channel operands, rows against columns, either side broadcast and
// shapes whose rows do not split evenly over two threads.
TEST(Elementwise, BroadcastOperandsFollowTheDefinition) {
    const std::pair<Shape, Shape> shapes[] = {
        {{1, 37, 23, 41}, {37, 1, 1}},  // a slope or bias per channel
        {{300, 1}, {1, 131}},           // a column against a row
        {{1, 131}, {300, 131}},         // the first operand broadcast
        {{3, 17, 1, 31}, {17, 29, 31}}, // broadcast in the middle and in front
        {{5, 29, 11}, {5, 29, 1}},      // one value per row
        {{7, 40, 131}, {131}},          // one row for all
    };
    const std::pair<const char*, float (*)(float, float)> ops[] = {
        {"Add", [](float x, float y) { return x + y; }},
        {"Sub", [](float x, float y) { return x - y; }},
        {"Div", [](float x, float y) { return x / y; }},
        {"Max", [](float x, float y) { return std::max(x, y); }},
        {"PRelu", [](float x, float y) { return x < 0 ? x * y : x; }},
    };
    for (const auto& [sa, sb] : shapes) {
        const BroadcastPair p(sa, sb);
        for (const auto& [op, f] : ops) {
            if (std::string(op) == "PRelu" && p.out != sa) continue;  // its slope only broadcasts to x
            for (int threads : {1, 2}) {
                const vexart::ThreadScope scope(threads);
                OnnxBuilder b("broadcast", 16);
                b.input("a", sa);
                b.input("b", sb);
                b.node(op, {"a", "b"}, {"y"});
                b.output("y");
                Graph g(b.proto());
                g.prepare({}, {"y"});
                const std::vector<float> va = pseudoRandom(static_cast<size_t>(g.input("a").size()), 3, 2.0f);
                const std::vector<float> vb = pseudoRandom(static_cast<size_t>(g.input("b").size()), 4, 2.0f);
                std::copy(va.begin(), va.end(), g.input("a").data<float>());
                std::copy(vb.begin(), vb.end(), g.input("b").data<float>());
                g.run();
                const Tensor& y = g.value("y");
                ASSERT_EQ(y.shape(), p.out);
                for (int64_t i = 0; i < y.size(); ++i) {
                    const float want = f(va[static_cast<size_t>(p.source(sa, i))], vb[static_cast<size_t>(p.source(sb, i))]);
                    ASSERT_EQ(y.data<float>()[i], want) << op << " of " << sa.size() << "-d and " << sb.size()
                                                        << "-d operands, " << threads << " threads, at " << i;
                }
            }
        }
    }
}

// Arithmetic whose result only a QuantizeLinear reads writes the codes
// itself: each code is the operator's float result divided by the step,
// rounded half to even, offset and saturated, as the two nodes give it.
// Both code types, one and two threads, a gate per channel on either side,
// a single value, short rows of a channel block, and one long row with a
// ragged end; the first operand also on a grid, whose codes a product
// reads in place of their dequantization.
TEST(Elementwise, ArithmeticEndingInCodesWritesThemItself) {
    const std::pair<Shape, Shape> shapes[] = {
        {{2, 37, 23, 41}, {1, 37, 1, 1}},  // a squeeze-excitation gate
        {{1, 37, 1, 1}, {2, 37, 23, 41}},  // ... written first
        {{1, 1, 40, 16}, {16}},            // 16-wide rows, one operand per lane
        {{2, 3, 10, 12}, {3, 1, 12}},      // 12-wide rows, a row of operands per plane
        {{3, 11111}, {3, 11111}},          // one shape, more than a thread's share
        {{5, 29, 11}, {1}},                // a single value
    };
    const std::pair<const char*, float (*)(float, float)> ops[] = {
        {"Add", [](float x, float y) { return x + y; }},
        {"Sub", [](float x, float y) { return x - y; }},
        {"Mul", [](float x, float y) { return x * y; }},
        {"Div", [](float x, float y) { return x / y; }},
    };
    const float step = 0.03f, aStep = 0.05f;
    for (const auto& [sa, sb] : shapes) {
        const BroadcastPair p(sa, sb);
        for (const auto& [op, f] : ops) {
            for (const auto& [type, zero, lowest, highest] :
                 {std::tuple<int32_t, int32_t, int32_t, int32_t>{onnx::TensorProto::UINT8, 128, 0, 255},
                  {onnx::TensorProto::INT8, -3, -128, 127}}) {
                for (const auto& [threads, codedA] : {std::pair{1, false}, {2, false}, {1, true}, {2, true}}) {
                    SCOPED_TRACE(std::string(op) + " of " + std::to_string(sa.size()) + "-d and " +
                                 std::to_string(sb.size()) + "-d operands, " + std::to_string(threads) + " threads" +
                                 (codedA ? ", the first on a grid" : ""));
                    const vexart::ThreadScope scope(threads);
                    OnnxBuilder b("coded", 16);
                    b.input("a", sa);
                    b.input("b", sb);
                    b.initializer("s", {}, {step});
                    b.initializer(OnnxBuilder::intTensor("z", type, {}, {zero}));
                    std::string first = "a";
                    if (codedA) {
                        // A product reads the codes, whichever side they come from.
                        b.initializer("as", {}, {aStep});
                        b.node("QuantizeLinear", {"a", "as", "z"}, {"a.q"});
                        b.node("DequantizeLinear", {"a.q", "as", "z"}, {"a.d"}, "dequantize a");
                        first = "a.d";
                    }
                    const bool swapped = codedA && std::string(op) == "Mul";
                    b.node(op, swapped ? std::vector<std::string>{"b", first} : std::vector<std::string>{first, "b"}, {"v"},
                           "arithmetic");
                    b.node("QuantizeLinear", {"v", "s", "z"}, {"q"}, "quantize");
                    b.node("DequantizeLinear", {"q", "s", "z"}, {"y"});
                    b.output("y");
                    Graph g(b.proto());
                    g.enableTiming(true);
                    g.prepare({}, {"y"});
                    bool fused = false;
                    for (const auto& row : g.timings()) {
                        for (const auto& name : row.fused) fused = fused || (row.name == "arithmetic" && name == "quantize");
                    }
                    EXPECT_TRUE(fused);
                    bool dequantized = false;
                    for (const auto& row : g.timings()) dequantized = dequantized || row.name == "dequantize a";
                    EXPECT_EQ(dequantized, codedA && !swapped);
                    // Zeros among the divisors: infinities and NaN saturate.
                    const std::vector<float> va = pseudoRandom(static_cast<size_t>(g.input("a").size()), 5, 4.0f);
                    std::vector<float> vb = pseudoRandom(static_cast<size_t>(g.input("b").size()), 6, 2.0f);
                    for (size_t i = 0; i < vb.size(); i += 7) vb[i] = 0;
                    std::copy(va.begin(), va.end(), g.input("a").data<float>());
                    std::copy(vb.begin(), vb.end(), g.input("b").data<float>());
                    g.run();
                    const Tensor& y = g.value("y");
                    ASSERT_EQ(y.shape(), p.out);
                    // The first operand as its grid holds it.
                    auto operandA = [&](int64_t at) {
                        const float x = va[static_cast<size_t>(at)];
                        if (!codedA) return x;
                        const double code = std::clamp<double>(std::nearbyint(static_cast<double>(x / aStep)) + zero, lowest, highest);
                        return static_cast<float>(static_cast<int32_t>(code) - zero) * aStep;
                    };
                    for (int64_t i = 0; i < y.size(); ++i) {
                        const float v = f(operandA(p.source(sa, i)), vb[static_cast<size_t>(p.source(sb, i))]);
                        const float q = v / step;
                        int32_t code = lowest;
                        if (!std::isnan(q)) {
                            code = static_cast<int32_t>(std::clamp<double>(std::nearbyint(static_cast<double>(q)) + zero, lowest, highest));
                        }
                        ASSERT_EQ(y.data<float>()[i], static_cast<float>(code - zero) * step) << "at " << i << ", " << v;
                    }
                }
            }
        }
    }
}

// Codes an arithmetic node writes in its QuantizeLinear's place, read by a
// node that keeps their grid and only renames their bytes: the view must
// see codes, not the floats the node's shape rule would give. And the
// other way: a product reading codes for floats gives floats to the view
// and the activation after it, not the codes' type.
TEST(Elementwise, CodesAroundArithmeticKeepTheirTypeThroughViews) {
    const float step = 0.05f;
    const std::vector<float> va = pseudoRandom(48, 8, 5.0f);
    for (const char* view : {"Identity", "Reshape", "Flatten"}) {
        SCOPED_TRACE(view);
        // `writes`: a * 1.7 on the grid, then the view; otherwise a on the
        // grid, times 1.7, the view, then Sigmoid.
        auto run = [&](bool writes) {
            OnnxBuilder b("viewed", 16);
            b.input("a", {2, 3, 8});
            b.initializer("c", {}, {1.7f});
            b.initializer("s", {}, {step});
            b.initializer(OnnxBuilder::intTensor("z", onnx::TensorProto::UINT8, {}, {100}));
            b.initializer(OnnxBuilder::intTensor("shape", onnx::TensorProto::INT64, {2}, {6, 8}));
            if (writes) b.node("Mul", {"a", "c"}, {"v"});
            b.node("QuantizeLinear", {writes ? "v" : "a", "s", "z"}, {"q"});
            b.node("DequantizeLinear", {"q", "s", "z"}, {"d"});
            if (!writes) b.node("Mul", {"d", "c"}, {"m"});
            std::vector<std::string> in = {writes ? "d" : "m"};
            if (std::string(view) == "Reshape") in.push_back("shape");
            b.node(view, in, {writes ? "y" : "w"});
            if (!writes) b.node("Sigmoid", {"w"}, {"y"});
            b.output("y");
            Graph g(b.proto());
            g.prepare({}, {"y"});
            std::copy(va.begin(), va.end(), g.input("a").data<float>());
            g.run();
            const Tensor& y = g.value("y");
            EXPECT_EQ(y.type(), DType::Float);
            return y.type() == DType::Float ? std::vector<float>(y.data<float>(), y.data<float>() + y.size())
                                            : std::vector<float>();
        };
        const auto written = run(true), read = run(false);
        ASSERT_EQ(written.size(), 48u);
        ASSERT_EQ(read.size(), 48u);
        for (size_t i = 0; i < va.size(); ++i) {
            const float code = std::clamp(std::nearbyint(va[i] * 1.7f / step) + 100.0f, 0.0f, 255.0f);
            ASSERT_EQ(written[i], (code - 100.0f) * step) << "at " << i;
            const float codeA = std::clamp(std::nearbyint(va[i] / step) + 100.0f, 0.0f, 255.0f);
            ASSERT_NEAR(read[i], 1.0f / (1.0f + std::exp(-(codeA - 100.0f) * step * 1.7f)), 2e-7f) << "at " << i;
        }
    }
}

// QuantizeLinear at and beside every half step: the code is the rounded
// float quotient, ties to even (a product by the reciprocal instead would
// round some of these the other way), for steps across the float range.
TEST(Quantized, CodesAtHalfStepsFollowTheQuotient) {
    for (const float scale : {0.0173f, 1.0f / 3, 7.1e-5f, 0.9999999f, 3.0e-19f, 2.5e17f, 1e-30f, 1e30f}) {
        for (const auto& [type, zero] : {std::pair<int32_t, int32_t>{onnx::TensorProto::UINT8, 128},
                                         {onnx::TensorProto::INT8, -5}}) {
            SCOPED_TRACE("step " + std::to_string(scale) + (type == onnx::TensorProto::INT8 ? ", s8" : ", u8"));
            std::vector<float> x;
            for (int n = -140; n < 140; ++n) {
                const float tie = (static_cast<float>(n) + 0.5f) * scale;
                for (float v = tie, k = 0; k < 3; ++k, v = std::nextafter(v, 0.0f)) x.push_back(v);
                for (float v = tie, k = 0; k < 3; ++k, v = std::nextafter(v, 2 * tie)) x.push_back(v);
            }
            x.push_back(std::numeric_limits<float>::infinity());
            x.push_back(-std::numeric_limits<float>::infinity());
            x.push_back(std::numeric_limits<float>::quiet_NaN());
            OnnxBuilder b("ties", 13);
            b.input("x", {static_cast<int64_t>(x.size())});
            b.initializer("s", {}, {scale});
            b.initializer(OnnxBuilder::intTensor("z", type, {}, {zero}));
            b.node("QuantizeLinear", {"x", "s", "z"}, {"q"});
            b.node("DequantizeLinear", {"q", "s", "z"}, {"y"});
            b.output("y");
            Graph g(b.proto());
            g.prepare({}, {"y"});
            std::copy(x.begin(), x.end(), g.input("x").data<float>());
            g.run();
            const double lowest = type == onnx::TensorProto::UINT8 ? 0 : -128, highest = lowest + 255;
            for (size_t i = 0; i < x.size(); ++i) {
                const float q = x[i] / scale;
                const double code = std::isnan(q) ? lowest : std::clamp<double>(std::nearbyint(q) + zero, lowest, highest);
                ASSERT_EQ(g.value("y").data<float>()[i], static_cast<float>(code - zero) * scale) << x[i];
            }
        }
    }
}

// PRelu at the edges of float: infinite and NaN slopes and inputs, and
// zeros of either sign, per channel as its slope runs; only the sign of a
// zero result may differ from the definition.
TEST(Elementwise, PReluKeepsItsDefinitionAtTheEdgesOfFloat) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    const std::vector<float> slopes = {0.25f, inf, -inf, nan, -0.0f, 0.0f, -3.0f};
    const std::vector<float> xs = {-2.0f, -0.0f, 0.0f, 1.5f, inf, -inf, nan, -1e-30f, 7.0f};
    const int64_t c = static_cast<int64_t>(slopes.size()), w = static_cast<int64_t>(xs.size());
    OnnxBuilder b("prelu", 16);
    b.input("x", {1, c, 1, w});
    b.initializer("s", {c, 1, 1}, slopes);
    b.node("PRelu", {"x", "s"}, {"y"});
    b.output("y");
    Graph g(b.proto());
    g.prepare({}, {"y"});
    for (int64_t i = 0; i < c * w; ++i) g.input("x").data<float>()[i] = xs[static_cast<size_t>(i % w)];
    g.run();
    for (int64_t i = 0; i < c * w; ++i) {
        const float x = xs[static_cast<size_t>(i % w)], s = slopes[static_cast<size_t>(i / w)];
        const float want = x < 0 ? x * s : x, got = g.value("y").data<float>()[i];
        EXPECT_TRUE(got == want || (std::isnan(got) && std::isnan(want))) << "x " << x << ", slope " << s << ": " << got;
    }
}

// PRelu's slope per element, per channel as an opset-6 graph gives it
// (one dimension along axis 1) and broadcast; a slope that would widen x
// is refused, on planning's first execution at the latest.
TEST(Elementwise, PReluSlopeBroadcastsToTheInputOnly) {
    struct Case {
        int opset;
        Shape x, slope;
        bool valid;
    };
    const Case cases[] = {
        {16, {1, 3, 2, 2}, {3, 1, 1}, true},
        {16, {2, 3, 4}, {4}, true},
        {6, {1, 3, 2, 2}, {3}, true},
        {16, {2, 1}, {2, 3}, false},
        {16, {3}, {2, 3}, false},
    };
    for (const Case& c : cases) {
        OnnxBuilder b("prelu", c.opset);
        b.input("x", c.x);
        const std::vector<float> slope = pseudoRandom(static_cast<size_t>(vexart::elementCount(c.slope)), 7, 1.0f);
        b.initializer("s", c.slope, slope);
        b.node("PRelu", {"x", "s"}, {"y"});
        b.output("y");
        Graph g(b.proto());
        if (!c.valid) {
            EXPECT_THROW({ g.prepare({}, {"y"}); g.run(); }, vexart::ExecError) << vexart::shapeText(c.slope);
            continue;
        }
        g.prepare({}, {"y"});
        const std::vector<float> x = pseudoRandom(static_cast<size_t>(vexart::elementCount(c.x)), 8, 2.0f);
        std::copy(x.begin(), x.end(), g.input("x").data<float>());
        g.run();
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), c.x);
        // Which slope an element takes: its channel for the opset-6 form,
        // else the trailing dimensions the slope has.
        const int64_t inner = c.opset < 7 ? c.x[2] * c.x[3] : 1;
        for (int64_t i = 0; i < y.size(); ++i) {
            int64_t at = c.opset < 7 ? (i / inner) % c.slope[0] : 0;
            if (c.opset >= 7) {
                int64_t rest = i, stride = 1;
                for (size_t d = c.x.size(); d-- > 0;) {
                    const int64_t dim = c.x[d], k = rest % dim;
                    rest /= dim;
                    const size_t sd = d + c.slope.size();
                    if (sd < c.x.size()) continue;
                    const int64_t sdim = c.slope[sd - c.x.size()];
                    at += (sdim == 1 ? 0 : k) * stride;
                    stride *= sdim;
                }
            }
            const float xv = x[static_cast<size_t>(i)], want = xv < 0 ? xv * slope[static_cast<size_t>(at)] : xv;
            ASSERT_EQ(y.data<float>()[i], want) << "opset " << c.opset << ", x " << vexart::shapeText(c.x) << ", at " << i;
        }
    }
}

// Comparisons at, below and above each value (ties decide between the
// strict and the inclusive ones), on floats and integers, one operand a
// tensor and the other a tensor or a single value; Where choosing by a
// whole or a single condition between whole, single and broadcast
// operands. Against the definitions, worked out here.
TEST(Elementwise, ComparisonsAndWhereFollowTheirDefinitions) {
    const std::vector<float> a = {-2, -1, 0, 0, 1, 2, 2, 3, 5, -7, 4, 4, 0.5f, 9, -1, 2, 6, 1, 1};
    const std::vector<float> b = {-2, 0, 0, 1, 1, 1, 2, 4, 5, -8, 4, 3, 0.5f, 9, -1, 3, 6, 0, 1};
    const std::tuple<const char*, bool (*)(float, float)> ops[] = {
        {"Equal", [](float x, float y) { return x == y; }},     {"Less", [](float x, float y) { return x < y; }},
        {"Greater", [](float x, float y) { return x > y; }},   {"LessOrEqual", [](float x, float y) { return x <= y; }},
        {"GreaterOrEqual", [](float x, float y) { return x >= y; }},
    };
    const int64_t n = static_cast<int64_t>(a.size());
    for (const auto& [op, f] : ops) {
        for (const int32_t type : {onnx::TensorProto::FLOAT, onnx::TensorProto::INT32}) {
            for (const bool single : {false, true}) {
                OnnxBuilder b1("compare", 16);
                b1.input("a", {n}, type);
                b1.input("b", {single ? 1 : n}, type);
                b1.node(op, {"a", "b"}, {"y"});
                b1.output("y", {}, onnx::TensorProto::BOOL);
                vexart::Graph g(b1.proto());
                g.prepare({}, {"y"});
                for (int64_t i = 0; i < n; ++i) {
                    const float va = a[static_cast<size_t>(i)];
                    if (type == onnx::TensorProto::FLOAT) {
                        g.input("a").data<float>()[i] = va;
                    } else {
                        g.input("a").data<int32_t>()[i] = static_cast<int32_t>(va * 2);
                    }
                }
                for (int64_t i = 0; i < (single ? 1 : n); ++i) {
                    const float vb = single ? 2.0f : b[static_cast<size_t>(i)];
                    if (type == onnx::TensorProto::FLOAT) {
                        g.input("b").data<float>()[i] = vb;
                    } else {
                        g.input("b").data<int32_t>()[i] = static_cast<int32_t>(vb * 2);
                    }
                }
                g.run();
                for (int64_t i = 0; i < n; ++i) {
                    const float vb = single ? 2.0f : b[static_cast<size_t>(i)];
                    EXPECT_EQ(g.value("y").data<uint8_t>()[i] != 0, f(a[static_cast<size_t>(i)], vb))
                        << op << (type == onnx::TensorProto::FLOAT ? " float " : " int ") << (single ? "by one value" : "") << " at " << i;
                }
            }
        }
    }
    // Where: condition, x, y shapes; y is 100 + its index, x minus its index.
    const std::tuple<Shape, Shape, Shape> wheres[] = {
        {{2, 19}, {2, 19}, {2, 19}}, {{2, 19}, {2, 19}, {1}}, {{1}, {2, 19}, {2, 19}},
        {{2, 19}, {1}, {1}},         {{1, 19}, {2, 1}, {2, 19}},
    };
    for (const auto& [cs, xs, ys] : wheres) {
        OnnxBuilder b1("where", 16);
        b1.input("c", cs, onnx::TensorProto::BOOL);
        b1.input("x", xs);
        b1.input("y", ys);
        b1.node("Where", {"c", "x", "y"}, {"z"});
        b1.output("z");
        vexart::Graph g(b1.proto());
        g.prepare({}, {"z"});
        Tensor& c = g.input("c");
        for (int64_t i = 0; i < c.size(); ++i) c.data<uint8_t>()[i] = static_cast<uint8_t>((i * 7 + 1) % 5 < 2);
        for (int64_t i = 0; i < g.input("x").size(); ++i) g.input("x").data<float>()[i] = -static_cast<float>(i);
        for (int64_t i = 0; i < g.input("y").size(); ++i) g.input("y").data<float>()[i] = 100.0f + static_cast<float>(i);
        g.run();
        const Tensor& z = g.value("z");
        ASSERT_EQ(z.shape(), (Shape{2, 19}));
        // Index of element (r, k) in an operand of shape s, broadcast to [2, 19].
        auto at = [](const Shape& s, int64_t r, int64_t k) {
            if (s.size() == 1) return int64_t{0};
            return (s[0] == 1 ? 0 : r) * s[1] + (s[1] == 1 ? 0 : k);
        };
        for (int64_t r = 0; r < 2; ++r) {
            for (int64_t k = 0; k < 19; ++k) {
                const bool pick = c.data<uint8_t>()[at(cs, r, k)] != 0;
                const float want = pick ? -static_cast<float>(at(xs, r, k)) : 100.0f + static_cast<float>(at(ys, r, k));
                ASSERT_EQ(z.data<float>()[r * 19 + k], want) << "condition " << cs.size() << "-d at " << r << "," << k;
            }
        }
    }
}

// Transpose, Tile, Expand, DepthToSpace and SpaceToDepth move each
// element where the definition puts it: each input element holds its own
// index, so any misplaced one shows. Narrow last axes and pixel shuffles
// walk the input's contiguous axis innermost; the others the output's.
TEST(Rearrangement, EveryElementLandsWhereTheDefinitionPutsIt) {
    const std::pair<Shape, std::vector<int64_t>> transposes[] = {
        {{3, 40}, {1, 0}}, {{2, 5, 33, 3}, {0, 3, 1, 2}}, {{4, 7, 20}, {2, 0, 1}}, {{2, 3, 4, 5, 6}, {4, 2, 0, 3, 1}},
        {{6, 50, 2}, {0, 2, 1}},
    };
    for (const auto& [xs, perm] : transposes) {
        OnnxBuilder b("transpose");
        b.input("x", xs);
        OnnxBuilder::attr(b.node("Transpose", {"x"}, {"y"}), "perm", perm);
        const auto [ys, y] = runOnX(b, ramp(static_cast<size_t>(vexart::elementCount(xs))));
        std::vector<int64_t> inStrides(xs.size(), 1);
        for (size_t d = xs.size() - 1; d-- > 0;) inStrides[d] = inStrides[d + 1] * xs[d + 1];
        for (size_t o = 0; o < y.size(); ++o) {
            int64_t rest = static_cast<int64_t>(o), from = 0;
            for (size_t d = ys.size(); d-- > 0;) {
                from += (rest % ys[d]) * inStrides[static_cast<size_t>(perm[d])];
                rest /= ys[d];
            }
            ASSERT_EQ(y[o], static_cast<float>(from)) << "shape rank " << xs.size() << " at " << o;
        }
    }
    // Tile and Expand both read, along each output axis, the input's index
    // there modulo the input's length (1 for an axis Expand repeats); the
    // input's axes align with the output's last ones.
    auto repeated = [](const Shape& xs, const Shape& ys, int64_t o) {
        int64_t from = 0, stride = 1;
        for (size_t d = ys.size(); d-- > ys.size() - xs.size();) {
            const size_t at = d + xs.size() - ys.size();
            from += (o % ys[d]) % xs[at] * stride;
            o /= ys[d];
            stride *= xs[at];
        }
        return from;
    };
    const std::pair<Shape, std::vector<int64_t>> tiles[] = {{{2, 3, 5}, {3, 1, 2}}, {{4, 7}, {1, 5}}, {{3}, {4}}, {{2, 1, 9}, {2, 3, 1}}};
    for (const auto& [xs, reps] : tiles) {
        OnnxBuilder b("tile");
        b.input("x", xs);
        b.initializerInts("reps", reps);
        b.node("Tile", {"x", "reps"}, {"y"});
        const auto [ys, y] = runOnX(b, ramp(static_cast<size_t>(vexart::elementCount(xs))));
        Shape want(xs.size());
        for (size_t d = 0; d < xs.size(); ++d) want[d] = xs[d] * reps[d];
        ASSERT_EQ(ys, want);
        for (size_t o = 0; o < y.size(); ++o) {
            ASSERT_EQ(y[o], static_cast<float>(repeated(xs, ys, static_cast<int64_t>(o)))) << "Tile of rank " << xs.size() << " at " << o;
        }
    }
    const std::pair<Shape, Shape> expands[] = {{{3, 1}, {2, 3, 4}}, {{1, 5}, {4, 5}}, {{2, 1, 3}, {2, 4, 3}}, {{1}, {7}}};
    for (const auto& [xs, to] : expands) {
        OnnxBuilder b("expand");
        b.input("x", xs);
        b.initializerInts("to", to);
        b.node("Expand", {"x", "to"}, {"y"});
        const auto [ys, y] = runOnX(b, ramp(static_cast<size_t>(vexart::elementCount(xs))));
        ASSERT_EQ(ys, to);
        for (size_t o = 0; o < y.size(); ++o) {
            ASSERT_EQ(y[o], static_cast<float>(repeated(xs, ys, static_cast<int64_t>(o)))) << "Expand of rank " << xs.size() << " at " << o;
        }
    }
    struct Shuffle {
        const char* op;
        const char* mode;
        Shape xs;
        int64_t b;
    };
    const Shuffle shuffles[] = {{"DepthToSpace", "DCR", {1, 18, 5, 7}, 3}, {"DepthToSpace", "CRD", {2, 8, 3, 20}, 2},
                                {"SpaceToDepth", "DCR", {2, 3, 6, 40}, 2}};
    for (const Shuffle& c : shuffles) {
        OnnxBuilder b("shuffle");
        b.input("x", c.xs);
        auto& n = b.node(c.op, {"x"}, {"y"});
        OnnxBuilder::attr(n, "blocksize", c.b);
        if (std::string(c.op) == "DepthToSpace") OnnxBuilder::attr(n, "mode", std::string(c.mode));
        const auto [ys, y] = runOnX(b, ramp(static_cast<size_t>(vexart::elementCount(c.xs))));
        const bool toSpace = std::string(c.op) == "DepthToSpace";
        const int64_t N = c.xs[0], C = c.xs[1], H = c.xs[2], W = c.xs[3], k = c.b;
        // Every (image, channel, row, column) of the side that holds the
        // blocks in its channels, with the block offset (i, j).
        const int64_t depthC = toSpace ? C : C * k * k, spaceC = depthC / (k * k), h = toSpace ? H : H / k, w = toSpace ? W : W / k;
        ASSERT_EQ(ys, toSpace ? (Shape{N, spaceC, h * k, w * k}) : (Shape{N, depthC, h, w})) << c.op << " " << c.mode;
        for (int64_t in = 0; in < N; ++in) {
            for (int64_t ch = 0; ch < spaceC; ++ch) {
                for (int64_t i = 0; i < k; ++i) {
                    for (int64_t j = 0; j < k; ++j) {
                        const int64_t depth = std::string(c.mode) == "CRD" ? ch * k * k + i * k + j : (i * k + j) * spaceC + ch;
                        for (int64_t r = 0; r < h; ++r) {
                            for (int64_t q = 0; q < w; ++q) {
                                const int64_t deep = ((in * depthC + depth) * h + r) * w + q;
                                const int64_t wide = ((in * spaceC + ch) * h * k + r * k + i) * w * k + q * k + j;
                                const int64_t from = toSpace ? deep : wide, to = toSpace ? wide : deep;
                                ASSERT_EQ(y[static_cast<size_t>(to)], static_cast<float>(from)) << c.op << " " << c.mode;
                            }
                        }
                    }
                }
            }
        }
    }
}

// --- Resize beyond the backend test data --------------------------------

// One Resize (opset 18) on x, run; the output and its shape.
std::pair<std::vector<float>, Shape> resize(const Shape& in, const std::vector<float>& x,
                                            const std::function<void(OnnxBuilder&, onnx::NodeProto&)>& setup) {
    OnnxBuilder b("resize", 18);
    b.input("x", in);
    auto& n = b.node("Resize", {"x", "roi", "scales", "sizes"}, {"y"});
    setup(b, n);
    auto [shape, values] = runOnX(b, x);
    return {std::move(values), std::move(shape)};
}

// `axes` names the axes that scales and sizes cover; keep_aspect_ratio_policy
// gives them one scale, the smallest (not_larger) or largest (not_smaller) of
// sizes / length, each length then that scale times its own, rounded.
// Nearest with asymmetric coordinates reads x at floor(o / scale).
TEST(Resize, AxesAndAspectRatioPolicies) {
    auto nearest = [](OnnxBuilder& b, onnx::NodeProto& n) {
        OnnxBuilder::attr(n, "mode", std::string("nearest"));
        OnnxBuilder::attr(n, "coordinate_transformation_mode", std::string("asymmetric"));
        OnnxBuilder::attr(n, "nearest_mode", std::string("floor"));
        b.initializer("roi", {0}, {});
        OnnxBuilder::attr(n, "axes", std::vector<int64_t>{2, 3});
    };
    // Scales for axes 2 and 3 only: 2 and 3.
    auto [y, shape] = resize({1, 1, 2, 2}, {1, 2, 3, 4}, [&](OnnxBuilder& b, onnx::NodeProto& n) {
        nearest(b, n);
        b.initializer("scales", {2}, {2, 3});
        n.mutable_input()->RemoveLast();
    });
    EXPECT_EQ(shape, (Shape{1, 1, 4, 6}));
    EXPECT_EQ(y, (std::vector<float>{1, 1, 1, 2, 2, 2, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 3, 3, 3, 4, 4, 4}));
    struct Case {
        const char* policy;
        Shape shape;
        std::vector<int64_t> rows, columns;  // what each output row and column reads
    };
    // [5, 8] asked to become [3, 2]: scales 0.6 and 0.25.
    const Case cases[] = {{"not_larger", {1, 1, 1, 2}, {0}, {0, 4}},                  // 0.25: [1.25, 2] -> [1, 2]
                          {"not_smaller", {1, 1, 3, 5}, {0, 1, 3}, {0, 1, 3, 5, 6}}};  // 0.6: [3, 4.8] -> [3, 5]
    for (const auto& c : cases) {
        SCOPED_TRACE(c.policy);
        const auto x = ramp(40);
        auto [got, gotShape] = resize({1, 1, 5, 8}, x, [&](OnnxBuilder& b, onnx::NodeProto& n) {
            nearest(b, n);
            b.initializer("scales", {0}, {});
            b.initializerInts("sizes", {3, 2});
            OnnxBuilder::attr(n, "keep_aspect_ratio_policy", std::string(c.policy));
        });
        ASSERT_EQ(gotShape, c.shape);
        std::vector<float> want;
        for (int64_t r : c.rows) {
            for (int64_t col : c.columns) want.push_back(x[static_cast<size_t>(r * 8 + col)]);
        }
        EXPECT_EQ(got, want);
    }
}

// The passes per axis against the definition, one output element at a
// time: the source coordinate of each axis, its taps and weights, and the
// product of the weights over the axes. Ranks 3 and 5, which oneDNN's
// resampling never takes, in every mode.
struct NaiveResize {
    std::string mode, coord, nearest = "round_prefer_floor";
    float a = -0.75f;
    bool exclude = false;
    std::vector<float> roi;  // tf_crop_and_resize: starts, then ends
    float extrapolation = 0;

    double coordinate(int64_t o, int64_t in, int64_t out, double s, size_t d, size_t rank) const {
        if (coord == "asymmetric") return o / s;
        if (coord == "align_corners") return out <= 1 ? 0.0 : o * (in - 1.0) / (out - 1.0);
        if (coord == "pytorch_half_pixel") return out > 1 ? (o + 0.5) / s - 0.5 : 0.0;
        if (coord == "tf_crop_and_resize") {
            const double b = roi[d], e = roi[d + rank];
            return out > 1 ? b * (in - 1) + o * (e - b) * (in - 1) / (out - 1.0) : 0.5 * (b + e) * (in - 1);
        }
        return (o + 0.5) / s - 0.5;  // half_pixel
    }
    // Source index -> weight, for one axis.
    std::vector<std::pair<int64_t, double>> taps(double c, int64_t in, bool unscaled, int64_t o) const {
        if (mode == "nearest") {
            double i = nearest == "floor" ? std::floor(c) : nearest == "ceil" ? std::ceil(c)
                       : nearest == "round_prefer_ceil" ? std::floor(c + 0.5) : std::ceil(c - 0.5);
            return {{std::clamp<int64_t>(static_cast<int64_t>(i), 0, in - 1), 1.0}};
        }
        if (mode == "linear") {
            if (unscaled) c = static_cast<double>(o);
            c = std::clamp(c, 0.0, in - 1.0);
            const auto l = static_cast<int64_t>(c);
            return {{l, 1 - (c - l)}, {std::min(l + 1, in - 1), c - l}};
        }
        std::vector<std::pair<int64_t, double>> t;
        double sum = 0;
        for (int k = -1; k <= 2; ++k) {
            const int64_t at = static_cast<int64_t>(std::floor(c)) + k;
            const double z = std::fabs(c - at);
            double w = z <= 1 ? ((a + 2) * z - (a + 3)) * z * z + 1 : ((a * z - 5 * a) * z + 8 * a) * z - 4 * a;
            if (exclude && (at < 0 || at >= in)) w = 0;
            t.push_back({std::clamp<int64_t>(at, 0, in - 1), w});
            sum += w;
        }
        if (exclude) {
            for (auto& p : t) p.second /= sum;
        }
        return t;
    }
    std::vector<float> operator()(const Shape& in, const std::vector<float>& x, const Shape& out) const {
        const size_t r = in.size();
        std::vector<float> y;
        std::vector<int64_t> idx(r, 0);
        int64_t total = 1;
        for (int64_t n : out) total *= n;
        for (int64_t e = 0; e < total; ++e) {
            std::vector<std::vector<std::pair<int64_t, double>>> per(r);
            bool outside = false;
            for (size_t d = 0; d < r; ++d) {
                const double s = static_cast<double>(out[d]) / in[d];
                const double c = coordinate(idx[d], in[d], out[d], s, d, r);
                outside = outside || (coord == "tf_crop_and_resize" && !(c >= 0 && c <= in[d] - 1));
                per[d] = taps(c, in[d], out[d] == in[d] && coord != "align_corners", idx[d]);
            }
            double v = 0;
            std::vector<size_t> k(r, 0);
            for (bool more = true; more && !outside;) {
                double w = 1;
                int64_t at = 0;
                for (size_t d = 0; d < r; ++d) {
                    w *= per[d][k[d]].second;
                    at = at * in[d] + per[d][k[d]].first;
                }
                v += w * x[static_cast<size_t>(at)];
                more = false;
                for (size_t d = r; d-- > 0 && !more;) {
                    if (++k[d] < per[d].size()) more = true;
                    else k[d] = 0;
                }
            }
            y.push_back(outside ? extrapolation : static_cast<float>(v));
            for (size_t d = r; d-- > 0;) {
                if (++idx[d] < out[d]) break;
                idx[d] = 0;
            }
        }
        return y;
    }
};

TEST(Resize, EveryModeOnRanksOneDnnLeavesMatchesTheDefinition) {
    struct Row {
        NaiveResize rule;
        Shape in, out;
    };
    auto rule = [](std::string mode, std::string coord, std::string nearest = "", float a = -0.75f, bool exclude = false) {
        NaiveResize r;
        r.mode = std::move(mode), r.coord = std::move(coord), r.nearest = std::move(nearest), r.a = a, r.exclude = exclude;
        return r;
    };
    NaiveResize crop = rule("linear", "tf_crop_and_resize");
    crop.roi = {0, 0.2f, -0.3f, 1, 0.9f, 1.4f};
    crop.extrapolation = 7.5f;
    const std::vector<Row> rows = {
        {rule("nearest", "asymmetric", "floor"), {2, 3, 5}, {2, 7, 4}},
        {rule("nearest", "half_pixel", "round_prefer_ceil"), {1, 2, 3, 4, 5}, {1, 2, 5, 2, 9}},
        {rule("nearest", "align_corners", "ceil"), {3, 4, 6}, {3, 9, 4}},
        {rule("nearest", "pytorch_half_pixel", "round_prefer_floor"), {2, 5, 4}, {2, 10, 3}},
        {rule("linear", "half_pixel"), {2, 2, 3, 4, 5}, {2, 2, 5, 8, 3}},
        {rule("linear", "align_corners"), {2, 5, 7}, {2, 9, 3}},
        {rule("linear", "pytorch_half_pixel"), {4, 1, 6}, {4, 1, 13}},
        {rule("cubic", "half_pixel", "", -0.5f, true), {2, 6, 5}, {2, 11, 3}},
        {rule("cubic", "asymmetric"), {1, 3, 4, 5, 6}, {1, 3, 7, 2, 10}},
        {crop, {2, 5, 6}, {2, 4, 9}},
    };
    for (const Row& row : rows) {
        const NaiveResize& r = row.rule;
        SCOPED_TRACE(r.mode + " " + r.coord + " rank " + std::to_string(row.in.size()));
        size_t n = 1;
        for (int64_t d : row.in) n *= static_cast<size_t>(d);
        const std::vector<float> x = pseudoRandom(n, 17, 1.0f);
        auto [got, shape] = resize(row.in, x, [&](OnnxBuilder& b, onnx::NodeProto& node) {
            OnnxBuilder::attr(node, "mode", r.mode);
            OnnxBuilder::attr(node, "coordinate_transformation_mode", r.coord);
            if (!r.nearest.empty()) OnnxBuilder::attr(node, "nearest_mode", r.nearest);
            OnnxBuilder::attr(node, "cubic_coeff_a", r.a);
            OnnxBuilder::attr(node, "exclude_outside", int64_t{r.exclude ? 1 : 0});
            OnnxBuilder::attr(node, "extrapolation_value", r.extrapolation);
            b.initializer("roi", {static_cast<int64_t>(r.roi.size())}, r.roi);
            b.initializer("scales", {0}, {});
            b.initializerInts("sizes", row.out);
        });
        ASSERT_EQ(shape, row.out);
        const std::vector<float> want = r(row.in, x, row.out);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 2e-5) << "element " << i;
    }
}

// ConvTranspose against its definition, scattered one input element at a
// time: y[o * stride + k * dilation - pad] += x[o] * w[k] per channel pair
// of a group. 1-D to 3-D, grouped, strided, dilated, padded, with output
// padding: oneDNN's deconvolution where it applies, the reference elsewhere.
TEST(ConvTranspose, EveryGeometryMatchesTheDefinition) {
    struct Row {
        Shape x;
        int64_t m, group;
        std::vector<int64_t> k, stride, dilation, pads, outPad;
    };
    const Row rows[] = {
        {{1, 4, 7}, 6, 1, {3}, {2}, {1}, {1, 1}, {1}},
        {{2, 8, 5, 6}, 4, 2, {2, 2}, {2, 2}, {1, 1}, {0, 0, 0, 0}, {}},
        {{1, 6, 4, 5}, 6, 3, {3, 3}, {1, 2}, {2, 1}, {1, 0, 2, 1}, {}},
        {{1, 4, 3, 4, 5}, 8, 1, {3, 2, 3}, {2, 2, 1}, {1, 1, 1}, {1, 0, 1, 1, 0, 1}, {1, 1, 0}},
        {{1, 3, 5, 5}, 2, 1, {3, 3}, {3, 3}, {1, 1}, {0, 0, 0, 0}, {2, 1}},  // output padding beyond the pads
        // Sequences whose windows overlap: dilated, a vocoder's upsampling,
        // pads that cut into the first and last windows.
        {{2, 5, 9}, 4, 1, {4}, {3}, {2}, {3, 2}, {}},
        {{1, 16, 33}, 8, 1, {16}, {8}, {1}, {4, 4}, {}},
        {{1, 3, 4}, 2, 1, {3}, {1}, {3}, {4, 3}, {}},
        {{1, 2, 6}, 3, 1, {5}, {3}, {1}, {2, 3}, {2}},
        // Strides equal to the kernel, no padding: the output is tiled.
        {{2, 8, 5, 6}, 4, 1, {2, 2}, {2, 2}, {1, 1}, {0, 0, 0, 0}, {}},
        {{1, 4, 7}, 3, 1, {3}, {3}, {1}, {0, 0}, {}},
        {{2, 3, 2, 3, 4}, 5, 1, {2, 3, 1}, {2, 3, 1}, {1, 1, 1}, {0, 0, 0, 0, 0, 0}, {}},
    };
    for (const Row& r : rows) {
        const size_t sp = r.x.size() - 2;
        const int64_t C = r.x[1], Cg = C / r.group, Mg = r.m / r.group;
        Shape ws = {C, Mg};
        ws.insert(ws.end(), r.k.begin(), r.k.end());
        int64_t xn = 1, wn = 1;
        for (int64_t d : r.x) xn *= d;
        for (int64_t d : ws) wn *= d;
        const auto x = pseudoRandom(static_cast<size_t>(xn), 51, 1.0f);
        const auto w = pseudoRandom(static_cast<size_t>(wn), 52, 0.5f);
        const auto bias = pseudoRandom(static_cast<size_t>(r.m), 53, 0.5f);
        OnnxBuilder b("ct", 13);
        b.input("x", r.x);
        b.initializerRaw("w", ws, w);
        b.initializerRaw("b", {r.m}, bias);
        auto& n = b.node("ConvTranspose", {"x", "w", "b"}, {"y"});
        OnnxBuilder::attr(n, "group", r.group);
        OnnxBuilder::attr(n, "strides", r.stride);
        OnnxBuilder::attr(n, "dilations", r.dilation);
        OnnxBuilder::attr(n, "pads", r.pads);
        if (!r.outPad.empty()) OnnxBuilder::attr(n, "output_padding", r.outPad);
        b.output("y");
        Graph g(b.proto());
        g.prepare({{"x", r.x}}, {"y"});
        fill(g.input("x"), x);
        g.run();
        const Tensor& y = g.value("y");
        Shape ys = {r.x[0], r.m};
        for (size_t i = 0; i < sp; ++i) {
            ys.push_back(r.stride[i] * (r.x[i + 2] - 1) + (r.outPad.empty() ? 0 : r.outPad[i]) + (r.k[i] - 1) * r.dilation[i] + 1 -
                         r.pads[i] - r.pads[i + sp]);
        }
        ASSERT_EQ(y.shape(), ys);
        int64_t plane = 1, inPlane = 1, kPlane = 1;
        for (size_t i = 0; i < sp; ++i) plane *= ys[i + 2], inPlane *= r.x[i + 2], kPlane *= r.k[i];
        std::vector<double> want(static_cast<size_t>(y.size()));
        for (int64_t i = 0; i < r.x[0] * r.m; ++i) {
            for (int64_t p = 0; p < plane; ++p) want[static_cast<size_t>(i * plane + p)] = bias[static_cast<size_t>(i % r.m)];
        }
        for (int64_t nb = 0; nb < r.x[0]; ++nb) {
            for (int64_t c = 0; c < C; ++c) {
                const int64_t grp = c / Cg;
                for (int64_t m = 0; m < Mg; ++m) {
                    for (int64_t ip = 0; ip < inPlane; ++ip) {
                        for (int64_t kp = 0; kp < kPlane; ++kp) {
                            int64_t o = 0, irest = ip, krest = kp, iStride = inPlane, kStride = kPlane;
                            bool inside = true;
                            for (size_t d = 0; d < sp; ++d) {
                                iStride /= r.x[d + 2], kStride /= r.k[d];
                                const int64_t id = irest / iStride, kd = krest / kStride;
                                irest %= iStride, krest %= kStride;
                                const int64_t od = id * r.stride[d] + kd * r.dilation[d] - r.pads[d];
                                inside = inside && od >= 0 && od < ys[d + 2];
                                o = o * ys[d + 2] + od;
                            }
                            if (!inside) continue;
                            want[static_cast<size_t>((nb * r.m + grp * Mg + m) * plane + o)] +=
                                double(x[static_cast<size_t>((nb * C + c) * inPlane + ip)]) * w[static_cast<size_t>((c * Mg + m) * kPlane + kp)];
                        }
                    }
                }
            }
        }
        for (int64_t i = 0; i < y.size(); ++i) {
            ASSERT_NEAR(y.data<float>()[i], want[static_cast<size_t>(i)], 1e-4) << "rank " << r.x.size() << ", element " << i;
        }
    }
}

// A residual block of convolutions of every rank against the direct
// definition: conv, ReLU, conv plus a 1x1 shortcut of the block's input,
// ReLU. The shortcut's sum fuses into the second convolution; on ranks
// oneDNN runs in blocked layouts, each convolution reorders its source and
// result through buffers that all convolutions share, and the sum operand
// is moved into the result's layout first.
TEST(Conv, ResidualBlocksOfEveryRankMatchTheDefinition) {
    struct Row {
        Shape x;
        int64_t m, group;
        std::vector<int64_t> k, stride;
    };
    const Row rows[] = {
        {{2, 8, 11}, 16, 1, {3}, {1}},
        {{1, 8, 7, 9}, 16, 2, {3, 3}, {2, 1}},
        {{1, 8, 3, 6, 6}, 16, 1, {3, 3, 3}, {1, 1, 1}},  // a video network's block
        {{1, 16, 4, 5, 6}, 32, 1, {1, 3, 3}, {1, 2, 2}},
        {{2, 4, 3, 4, 5}, 16, 4, {3, 1, 3}, {1, 1, 1}},
        {{1, 2, 5000}, 8, 1, {5}, {3}},  // rows long enough to take oneDNN's direct JIT kernel
        {{1, 16, 3000}, 16, 1, {3}, {1}},  // a vocoder's layer
    };
    for (const Row& r : rows) {
        const size_t sp = r.x.size() - 2;
        const int64_t C = r.x[1], M = r.m;
        std::vector<int64_t> pads(2 * sp), one(sp, 1), none(2 * sp, 0), unitStride(sp, 1);
        for (size_t d = 0; d < sp; ++d) pads[d] = pads[d + sp] = r.k[d] / 2;
        Shape wa = {M, C / r.group}, wb = {M, M}, ws = {M, C};
        for (size_t d = 0; d < sp; ++d) wa.push_back(r.k[d]), wb.push_back(r.k[d]), ws.push_back(1);
        auto count = [](const Shape& s) {
            int64_t n = 1;
            for (int64_t d : s) n *= d;
            return static_cast<size_t>(n);
        };
        const auto x = pseudoRandom(count(r.x), 71, 1.0f);
        const auto a = pseudoRandom(count(wa), 72, 0.3f), bw = pseudoRandom(count(wb), 73, 0.1f),
                   sw = pseudoRandom(count(ws), 74, 0.3f);
        const auto ab = pseudoRandom(static_cast<size_t>(M), 75, 0.2f), bb = pseudoRandom(static_cast<size_t>(M), 76, 0.2f),
                   sb = pseudoRandom(static_cast<size_t>(M), 77, 0.2f);
        OnnxBuilder b("block", 13);
        b.input("x", r.x);
        b.initializerRaw("a", wa, a);
        b.initializerRaw("ab", {M}, ab);
        b.initializerRaw("bw", wb, bw);
        b.initializerRaw("bb", {M}, bb);
        b.initializerRaw("sw", ws, sw);
        b.initializerRaw("sb", {M}, sb);
        auto& ca = b.node("Conv", {"x", "a", "ab"}, {"h"});
        OnnxBuilder::attr(ca, "group", r.group);
        OnnxBuilder::attr(ca, "strides", r.stride);
        OnnxBuilder::attr(ca, "pads", pads);
        b.node("Relu", {"h"}, {"hr"});
        OnnxBuilder::attr(b.node("Conv", {"hr", "bw", "bb"}, {"main"}), "pads", pads);
        OnnxBuilder::attr(b.node("Conv", {"x", "sw", "sb"}, {"short"}), "strides", r.stride);
        b.node("Add", {"main", "short"}, {"sum"});
        b.node("Relu", {"sum"}, {"y"});
        b.output("y");
        Graph g(b.proto());
        g.enableTiming(true);
        g.prepare({{"x", r.x}}, {"y"});
        fill(g.input("x"), x);
        g.run();
        if (r.x.back() > 2048) {  // the first convolution reads the long rows
            ASSERT_FALSE(g.timings().empty());
            EXPECT_EQ(g.timings()[0].kernel.rfind("onednn:jit", 0), 0u) << g.timings()[0].kernel;
            // in channel blocks, a layout sequences do not pass on
            EXPECT_TRUE(g.value("h").isPlain()) << g.value("h").layout().name();
        }

        Shape hs, ms, ss;
        auto h = convolve(std::vector<double>(x.begin(), x.end()), r.x, a, ab, M, r.group, r.k, r.stride, pads, hs);
        for (double& v : h) v = std::max(v, 0.0);
        const auto main = convolve(h, hs, bw, bb, M, 1, r.k, unitStride, pads, ms);
        const auto shortcut = convolve(std::vector<double>(x.begin(), x.end()), r.x, sw, sb, M, 1, one, r.stride, none, ss);
        ASSERT_EQ(ms, ss);
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), ms);
        for (int64_t i = 0; i < y.size(); ++i) {
            const double want = std::max(main[static_cast<size_t>(i)] + shortcut[static_cast<size_t>(i)], 0.0);
            ASSERT_NEAR(y.data<float>()[i], want, 1e-4) << "rank " << r.x.size() << ", element " << i;
        }
    }
}

// Depthwise convolutions of volumes and sequences, each channel under its
// own window, against the definition: rows narrower than a vector, rows
// whose interior is not a whole number of vectors, strides and dilations
// that leave edges on both sides of a row, a window wider than the row,
// uneven pads, batches, a fused residual sum and a normalisation folded
// into the weights. One filter per channel over floats runs in the
// engine's own loop; two per channel, and images, go to oneDNN.
TEST(Conv, DepthwiseVolumesAndSequencesMatchTheDefinition) {
    struct Row {
        Shape x;
        int64_t perChannel;
        std::vector<int64_t> k, stride, dilation, pads;
        bool residual, normalized;
        std::string act = "";  // PRelu (slope -0.3) or Clip (to [-0.1, 0.2]) after, its result doubled
    };
    const Row rows[] = {
        {{1, 3, 4, 5, 6}, 1, {3, 3, 3}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1, 1, 1, 1}, false, false},
        {{2, 5, 3, 7, 28}, 1, {3, 3, 3}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1, 1, 1, 1}, true, false},
        {{1, 4, 5, 6, 45}, 1, {1, 3, 5}, {1, 2, 2}, {1, 2, 2}, {0, 1, 3, 0, 0, 2}, false, true},
        {{1, 2, 3, 3, 70}, 1, {2, 2, 7}, {2, 1, 1}, {2, 1, 3}, {0, 0, 9, 1, 1, 2}, false, false},
        {{1, 3, 2, 4, 20}, 2, {3, 3, 3}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1, 1, 1, 1}, false, false},
        {{1, 16, 1999}, 1, {3}, {1}, {64}, {64, 64}, true, false},  // a separation network's dilated layer
        {{2, 6, 50}, 1, {5}, {2}, {3}, {4, 6}, false, true},
        {{1, 5, 40}, 1, {3}, {1}, {1}, {1, 1}, false, false, "Clip"},
        {{1, 3, 7}, 1, {5}, {2}, {4}, {9, 9}, false, false, "PRelu"},  // no output has its whole window inside
        {{1, 4, 9, 33}, 1, {3, 3}, {1, 1}, {2, 2}, {2, 2, 2, 2}, false, true},
    };
    for (const Row& r : rows) {
        const int64_t C = r.x[1], M = C * r.perChannel;
        Shape ws = {M, 1};
        ws.insert(ws.end(), r.k.begin(), r.k.end());
        const auto x = pseudoRandom(static_cast<size_t>(vexart::elementCount(r.x)), 81, 1.0f);
        const auto w = pseudoRandom(static_cast<size_t>(vexart::elementCount(ws)), 82, 0.3f);
        const auto bias = pseudoRandom(static_cast<size_t>(M), 83, 0.2f);
        OnnxBuilder b("dw", 13);
        b.input("x", r.x);
        b.initializerRaw("w", ws, w);
        b.initializerRaw("b", {M}, bias);
        const auto gamma = pseudoRandom(static_cast<size_t>(M), 84, 1.0f), beta = pseudoRandom(static_cast<size_t>(M), 85, 0.5f),
                   mean = pseudoRandom(static_cast<size_t>(M), 86, 0.5f);
        const std::vector<float> var(static_cast<size_t>(M), 2.25f);
        if (r.normalized) {
            b.initializerRaw("gamma", {M}, gamma);
            b.initializerRaw("beta", {M}, beta);
            b.initializerRaw("mean", {M}, mean);
            b.initializerRaw("var", {M}, var);
            b.node("BatchNormalization", {"c", "gamma", "beta", "mean", "var"}, {"n"});
            b.node("Relu", {"n"}, {"y"});
        }
        auto& conv = b.node("Conv", {"x", "w", "b"}, {r.residual || r.normalized || !r.act.empty() ? "c" : "y"});
        OnnxBuilder::attr(conv, "group", C);
        OnnxBuilder::attr(conv, "strides", r.stride);
        OnnxBuilder::attr(conv, "dilations", r.dilation);
        OnnxBuilder::attr(conv, "pads", r.pads);
        if (!r.act.empty()) {  // doubled after: what a graph asks for stays a node's own
            b.initializer("slope", {1}, {-0.3f});
            b.initializer("lo", {}, {-0.1f});
            b.initializer("hi", {}, {0.2f});
            if (r.act == "PRelu") b.node("PRelu", {"c", "slope"}, {"p"});
            if (r.act == "Clip") b.node("Clip", {"c", "lo", "hi"}, {"p"});
            b.node("Add", {"p", "p"}, {"y"});
        }
        if (r.residual) {
            b.node("Add", {"c", "x"}, {"s"});
            b.node("Relu", {"s"}, {"y"});
        }
        b.output("y");
        Graph g(b.proto());
        g.enableTiming(true);
        g.prepare({{"x", r.x}}, {"y"});
        fill(g.input("x"), x);
        g.run();
        ASSERT_FALSE(g.timings().empty());
        EXPECT_EQ(g.timings()[0].kernel == "vexa:plain", r.perChannel == 1 && r.x.size() != 4) << g.timings()[0].kernel;
        if (r.residual || r.normalized || !r.act.empty()) {
            EXPECT_EQ(g.timings()[0].fused.size(), 1u) << vexart::shapeText(r.x) << ": the sum or normalisation runs inside the convolution";
        }

        Shape ys;
        auto want = convolve(std::vector<double>(x.begin(), x.end()), r.x, w, bias, M, C, r.k, r.stride, r.pads, ys, r.dilation);
        if (r.residual) {
            for (size_t i = 0; i < want.size(); ++i) want[i] = std::max(want[i] + x[i], 0.0);
        }
        for (double& v : want) {
            if (r.act == "PRelu") v = 2 * (v < 0 ? v * -0.3f : v);
            if (r.act == "Clip") v = 2 * std::min(std::max(v, -0.1), 0.2);
        }
        const size_t plane = want.size() / static_cast<size_t>(ys[0] * M);
        for (size_t i = 0; r.normalized && i < want.size(); ++i) {
            const size_t m = i / plane % static_cast<size_t>(M);
            want[i] = std::max((want[i] - mean[m]) / std::sqrt(2.25 + 1e-5) * gamma[m] + beta[m], 0.0);
        }
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), ys);
        for (int64_t i = 0; i < y.size(); ++i) {
            ASSERT_NEAR(y.data<float>()[i], want[static_cast<size_t>(i)], 1e-4) << vexart::shapeText(r.x) << ", element " << i;
        }
    }
}

// Weights an exporter quantizes in the graph (float -> QuantizeLinear ->
// DequantizeLinear -> Conv, the zero point also copied by an Identity) fold
// once: the float weights are freed after the first plan, and plans for
// other input shapes, which fold nothing again, still compute the
// convolution of the dequantized weights.
TEST(Conv, WeightsQuantizedInTheGraphFoldOnceAndFreeTheirFloats) {
    const Shape ws = {8, 4, 3, 3};
    const auto w = pseudoRandom(8 * 4 * 9, 81, 0.5f);
    const auto bias = pseudoRandom(8, 82, 0.2f);
    const float step = 0.02f;
    const int8_t zero = 3;
    OnnxBuilder b("fq", 13);
    b.input("x", {-1, 4, -1, -1});
    b.initializerRaw("w", ws, w);
    b.initializerRaw("b", {8}, bias);
    b.initializer("s", {}, {step});
    b.initializer(OnnxBuilder::intTensor("z", onnx::TensorProto::INT8, {}, {zero}));
    b.node("Identity", {"z"}, {"z2"});
    b.node("QuantizeLinear", {"w", "s", "z2"}, {"q"});
    b.node("DequantizeLinear", {"q", "s", "z"}, {"wd"});
    OnnxBuilder::attr(b.node("Conv", {"x", "wd", "b"}, {"y"}), "pads", std::vector<int64_t>{1, 1, 1, 1});
    b.output("y");
    std::vector<float> dequantized(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        const double code = std::clamp(std::nearbyint(double(w[i]) / step) + zero, -128.0, 127.0);
        dequantized[i] = static_cast<float>((code - zero) * step);
    }
    Graph g(b.proto());
    for (const Shape& xs : {Shape{1, 4, 5, 6}, Shape{2, 4, 7, 3}, Shape{1, 4, 5, 6}}) {
        g.prepare({{"x", xs}}, {"y"});
        EXPECT_LT(g.constantBytes(), w.size() * sizeof(float)) << "the float weights are still held";
        const auto x = pseudoRandom(static_cast<size_t>(xs[0] * 4 * xs[2] * xs[3]), 83, 1.0f);
        fill(g.input("x"), x);
        g.run();
        Shape ys;
        const auto want = convolve(std::vector<double>(x.begin(), x.end()), xs, dequantized, bias, 8, 1, {3, 3}, {1, 1},
                                   {1, 1, 1, 1}, ys);
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), ys);
        for (int64_t i = 0; i < y.size(); ++i) {
            ASSERT_NEAR(y.data<float>()[i], want[static_cast<size_t>(i)], 2e-2) << vexart::shapeText(xs) << ", element " << i;
        }
    }
}

// Weights that reach convolutions as dequantized codes come to them as
// those codes: the dequantization's result holds the codes, never floats.
// Codes given as raw bytes (copied), as other elements (taken over) or
// made by a QuantizeLinear in the graph (taken over); one scale or one per
// output or input channel, zero points of zero or not, u8 or s8. With the
// input on a grid too, symmetric s8 weights per output channel run on
// integers; the rest, a normalisation folded in among them, on floats from
// the codes dequantized. Each against the definition on the dequantized
// weights.
TEST(Conv, WeightCodesReachTheConvolutionAsCodes) {
    enum class Codes { RawBytes, Elements, Quantized };
    struct Row {
        Codes codes;
        bool s8;
        int64_t axis;  // -1: one scale
        int zero;
        bool inputOnGrid, normalized, integer;
    };
    const Row rows[] = {
        {Codes::RawBytes, true, 0, 0, true, false, true},     {Codes::Elements, true, -1, 0, true, false, true},
        {Codes::Quantized, true, 0, 0, true, false, true},    {Codes::RawBytes, true, 0, 0, false, false, false},
        {Codes::RawBytes, false, -1, 117, true, false, false}, {Codes::Elements, true, 1, 0, true, false, false},
        {Codes::RawBytes, true, 0, -5, false, false, false},  {Codes::Quantized, false, 1, 30, false, true, false},
        {Codes::RawBytes, true, 0, 0, true, true, false},
    };
    const int64_t C = 4, M = 8, H = 6;
    const Shape xs = {1, C, H, H}, ws = {M, C, 3, 3};
    const size_t n = static_cast<size_t>(M * C * 9);
    for (const Row& r : rows) {
        const size_t scales = r.axis < 0 ? 1 : static_cast<size_t>(ws[static_cast<size_t>(r.axis)]);
        std::vector<float> step(scales);
        for (size_t c = 0; c < scales; ++c) step[c] = 0.004f * static_cast<float>(c + 1);
        auto stepOf = [&](size_t i) {  // of weight i
            if (r.axis < 0) return step[0];
            return step[r.axis == 0 ? i / static_cast<size_t>(C * 9) : i / 9 % static_cast<size_t>(C)];
        };
        const auto floats = pseudoRandom(n, 61, 0.4f);
        std::vector<int> codes(n);
        std::vector<float> dequantized(n);
        const double lo = r.s8 ? -128 : 0, hi = r.s8 ? 127 : 255;
        for (size_t i = 0; i < n; ++i) {
            codes[i] = static_cast<int>(std::clamp(std::nearbyint(double(floats[i]) / stepOf(i)) + r.zero, lo, hi));
            dequantized[i] = static_cast<float>((codes[i] - r.zero) * double(stepOf(i)));
        }
        const int32_t type = r.s8 ? onnx::TensorProto::INT8 : onnx::TensorProto::UINT8;
        OnnxBuilder b("wcodes", 13);
        b.input("x", xs);
        const std::vector<int64_t> zdims = r.axis < 0 ? std::vector<int64_t>{} : std::vector<int64_t>{int64_t(scales)};
        b.initializer("ws", zdims, step);
        b.initializer(OnnxBuilder::intTensor("wz", type, zdims, std::vector<int32_t>(scales, r.zero)));
        if (r.codes == Codes::Quantized) {
            b.initializerRaw("wf", ws, floats);
            OnnxBuilder::attr(b.node("QuantizeLinear", {"wf", "ws", "wz"}, {"w"}), "axis", std::max<int64_t>(r.axis, 0));
        } else if (r.codes == Codes::Elements) {
            b.initializer(OnnxBuilder::intTensor("w", type, ws, codes));
        } else {
            onnx::TensorProto t = OnnxBuilder::intTensor("w", type, ws, {});
            std::string bytes;
            for (int c : codes) bytes.push_back(static_cast<char>(c));
            t.set_raw_data(bytes);
            b.initializer(t);
        }
        OnnxBuilder::attr(b.node("DequantizeLinear", {"w", "ws", "wz"}, {"wd"}), "axis", std::max<int64_t>(r.axis, 0));
        const auto bias = pseudoRandom(static_cast<size_t>(M), 62, 0.2f);
        b.initializerRaw("b", {M}, bias);
        const std::string in = r.inputOnGrid ? inputOnGrid(b) : "x";
        OnnxBuilder::attr(b.node("Conv", {in, "wd", "b"}, {r.normalized ? "c" : "y"}), "pads", std::vector<int64_t>{1, 1, 1, 1});
        const auto gamma = pseudoRandom(static_cast<size_t>(M), 63, 1.0f), beta = pseudoRandom(static_cast<size_t>(M), 64, 0.5f);
        if (r.normalized) {
            b.initializerRaw("gamma", {M}, gamma);
            b.initializerRaw("beta", {M}, beta);
            b.initializerRaw("mean", {M}, std::vector<float>(static_cast<size_t>(M), 0.1f));
            b.initializerRaw("var", {M}, std::vector<float>(static_cast<size_t>(M), 4.0f));
            b.node("BatchNormalization", {"c", "gamma", "beta", "mean", "var"}, {"y"});
        }
        b.output("y");
        const std::string what = "row " + std::to_string(&r - rows);
        Graph g(b.proto());
        g.enableTiming(true);
        g.prepare({{"x", xs}}, {"y"});
        EXPECT_EQ(static_cast<int32_t>(g.value("wd").type()), type) << what << ": the weights were made floats";
        auto x = pseudoRandom(static_cast<size_t>(C * H * H), 65, 1.0f);
        fill(g.input("x"), x);
        g.run();
        const auto& t = g.timings();
        ASSERT_FALSE(t.empty());
        // Without VNNI only codes within 63 run on integers (pairs sum in 16 bits).
        int largest = 0;
        for (int c : codes) largest = std::max(largest, std::abs(c - r.zero));
        const bool integer = r.integer && (vexart::onednn::hasVnni() || largest <= 63);
        EXPECT_EQ(t.back().precision, integer ? "int8" : "f32") << what;
        if (r.inputOnGrid) ontoInputGrid(x);
        Shape ys;
        auto want = convolve(std::vector<double>(x.begin(), x.end()), xs, dequantized, bias, M, 1, {3, 3}, {1, 1},
                             {1, 1, 1, 1}, ys);
        for (size_t i = 0; r.normalized && i < want.size(); ++i) {
            const size_t m = i / static_cast<size_t>(H * H);
            want[i] = (want[i] - 0.1) / std::sqrt(4.0 + 1e-5) * gamma[m] + beta[m];
        }
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), ys);
        for (int64_t i = 0; i < y.size(); ++i) {
            ASSERT_NEAR(y.data<float>()[i], want[static_cast<size_t>(i)], 1e-4) << what << ", element " << i;
        }
    }
}

// Codes whose scales do not fit them (three for eight output channels)
// stay the dequantization's to refuse, with its own message.
TEST(Conv, WeightCodesOnAGridThatDoesNotFitAreRefusedByTheirDequantization) {
    OnnxBuilder b("misfit", 13);
    b.input("x", {1, 4, 5, 5});
    b.initializer(OnnxBuilder::intTensor("w", onnx::TensorProto::INT8, {8, 4, 3, 3}, std::vector<int32_t>(288, 3)));
    b.initializer("ws", {3}, {0.1f, 0.2f, 0.3f});
    OnnxBuilder::attr(b.node("DequantizeLinear", {"w", "ws"}, {"wd"}), "axis", int64_t{0});
    b.node("Conv", {"x", "wd"}, {"y"});
    b.output("y");
    Graph g(b.proto());
    try {
        g.prepare({}, {"y"});
        ADD_FAILURE() << "planned";
    } catch (const vexart::ExecError& e) {
        EXPECT_NE(std::string(e.what()).find("DequantizeLinear node"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("per-axis scale does not match"), std::string::npos) << e.what();
    }
}

// An unrolled recurrent network: five convolutions on one weight tensor,
// one of them with a normalisation folded into its copy, the others with
// their own biases. Each computes what the definition gives, and the
// nodes that pack the weights alike hold one copy between them; the same
// network with weights scaled apart shares nothing.
TEST(Conv, NodesOnTheSameWeightsHoldOnePackedCopy) {
    const int64_t C = 160;
    const Shape xs = {1, C, 5, 5}, ws = {C, C, 3, 3};
    const size_t packed = static_cast<size_t>(C * C * 9) * sizeof(float);
    const auto x = pseudoRandom(static_cast<size_t>(C * 25), 91, 1.0f);
    const auto w = pseudoRandom(static_cast<size_t>(C * C * 9), 92, 0.05f);
    const auto b1 = pseudoRandom(static_cast<size_t>(C), 93, 0.2f), b2 = pseudoRandom(static_cast<size_t>(C), 94, 0.2f);
    const auto gamma = pseudoRandom(static_cast<size_t>(C), 95, 0.5f), beta = pseudoRandom(static_cast<size_t>(C), 96, 0.2f);
    std::vector<float> scale(gamma.size());
    for (size_t i = 0; i < scale.size(); ++i) scale[i] = 1.0f + gamma[i];
    // With `distinct`, each step has weights of its own (scaled apart): the
    // same graph with nothing to share, to hold the shared one against.
    const std::vector<int64_t> pads = {1, 1, 1, 1};
    auto unrolled = [&](bool distinct) {
        OnnxBuilder b("unrolled", 13);
        b.input("x", xs);
        b.initializerRaw("b1", {C}, b1);
        b.initializerRaw("b2", {C}, b2);
        b.initializerRaw("scale", {C}, scale);
        b.initializerRaw("beta", {C}, beta);
        b.initializer("mean", {C}, std::vector<float>(static_cast<size_t>(C), 0.0f));
        b.initializer("var", {C}, std::vector<float>(static_cast<size_t>(C), 1.0f));
        const char* biases[] = {"b1", "b2", "b1", "b1", "b2"};
        std::string in = "x";
        for (int step = 0; step < 5; ++step) {
            const std::string c = "c" + std::to_string(step), r = "r" + std::to_string(step);
            const std::string weights = distinct ? "w" + std::to_string(step) : "w";
            if (distinct || step == 0) {
                std::vector<float> own = w;
                for (float& v : own) v *= distinct ? 1.0f + 0.01f * static_cast<float>(step) : 1.0f;
                b.initializerRaw(weights, ws, own);
            }
            OnnxBuilder::attr(b.node("Conv", {in, weights, biases[step]}, {c}), "pads", pads);
            std::string act = c;
            if (step == 3) {
                act = "n3";
                b.node("BatchNormalization", {c, "scale", "beta", "mean", "var"}, {act});
            }
            b.node("Relu", {act}, {r});
            in = r;
        }
        b.output(in);
        return b;
    };
    const std::string in = "r4";
    const OnnxBuilder shared = unrolled(false);
    const size_t before = vexart::sharedBytesSaved();
    {
        Graph apart(unrolled(true).proto());
        apart.prepare({{"x", xs}}, {in});
        EXPECT_EQ(vexart::sharedBytesSaved(), before) << "weights scaled apart were shared";
    }
    Graph g(shared.proto());
    g.prepare({{"x", xs}}, {in});
    // Five packed copies held as two (the normalised step's differs).
    EXPECT_EQ(vexart::sharedBytesSaved() - before, 3 * packed);
    fill(g.input("x"), x);
    g.run();

    std::vector<double> h(x.begin(), x.end());
    Shape hs = xs;
    for (int step = 0; step < 5; ++step) {
        Shape ys;
        h = convolve(h, hs, w, step == 1 || step == 4 ? b2 : b1, C, 1, {3, 3}, {1, 1}, pads, ys);
        hs = ys;
        for (size_t i = 0; i < h.size(); ++i) {
            const size_t ch = i / 25;
            if (step == 3) h[i] = h[i] * scale[ch] / std::sqrt(1.0 + 1e-5) + beta[ch];
            h[i] = std::max(h[i], 0.0);
        }
    }
    const Tensor& y = g.value(in);
    ASSERT_EQ(y.shape(), hs);
    for (int64_t i = 0; i < y.size(); ++i) {
        ASSERT_NEAR(y.data<float>()[i], h[static_cast<size_t>(i)], 1e-3 * (1 + std::fabs(h[static_cast<size_t>(i)])))
            << "element " << i;
    }
}

// Reductions of what 1-D and 3-D convolutions leave channels last: the
// convolution output is channels last; reductions whose kept axes come in
// the same order either way read it where it lies, the others a plain
// copy; all give the definition. The convolution is the identity, so the
// reference reduces the input itself.
TEST(Reductions, ChannelsLastSequencesAndVolumesGiveTheDefinition) {
    struct Row {
        const char* op;
        Shape xs;
        std::vector<int64_t> axes;
        int64_t keep;
    };
    const Row rows[] = {
        {"ReduceMax", {2, 16, 37}, {2}, 0},     {"ReduceMean", {2, 16, 37}, {2}, 1},  {"ReduceSum", {2, 16, 37}, {1}, 1},
        {"ReduceMax", {2, 16, 37}, {1, 2}, 0},  {"ReduceSum", {2, 16, 37}, {0}, 1},   {"ReduceMean", {2, 16, 37}, {0, 2}, 0},
        {"ReduceMin", {2, 16, 37}, {-1}, 0},    {"ReduceMean", {1, 8, 3, 4, 5}, {2, 3, 4}, 1},
        {"ReduceMax", {1, 8, 3, 4, 5}, {3}, 1},
    };
    for (const Row& r : rows) {
        const int64_t C = r.xs[1];
        int64_t n = 1;
        for (int64_t d : r.xs) n *= d;
        const auto x = pseudoRandom(static_cast<size_t>(n), 151, 2.0f);
        Shape ws = {C, C};
        ws.resize(r.xs.size(), 1);
        std::vector<float> eye(static_cast<size_t>(C * C), 0.0f);
        for (int64_t c = 0; c < C; ++c) eye[static_cast<size_t>(c * C + c)] = 1.0f;
        OnnxBuilder b("red", 11);
        b.input("x", r.xs);
        b.initializerRaw("eye", ws, eye);
        b.node("Conv", {"x", "eye"}, {"c"});
        auto& red = b.node(r.op, {"c"}, {"y"});
        OnnxBuilder::attr(red, "axes", r.axes);
        OnnxBuilder::attr(red, "keepdims", r.keep);
        b.output("y");
        Graph g(b.proto());
        g.prepare({{"x", r.xs}}, {"y"});
        fill(g.input("x"), x);
        g.run();
        const size_t rank = r.xs.size();
        // Where oneDNN picks channels last (AVX-512; on AVX2 it keeps channel blocks inside).
        EXPECT_EQ(g.value("c").layout().isChannelsLast(), vexart::onednn::hasAvx512())
            << r.op << " " << vexart::shapeText(r.xs) << ": " << g.value("c").layout().name();
        std::vector<bool> reduce(rank, false);
        for (int64_t a : r.axes) reduce[static_cast<size_t>(a < 0 ? a + static_cast<int64_t>(rank) : a)] = true;
        Shape ys;
        for (size_t d = 0; d < rank; ++d) {
            if (!reduce[d] || r.keep) ys.push_back(reduce[d] ? 1 : r.xs[d]);
        }
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), ys) << r.op;
        ASSERT_TRUE(y.isPlain());
        // Walk every input element, find its output element, combine in double.
        const std::string op = r.op;
        std::vector<double> acc(static_cast<size_t>(y.size()), op == "ReduceMax" ? -1e30 : op == "ReduceMin" ? 1e30 : 0.0);
        std::vector<int64_t> count(acc.size(), 0);
        for (int64_t i = 0; i < n; ++i) {
            int64_t rest = i, out = 0, scale = 1;
            for (size_t d = rank; d-- > 0;) {
                const int64_t at = rest % r.xs[d];
                rest /= r.xs[d];
                if (!reduce[d]) {
                    out += at * scale;
                    scale *= r.xs[d];
                }
            }
            double& a = acc[static_cast<size_t>(out)];
            const double v = x[static_cast<size_t>(i)];
            a = op == "ReduceMax" ? std::max(a, v) : op == "ReduceMin" ? std::min(a, v) : a + v;
            ++count[static_cast<size_t>(out)];
        }
        for (int64_t i = 0; i < y.size(); ++i) {
            const double want = op == "ReduceMean" ? acc[static_cast<size_t>(i)] / count[static_cast<size_t>(i)] : acc[static_cast<size_t>(i)];
            ASSERT_NEAR(y.data<float>()[i], want, 1e-4) << op << " " << vexart::shapeText(r.xs) << ", element " << i;
        }
    }
}

// Reductions over every pattern of axes of a rank-3 tensor (one block of
// adjacent axes, the fast path; separated axes; all) against the
// definition computed here in double.
TEST(Reductions, EveryAxisPatternMatchesTheDefinition) {
    const Shape xs = {3, 37, 20};
    const auto x = pseudoRandom(3 * 37 * 20, 61, 1.0f);
    const std::vector<std::vector<int64_t>> patterns = {{0}, {1}, {2}, {0, 1}, {1, 2}, {0, 2}, {0, 1, 2}};
    const char* ops[] = {"ReduceSum", "ReduceMean", "ReduceMax", "ReduceMin", "ReduceProd", "ReduceL1", "ReduceL2",
                         "ReduceSumSquare", "ReduceLogSumExp"};
    for (const char* opName : ops) {
        const std::string op = opName;
        for (const auto& axes : patterns) {
            OnnxBuilder b("red", 11);  // axes as an attribute for every one of them
            b.input("x", xs);
            auto& n = b.node(op, {"x"}, {"y"});
            OnnxBuilder::attr(n, "axes", axes);
            b.output("y");
            Graph g(b.proto());
            g.prepare({{"x", xs}}, {"y"});
            fill(g.input("x"), x);
            g.run();
            const Tensor& y = g.value("y");
            Shape ys = xs;
            for (int64_t a : axes) ys[static_cast<size_t>(a)] = 1;
            ASSERT_EQ(y.shape(), ys) << op;
            for (int64_t i = 0; i < y.size(); ++i) {
                const int64_t o0 = i / (ys[1] * ys[2]), o1 = i / ys[2] % ys[1], o2 = i % ys[2];
                double acc = op == "ReduceMax" ? -1e30 : op == "ReduceMin" ? 1e30 : op == "ReduceProd" ? 1 : 0;
                int64_t count = 0;
                for (int64_t a = 0; a < xs[0]; ++a) {
                    for (int64_t c = 0; c < xs[1]; ++c) {
                        for (int64_t d = 0; d < xs[2]; ++d) {
                            if ((ys[0] != 1 && a != o0) || (ys[1] != 1 && c != o1) || (ys[2] != 1 && d != o2)) continue;
                            const double v = x[static_cast<size_t>((a * xs[1] + c) * xs[2] + d)];
                            ++count;
                            if (op == "ReduceMax") acc = std::max(acc, v);
                            else if (op == "ReduceMin") acc = std::min(acc, v);
                            else if (op == "ReduceProd") acc *= v;
                            else if (op == "ReduceL1") acc += std::fabs(v);
                            else if (op == "ReduceL2" || op == "ReduceSumSquare") acc += v * v;
                            else if (op == "ReduceLogSumExp") acc += std::exp(v);
                            else acc += v;
                        }
                    }
                }
                if (op == "ReduceMean") acc /= static_cast<double>(count);
                if (op == "ReduceL2") acc = std::sqrt(acc);
                if (op == "ReduceLogSumExp") acc = std::log(acc);
                ASSERT_NEAR(y.data<float>()[i], acc, 1e-4 * (1 + std::fabs(acc))) << op << " element " << i;
            }
        }
    }
}

// Einsum products (batch, row, column and summed labels in any order;
// outer products; operands and results read and written where they lie,
// row- or column-major, and copied where their labels make no matrix; chains of three and four operands,
// whose intermediate results keep what a later operand or the output
// needs) on float operands, which run as matrix products, against the same
// equation on doubles, which walk every combination of labels.
TEST(Einsum, ProductsMatchTheWalkOverEveryLabel) {
    struct Row {
        const char* equation;
        std::vector<Shape> shapes;
        bool products = true;  // false: a label summed inside one operand, which only the walk takes
    };
    const Row rows[] = {{"bhqd,bhkd->bhqk", {{2, 3, 5, 4}, {2, 3, 6, 4}}},
                        {"ij,jk->ik", {{4, 7}, {7, 3}}},
                        {"ij,jk->ki", {{4, 7}, {7, 3}}},
                        {"bij,jk->bik", {{2, 4, 5}, {5, 3}}},
                        {"i,j->ij", {{5}, {6}}},
                        {"ab,ab->a", {{4, 9}, {4, 9}}},
                        {"ab,ab->", {{4, 9}, {4, 9}}},
                        {"abc,dcb->dba", {{2, 3, 4}, {5, 4, 3}}},
                        {"bi,bj->bij", {{3, 5}, {3, 7}}},
                        {"bi,bj->jbi", {{3, 5}, {3, 7}}},
                        {"bij,bjk->bik", {{4, 6, 1}, {4, 1, 5}}},
                        {"bji,bjk->bik", {{3, 5, 4}, {3, 5, 2}}},
                        {"ij,jk->ik", {{1, 7}, {7, 3}}},
                        {"ji,kj->ik", {{6, 4}, {3, 6}}},
                        {"abc,cd->bad", {{2, 3, 4}, {4, 5}}},
                        {"ab,cd->acbd", {{2, 3}, {4, 5}}},
                        {"bi,jb->bij", {{3, 5}, {4, 3}}},
                        {"bnhd,bhde,bnh->bnhe", {{2, 5, 3, 4}, {2, 3, 4, 6}, {2, 5, 3}}},
                        {"ij,jk,kl->il", {{3, 4}, {4, 5}, {5, 2}}},
                        {"ab,bc,ca->", {{3, 4}, {4, 5}, {5, 3}}},
                        {"i,i,i->i", {{7}, {7}, {7}}},
                        {"ij,j,jk,k->ik", {{3, 4}, {4}, {4, 5}, {5}}},
                        {"ab,b,c->ac", {{3, 4}, {4}, {2}}},
                        {"ab,b,c->a", {{3, 4}, {4}, {2}}, false},
                        {"ab,bc,c->b", {{3, 4}, {4, 5}, {5}}, false}};
    for (const Row& r : rows) {
        std::vector<std::vector<double>> results;
        for (int32_t type : {onnx::TensorProto::FLOAT, onnx::TensorProto::DOUBLE}) {
            OnnxBuilder b("einsum", 13);
            std::vector<std::string> names;
            std::map<std::string, Shape> shapes;
            for (size_t i = 0; i < r.shapes.size(); ++i) {
                names.push_back(std::string(1, char('a' + i)));
                b.input(names.back(), r.shapes[i], type);
                shapes[names.back()] = r.shapes[i];
            }
            OnnxBuilder::attr(b.node("Einsum", names, {"y"}), "equation", std::string(r.equation));
            b.output("y");
            Graph g(b.proto());
            g.enableTiming(true);
            g.prepare(shapes, {"y"});
            for (size_t k = 0; k < names.size(); ++k) {
                Tensor& t = g.input(names[k]);
                const auto v = pseudoRandom(static_cast<size_t>(t.size()), 71 + static_cast<uint32_t>(k), 1.0f);
                for (int64_t i = 0; i < t.size(); ++i) {
                    if (type == onnx::TensorProto::FLOAT) t.data<float>()[i] = v[static_cast<size_t>(i)];
                    else t.data<double>()[i] = v[static_cast<size_t>(i)];
                }
            }
            g.run();
            const bool products = type == onnx::TensorProto::FLOAT && r.products;
            EXPECT_EQ(g.timings().at(0).kernel, products ? "vexa:products" : "vexa:walk") << r.equation;
            const Tensor& y = g.value("y");
            std::vector<double> got;
            for (int64_t i = 0; i < y.size(); ++i) got.push_back(y.scalarAsDouble(i));
            results.push_back(got);
        }
        ASSERT_EQ(results[0].size(), results[1].size()) << r.equation;
        for (size_t i = 0; i < results[0].size(); ++i) ASSERT_NEAR(results[0][i], results[1][i], 1e-5) << r.equation << " " << i;
    }
}

// An output label named twice names no element (numpy refuses it too).
TEST(Einsum, AnOutputLabelNamedTwiceIsRefused) {
    OnnxBuilder b("einsum", 13);
    b.input("a", {3, 4});
    b.input("b", {4, 3});
    OnnxBuilder::attr(b.node("Einsum", {"a", "b"}, {"y"}), "equation", std::string("ij,jk->ii"));
    b.output("y");
    try {
        Graph g(b.proto());
        g.prepare({}, {"y"});
        g.run();
        FAIL() << "ran";
    } catch (const vexart::ExecError& e) {
        EXPECT_NE(std::string(e.what()).find("einsum output repeats a label"), std::string::npos) << e.what();
    }
}

// ScatterElements against its definition, element by element: every axis
// of a rank-3 tensor, indices narrower than the data along the axis and
// negative ones, int32 and int64 indices, 4-, 8- and 1-byte data, and add
// with duplicate targets.
TEST(ScatterElements, EveryAxisMatchesTheDefinition) {
    const Shape dataShape{3, 4, 5};
    for (int64_t axis = 0; axis < 3; ++axis) {
        for (const int32_t indexType : {onnx::TensorProto::INT32, onnx::TensorProto::INT64}) {
            for (const int32_t dataType : {onnx::TensorProto::FLOAT, onnx::TensorProto::INT64, onnx::TensorProto::UINT8}) {
                for (const char* reduction : {"none", "add"}) {
                    SCOPED_TRACE(std::to_string(axis) + " " + std::to_string(indexType) + " " + std::to_string(dataType) +
                                 " " + reduction);
                    Shape indShape = dataShape;
                    indShape[0] = 2;  // fewer rows than the data holds, along the axis or not
                    indShape[2] = 4;
                    const int64_t count = indShape[0] * indShape[1] * indShape[2];
                    const int64_t len = dataShape[static_cast<size_t>(axis)];
                    // Targets along the axis, negative half the time; with "add" they repeat.
                    std::vector<int64_t> idx(static_cast<size_t>(count));
                    for (int64_t u = 0; u < count; ++u) {
                        const int64_t t = (u * 7 + 3) % len;
                        idx[static_cast<size_t>(u)] = u % 2 == 0 ? t : t - len;
                    }
                    OnnxBuilder b("scatter", 16);
                    b.input("data", dataShape, dataType);
                    b.input("upd", indShape, dataType);
                    const std::vector<int32_t> idx32(idx.begin(), idx.end());
                    b.initializer(OnnxBuilder::intTensor("ind", indexType, indShape, idx32));
                    auto& n = b.node("ScatterElements", {"data", "ind", "upd"}, {"y"});
                    OnnxBuilder::attr(n, "axis", axis);
                    OnnxBuilder::attr(n, "reduction", std::string(reduction));
                    b.output("y");
                    Graph g(b.proto());
                    g.prepare({}, {"y"});
                    Tensor& data = g.input("data");
                    Tensor& upd = g.input("upd");
                    std::vector<double> expected(static_cast<size_t>(data.size()));
                    auto set = [](Tensor& t, int64_t i, double v) {
                        if (t.type() == DType::Float) t.data<float>()[i] = static_cast<float>(v);
                        else if (t.type() == DType::Int64) t.data<int64_t>()[i] = static_cast<int64_t>(v);
                        else t.data<uint8_t>()[i] = static_cast<uint8_t>(v);
                    };
                    for (int64_t i = 0; i < data.size(); ++i) {
                        set(data, i, static_cast<double>(i % 11));
                        expected[static_cast<size_t>(i)] = static_cast<double>(i % 11);
                    }
                    for (int64_t u = 0; u < count; ++u) {
                        set(upd, u, static_cast<double>(100 + u % 50));
                        int64_t c[3] = {u / (indShape[1] * indShape[2]), u / indShape[2] % indShape[1], u % indShape[2]};
                        const int64_t t = idx[static_cast<size_t>(u)];
                        c[axis] = t < 0 ? t + len : t;
                        double& e = expected[static_cast<size_t>((c[0] * dataShape[1] + c[1]) * dataShape[2] + c[2])];
                        e = std::string(reduction) == "add" ? e + (100 + u % 50) : 100 + u % 50;
                    }
                    g.run();
                    const Tensor& y = g.value("y");
                    ASSERT_EQ(y.shape(), dataShape);
                    for (int64_t i = 0; i < y.size(); ++i) {
                        const double want = dataType == onnx::TensorProto::UINT8
                                                ? static_cast<double>(static_cast<uint8_t>(expected[static_cast<size_t>(i)]))
                                                : expected[static_cast<size_t>(i)];
                        ASSERT_EQ(y.scalarAsDouble(i), want) << i;
                    }
                }
            }
        }
    }
}

// RoiAlign against its definition, sample by sample: average and max
// pooling (max takes the largest weighted neighbour), both coordinate
// modes, fixed and adaptive sampling grids, a region reaching outside the
// image, and one sampled too finely for the kernel to keep its taps.
float roiSample(const float* plane, int64_t H, int64_t W, float y, float x, bool max) {
    if (y < -1.0f || y > static_cast<float>(H) || x < -1.0f || x > static_cast<float>(W)) return 0;
    y = std::max(y, 0.0f);
    x = std::max(x, 0.0f);
    int64_t y0 = static_cast<int64_t>(y), x0 = static_cast<int64_t>(x), y1 = y0 + 1, x1 = x0 + 1;
    if (y0 >= H - 1) y = static_cast<float>(y0 = y1 = H - 1);
    if (x0 >= W - 1) x = static_cast<float>(x0 = x1 = W - 1);
    const float ly = y - static_cast<float>(y0), lx = x - static_cast<float>(x0);
    const float t[4] = {(1 - ly) * (1 - lx) * plane[y0 * W + x0], (1 - ly) * lx * plane[y0 * W + x1],
                        ly * (1 - lx) * plane[y1 * W + x0], ly * lx * plane[y1 * W + x1]};
    return max ? std::max(std::max(t[0], t[1]), std::max(t[2], t[3])) : t[0] + t[1] + t[2] + t[3];
}

TEST(RoiAlign, PoolsWhatTheDefinitionPools) {
    struct Row {
        const char* mode;
        bool halfPixel;
        int64_t ratio, outH, outW;
    };
    const Row rows[] = {{"avg", true, 2, 7, 7},   {"max", true, 2, 7, 7},     {"avg", false, 0, 5, 3},
                        {"max", false, 0, 4, 4},  {"avg", true, 3, 128, 128}, {"max", true, 0, 2, 3}};
    const int64_t N = 2, C = 3, H = 20, W = 24;
    const std::vector<float> boxes = {1, 2, 15, 12,    -4, -3, 30, 26,  5.5f, 6.25f, 6, 7,
                                      10, 0, 23.9f, 19.9f, 0, 0, 0, 0};
    const std::vector<int64_t> batch = {0, 1, 1, 0, 1};
    const int64_t R = 5;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " " + std::to_string(row.outH) + "x" + std::to_string(row.outW));
        OnnxBuilder b("roialign", 16);
        b.input("x", {N, C, H, W});
        b.initializer("rois", {R, 4}, boxes);
        b.initializerInts("batch", batch);
        auto& n = b.node("RoiAlign", {"x", "rois", "batch"}, {"y"});
        OnnxBuilder::attr(n, "mode", std::string(row.mode));
        OnnxBuilder::attr(n, "coordinate_transformation_mode", std::string(row.halfPixel ? "half_pixel" : "output_half_pixel"));
        OnnxBuilder::attr(n, "sampling_ratio", row.ratio);
        OnnxBuilder::attr(n, "output_height", row.outH);
        OnnxBuilder::attr(n, "output_width", row.outW);
        OnnxBuilder::attr(n, "spatial_scale", 0.5f);
        b.output("y");
        Graph g(b.proto());
        g.prepare({}, {"y"});
        const std::vector<float> x = pseudoRandom(static_cast<size_t>(N * C * H * W), 17, 1.0f);
        fill(g.input("x"), x);
        g.run();
        const Tensor& y = g.value("y");
        ASSERT_EQ(y.shape(), (Shape{R, C, row.outH, row.outW}));
        const bool max = std::string(row.mode) == "max";
        const float off = row.halfPixel ? 0.5f : 0.0f;
        for (int64_t r = 0; r < R; ++r) {
            const float* bx = boxes.data() + r * 4;
            const float x0 = bx[0] * 0.5f - off, y0 = bx[1] * 0.5f - off;
            float w = bx[2] * 0.5f - off - x0, h = bx[3] * 0.5f - off - y0;
            if (!row.halfPixel) {
                w = std::max(w, 1.0f);
                h = std::max(h, 1.0f);
            }
            const float bh = h / static_cast<float>(row.outH), bw = w / static_cast<float>(row.outW);
            const int64_t gh = row.ratio > 0 ? row.ratio : static_cast<int64_t>(std::ceil(bh));
            const int64_t gw = row.ratio > 0 ? row.ratio : static_cast<int64_t>(std::ceil(bw));
            for (int64_t c = 0; c < C; ++c) {
                const float* plane = x.data() + (batch[static_cast<size_t>(r)] * C + c) * H * W;
                for (int64_t ph = 0; ph < row.outH; ++ph) {
                    for (int64_t pw = 0; pw < row.outW; ++pw) {
                        float acc = 0;
                        for (int64_t iy = 0; iy < gh; ++iy) {
                            for (int64_t ix = 0; ix < gw; ++ix) {
                                const float v = roiSample(plane, H, W, y0 + (ph + (iy + 0.5f) / gh) * bh,
                                                          x0 + (pw + (ix + 0.5f) / gw) * bw, max);
                                acc = max ? (iy + ix == 0 ? v : std::max(acc, v)) : acc + v;
                            }
                        }
                        const float want = max ? acc : acc / static_cast<float>(std::max<int64_t>(gh * gw, 1));
                        const float got = y.data<float>()[((r * C + c) * row.outH + ph) * row.outW + pw];
                        ASSERT_NEAR(got, want, 1e-5f) << r << " " << c << " " << ph << " " << pw;
                    }
                }
            }
        }
    }
}

// half_pixel_symmetric: x_original = center * (1 - adjustment) + (o + 0.5) / scale - 0.5,
// with center = length / 2 and adjustment = output length / (length * scale);
// linear interpolation between the two neighbours, clamped to the input.
TEST(Resize, HalfPixelSymmetricAgainstItsDefinition) {
    const std::vector<float> x = {1, 5, 2, 8};
    const float scale = 1.7f;
    auto [y, shape] = resize({1, 1, 1, 4}, x, [&](OnnxBuilder& b, onnx::NodeProto& n) {
        OnnxBuilder::attr(n, "mode", std::string("linear"));
        OnnxBuilder::attr(n, "coordinate_transformation_mode", std::string("half_pixel_symmetric"));
        b.initializer("roi", {0}, {});
        b.initializer("scales", {4}, {1, 1, 1, scale});
        n.mutable_input()->RemoveLast();
    });
    ASSERT_EQ(shape, (Shape{1, 1, 1, 6}));  // floor(4 * 1.7)
    const double adjustment = 6 / (4 * static_cast<double>(scale)), center = 2;
    for (int o = 0; o < 6; ++o) {
        double c = center * (1 - adjustment) + (o + 0.5) / scale - 0.5;
        c = std::clamp(c, 0.0, 3.0);
        const auto lo = static_cast<size_t>(std::floor(c));
        const size_t hi = std::min<size_t>(lo + 1, 3);
        const double want = x[lo] * (1 - (c - static_cast<double>(lo))) + x[hi] * (c - static_cast<double>(lo));
        EXPECT_NEAR(y[static_cast<size_t>(o)], want, 1e-5) << o;
    }
}

// Antialiasing only changes shrinking axes; their filter is not implemented,
// so shrinking with it is refused, and growing with it is plain linear.
TEST(Resize, AntialiasIsRefusedWhereItWouldChangeTheResult) {
    auto linear = [](float scale, int64_t antialias) {
        return [=](OnnxBuilder& b, onnx::NodeProto& n) {
            OnnxBuilder::attr(n, "mode", std::string("linear"));
            OnnxBuilder::attr(n, "antialias", antialias);
            b.initializer("roi", {0}, {});
            b.initializer("scales", {4}, {1, 1, 1, scale});
            n.mutable_input()->RemoveLast();
        };
    };
    const auto x = ramp(8);
    EXPECT_EQ(resize({1, 1, 1, 8}, x, linear(2, 1)).first, resize({1, 1, 1, 8}, x, linear(2, 0)).first);
    try {
        resize({1, 1, 1, 8}, x, linear(0.5f, 1));
        ADD_FAILURE() << "antialiased shrinking ran";
    } catch (const vexart::ExecError& e) {
        EXPECT_NE(std::string(e.what()).find("antialiased downscaling is not supported"), std::string::npos) << e.what();
    }
}

// --- Concat -------------------------------------------------------------

// Joins large enough that two threads share the copy, with many rows before
// the axis and with one, each element checked against the definition:
// element (o, a, i) comes from the input whose span along the axis holds a.
TEST(Concat, LargeJoinsOnTwoThreadsFollowTheDefinition) {
    struct Case {
        std::vector<Shape> ins;
        int64_t axis;
    };
    const Case cases[] = {
        {{{3, 20000}, {1, 20000}, {2, 20000}}, 0},            // one row: each input split
        {{{17000}, {40000}, {5}}, 0},                          // rank one, ragged blocks
        {{{2, 5, 70, 70}, {2, 3, 70, 70}}, 1},                  // a few rows
        {{{1, 60, 60, 3}, {1, 60, 60, 8}, {1, 60, 60, 5}}, 3},  // channels last: thousands of short rows
        {{{1, 60, 60, 16}, {1, 60, 60, 16}}, -1},
    };
    const vexart::ThreadScope threads(2);
    uint32_t seed = 40;
    for (const Case& c : cases) {
        OnnxBuilder b("cat");
        std::vector<std::string> names;
        std::vector<std::vector<float>> data;
        for (size_t k = 0; k < c.ins.size(); ++k) {
            names.push_back("x" + std::to_string(k));
            b.input(names.back(), c.ins[k]);
            data.push_back(pseudoRandom(static_cast<size_t>(vexart::elementCount(c.ins[k])), seed++, 1.0f));
        }
        OnnxBuilder::attr(b.node("Concat", names, {"y"}), "axis", c.axis);
        b.output("y");
        Graph g(b.proto());
        g.prepare({}, {"y"});
        for (size_t k = 0; k < c.ins.size(); ++k) fill(g.input(names[k]), data[k]);
        g.run();
        const Tensor& y = g.value("y");
        const size_t axis = static_cast<size_t>(c.axis < 0 ? c.axis + static_cast<int64_t>(c.ins[0].size()) : c.axis);
        int64_t outer = 1, inner = 1, total = 0;
        for (size_t d = 0; d < axis; ++d) outer *= c.ins[0][d];
        for (size_t d = axis + 1; d < c.ins[0].size(); ++d) inner *= c.ins[0][d];
        for (const Shape& s : c.ins) total += s[axis];
        ASSERT_EQ(y.size(), outer * total * inner);
        size_t mismatches = 0;
        for (int64_t o = 0; o < outer; ++o) {
            for (int64_t a = 0; a < total; ++a) {
                size_t k = 0;
                int64_t from = a;
                while (from >= c.ins[k][axis]) from -= c.ins[k++][axis];
                for (int64_t i = 0; i < inner; ++i) {
                    const float want = data[k][static_cast<size_t>((o * c.ins[k][axis] + from) * inner + i)];
                    mismatches += y.data<float>()[(o * total + a) * inner + i] != want;
                }
            }
        }
        EXPECT_EQ(mismatches, 0u) << "axis " << c.axis << " of " << c.ins.size() << " inputs";
    }
}

}  // namespace
