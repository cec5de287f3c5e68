#include "passes/CodesInput.h"

#include <cmath>
#include <utility>

namespace vexart {

bool dequantizesCodes(const Node& dq, const ConstantSource& constant) {
    if (dq.traits->quant != OpTraits::Quant::Dequantize || dq.inputs.size() < 3 || dq.outputs.size() != 1 ||
        dq.inputs[0] < 0 || constant(dq.inputs[0]) != nullptr) {
        return false;
    }
    const Tensor* scale = constant(dq.inputs[1]);
    const Tensor* zero = constant(dq.inputs[2]);
    if (scale == nullptr || zero == nullptr || scale->type() != DType::Float || scale->size() != 1 || zero->size() != 1) {
        return false;
    }
    const float step = scale->data<float>()[0];
    return step > 0 && std::isfinite(step) && (zero->type() == DType::UInt8 || zero->type() == DType::Int8);
}

bool readCodesDirectly(std::vector<std::unique_ptr<Node>>& nodes, const std::vector<Tensor>& values,
                       const std::vector<bool>& isConst) {
    std::vector<int> producer(values.size(), -1);
    for (size_t k = 0; k < nodes.size(); ++k) {
        for (int o : nodes[k]->outputs) {
            if (o >= 0) producer[static_cast<size_t>(o)] = static_cast<int>(k);
        }
    }
    const ConstantSource constant = [&](int v) -> const Tensor* {
        return v >= 0 && isConst[static_cast<size_t>(v)] ? &values[static_cast<size_t>(v)] : nullptr;
    };
    bool changed = false;
    for (auto& n : nodes) {
        if (!n->traits->takesCodes || n->codesFrom >= 0 || n->inputs.empty() || n->inputs[0] < 0) continue;
        auto codesAt = [&](size_t i) {
            if (i >= n->inputs.size() || n->inputs[i] < 0) return false;
            const int p = producer[static_cast<size_t>(n->inputs[i])];
            return p >= 0 && dequantizesCodes(*nodes[static_cast<size_t>(p)], constant);
        };
        // A product takes its operands in either order: the codes go first.
        if (n->traits->arith == OpTraits::Arith::Mul && n->inputs.size() == 2 && !codesAt(0) && codesAt(1)) {
            std::swap(n->inputs[0], n->inputs[1]);
        }
        if (!codesAt(0)) continue;
        const int from = producer[static_cast<size_t>(n->inputs[0])];
        n->inputs[0] = nodes[static_cast<size_t>(from)]->inputs[0];
        n->codesFrom = from;
        changed = true;
    }
    return changed;
}

}  // namespace vexart
