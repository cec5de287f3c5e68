#include "passes/AttentionFusion.h"

#include <algorithm>

namespace vexart {
namespace {

// A float tensor that is computed by now, plain, of rank 2 or more, no
// dimension empty.
bool usableOperand(const GraphState& g, int v) {
    if (v < 0 || !g.ready[static_cast<size_t>(v)]) return false;
    const Tensor& t = g.values[static_cast<size_t>(v)];
    if (t.type() != DType::Float || !t.isPlain() || t.rank() < 2) return false;
    const Shape& s = t.shape();
    return std::none_of(s.begin(), s.end(), [](int64_t d) { return d <= 0; });
}

// Whether the batch dimensions (all but the last two) of q, k and v
// broadcast together, and the mask, when there is one, to the scores.
bool shapesFit(const Shape& q, const Shape& k, const Shape& v, const Tensor* mask) {
    if (q.size() != k.size() || q.size() != v.size()) return false;
    const size_t r = q.size();
    const int64_t rows = q[r - 2], inner = q[r - 1], cols = k[r - 1];
    if (k[r - 2] != inner || v[r - 2] != cols) return false;
    Shape scores(r);
    for (size_t i = 0; i + 2 < r; ++i) {
        const int64_t d = std::max({q[i], k[i], v[i]});
        for (const int64_t e : {q[i], k[i], v[i]}) {
            if (e != d && e != 1) return false;
        }
        scores[i] = d;
    }
    scores[r - 2] = rows;
    scores[r - 1] = cols;
    if (mask == nullptr) return true;
    if (mask->type() != DType::Float || !mask->isPlain() || mask->rank() > r) return false;
    const size_t lead = r - mask->rank();
    for (size_t i = 0; i < mask->rank(); ++i) {
        const int64_t e = mask->dim(i);
        if (e != scores[lead + i] && e != 1) return false;
    }
    return true;
}

// The one-element float constant operand of `n` beside `value` (of rank
// `rank`, which it must not raise), or -1.
int scalarBeside(const GraphState& g, const Node& n, int value, size_t rank) {
    if (n.inputs.size() != 2) return -1;
    const int other = n.inputs[0] == value ? n.inputs[1] : n.inputs[0];
    if (other < 0 || other == value || !g.isConst[static_cast<size_t>(other)]) return -1;
    const Tensor& t = g.values[static_cast<size_t>(other)];
    return t.type() == DType::Float && t.size() == 1 && t.rank() <= rank ? other : -1;
}

}  // namespace

bool matchAttention(const GraphState& g, size_t k, AttentionMatch& m) {
    const Node& first = *g.nodes[k];
    if (first.opType != "MatMul" || first.inputs.size() != 2 || first.outputs.size() != 1 || first.codesFrom >= 0) return false;
    m = AttentionMatch{};
    m.q = first.inputs[0];
    m.k = first.inputs[1];
    int at = first.outputs[0];
    if (!g.internal(at) || !usableOperand(g, m.q) || !usableOperand(g, m.k)) return false;
    const size_t rank = g.values[static_cast<size_t>(m.q)].rank();
    const Node* n = g.soleConsumer(at);
    auto advance = [&](const Node* next) {
        m.spanned.push_back(g.indexOf(next));
        at = next->outputs[0];
        n = g.soleConsumer(at);
    };
    auto fusable = [&](const Node* c) { return c != nullptr && c->outputs.size() == 1 && g.internal(c->outputs[0]); };
    if (fusable(n) && (n->opType == "Mul" || n->opType == "Div")) {
        const int s = scalarBeside(g, *n, at, rank);
        if (s < 0 || (n->opType == "Div" && n->inputs[0] != at)) return false;
        m.scaleOp = n->opType == "Mul" ? AttentionMatch::Scale::Mul : AttentionMatch::Scale::Div;
        m.scale = g.values[static_cast<size_t>(s)].data<float>()[0];
        advance(n);
    }
    if (fusable(n) && n->opType == "Add" && n->inputs.size() == 2) {
        m.mask = n->inputs[0] == at ? n->inputs[1] : n->inputs[0];
        if (m.mask == at || m.mask < 0 || !g.ready[static_cast<size_t>(m.mask)]) return false;
        advance(n);
    }
    if (!fusable(n) || n->opType != "Softmax" || n->inputs.size() != 1) return false;
    const int64_t axis = n->attrs.axis;
    // Before opset 13 the axis flattens what follows it: the last axis alone only when it is the last.
    if (axis != -1 && axis != static_cast<int64_t>(rank) - 1) return false;
    advance(n);
    // Dropout outside training passes its input through; its mask must go unread.
    if (n != nullptr && n->opType == "Dropout" && n->inputs.size() <= 2 && !n->outputs.empty() && g.internal(n->outputs[0]) &&
        (n->outputs.size() == 1 || n->outputs[1] < 0 ||
         (g.consumers[static_cast<size_t>(n->outputs[1])].empty() && g.internal(n->outputs[1])))) {
        advance(n);
    }
    if (n == nullptr || n->opType != "MatMul" || n->inputs.size() != 2 || n->inputs[0] != at || n->outputs.size() != 1 ||
        n->outputs[0] < 0 || n->codesFrom >= 0) {
        return false;
    }
    m.v = n->inputs[1];
    m.output = n->outputs[0];
    m.spanned.push_back(g.indexOf(n));
    if (!usableOperand(g, m.v)) return false;
    const Tensor* mask = m.mask >= 0 ? &g.values[static_cast<size_t>(m.mask)] : nullptr;
    return shapesFit(g.values[static_cast<size_t>(m.q)].shape(), g.values[static_cast<size_t>(m.k)].shape(),
                     g.values[static_cast<size_t>(m.v)].shape(), mask);
}

}  // namespace vexart
