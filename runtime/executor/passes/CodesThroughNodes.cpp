#include "passes/CodesThroughNodes.h"

#include <cmath>

namespace vexart {

int dequantizationToMove(const std::vector<std::unique_ptr<Node>>& nodes, const std::vector<int>& producer, size_t k,
                         const ConstantSource& constant) {
    const Node& n = *nodes[k];
    if (!n.traits->keepsGrid || n.traits->fillInput >= 0 || n.inputs.empty() || n.inputs[0] < 0 || n.outputs.empty() ||
        n.outputs[0] < 0) {
        return -1;
    }
    for (size_t o = 1; o < n.outputs.size(); ++o) {
        if (n.outputs[o] >= 0) return -1;  // MaxPool's indices count positions, not codes
    }
    const int d = producer[static_cast<size_t>(n.inputs[0])];
    if (d < 0) return -1;
    const Node& dq = *nodes[static_cast<size_t>(d)];
    if (dq.traits->quant != OpTraits::Quant::Dequantize || dq.inputs.size() < 3 || dq.outputs.size() != 1 ||
        dq.inputs[0] < 0 || constant(dq.inputs[0]) != nullptr) {
        return -1;
    }
    const Tensor* scale = constant(dq.inputs[1]);
    const Tensor* zero = constant(dq.inputs[2]);
    if (scale == nullptr || zero == nullptr || scale->type() != DType::Float || scale->size() != 1 || zero->size() != 1 ||
        (zero->type() != DType::UInt8 && zero->type() != DType::Int8)) {
        return -1;
    }
    const float step = scale->data<float>()[0];
    return step > 0 && std::isfinite(step) ? d : -1;
}

}  // namespace vexart
