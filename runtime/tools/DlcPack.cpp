// vexa-dlc-pack: packs ONNX models into a model container.
//
//   vexa-dlc-pack -o model.dlc [--model-version TEXT] [--encodings enc.json]
//                 graph.onnx[=NAME] [graph2.onnx[=NAME] ...]
//
// enc.json maps graph name -> tensor name -> {"bitWidth", "stepSize", "stepExactly0"}.
#include <onnx/onnx_pb.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "Container.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int usage() {
    std::cerr << "usage: vexa-dlc-pack -o OUT.dlc [--model-version TEXT] [--encodings FILE.json] "
                 "MODEL.onnx[=GRAPH] ...\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out, encodingsPath;
    vexart::ContainerModel model;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "-o" || a == "--model-version" || a == "--encodings") && i + 1 < argc) {
            (a == "-o" ? out : a == "--encodings" ? encodingsPath : model.modelVersion) = argv[++i];
        } else if (a == "-h" || a == "--help" || a.rfind("-", 0) == 0) {
            return usage();
        } else {
            inputs.push_back(a);
        }
    }
    if (out.empty() || inputs.empty()) return usage();
    try {
        nlohmann::json encodings = nlohmann::json::object();
        if (!encodingsPath.empty()) encodings = nlohmann::json::parse(slurp(encodingsPath));
        for (const auto& spec : inputs) {
            const size_t eq = spec.rfind('=');
            const std::string path = eq == std::string::npos ? spec : spec.substr(0, eq);
            vexart::ContainerGraph g;
            g.onnx = slurp(path);
            onnx::ModelProto proto;
            if (!proto.ParseFromString(g.onnx)) throw std::runtime_error(path + " is not an ONNX model");
            g.name = eq != std::string::npos ? spec.substr(eq + 1)
                     : !proto.graph().name().empty() ? proto.graph().name()
                                                     : std::filesystem::path(path).stem().string();
            for (const auto& existing : model.graphs) {
                if (existing.name == g.name) throw std::runtime_error("two graphs are named '" + g.name + "'");
            }
            const auto it = encodings.find(g.name);
            if (it != encodings.end()) {
              for (const auto& [tensor, e] : it->items()) {
                g.encodings[tensor] = {e.value("bitWidth", 8u), e.value("stepSize", 0.0f),
                                       e.value("stepExactly0", uint64_t{0})};
              }
            }
            model.graphs.push_back(std::move(g));
        }
        if (model.modelVersion.empty()) model.modelVersion = model.graphs.front().name;
        vexart::writeContainer(model, out);
    } catch (const std::exception& e) {
        std::cerr << "vexa-dlc-pack: " << e.what() << "\n";
        return 1;
    }
    std::cout << "Packed " << model.graphs.size() << " graph(s) into " << out << "\n";
    return 0;
}
