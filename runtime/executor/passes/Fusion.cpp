#include "passes/Fusion.h"

#include "onednn/PostOps.h"

#include <cmath>

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

// The activation a node computes from its first input, if it is one.
bool activationOf(const GraphState& g, const Node& n, Fusion::Post& p) {
    const NodeAttrs& a = n.attrs;
    p = {};
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

// `mul` is the product of `a` and `b`, in either order.
bool productOf(const Node& mul, int a, int b) {
    return mul.traits->arith == OpTraits::Arith::Mul && mul.inputs.size() == 2 && mul.outputs.size() == 1 &&
           ((mul.inputs[0] == a && mul.inputs[1] == b) || (mul.inputs[0] == b && mul.inputs[1] == a));
}

// x * Sigmoid(x) and x * HardSigmoid(x; 1/6, 1/2): Swish and HardSwish
// written out. `gate` reads `x`; the Mul reads both and is the gate's only consumer.
Node* gatedProduct(const GraphState& g, int x, Fusion::Post& p) {
    const auto& cons = g.consumers[static_cast<size_t>(x)];
    if (cons.size() != 2) return nullptr;
    for (int pick = 0; pick < 2; ++pick) {
        Node& gate = *g.nodes[cons[static_cast<size_t>(pick)]];
        Node& mul = *g.nodes[cons[static_cast<size_t>(1 - pick)]];
        if (gate.outputs.size() != 1 || gate.inputs.empty() || gate.inputs[0] != x) continue;
        const int gated = gate.outputs[0];
        if (!g.internal(gated) || g.soleConsumer(gated) != &mul || !productOf(mul, x, gated)) continue;
        p = {};
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
        spanned = {&div, erf, add, &mul, half};
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
        spanned = {&add, clip, sixth, &mul};
        return last;
    }
    return nullptr;
}

// The constant per-tensor scale, zero point and its type of a
// QuantizeLinear or DequantizeLinear node.
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

// A QuantizeLinear of `x` with one constant scale and zero point whose
// codes are read as they are (by integer consumers, see
// passes/CodesInput.h), not only by a DequantizeLinear that pairs with it.
Node* codesOf(const GraphState& g, int x, Fusion::Codes& codes) {
    Node* q = g.soleConsumer(x);
    float scale = 0, zero = 0;
    DType type = DType::UInt8;
    if (q == nullptr || q->traits->quant != OpTraits::Quant::Quantize || q->inputs.empty() || q->inputs[0] != x ||
        q->outputs.size() != 1 || !g.internal(q->outputs[0]) || !quantParams(g, *q, scale, zero, type)) {
        return nullptr;
    }
    codes.on = true;
    codes.type = type;
    codes.scale = scale;
    codes.zero = static_cast<int32_t>(zero);
    return q;
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

// A constant that broadcasts to `out` with one value per `axis` (a bias).
bool perChannelOperand(const GraphState& g, int value, const Shape& out, size_t axis) {
    const Tensor& t = g.values[static_cast<size_t>(value)];
    if (!g.isConst[static_cast<size_t>(value)] || !t.isPlain() || t.rank() > out.size() || axis >= out.size() ||
        t.size() != out[axis] || out[axis] == 1) {
        return false;
    }
    const size_t lead = out.size() - t.rank();
    for (size_t i = 0; i < t.rank(); ++i) {
        if (t.dim(i) != 1 && i + lead != axis) return false;
    }
    return true;
}

// Scale and shift of an inference-mode BatchNormalization with constant parameters.
bool foldNormalization(const GraphState& g, const Node& bn, int64_t channels, Fusion& f) {
    if (bn.attrs.training || bn.inputs.size() != 5 || bn.outputs.size() != 1) return false;
    const float* p[4];
    for (size_t i = 0; i < 4; ++i) {
        const int v = bn.inputs[i + 1];
        if (v < 0 || !g.isConst[static_cast<size_t>(v)]) return false;
        const Tensor& t = g.values[static_cast<size_t>(v)];
        if (t.type() != DType::Float || t.size() != channels) return false;
        p[i] = t.data<float>();
    }
    f.scale.resize(static_cast<size_t>(channels));
    f.shift.resize(static_cast<size_t>(channels));
    for (int64_t c = 0; c < channels; ++c) {
        const float s = p[0][c] / std::sqrt(p[3][c] + bn.attrs.epsilon);
        f.scale[static_cast<size_t>(c)] = s;
        f.shift[static_cast<size_t>(c)] = p[1][c] - p[2][c] * s;
    }
    return true;
}

}  // namespace

FusedChain fuseAfter(GraphState& g, size_t k, const Shape& outputShape, Layout outputLayout, bool foldsNormalization,
                     size_t channelAxis, bool writesCodes) {
    FusedChain chain;
    const Node& head = *g.nodes[k];
    int cur = head.outputs.empty() ? -1 : head.outputs[0];
    chain.output = cur;
    if (cur < 0 || outputShape.size() < 2) return chain;
    for (;;) {
        if (!g.internal(cur)) break;
        Fusion::Post p;
        std::vector<Node*> spanned;
        Node* next = gatedProduct(g, cur, p);
        bool absorbedGate = next != nullptr;
        Fusion folded;  // a normalisation's scale and shift, taken only if the step fuses
        bool foldsRelu = false;  // the step replaces the ReLU or Clip before it
        if (next == nullptr && (next = geluChain(g, cur, spanned)) != nullptr) {
            p = {};
            p.act = Fusion::Act::Gelu;
        } else if (next == nullptr && (next = hardSwishChain(g, cur, spanned)) != nullptr) {
            p = {};
            p.act = Fusion::Act::HardSwish;
        } else if (next == nullptr && (next = fakeQuantChain(g, cur, spanned, p)) != nullptr) {
            // A ReLU or Clip just before narrows the grid instead: rounding
            // keeps order, so round(clip(v, a, b)) = clip(round(v), round(a), round(b)).
            const auto& post = chain.fusion.post;
            const bool before = !post.empty() && !post.back().isAdd;
            if (before && post.back().act == Fusion::Act::Relu) {
                foldsRelu = true;
                p.lo = std::max(p.lo, p.zero);
            } else if (before && post.back().act == Fusion::Act::Clip) {
                foldsRelu = true;
                p.lo = std::max(p.lo, std::nearbyint(post.back().lo / p.scale) + p.zero);
                p.hi = std::min(p.hi, std::nearbyint(post.back().hi / p.scale) + p.zero);
                p.lo = std::min(p.lo, p.hi);
            }
        } else if (next == nullptr && writesCodes && (next = codesOf(g, cur, chain.fusion.codes)) != nullptr) {
            // Codes end the chain: nothing applies after the rounding.
            if (!g.skipped[g.indexOf(next)]) chain.absorbed.push_back(g.indexOf(next));
            g.skipped[g.indexOf(next)] = true;
            chain.output = next->outputs[0];
            break;
        } else if (next == nullptr) {
            next = g.soleConsumer(cur);
            if (next == nullptr || next->inputs.empty()) break;
            if (next->opType == "BatchNormalization") {
                if (!foldsNormalization || next->inputs[0] != cur || !chain.fusion.empty() ||
                    !foldNormalization(g, *next, outputShape[1], folded)) {
                    break;
                }
            } else if (next->traits->arith == OpTraits::Arith::Add) {
                // The other operand must exist before the convolution runs
                // and match its output exactly, layout included.
                if (next->inputs.size() != 2 || next->outputs.size() != 1) break;
                const int other = next->inputs[0] == cur ? next->inputs[1] : next->inputs[0];
                if (other < 0 || other == cur || !g.ready[static_cast<size_t>(other)]) break;
                const Tensor& t = g.values[static_cast<size_t>(other)];
                if (t.type() != DType::Float) break;
                p.isAdd = true;
                p.addend = &t;
                p.perChannel = perChannelOperand(g, other, outputShape, channelAxis);
                if (!p.perChannel && (t.layout() != outputLayout || t.logicalShape() != outputShape)) break;
            } else if (next->inputs[0] != cur || !activationOf(g, *next, p)) {
                break;
            }
        }
        const int out = next->outputs.empty() ? -1 : next->outputs[0];
        if (!g.internal(out)) break;
        if (foldsRelu) {
            // Judged without the activation the step replaces.
            Fusion without = chain.fusion;
            without.post.pop_back();
            if (onednn::repeatsAnEltwise(without, p)) break;
        } else if (onednn::repeatsAnEltwise(chain.fusion, p)) {
            break;
        }
        auto absorb = [&](size_t node) {
            if (!g.skipped[node]) chain.absorbed.push_back(node);
            g.skipped[node] = true;
        };
        if (absorbedGate) {
            for (size_t c : g.consumers[static_cast<size_t>(cur)]) absorb(c);
        }
        for (Node* n : spanned) absorb(g.indexOf(n));
        absorb(g.indexOf(next));
        if (next->opType == "BatchNormalization") {
            chain.fusion.scale = std::move(folded.scale);
            chain.fusion.shift = std::move(folded.shift);
        } else {
            if (foldsRelu) chain.fusion.post.pop_back();
            chain.fusion.post.push_back(p);
        }
        cur = out;
        chain.output = cur;
    }
    return chain;
}

}  // namespace vexart
