// Runs the ONNX backend test cases of a test-data tree through the
// executor and reports, per suite, how many produce the expected outputs.
// A report, not a gate: `onnx-conformance <data dir> [suite ...] [-v]`.
#include <onnx/onnx_pb.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "executor/Dispatch.h"
#include "executor/Graph.h"

namespace fs = std::filesystem;
using namespace vexart;

namespace {

bool loadProto(const fs::path& p, google::protobuf::MessageLite& m) {
    std::ifstream in(p, std::ios::binary);
    return in && m.ParseFromIstream(&in);
}

bool close(const Tensor& got, const Tensor& want, std::string& why) {
    if (got.shape() != want.shape()) {
        why = "shape " + shapeText(got.shape()) + " != " + shapeText(want.shape());
        return false;
    }
    if (want.type() == DType::String) {
        if (got.strings != want.strings) why = "strings differ";
        return got.strings == want.strings;
    }
    for (int64_t i = 0; i < want.size(); ++i) {
        const double g = got.scalarAsDouble(i), w = want.scalarAsDouble(i);
        if (std::isnan(w) && std::isnan(g)) continue;
        if (std::isinf(w) && g == w) continue;
        if (!(std::fabs(g - w) <= 1e-3 + 1e-3 * std::fabs(w))) {
            why = "element " + std::to_string(i) + ": " + std::to_string(g) + " != " + std::to_string(w);
            return false;
        }
    }
    return true;
}

// Returns empty on success, else the reason.
std::string runCase(const fs::path& dir) {
    onnx::ModelProto model;
    if (!loadProto(dir / "model.onnx", model)) return "model does not parse";
    try {
        Graph g(model);
        for (const auto& set : fs::directory_iterator(dir)) {
            if (!set.is_directory() || set.path().filename().string().rfind("test_data_set_", 0) != 0) continue;
            std::map<std::string, Shape> shapes;
            std::vector<Tensor> ins;
            for (size_t i = 0; i < g.inputs().size(); ++i) {
                onnx::TensorProto t;
                if (!loadProto(set.path() / ("input_" + std::to_string(i) + ".pb"), t)) return "missing input";
                ins.emplace_back();
                tensorFromProto(t, ins.back());
                shapes[g.inputs()[i].name] = ins.back().shape();
            }
            for (size_t i = 0; i < ins.size(); ++i) {
                Tensor& dst = g.input(g.inputs()[i].name);
                castTensor(ins[i], g.inputs()[i].type, dst);
            }
            g.prepare(shapes, g.declaredOutputs());
            g.run();
            for (size_t i = 0; i < g.declaredOutputs().size(); ++i) {
                onnx::TensorProto t;
                if (!loadProto(set.path() / ("output_" + std::to_string(i) + ".pb"), t)) return "missing output";
                Tensor want;
                tensorFromProto(t, want);
                std::string why;
                if (!close(g.value(g.declaredOutputs()[i]), want, why)) return g.declaredOutputs()[i] + ": " + why;
            }
        }
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: onnx-conformance <data dir> [suite ...] [-v]\n";
        return 2;
    }
    bool verbose = false;
    std::vector<std::string> suites;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "-v") {
            verbose = true;
        } else {
            suites.emplace_back(argv[i]);
        }
    }
    if (suites.empty()) suites = {"node", "pytorch-converted", "pytorch-operator", "simple"};
    for (const auto& suite : suites) {
        std::vector<fs::path> cases;
        for (const auto& e : fs::directory_iterator(fs::path(argv[1]) / suite)) {
            if (fs::exists(e.path() / "model.onnx")) cases.push_back(e.path());
        }
        std::sort(cases.begin(), cases.end());
        size_t passed = 0;
        for (const auto& c : cases) {
            const std::string why = runCase(c);
            passed += why.empty();
            if (verbose && !why.empty()) std::cout << "  FAIL " << c.filename().string() << ": " << why << "\n";
        }
        std::cout << suite << ": " << passed << " of " << cases.size() << " pass\n";
    }
    return 0;
}
