#include "Fusion.h"

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
    auto value = [](float v, float fallback) { return std::isnan(v) ? fallback : v; };
    p = {};
    if (n.opType == "Relu") {
        p.act = Fusion::Act::Relu;
    } else if (n.opType == "LeakyRelu") {
        p.act = Fusion::Act::LeakyRelu;
        p.alpha = value(a.alpha, 0.01f);
    } else if (n.opType == "Sigmoid") {
        p.act = Fusion::Act::Sigmoid;
    } else if (n.opType == "Tanh") {
        p.act = Fusion::Act::Tanh;
    } else if (n.opType == "HardSigmoid") {
        p.act = Fusion::Act::HardSigmoid;
        p.alpha = value(a.alpha, 0.2f);
        p.beta = value(a.beta, 0.5f);
    } else if (n.opType == "HardSwish") {
        p.act = Fusion::Act::HardSwish;
    } else if (n.opType == "Elu") {
        p.act = Fusion::Act::Elu;
        p.alpha = value(a.alpha, 1.0f);
    } else if (n.opType == "Clip") {
        p.act = Fusion::Act::Clip;
        p.alpha = a.clipMin;
        p.beta = a.clipMax;
        if (a.opset >= 11) {
            p.alpha = -std::numeric_limits<float>::infinity();
            p.beta = std::numeric_limits<float>::infinity();
            if (!constScalar(g, n, 1, p.alpha) || !constScalar(g, n, 2, p.beta)) return false;
        }
        // oneDNN's clip needs finite bounds.
        p.alpha = std::fmax(p.alpha, -std::numeric_limits<float>::max());
        p.beta = std::fmin(p.beta, std::numeric_limits<float>::max());
    } else {
        return false;
    }
    return n.inputs.size() >= 1 && n.outputs.size() == 1;
}

// x * Sigmoid(x) and x * HardSigmoid(x; 1/6, 1/2): Swish and HardSwish
// written out. `gate` reads `x`; the Mul reads both and is the gate's only consumer.
Node* gatedProduct(const GraphState& g, int x, Fusion::Post& p) {
    const auto& cons = g.consumers[static_cast<size_t>(x)];
    if (cons.size() != 2) return nullptr;
    for (int pick = 0; pick < 2; ++pick) {
        Node& gate = *g.nodes[cons[static_cast<size_t>(pick)]];
        Node& mul = *g.nodes[cons[static_cast<size_t>(1 - pick)]];
        if (mul.opType != "Mul" || gate.outputs.size() != 1 || gate.inputs.empty() || gate.inputs[0] != x) continue;
        const int gated = gate.outputs[0];
        if (gated < 0 || g.wanted[static_cast<size_t>(gated)] || g.soleConsumer(gated) != &mul) continue;
        if (mul.inputs.size() != 2 || !((mul.inputs[0] == x && mul.inputs[1] == gated) ||
                                        (mul.inputs[1] == x && mul.inputs[0] == gated))) {
            continue;
        }
        p = {};
        if (gate.opType == "Sigmoid") {
            p.act = Fusion::Act::Swish;
            p.alpha = 1.0f;
            return &mul;
        }
        if (gate.opType == "HardSigmoid" && near(gate.attrs.alpha, 1.0f / 6) && near(gate.attrs.beta, 0.5f)) {
            p.act = Fusion::Act::HardSwish;
            return &mul;
        }
    }
    return nullptr;
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

FusedChain fuseAfter(GraphState& g, size_t k, const Shape& outputShape, bool channelsLast, bool foldsNormalization) {
    FusedChain chain;
    const Node& head = *g.nodes[k];
    int cur = head.outputs.empty() ? -1 : head.outputs[0];
    chain.output = cur;
    if (cur < 0 || outputShape.size() < 2) return chain;
    for (;;) {
        if (g.wanted[static_cast<size_t>(cur)]) break;
        Fusion::Post p;
        Node* next = gatedProduct(g, cur, p);
        bool absorbedGate = next != nullptr;
        if (next == nullptr) {
            next = g.soleConsumer(cur);
            if (next == nullptr || next->inputs.empty()) break;
            if (next->opType == "BatchNormalization") {
                if (!foldsNormalization || next->inputs[0] != cur || !chain.fusion.empty() ||
                    !foldNormalization(g, *next, outputShape[1], chain.fusion)) {
                    break;
                }
            } else if (next->opType == "Add") {
                // The other operand must exist before the convolution runs
                // and match its output exactly, layout included.
                if (next->inputs.size() != 2 || next->outputs.size() != 1) break;
                const int other = next->inputs[0] == cur ? next->inputs[1] : next->inputs[0];
                if (other < 0 || other == cur || !g.ready[static_cast<size_t>(other)]) break;
                const Tensor& t = g.values[static_cast<size_t>(other)];
                if (t.type() != DType::Float || t.channelsLast() != channelsLast || t.logicalShape() != outputShape) break;
                p.isAdd = true;
                p.addend = &t;
            } else if (next->inputs[0] != cur || !activationOf(g, *next, p)) {
                break;
            }
        }
        const int out = next->outputs.empty() ? -1 : next->outputs[0];
        if (out < 0 || g.wanted[static_cast<size_t>(out)]) break;
        if (absorbedGate) {
            for (size_t c : g.consumers[static_cast<size_t>(cur)]) g.skipped[c] = true;
        }
        g.skipped[g.indexOf(next)] = true;
        if (next->opType != "BatchNormalization") chain.fusion.post.push_back(p);
        cur = out;
        chain.output = cur;
    }
    return chain;
}

}  // namespace vexart
