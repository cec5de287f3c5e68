#include "passes/ShapeInference.h"

#include "core/Broadcast.h"

namespace vexart {

std::vector<bool> valuesThatShape(const GraphState& g) {
    std::vector<bool> shapes(g.values.size(), false);
    for (size_t k = g.nodes.size(); k-- > 0;) {
        if (!g.needed[k]) continue;
        const Node& n = *g.nodes[k];
        bool outputShapes = false;
        for (int o : n.outputs) outputShapes = outputShapes || (o >= 0 && shapes[static_cast<size_t>(o)]);
        // Shape and Size read no values. Products are what a plan costs:
        // they run dry even so, and a plan whose shapes they feed is made
        // again on each execution's values (Graph::shapesFollowValues).
        if (n.traits->shapeOnly || n.traits->weightAxis >= 0) {
            for (int o : n.outputs) {
                if (o >= 0 && n.traits->weightAxis >= 0) shapes[static_cast<size_t>(o)] = false;
            }
            outputShapes = false;
        }
        const uint32_t mask = n.traits->shapeFromValues;
        for (size_t i = 0; i < n.inputs.size(); ++i) {
            const bool set = i >= 32 ? mask == OpTraits::kEveryInput : ((mask >> i) & 1u) != 0;
            if (n.inputs[i] >= 0 && (set || outputShapes)) shapes[static_cast<size_t>(n.inputs[i])] = true;
        }
    }
    return shapes;
}

bool inferOutputs(const OpTraits& traits, KernelContext& ctx) {
    using Kind = OpTraits::ShapeRule::Kind;
    const OpTraits::ShapeRule& rule = traits.shapeRule;
    const auto typeOf = static_cast<size_t>(rule.typeOf);
    if (rule.kind == Kind::None || ctx.outputCount() != 1 || !ctx.has(0) || !ctx.has(typeOf)) return false;
    for (const Tensor* t : ctx.inputs()) {
        // Strings and sequences are left to their kernels.
        const DType type = t != nullptr ? t->type() : DType::Float;
        if (type == DType::String || type == DType::Sequence || type == DType::Optional || type == DType::Undefined) return false;
    }
    Shape shape = ctx.in(0).shape();
    if (rule.kind == Kind::Broadcast) {
        for (size_t i = 1; i < ctx.inputCount(); ++i) {
            if (ctx.has(i)) shape = broadcastShape(shape, ctx.in(i).shape());
        }
    }
    ctx.out(0, rule.toBool ? DType::Bool : ctx.in(typeOf).type(), shape);
    ctx.zeroOutputs();
    return true;
}

}  // namespace vexart
