// vexa-dlc-pack: packs ONNX models into a model container.
//
//   vexa-dlc-pack -o model.dlc [--model-version TEXT] [--encodings enc.json] [--qdq-encodings]
//                 graph.onnx[=NAME] [graph2.onnx[=NAME] ...]
//
// --qdq-encodings reads quantize-dequantize models as float models with
// encodings (which fixed-point execution then holds); without it they run
// as they are. Encodings from enc.json take precedence.
// enc.json maps graph name -> tensor name -> {"bitWidth", "stepSize", "stepExactly0"}.
// Weights kept beside a model (ONNX external data) are packed with it.
#include <onnx/onnx_pb.h>
#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "Container.h"
#include "UntrustedJson.h"
#include "QdqImport.h"
#include "FailureText.h"
#include "ToolUsage.h"

namespace {

// ONNX models are bounded by protobuf's 2 GiB; so is what we read.
std::string slurp(const std::string& path) {
    try {
        const auto bytes = vexart::readRegularFile(path, (uint64_t{1} << 31) - 1);
        return {bytes.begin(), bytes.end()};
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot read " + path + ": " + vexart::failureText(e));
    }
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool isUnder(const std::filesystem::path& path, const std::filesystem::path& folder) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        if (p == path.end() || *p != *f) return false;
    }
    return p != path.end();
}

// Takes the weights a model keeps in files beside it (external data) into
// the model itself. Locations are relative names inside the model's
// folder: an absolute path or one that climbs out is refused.
bool inlineExternalData(onnx::ModelProto& model, const std::filesystem::path& modelPath) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::absolute(modelPath).parent_path();
    std::error_code folderError;
    const fs::path realFolder = fs::canonical(folder, folderError);  // the model was read from it: it exists
    std::map<std::string, std::string> files;  // read once each
    uint64_t read = 0;
    bool changed = false;
    auto inlineTensor = [&](onnx::TensorProto& t) {
        if (t.data_location() != onnx::TensorProto::EXTERNAL) return;
        std::string location;
        uint64_t offset = 0, length = 0;
        bool hasLength = false;
        for (const auto& kv : t.external_data()) {
            if (kv.key() == "location") location = kv.value();
            try {
                if (kv.key() == "offset") offset = std::stoull(kv.value());
                if (kv.key() == "length") length = std::stoull(kv.value()), hasLength = true;
            } catch (const std::exception&) {
                throw std::runtime_error("tensor '" + t.name() + "' has a malformed external " + kv.key());
            }
        }
        const fs::path rel(location);
        bool climbs = location.empty() || rel.is_absolute() || rel.has_root_name();
        for (const auto& part : rel) climbs = climbs || part == "..";
        if (climbs) throw std::runtime_error("tensor '" + t.name() + "' names external data outside the model's folder: '" + location + "'");
        auto it = files.find(location);
        if (it == files.end()) {
            // Links are followed before the check, so one inside the folder
            // cannot point the packer at a file outside it.
            std::error_code error;
            const fs::path real = fs::canonical(folder / rel, error);
            if (error) throw std::runtime_error("cannot read " + (folder / rel).string() + ": " + error.message());
            if (folderError || !isUnder(real, realFolder)) {
                throw std::runtime_error("tensor '" + t.name() + "' names external data outside the model's folder: '" +
                                         location + "' (a link to " + real.string() + ")");
            }
            it = files.emplace(location, slurp(real.string())).first;
            // All of a model's data fits the 2 GiB it may hold; more is not read.
            read += it->second.size();
            if (read > (uint64_t{1} << 31) - 1) throw std::runtime_error("external data of " + modelPath.string() + " exceeds 2 GiB");
        }
        const std::string& bytes = it->second;
        if (offset > bytes.size() || (hasLength && length > bytes.size() - offset)) {
            throw std::runtime_error("external data of tensor '" + t.name() + "' lies past the end of " + location);
        }
        t.set_raw_data(bytes.substr(offset, hasLength ? length : std::string::npos));
        t.clear_external_data();
        t.set_data_location(onnx::TensorProto::DEFAULT);
        changed = true;
    };
    std::vector<onnx::GraphProto*> graphs{model.mutable_graph()};
    while (!graphs.empty()) {
        onnx::GraphProto* g = graphs.back();
        graphs.pop_back();
        for (auto& t : *g->mutable_initializer()) inlineTensor(t);
        for (auto& n : *g->mutable_node()) {
            for (auto& a : *n.mutable_attribute()) {
                if (a.has_t()) inlineTensor(*a.mutable_t());
                if (a.has_g()) graphs.push_back(a.mutable_g());
                for (auto& sub : *a.mutable_graphs()) graphs.push_back(&sub);
            }
        }
    }
    return changed;
}

