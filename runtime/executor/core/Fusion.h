// Element-wise work that a kernel applies to its output before writing
// it: what the fusion pass hands to kernels that can take post-ops.
#pragma once

#include <vector>

#include "core/Tensor.h"

namespace vexart {

// Element-wise work folded into the kernel that produces its input.
struct Fusion {
    enum class Act { Relu, LeakyRelu, Clip, Sigmoid, Tanh, HardSigmoid, HardSwish, Swish, Elu, Gelu, FakeQuant };
    struct Post {
        bool isAdd = false;  // adds `addend` (same shape and layout as the output)
        bool perChannel = false;  // ...or a constant with one value per output channel
        Act act = Act::Relu;
        // The activation's own parameters (LeakyRelu's slope, HardSigmoid's
        // slope and offset, Elu's alpha, Swish's beta) as the operator names them.
        float alpha = 0, beta = 0;
        // Clip: the bounds. FakeQuant: the bounds of the codes.
        float lo = 0, hi = 0;
        // FakeQuant: onto the grid of this step and zero point, saturated to
        // [lo, hi] (a QuantizeLinear, DequantizeLinear pair).
        float scale = 0, zero = 0;
        const Tensor* addend = nullptr;
    };
    // The result quantized last (a QuantizeLinear whose codes an integer
    // consumer reads): the output holds round(v / scale) + zero of `type`,
    // saturated, instead of floats.
    struct Codes {
        bool on = false;
        DType type = DType::UInt8;  // UInt8 or Int8
        float scale = 1;
        int32_t zero = 0;
    };
    // Per output channel, applied first (a folded BatchNormalization).
    std::vector<float> scale, shift;
    std::vector<Post> post;
    Codes codes;
    bool empty() const { return scale.empty() && post.empty() && !codes.on; }
    // Throws when an added operand no longer matches `out` in shape and
    // layout (a data-dependent shape left the plan).
    void checkAddends(const Tensor& out) const {
        for (const auto& p : post) {
            if (p.isAdd && !p.perChannel && (p.addend->shape() != out.shape() || p.addend->layout() != out.layout())) {
                throw ExecError("fused operand " + shapeText(p.addend->shape()) + " no longer matches the output");
            }
        }
    }
};

}  // namespace vexart
