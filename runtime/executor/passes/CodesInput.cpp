#include "passes/CodesInput.h"

#include <cmath>

namespace vexart {
namespace {

bool constScalar(const std::vector<Tensor>& values, const std::vector<bool>& isConst, int v) {
    return v >= 0 && isConst[static_cast<size_t>(v)] && values[static_cast<size_t>(v)].size() == 1;
}

// A DequantizeLinear of a computed value with a constant per-tensor grid
// that states its codes' type (its zero point).
bool dequantizesCodes(const Node& dq, const std::vector<Tensor>& values, const std::vector<bool>& isConst) {
    if (dq.traits->quant != OpTraits::Quant::Dequantize || dq.inputs.size() < 3 || dq.outputs.size() != 1 || dq.inputs[0] < 0 ||
        isConst[static_cast<size_t>(dq.inputs[0])] || !constScalar(values, isConst, dq.inputs[1]) ||
        !constScalar(values, isConst, dq.inputs[2])) {
        return false;
    }
    const Tensor& scale = values[static_cast<size_t>(dq.inputs[1])];
    const DType z = values[static_cast<size_t>(dq.inputs[2])].type();
    if (scale.type() != DType::Float || !(scale.data<float>()[0] > 0) || !std::isfinite(scale.data<float>()[0])) {
        return false;
    }
    return z == DType::UInt8 || z == DType::Int8;
}

}  // namespace

bool readCodesDirectly(std::vector<std::unique_ptr<Node>>& nodes, const std::vector<Tensor>& values,
                       const std::vector<bool>& isConst) {
    std::vector<int> producer(values.size(), -1);
    for (size_t k = 0; k < nodes.size(); ++k) {
        for (int o : nodes[k]->outputs) {
            if (o >= 0) producer[static_cast<size_t>(o)] = static_cast<int>(k);
        }
    }
    bool changed = false;
    for (auto& n : nodes) {
        if (!n->traits->takesCodes || n->codesFrom >= 0 || n->inputs.empty() || n->inputs[0] < 0) continue;
        const int from = producer[static_cast<size_t>(n->inputs[0])];
        if (from < 0 || !dequantizesCodes(*nodes[static_cast<size_t>(from)], values, isConst)) continue;
        n->inputs[0] = nodes[static_cast<size_t>(from)]->inputs[0];
        n->codesFrom = from;
        changed = true;
    }
    return changed;
}

}  // namespace vexart
