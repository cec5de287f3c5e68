// Operator traits against ONNX's own operator schemas: the traits are
// declared beside each kernel, the schemas come from the onnx library.
#include <gtest/gtest.h>

#include <onnx/defs/schema.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "executor/core/Kernel.h"
#include "executor/passes/ShapeInference.h"

namespace {

using vexart::OpTraits;

const onnx::OpSchema* schemaOf(const std::string& op) {
    return onnx::OpSchemaRegistry::Schema(op, 18, "");
}

// The float default of an attribute as the schema declares it, or NaN.
float schemaDefault(const onnx::OpSchema& s, const char* name) {
    const auto it = s.attributes().find(name);
    if (it == s.attributes().end() || !it->second.default_value.has_f()) return std::nanf("");
    return it->second.default_value.f();
}

TEST(OpTraits, EveryDeclaredTraitNamesARegisteredOperatorOfTheStandardSet) {
    size_t withTraits = 0;
    for (const auto& [op, file] : vexart::registeredOperators()) {
        const OpTraits& t = vexart::opTraits(op);
        const bool declared = t.view || t.layoutFree || t.keepsGrid || t.shapeOnly ||
                              t.computesFloat || t.weightAxis >= 0 || t.fusesAs || !std::isnan(t.alpha) ||
                              t.arith != OpTraits::Arith::None;
        if (!declared) continue;
        ++withTraits;
        EXPECT_NE(schemaOf(op), nullptr) << op << " has traits but is no standard operator";
        EXPECT_NE(vexart::findKernel(op), nullptr) << op;
        EXPECT_FALSE(file.empty()) << op;
    }
    EXPECT_GE(withTraits, 40u);
    // An unknown operator has none.
    const OpTraits& none = vexart::opTraits("NoSuchOperator");
    EXPECT_FALSE(none.view || none.layoutFree || none.keepsGrid || none.fusesAs);
}

TEST(OpTraits, AttributeDefaultsAreTheSchemas) {
    for (const auto& [op, file] : vexart::registeredOperators()) {
        const OpTraits& t = vexart::opTraits(op);
        const onnx::OpSchema* s = schemaOf(op);
        if (s == nullptr) continue;
        for (const auto& [name, declared] : {std::pair{"alpha", t.alpha}, std::pair{"beta", t.beta}}) {
            const float expected = schemaDefault(*s, name);
            if (std::isnan(declared) && std::isnan(expected)) continue;
            // A fused activation must know every default its operator has.
            if (std::isnan(declared) && !t.fusesAs) continue;
            EXPECT_FLOAT_EQ(declared, expected) << op << "." << name;
        }
    }
}

TEST(OpTraits, WhatEachTraitPromisesHoldsForTheOperatorsSchema) {
    for (const auto& [op, file] : vexart::registeredOperators()) {
        const OpTraits& t = vexart::opTraits(op);
        const onnx::OpSchema* s = schemaOf(op);
        if (s == nullptr) continue;
        SCOPED_TRACE(op);
        // A view renames input 0's bytes: one data input, one output of its type.
        if (t.view) {
            EXPECT_TRUE(t.keepsGrid);
            EXPECT_GE(s->inputs().size(), 1u);
        }
        // An activation post-op computes from input 0 alone, element by element.
        if (t.fusesAs) {
            EXPECT_TRUE(t.layoutFree);
            EXPECT_EQ(s->outputs().size(), 1u);
        }
        // A product's weights are its second input.
        if (t.weightAxis >= 0) {
            ASSERT_GE(s->inputs().size(), 2u);
            EXPECT_TRUE(t.computesFloat);
        }
        // Shape operators have no data dependence, so nothing else about them applies.
        if (t.shapeOnly) {
            EXPECT_FALSE(t.view || t.layoutFree || t.keepsGrid);
        }
        // Arithmetic is binary and element-wise.
        if (t.arith != OpTraits::Arith::None) {
            EXPECT_EQ(s->inputs().size(), 2u);
            EXPECT_TRUE(t.layoutFree);
        }
        // An element-wise operator's shape never follows its values.
        if (t.layoutFree) {
            EXPECT_EQ(t.shapeFromValues, 0u);
        }
    }
}

// Operators whose output shape the values of an input decide, as their
// definitions say: a plan made on zeros must not outlive the zeros.
TEST(OpTraits, OperatorsShapedByValuesSayWhichInputs) {
    const std::pair<const char*, uint32_t> known[] = {
        {"NonZero", 1u},          {"ConstantOfShape", 1u},  {"Unique", 1u},      {"Reshape", 2u},
        {"Expand", 2u},           {"Tile", 2u},             {"TopK", 2u},        {"Compress", 2u},
        {"OneHot", 2u},           {"Squeeze", 2u},          {"Unsqueeze", 2u},   {"ReduceSum", 2u},
        {"Slice", 0b11110u},      {"Range", OpTraits::kEveryInput},               {"If", OpTraits::kEveryInput},
        {"Loop", OpTraits::kEveryInput}, {"NonMaxSuppression", OpTraits::kEveryInput}};
    for (const auto& [op, mask] : known) EXPECT_EQ(vexart::opTraits(op).shapeFromValues, mask) << op;
    for (const char* op : {"Add", "Conv", "Relu", "Transpose", "Gather", "Shape", "Concat", "RoiAlign"}) {
        EXPECT_EQ(vexart::opTraits(op).shapeFromValues, 0u) << op;
    }
}

TEST(OpTraits, TheFileThatImplementsAnOperatorIsKnown) {
    std::map<std::string, std::string> where;
    for (const auto& [op, file] : vexart::registeredOperators()) where[op] = file;
    EXPECT_EQ(where["Conv"], "kernels/Conv.cpp");
    EXPECT_EQ(where["Reshape"], "kernels/ShapeOps.cpp");
    EXPECT_EQ(where["Relu"], "kernels/Elementwise.cpp");
    EXPECT_EQ(where["LSTM"], "kernels/Recurrent.cpp");
}

// The element type the test gives input i of `s`: float where the
// operator takes it, else the first of bool, int64 and uint8 it takes.
vexart::DType inputType(const onnx::OpSchema& s, size_t i) {
    const std::string& constraint = s.inputs()[std::min(i, s.inputs().size() - 1)].GetTypeStr();
    std::set<std::string> allowed;
    for (const auto& c : s.typeConstraintParams()) {
        if (c.type_param_str == constraint) allowed.insert(c.allowed_type_strs.begin(), c.allowed_type_strs.end());
    }
    if (allowed.empty()) allowed.insert(constraint);  // a fixed type, written out
    const std::pair<const char*, vexart::DType> order[] = {{"tensor(float)", vexart::DType::Float},
                                                           {"tensor(bool)", vexart::DType::Bool},
                                                           {"tensor(int64)", vexart::DType::Int64},
                                                           {"tensor(uint8)", vexart::DType::UInt8}};
    for (const auto& [name, type] : order) {
        if (allowed.count(name) != 0) return type;
    }
    return vexart::DType::Float;
}

// Every shape rule against its own kernel: the type and shape the rule
// states are the ones the kernel gives, for one input and for operands
// that broadcast ({2,1,4}, {3,1}, {4} give {2,3,4}).
TEST(ShapeRules, StateWhatTheKernelsGive) {
    using Kind = OpTraits::ShapeRule::Kind;
    size_t ruled = 0;
    for (const auto& [op, file] : vexart::registeredOperators()) {
        const OpTraits& t = vexart::opTraits(op);
        if (t.shapeRule.kind == Kind::None) continue;
        const onnx::OpSchema* s = schemaOf(op);
        ASSERT_NE(s, nullptr) << op;
        SCOPED_TRACE(op);
        ++ruled;
        const bool broadcast = t.shapeRule.kind == Kind::Broadcast;
        const vexart::Shape shapes[] = {{2, 1, 4}, {3, 1}, {4}};
        const size_t count = std::max<size_t>(s->min_input(), broadcast ? 2 : 1);
        std::vector<vexart::Tensor> inputs(std::min<size_t>(count, s->max_input()));
        std::vector<const vexart::Tensor*> given;
        for (size_t i = 0; i < inputs.size(); ++i) {
            // Beside input 0, a rule of one input reads scalars (Clip's bounds).
            const vexart::Shape shape = broadcast ? shapes[i % 3] : i == 0 ? vexart::Shape{2, 3, 4} : vexart::Shape{};
            inputs[i].reset(inputType(*s, i), shape);
            std::memset(inputs[i].raw(), 0, inputs[i].bytes());
            if (inputs[i].type() == vexart::DType::Float) {
                std::fill(inputs[i].data<float>(), inputs[i].data<float>() + inputs[i].size(), 0.5f);
            }
            given.push_back(&inputs[i]);
        }
        onnx::NodeProto node;
        node.set_op_type(op);
        auto kernel = (*vexart::findKernel(op))(node, 18);
        vexart::Tensor ran, inferred;
        vexart::KernelContext run(given, {&ran});
        kernel->run(run);
        inferred.reset(vexart::DType::Double, {64});  // storage the rule reuses, not zero
        std::memset(inferred.raw(), 0xff, inferred.bytes());
        vexart::KernelContext rule(given, {&inferred});
        ASSERT_TRUE(vexart::inferOutputs(t, rule));
        EXPECT_EQ(inferred.type(), ran.type());
        EXPECT_EQ(inferred.shape(), ran.shape());
        if (broadcast) {
            EXPECT_EQ(ran.shape(), (vexart::Shape{2, 3, 4}));
        }
        const auto* bytes = static_cast<const uint8_t*>(inferred.raw());
        EXPECT_TRUE(std::all_of(bytes, bytes + inferred.bytes(), [](uint8_t b) { return b == 0; })) << "left unzeroed";
    }
    EXPECT_GE(ruled, 50u);
    // Without a rule, or for operands a rule does not cover, nothing is set.
    vexart::Tensor x, out, text;
    x.reset(vexart::DType::Float, {2});
    text.reset(vexart::DType::String, {2});
    vexart::KernelContext conv({&x}, {&out});
    EXPECT_FALSE(vexart::inferOutputs(vexart::opTraits("Conv"), conv));
    vexart::KernelContext strings({&text, &text}, {&out});
    EXPECT_FALSE(vexart::inferOutputs(vexart::opTraits("Equal"), strings));
    EXPECT_EQ(out.type(), vexart::DType::Undefined);
}

}  // namespace
