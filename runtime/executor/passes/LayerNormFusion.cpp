#include "passes/LayerNormFusion.h"

namespace vexart {
namespace {

// A mean over the last axis only (of `rank`), kept as a dimension.
bool lastAxisMean(const Node& n, int input, size_t rank) {
    if (n.opType != "ReduceMean" || n.inputs.empty() || n.inputs[0] != input || n.inputs.size() > 1 ||
        !n.attrs.keepDims || n.attrs.axes.size() != 1) {
        return false;
    }
    const int64_t axis = n.attrs.axes[0];
    return rank > 0 && (axis == -1 || axis == static_cast<int64_t>(rank) - 1);
}

// The constant operand of binary node `n` beside `value`.
int constOperand(const GraphState& g, const Node& n, int value) {
    if (n.inputs.size() != 2) return -1;
    const int other = n.inputs[0] == value ? n.inputs[1] : n.inputs[1] == value ? n.inputs[0] : -1;
    if (other < 0 || other == value || !g.isConst[static_cast<size_t>(other)]) return -1;
    return g.values[static_cast<size_t>(other)].type() == DType::Float ? other : -1;
}

bool scalarIs(const GraphState& g, int value, float& out) {
    const Tensor& t = g.values[static_cast<size_t>(value)];
    if (t.size() != 1) return false;
    out = t.data<float>()[0];
    return true;
}

}  // namespace

bool matchLayerNorm(const GraphState& g, size_t k, LayerNormMatch& m) {
    const Node& mean = *g.nodes[k];
    if (mean.inputs.empty() || mean.outputs.size() != 1 || mean.outputs[0] < 0) return false;
    const int x = mean.inputs[0];
    if (x < 0 || !g.internal(mean.outputs[0])) return false;
    // Only x is computed yet: its rank is the rank of the whole subgraph.
    const Tensor& xt = g.values[static_cast<size_t>(x)];
    if (!lastAxisMean(mean, x, xt.rank())) return false;
    if (xt.type() != DType::Float || !xt.isPlain()) return false;
    const Node* sub = g.soleOfType(mean.outputs[0], "Sub");
    if (sub == nullptr || sub->inputs.size() != 2 || sub->inputs[0] != x || sub->inputs[1] != mean.outputs[0]) return false;
    const int d = sub->outputs[0];
    const auto& dc = g.consumers[static_cast<size_t>(d)];
    if (dc.size() != 2) return false;
    const Node* pow = nullptr;
    const Node* div = nullptr;
    for (size_t c : dc) {
        const Node* n = g.nodes[c].get();
        if (n->traits->arith == OpTraits::Arith::Pow) pow = n;
        if (n->traits->arith == OpTraits::Arith::Div) div = n;
    }
    float e = 0;
    if (pow == nullptr || div == nullptr || pow->inputs.size() != 2 || pow->inputs[0] != d ||
        pow->outputs.size() != 1 || !g.internal(pow->outputs[0])) {
        return false;
    }
    const int two = constOperand(g, *pow, d);
    if (two < 0 || !scalarIs(g, two, e) || e != 2.0f) return false;
    const Node* var = g.soleOfType(pow->outputs[0], "ReduceMean");
    if (var == nullptr || !lastAxisMean(*var, pow->outputs[0], xt.rank())) return false;
    const Node* addEps = g.soleOfType(var->outputs[0], "Add");
    const int epsValue = addEps != nullptr ? constOperand(g, *addEps, var->outputs[0]) : -1;
    if (epsValue < 0 || !scalarIs(g, epsValue, m.epsilon) || !(m.epsilon >= 0)) return false;
    const Node* sqrt = g.soleOfType(addEps->outputs[0], "Sqrt");
    if (sqrt == nullptr || g.soleConsumer(sqrt->outputs[0]) != div || div->inputs.size() != 2 || div->inputs[0] != d ||
        div->inputs[1] != sqrt->outputs[0] || div->outputs.size() != 1 || !g.internal(div->outputs[0])) {
        return false;
    }
    const Node* mul = g.soleOfType(div->outputs[0], "Mul");
    const int scale = mul != nullptr ? constOperand(g, *mul, div->outputs[0]) : -1;
    const Node* add = mul != nullptr ? g.soleConsumer(mul->outputs[0]) : nullptr;
    const int bias = add != nullptr && add->traits->arith == OpTraits::Arith::Add ? constOperand(g, *add, mul->outputs[0]) : -1;
    if (scale < 0 || bias < 0 || add->outputs.size() != 1 || add->outputs[0] < 0) return false;
    // Scale and bias must be per element of the last axis.
    const int64_t last = xt.shape().back();
    for (int v : {scale, bias}) {
        const Tensor& t = g.values[static_cast<size_t>(v)];
        if (t.size() != last || (t.rank() > 0 && t.shape().back() != last)) return false;
    }
    m.x = x;
    m.scale = scale;
    m.bias = bias;
    m.output = add->outputs[0];
    m.spanned.clear();
    for (const Node* n : {sub, pow, var, addEps, sqrt, div, mul, add}) m.spanned.push_back(g.indexOf(n));
    return true;
}

}  // namespace vexart
