#include "passes/Grids.h"

#include <cmath>

namespace vexart {

bool dequantizedGrid(const GraphState& g, int value, QuantGrid& out) {
    if (value < 0 || static_cast<size_t>(value) >= g.producer.size() || g.producer[static_cast<size_t>(value)] < 0) {
        return false;
    }
    const Node& n = *g.nodes[static_cast<size_t>(g.producer[static_cast<size_t>(value)])];
    if (n.traits->quant != OpTraits::Quant::Dequantize || n.outputs.empty() || n.outputs[0] != value || n.inputs.size() < 2 ||
        n.inputs[1] < 0 || !g.isConst[static_cast<size_t>(n.inputs[1])]) {
        return false;
    }
    const Tensor& scale = g.values[static_cast<size_t>(n.inputs[1])];
    if (scale.type() != DType::Float || scale.size() == 0 || scale.rank() > 1) return false;
    out = {};
    out.scales.assign(scale.data<float>(), scale.data<float>() + scale.size());
    for (float s : out.scales) {
        if (!(s > 0) || !std::isfinite(s)) return false;
    }
    const int zv = n.inputs.size() > 2 ? n.inputs[2] : -1;
    if (zv >= 0) {
        const Tensor& z = g.values[static_cast<size_t>(zv)];
        if (!g.isConst[static_cast<size_t>(zv)] || z.size() != scale.size() ||
            (z.type() != DType::UInt8 && z.type() != DType::Int8)) {
            return false;
        }
        out.type = z.type();
        for (int64_t i = 0; i < z.size(); ++i) out.zeroPoints.push_back(static_cast<int32_t>(z.scalarAsDouble(i)));
    } else {
        // Without a zero point the codes' type is the input's.
        const DType t = g.values[static_cast<size_t>(n.inputs[0])].type();
        if (t != DType::UInt8 && t != DType::Int8) return false;
        out.type = t;
        out.zeroPoints.assign(out.scales.size(), 0);
    }
    if (out.scales.size() > 1) {
        const auto rank = static_cast<int64_t>(g.values[static_cast<size_t>(value)].rank());
        out.axis = n.attrs.axis < 0 ? n.attrs.axis + rank : n.attrs.axis;
        if (out.axis < 0 || out.axis >= rank) return false;
    }
    return true;
}

}  // namespace vexart
