#include "passes/CodesThroughNodes.h"

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
    return dequantizesCodes(*nodes[static_cast<size_t>(d)], constant) ? d : -1;
}

}  // namespace vexart
