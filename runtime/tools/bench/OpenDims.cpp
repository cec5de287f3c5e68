#include "OpenDims.h"

#include <onnx/onnx_pb.h>

#include <set>
#include <stdexcept>

#include "Container.h"
#include "Printable.h"

namespace vexart::bench {

std::vector<DeclaredInput> declaredInputs(const std::string& container, const std::string& graph, bool& encoded) {
    const ContainerModel model = openContainerFile(container, containerLimitsFromEnvironment());
    const ContainerGraph* chosen = model.graphs.empty() ? nullptr : &model.graphs.front();
    for (const auto& g : model.graphs) {
        if (g.name == graph) chosen = &g;
    }
    std::vector<DeclaredInput> inputs;
    encoded = false;
    if (chosen == nullptr || (!graph.empty() && chosen->name != graph)) return inputs;  // the build names what is wrong
    encoded = !chosen->encodings.empty();
    onnx::ModelProto proto;
    if (!parseGraph(model, *chosen, proto)) throw std::runtime_error("graph '" + chosen->name + "' is not valid ONNX");
    std::set<std::string> weights;
    for (const auto& t : proto.graph().initializer()) weights.insert(t.name());
    for (const auto& v : proto.graph().input()) {
        if (weights.count(v.name()) != 0 || !v.type().has_tensor_type()) continue;
        DeclaredInput in{v.name(), {}};
        for (const auto& d : v.type().tensor_type().shape().dim()) {
            in.dims.push_back({d.has_dim_value() && d.dim_value() >= 0 ? d.dim_value() : -1, d.dim_param()});
        }
        inputs.push_back(std::move(in));
    }
    return inputs;
}

std::string settleOpenDims(const std::vector<DeclaredInput>& inputs, const std::map<std::string, size_t>& named,
                           int64_t freeDims, std::map<std::string, std::vector<size_t>>& given,
                           std::vector<OpenChoice>& choices) {
    for (const auto& in : inputs) {
        if (given.count(in.name) != 0) continue;
        std::vector<size_t> shape;
        std::vector<OpenChoice> mine;
        for (size_t k = 0; k < in.dims.size(); ++k) {
            const DeclaredDim& d = in.dims[k];
            if (d.length >= 0) {
                shape.push_back(static_cast<size_t>(d.length));
                continue;
            }
            const auto n = d.name.empty() ? named.end() : named.find(d.name);
            if (n == named.end() && freeDims < 0) {
                const std::string dim = std::to_string(k) + (d.name.empty() ? "" : " ('" + printable(d.name, 60) + "')");
                return "input '" + printable(in.name, 60) + "' leaves dimension " + dim +
                       " open: give its shape (--input_dimensions " + printable(in.name, 60) + "=...)" +
                       (d.name.empty() ? "" : ", the dimension's value (--dim " + printable(d.name, 60) + "=N)") +
                       " or every open dimension's (--free-dims N)";
            }
            const size_t value = n != named.end() ? n->second : static_cast<size_t>(freeDims);
            shape.push_back(value);
            mine.push_back({in.name, d.name, n != named.end() ? "--dim" : "--free-dims", k, value});
        }
        if (mine.empty()) continue;
        given[in.name] = shape;
        choices.insert(choices.end(), mine.begin(), mine.end());
    }
    return {};
}

}  // namespace vexart::bench
