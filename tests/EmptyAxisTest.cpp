// Every registered operator on tensors with an axis of length 0: a crop
// whose size comes from the data makes them in ordinary models. Each case
// must end in an output or a refusal (ExecError); a read outside a tensor
// is what the sanitizer build of this test looks for.
#include <gtest/gtest.h>

#include <onnx/defs/schema.h>
#include <onnx/onnx_pb.h>

#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <set>

#include "executor/core/Dispatch.h"
#include "executor/core/Kernel.h"
#include "executor/graph/Graph.h"
#include "tools/OnnxBuilder.h"

namespace {

constexpr int kOpset = 18;

// The tensor type an input takes: float where allowed, else the first
// numeric type its constraint allows; 0 where only sequences, maps or
// strings are (such operators are left out).
int32_t chosenType(const onnx::OpSchema& s, const onnx::OpSchema::FormalParameter& p) {
    std::set<std::string> allowed;
    for (const auto& c : s.typeConstraintParams()) {
        if (c.type_param_str == p.GetTypeStr()) allowed.insert(c.allowed_type_strs.begin(), c.allowed_type_strs.end());
    }
    if (allowed.empty()) allowed.insert(p.GetTypeStr());  // a concrete type, not a constraint
    const std::pair<const char*, int32_t> preference[] = {
        {"tensor(float)", onnx::TensorProto::FLOAT}, {"tensor(int64)", onnx::TensorProto::INT64},
        {"tensor(int32)", onnx::TensorProto::INT32}, {"tensor(uint8)", onnx::TensorProto::UINT8},
        {"tensor(int8)", onnx::TensorProto::INT8},   {"tensor(bool)", onnx::TensorProto::BOOL}};
    for (const auto& [name, type] : preference) {
        if (allowed.count(name) != 0) return type;
    }
    return 0;
}

// Values for a required attribute of each kind; false for a kind that
// cannot be made up (a graph, a tensor, a string).
bool addRequiredAttributes(const onnx::OpSchema& s, onnx::NodeProto& n) {
    for (const auto& [name, a] : s.attributes()) {
        if (!a.required) continue;
        switch (a.type) {
            case onnx::AttributeProto::INT: OnnxBuilder::attr(n, name, int64_t{1}); break;
            case onnx::AttributeProto::FLOAT: OnnxBuilder::attr(n, name, 1.0f); break;
            case onnx::AttributeProto::INTS: OnnxBuilder::attr(n, name, std::vector<int64_t>{1, 1}); break;
            default: return false;
        }
    }
    return true;
}

// Fills the graph's inputs and runs it as the library does: planned on
// shapes alone where it can be, else planned on each execution's values.
void fillAndRun(vexart::Graph& g, const std::vector<std::string>& outputs,
                const std::function<void(const std::string&, vexart::Tensor&)>& fill) {
    bool eachRun = true;
    try {
        eachRun = !g.prepareUnlessValuesShape({}, outputs) || g.shapesFollowValues();
    } catch (const vexart::ExecError&) {
        // Shapes or values follow the data: planned on it below, which gives the reason.
    }
    for (const auto& in : g.inputs()) fill(in.name, g.input(in.name));
    if (eachRun) {
        g.prepare({}, outputs, true);
    } else {
        g.run();
    }
}

struct Counts {
    size_t operators = 0, cases = 0, computed = 0, refused = 0;
    std::vector<std::string> skipped;
};

// One case: the operator's required inputs (two for a variadic one),
// input 0 of `first`, the others of `rest`, all holding ones.
void runCase(const std::string& op, const onnx::OpSchema& s, const std::vector<int64_t>& first,
             const std::vector<int64_t>& rest, Counts& counts) {
    OnnxBuilder b("empty", kOpset);
    std::vector<std::string> inputs;
    std::map<std::string, vexart::Shape> shapes;
    for (const auto& p : s.inputs()) {
        if (p.GetOption() == onnx::OpSchema::Optional) break;
        const int copies = p.GetOption() == onnx::OpSchema::Variadic ? 2 : 1;
        for (int c = 0; c < copies; ++c) {
            const std::string name = "x" + std::to_string(inputs.size());
            b.input(name, inputs.empty() ? first : rest, chosenType(s, p));
            inputs.push_back(name);
        }
    }
    std::vector<std::string> outputs;
    for (const auto& p : s.outputs()) {
        if (p.GetOption() == onnx::OpSchema::Optional) break;
        outputs.push_back("y" + std::to_string(outputs.size()));
    }
    auto& n = b.node(op, inputs, outputs);
    addRequiredAttributes(s, n);
    for (const auto& o : outputs) b.output(o);
    const std::string what = op + " on " + vexart::shapeText(first) + " and " + vexart::shapeText(rest);
    ++counts.cases;
    try {
        vexart::Graph g(b.proto());
        fillAndRun(g, outputs, [](const std::string&, vexart::Tensor& t) {
            const std::vector<float> ones(static_cast<size_t>(t.size()), 1.0f);
            vexart::castFloats(ones.data(), t.type(), t.raw(), t.size());
        });
        for (const auto& o : outputs) (void)g.value(o).size();
        ++counts.computed;
        if (std::getenv("VEXA_EMPTY_AXES_LOG")) std::cout << "computed " << what << "\n";
    } catch (const vexart::ExecError& e) {
        ++counts.refused;
        if (std::getenv("VEXA_EMPTY_AXES_LOG")) std::cout << "refused " << what << ": " << e.what() << "\n";
    } catch (const std::exception& e) {
        ADD_FAILURE() << what << ": not refused with a reason but by " << typeid(e).name() << ": " << e.what();
    }
}

TEST(EmptyAxes, EveryOperatorComputesOrRefusesWithoutReadingOutside) {
    Counts counts;
    for (const auto& [op, file] : vexart::registeredOperators()) {
        const onnx::OpSchema* s = onnx::OpSchemaRegistry::Schema(op, kOpset, "");
        onnx::NodeProto probe;
        bool typed = s != nullptr && addRequiredAttributes(*s, probe);
        for (const auto& p : s != nullptr ? s->inputs() : std::vector<onnx::OpSchema::FormalParameter>{}) {
            if (p.GetOption() != onnx::OpSchema::Optional) typed = typed && chosenType(*s, p) != 0;
        }
        if (!typed || s->inputs().empty()) {
            counts.skipped.push_back(op);
            continue;
        }
        ++counts.operators;
        SCOPED_TRACE(op);
        // Rank 4 with each axis empty in turn, and ranks 1 and 2; the other
        // inputs the same, of one element (broadcast, an index, a count),
        // or full (an empty axis against a long one).
        std::vector<std::vector<int64_t>> empties = {{0}, {3, 0}};
        for (size_t axis = 0; axis < 4; ++axis) {
            std::vector<int64_t> s4 = {2, 3, 4, 5};
            s4[axis] = 0;
            empties.push_back(s4);
        }
        for (const auto& e : empties) {
            runCase(op, *s, e, e, counts);
            runCase(op, *s, e, {1}, counts);
            if (e.size() == 4) runCase(op, *s, e, {2, 3, 4, 5}, counts);
        }
    }
    std::cout << "[ empty axes ] " << counts.operators << " operators, " << counts.cases << " cases: "
              << counts.computed << " computed, " << counts.refused << " refused; " << counts.skipped.size()
              << " left out (no made-up inputs or attributes fit them)\n";
    EXPECT_GE(counts.operators, 120u);
}

// What ONNX defines for empty extents, through the kernels that index by a
// clamped coordinate or reduce: a value where the definition gives one
// (an identity, the extrapolation value, padding zeros), a refusal where
// it would need values from nothing.
struct Operand {
    Operand() = default;  // an input left out
    Operand(std::string n, std::vector<int64_t> d, std::vector<float> v = {}, int32_t t = onnx::TensorProto::FLOAT)
        : name(std::move(n)), dims(std::move(d)), values(std::move(v)), type(t) {}
    std::string name;
    std::vector<int64_t> dims;
    std::vector<float> values;  // empty: ones
    int32_t type = onnx::TensorProto::FLOAT;
};

struct Outcome {
    bool refused = false;
    std::string why;
    vexart::Shape shape;
    std::vector<double> values;
};

Outcome runOne(const std::string& op, const std::vector<Operand>& operands,
               const std::function<void(onnx::NodeProto&)>& attrs = {}) {
    OnnxBuilder b("empty", kOpset);
    std::vector<std::string> names;
    for (const auto& o : operands) {
        if (!o.name.empty()) b.input(o.name, o.dims, o.type);
        names.push_back(o.name);
    }
    auto& n = b.node(op, names, {"y"});
    if (attrs) attrs(n);
    b.output("y");
    Outcome out;
    try {
        vexart::Graph g(b.proto());
        fillAndRun(g, {"y"}, [&](const std::string& name, vexart::Tensor& t) {
            std::vector<float> v;
            for (const auto& o : operands) {
                if (o.name == name) v = o.values;
            }
            v.resize(static_cast<size_t>(t.size()), 1.0f);
            vexart::castFloats(v.data(), t.type(), t.raw(), t.size());
        });
        const vexart::Tensor& y = g.value("y");
        out.shape = y.shape();
        for (int64_t i = 0; i < y.size(); ++i) out.values.push_back(y.scalarAsDouble(i));
    } catch (const vexart::ExecError& e) {
        out.refused = true;
        out.why = e.what();
    }
    return out;
}

TEST(EmptyAxes, ResizeAndSamplingOfNothingFollowTheDefinition) {
    const Operand cropped{"x", {1, 3, 0, 16}};
    const Operand sizes{"sizes", {4}, {1, 3, 8, 8}, onnx::TensorProto::INT64};
    for (const char* mode : {"nearest", "linear", "cubic"}) {
        SCOPED_TRACE(mode);
        const Outcome r = runOne("Resize", {cropped, {}, {}, sizes}, [&](onnx::NodeProto& n) {
            OnnxBuilder::attr(n, "mode", std::string(mode));
        });
        EXPECT_TRUE(r.refused);
        EXPECT_NE(r.why.find("from an empty one"), std::string::npos) << r.why;
        // The channel axis empty, the picture not: the same.
        EXPECT_TRUE(runOne("Resize", {{"x", {1, 0, 4, 4}}, {}, {}, sizes}).refused);
        // Scales keep the empty axis empty: an empty output.
        const Outcome scaled = runOne("Resize", {cropped, {}, {"scales", {4}, {1, 1, 2, 2}}}, [&](onnx::NodeProto& n) {
            OnnxBuilder::attr(n, "mode", std::string(mode));
        });
        ASSERT_FALSE(scaled.refused) << scaled.why;
        EXPECT_EQ(scaled.shape, (vexart::Shape{1, 3, 0, 32}));
    }
    // A crop of nothing lies wholly outside: the extrapolation value.
    const Outcome crop = runOne("Resize", {cropped, {"roi", {8}, {0, 0, 0, 0, 1, 1, 1, 1}}, {}, sizes},
                                [](onnx::NodeProto& n) {
                                    OnnxBuilder::attr(n, "coordinate_transformation_mode", std::string("tf_crop_and_resize"));
                                    OnnxBuilder::attr(n, "mode", std::string("linear"));
                                    OnnxBuilder::attr(n, "extrapolation_value", 7.0f);
                                });
    ASSERT_FALSE(crop.refused) << crop.why;
    EXPECT_EQ(crop.values, std::vector<double>(3 * 64, 7.0));

    // Outside an empty plane, zero padding reads 0; border and reflection have nothing to repeat.
    const Operand grid{"grid", {1, 2, 2, 2}, {-1, -1, 1, 1, 0, 0, 0.5f, -0.5f}};
    const Outcome zeros = runOne("GridSample", {{"x", {1, 2, 0, 5}}, grid});
    ASSERT_FALSE(zeros.refused) << zeros.why;
    EXPECT_EQ(zeros.values, std::vector<double>(8, 0.0));
    for (const char* pad : {"border", "reflection"}) {
        EXPECT_TRUE(runOne("GridSample", {{"x", {1, 2, 3, 0}}, grid}, [&](onnx::NodeProto& n) {
                        OnnxBuilder::attr(n, "padding_mode", std::string(pad));
                    }).refused)
            << pad;
    }
    // RoiAlign's samples of an empty plane all lie outside it and read as 0.
    for (const std::vector<int64_t>& plane : {std::vector<int64_t>{1, 2, 0, 5}, std::vector<int64_t>{1, 2, 5, 0}}) {
        const Outcome roi = runOne("RoiAlign", {{"x", plane},
                                                {"rois", {1, 4}, {0, 0, 3, 3}},
                                                {"batch", {1}, {0}, onnx::TensorProto::INT64}});
        ASSERT_FALSE(roi.refused) << roi.why;
        EXPECT_EQ(roi.values, std::vector<double>(2, 0.0));
    }
}

TEST(EmptyAxes, ReductionsOverNothingGiveTheirIdentityOrRefuse) {
    const double inf = std::numeric_limits<double>::infinity();
    const Operand empty{"x", {2, 3, 0, 4}};
    auto axes = [](std::vector<float> a) {
        return Operand("axes", {static_cast<int64_t>(a.size())}, a, onnx::TensorProto::INT64);
    };
    // Pools and reductions over the empty extent: six outputs each.
    EXPECT_EQ(runOne("GlobalMaxPool", {empty}).values, std::vector<double>(6, -inf));
    const Operand codes{"x", {1, 2, 0, 3}, {}, onnx::TensorProto::UINT8};
    const Outcome lowestCode = runOne("GlobalMaxPool", {codes});
    if (!lowestCode.refused) {
        EXPECT_EQ(lowestCode.values, std::vector<double>(2, 0.0));
    }
    EXPECT_TRUE(runOne("GlobalAveragePool", {empty}).refused);
    EXPECT_EQ(runOne("ReduceSum", {empty, axes({2, 3})}).values, std::vector<double>(6, 0.0));
    EXPECT_EQ(runOne("ReduceMax", {empty, axes({2, 3})}).values, std::vector<double>(6, -inf));
    EXPECT_EQ(runOne("ReduceMin", {empty, axes({2})}).values, std::vector<double>(24, inf));
    EXPECT_EQ(runOne("ReduceProd", {empty, axes({2})}).values, std::vector<double>(24, 1.0));
    EXPECT_EQ(runOne("ReduceLogSumExp", {empty, axes({-2})}).values, std::vector<double>(24, -inf));
    EXPECT_TRUE(runOne("ReduceMean", {empty, axes({2})}).refused);
    for (const char* arg : {"ArgMax", "ArgMin"}) {
        EXPECT_TRUE(runOne(arg, {empty}, [](onnx::NodeProto& n) { OnnxBuilder::attr(n, "axis", int64_t{2}); }).refused)
            << arg;
        // Along a full axis, the outputs of an empty tensor are empty.
        const Outcome along = runOne(arg, {empty}, [](onnx::NodeProto& n) { OnnxBuilder::attr(n, "axis", int64_t{1}); });
        ASSERT_FALSE(along.refused) << along.why;
        EXPECT_EQ(along.shape, (vexart::Shape{2, 1, 0, 4}));
    }
    // Normalising nothing gives nothing.
    const Outcome norm = runOne("InstanceNormalization", {empty, {"scale", {3}}, {"bias", {3}}});
    ASSERT_FALSE(norm.refused) << norm.why;
    EXPECT_EQ(norm.shape, (vexart::Shape{2, 3, 0, 4}));
}

// Pooling windows that lie wholly in the padding have nothing to pool.
TEST(EmptyAxes, PoolingWindowsMustReachTheInput) {
    auto window = [](std::vector<int64_t> pads) {
        return [pads](onnx::NodeProto& n) {
            OnnxBuilder::attr(n, "kernel_shape", std::vector<int64_t>{2, 2});
            OnnxBuilder::attr(n, "pads", pads);
        };
    };
    for (const char* op : {"MaxPool", "AveragePool"}) {
        SCOPED_TRACE(op);
        const Outcome wide = runOne(op, {{"x", {1, 1, 3, 3}}}, window({2, 0, 0, 0}));
        EXPECT_TRUE(wide.refused);
        EXPECT_NE(wide.why.find("reach past a pooling window"), std::string::npos) << wide.why;
        EXPECT_TRUE(runOne(op, {{"x", {1, 1, 0, 3}}}, window({1, 1, 1, 1})).refused);
        // Pads below the window are fine: each window holds an input.
        const Outcome fine = runOne(op, {{"x", {1, 1, 3, 3}}}, window({1, 1, 1, 1}));
        ASSERT_FALSE(fine.refused) << fine.why;
        EXPECT_EQ(fine.shape, (vexart::Shape{1, 1, 4, 4}));
        EXPECT_EQ(fine.values, std::vector<double>(16, 1.0));  // count_include_pad 0: the mean of ones
    }
    // ConvTranspose: output rows past the last stride step that no input reaches.
    const Outcome padded = runOne("ConvTranspose", {{"x", {1, 1, 3, 3}}, {"w", {1, 1, 3, 3}}}, [](onnx::NodeProto& n) {
        OnnxBuilder::attr(n, "strides", std::vector<int64_t>{2, 2});
        OnnxBuilder::attr(n, "output_padding", std::vector<int64_t>{2, 0});
    });
    EXPECT_TRUE(padded.refused);
    EXPECT_NE(padded.why.find("output_padding"), std::string::npos) << padded.why;
}

}  // namespace
