#include "Engine.h"

#include <onnx/onnx_pb.h>

#include <set>

#include "core/Processor.h"
#include "onednn/Dnnl.h"

namespace vexart {

Engine::Engine(onnx::ModelProto model, const EngineOptions& options) {
    requireProcessorExtensions();
    if (options.fixedPoint) {
        FixedPointOptions fp;
        fp.encodings = options.encodings;
        fp.weightSteps = options.weightSteps;
        fp.biasCorrections = options.biasCorrections;
        // Without dot-product instructions, 8-bit products are summed in
        // pairs in 16 bits: weight codes keep to 7 bits so no pair overflows.
        fp.weightCode = onednn::hasVnni() ? 127 : 63;
        rewrite_ = rewriteForFixedPoint(model, fp);
    }
    graph_ = std::make_unique<Graph>(std::move(model));
}

Engine::~Engine() = default;

std::string Engine::computedName(const std::string& name) const {
    for (const auto& [computed, shown] : rewrite_.visibleName) {
        if (shown == name) return computed;
    }
    return name;
}

std::vector<std::string> Engine::visible(const std::vector<std::string>& names) const {
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const auto& n : names) {
        const std::string v = rewrite_.visible(n);
        if (!v.empty() && seen.insert(v).second) out.push_back(v);
    }
    return out;
}

}  // namespace vexart
