// vexa-dlc-info: lists the graphs of a model container with their inputs,
// outputs, dimensions, data types, encodings and cache records.
#include <onnx/onnx_pb.h>

#include <iostream>
#include <set>

#include "Container.h"
#include "executor/core/Tensor.h"
#include "FailureText.h"

namespace {

std::string describe(const onnx::ValueInfoProto& v) {
    std::string dims = "[";
    const auto& t = v.type().tensor_type();
    for (int i = 0; i < t.shape().dim_size(); ++i) {
        const auto& d = t.shape().dim(i);
        dims += (i ? "," : "") + (d.has_dim_value() ? std::to_string(d.dim_value()) : d.dim_param().empty() ? "?" : d.dim_param());
    }
    return dims + "] " + vexart::dtypeName(static_cast<vexart::DType>(t.elem_type()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help") {
        std::cerr << "usage: vexa-dlc-info MODEL.dlc\n";
        return 2;
    }
    try {
        const vexart::ContainerLimits limits = vexart::containerLimitsFromEnvironment();
        vexart::ContainerModel model;
        try {
            model = vexart::openContainerFile(argv[1], limits);
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("cannot read ") + argv[1] + ": " + vexart::failureText(e));
        }
        std::cout << "Container: " << argv[1] << "\nModel version: " << model.modelVersion << "\n";
        for (const auto& g : model.graphs) {
            onnx::ModelProto proto;
            if (!vexart::parseGraph(model, g, proto)) throw std::runtime_error("graph '" + g.name + "' is not valid ONNX");
            std::cout << "\nGraph: " << g.name << " (" << proto.graph().node_size() << " nodes)\n";
            std::set<std::string> inits;
            for (const auto& t : proto.graph().initializer()) inits.insert(t.name());
            for (const auto& v : proto.graph().input()) {
                if (inits.count(v.name()) == 0) std::cout << "  input  " << v.name() << " " << describe(v) << "\n";
            }
            for (const auto& v : proto.graph().output()) std::cout << "  output " << v.name() << " " << describe(v) << "\n";
            for (const auto& [tensor, e] : g.encodings) {
                std::cout << "  encoding " << tensor << " bitWidth=" << e.bitWidth << " stepSize=" << e.stepSize
                          << " stepExactly0=" << e.stepExactly0 << "\n";
            }
        }
        for (const auto& r : model.cacheRecords) {
            std::cout << "\nCache record: " << r.name << " (" << r.graphs.size() << " graph(s))\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "vexa-dlc-info: " << vexart::failureText(e) << "\n";
        return 1;
    }
    return 0;
}
