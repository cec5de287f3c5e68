// Operator traits against ONNX's own operator schemas: the traits are
// declared beside each kernel, the schemas come from the onnx library.
#include <gtest/gtest.h>

#include <onnx/defs/schema.h>

#include <cmath>

#include "executor/core/Kernel.h"

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

}  // namespace