int usage(bool asked = false) {
    return printUsage(
        "usage: vexa-dlc-pack -o OUT.dlc [--model-version TEXT] [--encodings FILE.json] "
           "[--qdq-encodings] MODEL.onnx[=GRAPH] ...\n"
           "Packs ONNX graphs into a model container.\n"
           "  -o OUT.dlc             the container to write (replaced atomically)\n"
           "  MODEL.onnx[=GRAPH]     a graph, named GRAPH (default: the model's graph name or file name);\n"
           "                         weights kept beside the model (external data) are taken in\n"
           "  --model-version TEXT   the version text the container reports (default: the first graph's name)\n"
           "  --encodings FILE.json  quantization encodings per graph and tensor:\n"
           "                         {\"graph\": {\"tensor\": {\"bitWidth\": 8, \"stepSize\": 0.1, \"stepExactly0\": 128}}}\n"
           "  --qdq-encodings        QuantizeLinear/DequantizeLinear pairs around a tensor become its encoding\n"
           "                         (and quantized weights float weights with theirs)\n", asked);
}

}  // namespace

int main(int argc, char** argv) {
    std::string out, encodingsPath;
    vexart::ContainerModel model;
    std::vector<std::string> inputs;
    bool qdqEncodings = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--qdq-encodings") {
            qdqEncodings = true;
        } else if ((a == "-o" || a == "--model-version" || a == "--encodings") && i + 1 < argc) {
            (a == "-o" ? out : a == "--encodings" ? encodingsPath : model.modelVersion) = argv[++i];
        } else if (a == "-h" || a == "--help") {
            return usage(true);
        } else if (a.rfind("-", 0) == 0) {
            return usage();
        } else {
            inputs.push_back(a);
        }
    }
    if (out.empty() || inputs.empty()) return usage();
    try {
        auto pathOf = [](const std::string& spec) {
            const size_t eq = spec.rfind('=');
            return eq == std::string::npos ? spec : spec.substr(0, eq);
        };
        for (const auto& spec : inputs) {
            if (sameFile(pathOf(spec), out)) throw std::runtime_error("the output " + out + " is also an input");
        }
        if (!encodingsPath.empty() && sameFile(encodingsPath, out)) {
            throw std::runtime_error("the output " + out + " is also the encodings file");
        }
        nlohmann::json encodings = nlohmann::json::object();
        if (!encodingsPath.empty()) {
            encodings = vexart::parseUntrustedJson(slurp(encodingsPath), encodingsPath);
            if (!encodings.is_object()) throw std::runtime_error(encodingsPath + " is not a JSON object of graphs");
        }
        for (const auto& spec : inputs) {
            const size_t eq = spec.rfind('=');
            const std::string path = pathOf(spec);
            vexart::ContainerGraph g;
            g.onnx = slurp(path);
            onnx::ModelProto proto;
            if (!proto.ParseFromString(g.onnx)) throw std::runtime_error(path + " is not an ONNX model");
            // External weights first: dequantizing reads them.
            bool rewritten = inlineExternalData(proto, path);
            std::map<std::string, vexart::TensorEncoding> fromQdq;
            if (qdqEncodings) {
                try {
                    fromQdq = vexart::foldQuantizeDequantize(proto);
                } catch (const std::exception& e) {
                    throw std::runtime_error(path + ": " + vexart::failureText(e));
                }
                rewritten = true;
            }
            if (rewritten) {
                if (proto.ByteSizeLong() > (uint64_t{1} << 31) - 1) {
                    throw std::runtime_error(path + " with its external data exceeds the 2 GiB an ONNX model may hold");
                }
                g.onnx = proto.SerializeAsString();
            }
            g.name = eq != std::string::npos ? spec.substr(eq + 1)
                     : !proto.graph().name().empty() ? proto.graph().name()
                                                     : std::filesystem::path(path).stem().string();
            for (const auto& existing : model.graphs) {
                if (existing.name == g.name) throw std::runtime_error("two graphs are named '" + g.name + "'");
            }
            const auto it = encodings.find(g.name);
            if (it != encodings.end()) {
                if (!it->is_object()) throw std::runtime_error("encodings of graph '" + g.name + "' are not an object");
                for (const auto& [tensor, e] : it->items()) g.encodings[tensor] = vexart::encodingFromJson(tensor, e);
            }
            g.encodings.insert(fromQdq.begin(), fromQdq.end());
            model.graphs.push_back(std::move(g));
        }
        if (model.modelVersion.empty()) model.modelVersion = model.graphs.front().name;
        vexart::writeContainer(model, out);
    } catch (const std::exception& e) {
        std::cerr << "vexa-dlc-pack: " << vexart::failureText(e) << "\n";
        return 1;
    }
    std::cout << "Packed " << model.graphs.size() << " graph(s) into " << out << "\n";
    return 0;
}
