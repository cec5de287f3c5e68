// What the build passes know about an operator, declared by the kernel
// file that registers it (see registerKernel), so that knowledge about an
// operator lives beside its implementation and nowhere else.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "core/Fusion.h"

namespace vexart {

struct OpTraits {
    // Output 0 is input 0's bytes under another shape (Reshape and kin):
    // it may be a view instead of a copy.
    bool view = false;
    // Element-wise: the result does not depend on where each element sits,
    // so operands laid out alike may stay in their layout.
    bool layoutFree = false;
    // Reduces input 0 over some of its axes (ReduceMean and kin).
    bool reduces = false;
    // Output 0 holds values of input 0, so it lies on input 0's quantization grid.
    bool keepsGrid = false;
    // Input i, where given, is the value of the elements the node adds
    // (Pad's constant): output 0 keeps the grid when that value is zero.
    int fillInput = -1;
    // Output 0 follows from the inputs' shapes alone (Shape, Size): it folds
    // to a constant once the shapes are fixed.
    bool shapeOnly = false;
    // A float computation whose result a fixed-point runtime quantizes.
    bool computesFloat = false;
    // A product with weights as input 1: the axis of the weights that runs
    // over output channels (-1: not a product).
    int weightAxis = -1;
    // The activation a node of this type computes from input 0, as a
    // post-op of the node it follows.
    std::optional<Fusion::Act> fusesAs;
    // The arithmetic of a binary element-wise operator, for the passes that
    // recognise formulas written out node by node (GELU, HardSwish, LayerNorm).
    enum class Arith { None, Add, Sub, Mul, Div, Pow };
    Arith arith = Arith::None;
    // QuantizeLinear maps floats to 8-bit codes, DequantizeLinear codes back to floats.
    enum class Quant { None, Quantize, Dequantize };
    Quant quant = Quant::None;
    // Input 0 may come as the 8-bit codes of a per-tensor grid instead of
    // their dequantized floats (see passes/CodesInput.h).
    bool takesCodes = false;
    // Input 1, constant weights that a dequantization makes from constant
    // codes, may come as those codes, on the grid the kernel is given for
    // it: the kernel dequantizes only what it computes in floats, and an
    // integer kernel packs the codes as they are.
    bool takesWeightCodes = false;
    // Defaults of the `alpha` and `beta` attributes (NaN: the operator has none).
    float alpha = std::nanf(""), beta = std::nanf("");
    // How output 0's type and shape follow from the inputs' types and
    // shapes alone, where a rule says so: planning then sets them without
    // running the kernel (passes/ShapeInference.h).
    struct ShapeRule {
        enum class Kind { None, LikeInput, Broadcast };
        Kind kind = Kind::None;  // input 0's shape, or every input's broadcast
        int typeOf = 0;          // the input whose element type output 0 has
        bool toBool = false;     // Bool instead
    };
    ShapeRule shapeRule;
    // Bit i: the values, not only the shape, of input i set an output's
    // shape (NonZero's count, Reshape's target). A plan made on one set of
    // values holds for another only where all those inputs are constant.
    uint32_t shapeFromValues = 0;
    static constexpr uint32_t kEveryInput = ~0u;

    // A float computation (see computesFloat).
    static OpTraits computed() {
        OpTraits t;
        t.computesFloat = true;
        return t;
    }
    // A product over weights whose axis `weightAxis` runs over output channels.
    static OpTraits product(int weightAxis) {
        OpTraits t = computed();
        t.weightAxis = weightAxis;
        return t;
    }

    // QuantizeLinear or DequantizeLinear.
    static OpTraits quantization(Quant q) {
        OpTraits t;
        t.quant = q;
        return t;
    }

    // Output 0 with input `typeOf`'s type (or Bool) and input 0's shape or
    // the broadcast of every input's.
    OpTraits shapedLike(ShapeRule::Kind kind, int typeOf = 0, bool toBool = false) const {
        OpTraits t = *this;
        t.shapeRule = {kind, typeOf, toBool};
        return t;
    }

    // An operator whose output shapes follow the values of the inputs in `mask`.
    static OpTraits valueShaped(uint32_t mask) {
        OpTraits t;
        t.shapeFromValues = mask;
        return t;
    }

    // These traits, with output shapes that follow the values of the inputs in `mask`.
    OpTraits shapedBy(uint32_t mask) const {
        OpTraits t = *this;
        t.shapeFromValues = mask;
        return t;
    }

    // An attribute value, or the operator's default where the node left it out (NaN).
    float alphaOr(float given) const { return std::isnan(given) ? alpha : given; }
    float betaOr(float given) const { return std::isnan(given) ? beta : given; }
};

}  // namespace vexart
