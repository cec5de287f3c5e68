#include "passes/ActivationPatterns.h"

#include <cmath>
#include <limits>

namespace vexart {
namespace {

bool near(float a, float b) { return std::fabs(a - b) <= 1e-6f; }

bool constScalar(const GraphState& g, const Node& n, size_t input, float& out) {
    if (input >= n.inputs.size() || n.inputs[input] < 0) return true;  // omitted: keep the default
    const auto v = static_cast<size_t>(n.inputs[input]);
    const Tensor& t = g.values[v];
    if (!g.isConst[v] || t.type() != DType::Float || t.size() != 1) return false;
    out = t.data<float>()[0];
    return true;
}

// `mul` is the product of `a` and `b`, in either order.
bool productOf(const Node& mul, int a, int b) {
    return mul.traits->arith == OpTraits::Arith::Mul && mul.inputs.size() == 2 && mul.outputs.size() == 1 &&
           ((mul.inputs[0] == a && mul.inputs[1] == b) || (mul.inputs[0] == b && mul.inputs[1] == a));
}

// x * Sigmoid(x) and x * HardSigmoid(x; 1/6, 1/2): Swish and HardSwish
// written out. `gate` reads `x`; the Mul reads both and is the gate's only consumer.
// Listed and returned as geluChain.
Node* gatedProduct(const GraphState& g, int x, std::vector<Node*>& spanned, Fusion::Post& p) {
    const auto& cons = g.consumers[static_cast<size_t>(x)];
    if (cons.size() != 2) return nullptr;
    for (int pick = 0; pick < 2; ++pick) {
        Node& gate = *g.nodes[cons[static_cast<size_t>(pick)]];
        Node& mul = *g.nodes[cons[static_cast<size_t>(1 - pick)]];
        if (gate.outputs.size() != 1 || gate.inputs.empty() || gate.inputs[0] != x) continue;
        const int gated = gate.outputs[0];
        if (!g.internal(gated) || g.soleConsumer(gated) != &mul || !productOf(mul, x, gated)) continue;
        p = {};
        spanned = {&gate};
        if (gate.traits->fusesAs == Fusion::Act::Sigmoid) {
            p.act = Fusion::Act::Swish;
            p.alpha = 1.0f;
            return &mul;
        }
        const float alpha = gate.traits->alphaOr(gate.attrs.alpha);
        const float beta = gate.traits->betaOr(gate.attrs.beta);
        if (gate.traits->fusesAs == Fusion::Act::HardSigmoid && near(alpha, 1.0f / 6) && near(beta, 0.5f)) {
            p.act = Fusion::Act::HardSwish;
            return &mul;
        }
    }
    return nullptr;
}

// The operand of binary node `n` other than `value`, when it is a constant scalar.
bool otherScalar(const GraphState& g, const Node& n, int value, float& out) {
    if (n.inputs.size() != 2) return false;
    const size_t other = n.inputs[0] == value ? 1 : n.inputs[1] == value ? 0 : 2;
    if (other == 2 || n.inputs[other] == value || n.inputs[other] < 0) return false;
    return constScalar(g, n, other, out);
}

// GELU as exported: Mul(Mul(x, Add(Erf(Div(x, sqrt 2)), 1)), 0.5). The
// nodes it spans are listed in `spanned`; the last one is returned.
Node* geluChain(const GraphState& g, int x, std::vector<Node*>& spanned) {
    const auto& cons = g.consumers[static_cast<size_t>(x)];
    if (cons.size() != 2) return nullptr;
    for (int pick = 0; pick < 2; ++pick) {
        Node& div = *g.nodes[cons[static_cast<size_t>(pick)]];
        Node& mul = *g.nodes[cons[static_cast<size_t>(1 - pick)]];
        float c = 0;
        if (div.traits->arith != OpTraits::Arith::Div || div.inputs.size() != 2 || div.inputs[0] != x || !otherScalar(g, div, x, c) ||
            !near(c, 1.41421356f) || div.outputs.size() != 1 || !g.internal(div.outputs[0])) {
            continue;
        }
        Node* erf = g.soleOfType(div.outputs[0], "Erf");
        Node* add = erf != nullptr ? g.soleOfType(erf->outputs[0], "Add") : nullptr;
        if (add == nullptr || !otherScalar(g, *add, erf->outputs[0], c) || c != 1.0f) continue;
        if (g.soleConsumer(add->outputs[0]) != &mul || !productOf(mul, x, add->outputs[0])) continue;
        if (!g.internal(mul.outputs[0])) continue;
        Node* half = g.soleOfType(mul.outputs[0], "Mul");
        if (half == nullptr || !otherScalar(g, *half, mul.outputs[0], c) || c != 0.5f) continue;
        spanned = {&div, erf, add, &mul};
        return half;
    }
    return nullptr;
}

// `n` divides `value` by 6 or multiplies it by 1/6.
bool sixthOf(const GraphState& g, const Node& n, int value) {
    float c = 0;
    if (n.outputs.size() != 1 || !otherScalar(g, n, value, c)) return false;
    const auto arith = n.traits->arith;
    return (arith == OpTraits::Arith::Div && n.inputs[0] == value && c == 6.0f) ||
           (arith == OpTraits::Arith::Mul && near(c, 1.0f / 6));
}

// HardSwish written out with ReLU6: x * Clip(x + 3, 0, 6) / 6, the sixth
// taken last or from the clipped value first. Listed and returned as geluChain.
Node* hardSwishChain(const GraphState& g, int x, std::vector<Node*>& spanned) {
    const auto& cons = g.consumers[static_cast<size_t>(x)];
    if (cons.size() != 2) return nullptr;
    for (int pick = 0; pick < 2; ++pick) {
        Node& add = *g.nodes[cons[static_cast<size_t>(pick)]];
        Node& mul = *g.nodes[cons[static_cast<size_t>(1 - pick)]];
        float c = 0;
        if (add.traits->arith != OpTraits::Arith::Add || add.outputs.size() != 1 || !g.internal(add.outputs[0]) ||
            !otherScalar(g, add, x, c) || c != 3.0f) {
            continue;
        }
        Node* clip = g.soleOfType(add.outputs[0], "Clip");
        Fusion::Post relu6;
        if (clip == nullptr || clip->inputs[0] != add.outputs[0] || !activationOf(g, *clip, relu6) ||
            relu6.lo != 0.0f || relu6.hi != 6.0f) {
            continue;
        }
        int gated = clip->outputs[0];
        Node* sixth = g.soleConsumer(gated);
        if (sixth != nullptr && sixthOf(g, *sixth, gated)) {
            gated = sixth->outputs[0];
            if (!g.internal(gated)) continue;
        } else {
            sixth = nullptr;
        }
        if (g.soleConsumer(gated) != &mul || !productOf(mul, x, gated)) continue;
        Node* last = &mul;
        if (sixth == nullptr) {
            if (!g.internal(mul.outputs[0])) continue;
            sixth = g.soleConsumer(mul.outputs[0]);
            if (sixth == nullptr || !sixthOf(g, *sixth, mul.outputs[0])) continue;
            last = sixth;
        }
        spanned = {&add, clip, sixth == last ? &mul : sixth};
        return last;
    }
    return nullptr;
}

// QuantizeLinear then DequantizeLinear with one constant scale and zero
// point: `x` put on the quantization grid. Listed and returned as geluChain.
Node* fakeQuantChain(const GraphState& g, int x, std::vector<Node*>& spanned, Fusion::Post& p) {
    Node* q = g.soleOfType(x, "QuantizeLinear");
    if (q == nullptr || q->inputs[0] != x) return nullptr;
    Node* dq = g.soleOfType(q->outputs[0], "DequantizeLinear");
    float s1 = 0, s2 = 0, z1 = 0, z2 = 0;
    DType t1 = DType::UInt8, t2 = DType::UInt8;
    if (dq == nullptr || dq->inputs[0] != q->outputs[0] || !quantParams(g, *q, s1, z1, t1) ||
        !quantParams(g, *dq, s2, z2, t2) || s1 != s2 || z1 != z2 || t1 != t2) {
        return nullptr;
    }
    p = {};
    p.act = Fusion::Act::FakeQuant;
    p.scale = s1;
    p.zero = z1;
    p.lo = t1 == DType::UInt8 ? 0.0f : -128.0f;
    p.hi = t1 == DType::UInt8 ? 255.0f : 127.0f;
    spanned = {q};
    return dq;
}

}  // namespace

bool activationOf(const GraphState& g, const Node& n, Fusion::Post& p) {
    const NodeAttrs& a = n.attrs;
    p = {};
    // One slope for every element (PyTorch's PReLU by default) is LeakyRelu's alpha.
    if (n.opType == "PRelu") {
        p.act = Fusion::Act::LeakyRelu;
        return n.inputs.size() == 2 && n.inputs[1] >= 0 && constScalar(g, n, 1, p.alpha) && n.outputs.size() == 1;
    }
    if (!n.traits->fusesAs) return false;
    p.act = *n.traits->fusesAs;
    // Parameters the operator has, at their defaults where the node leaves them out.
    p.alpha = std::isnan(n.traits->alpha) ? 0.0f : n.traits->alphaOr(a.alpha);
    p.beta = std::isnan(n.traits->beta) ? 0.0f : n.traits->betaOr(a.beta);
    if (p.act == Fusion::Act::Clip) {
        p.lo = a.clipMin;
        p.hi = a.clipMax;
        if (a.opset >= 11) {
            p.lo = -std::numeric_limits<float>::infinity();
            p.hi = std::numeric_limits<float>::infinity();
            if (!constScalar(g, n, 1, p.lo) || !constScalar(g, n, 2, p.hi)) return false;
        }
        // oneDNN's clip needs finite bounds.
        p.lo = std::fmax(p.lo, -std::numeric_limits<float>::max());
        p.hi = std::fmin(p.hi, std::numeric_limits<float>::max());
    }
    return n.inputs.size() >= 1 && n.outputs.size() == 1;
}

bool quantParams(const GraphState& g, const Node& n, float& scale, float& zero, DType& type) {
    if (n.inputs.size() < 2 || n.inputs[1] < 0 || !constScalar(g, n, 1, scale) || !(scale > 0) || !std::isfinite(scale)) {
        return false;
    }
    zero = 0;
    type = DType::UInt8;
    if (n.inputs.size() < 3 || n.inputs[2] < 0) return true;
    const auto v = static_cast<size_t>(n.inputs[2]);
    const Tensor& z = g.values[v];
    if (!g.isConst[v] || z.size() != 1 || (z.type() != DType::UInt8 && z.type() != DType::Int8)) return false;
    type = z.type();
    zero = static_cast<float>(z.scalarAsDouble(0));
    return true;
}

bool matchActivationPattern(const GraphState& g, int x, ActivationMatch& m) {
    m = {};
    if ((m.last = gatedProduct(g, x, m.spanned, m.post)) != nullptr) return true;
    if ((m.last = geluChain(g, x, m.spanned)) != nullptr) {
        m.post.act = Fusion::Act::Gelu;
        return true;
    }
    if ((m.last = hardSwishChain(g, x, m.spanned)) != nullptr) {
        m.post.act = Fusion::Act::HardSwish;
        return true;
    }
    if ((m.last = fakeQuantChain(g, x, m.spanned, m.post)) != nullptr) return true;
    m = {};  // a candidate tried and dropped may have left its nodes
    return false;
}

}  // namespace vexart
