#include "passes/Fusion.h"

#include <cmath>

#include "onednn/PostOps.h"
#include "passes/ActivationPatterns.h"

namespace vexart {
namespace {

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
                     size_t channelAxis, bool writesCodes, bool appliesPosts) {
    FusedChain chain;
    const Node& head = *g.nodes[k];
    int cur = head.outputs.empty() ? -1 : head.outputs[0];
    chain.output = cur;
    if (cur < 0 || outputShape.size() < 2) return chain;
    if (!appliesPosts) {
        Node* q = writesCodes && g.internal(cur) ? codesOf(g, cur, chain.fusion.codes) : nullptr;
        if (q != nullptr) {
            if (!g.skipped[g.indexOf(q)]) chain.absorbed.push_back(g.indexOf(q));
            g.skipped[g.indexOf(q)] = true;
            chain.output = q->outputs[0];
        }
        return chain;
    }
    for (;;) {
        if (!g.internal(cur)) break;
        ActivationMatch m;
        Node* next = matchActivationPattern(g, cur, m) ? m.last : nullptr;
        Fusion::Post p = m.post;
        Fusion folded;  // a normalisation's scale and shift, taken only if the step fuses
        bool foldsRelu = false;  // the step replaces the ReLU or Clip before it
        if (next != nullptr && p.act == Fusion::Act::FakeQuant) {
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
        for (Node* n : m.spanned) absorb(g.indexOf(n));
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
