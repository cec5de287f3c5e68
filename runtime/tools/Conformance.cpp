// Runs the ONNX backend test cases of a test-data tree through the
// runtime library (packed into containers) and reports, per suite, how many produce the expected outputs.
// A report, not a gate: `onnx-conformance <data dir> [suite ...] [-v]`.
// Cases whose inputs or outputs are doubles, halves, strings or not
// tensors at all run on the executor directly, since the library's
// tensors are float32; the report counts them apart.
#include <onnx/onnx-data_pb.h>
#include <onnx/onnx_pb.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include <unistd.h>

#include <cstring>
#include <iterator>

#include "Container.h"
#include "executor/core/Dispatch.h"
#include "executor/graph/Graph.h"
#include "runtimelib/UniqueHandle.h"

namespace fs = std::filesystem;
using namespace vexart;

namespace {

bool loadProto(const fs::path& p, google::protobuf::MessageLite& m) {
    std::ifstream in(p, std::ios::binary);
    return in && m.ParseFromIstream(&in);
}

bool close(const Tensor& got, const Tensor& want, std::string& why) {
    if (holdsTensors(want.type())) {
        if (got.type() != want.type() || got.items.size() != want.items.size()) {
            why = std::string(dtypeName(want.type())) + " of " + std::to_string(want.items.size()) + " differs";
            return false;
        }
        for (size_t i = 0; i < want.items.size(); ++i) {
            if (!close(got.items[i], want.items[i], why)) return false;
        }
        return true;
    }
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

// Whether every input and output is a tensor whose values survive the
// library's float32 tensors: doubles beyond float range, halves and strings do not.
bool libraryCarries(const onnx::ModelProto& model) {
    auto carried = [](const onnx::ValueInfoProto& v) {
        if (!v.type().has_tensor_type()) return false;
        const auto t = static_cast<DType>(v.type().tensor_type().elem_type());
        return t != DType::Double && t != DType::String && t != DType::Float16 && t != DType::BFloat16;
    };
    for (const auto& v : model.graph().input()) {
        if (!carried(v)) return false;
    }
    for (const auto& v : model.graph().output()) {
        if (!carried(v)) return false;
    }
    return true;
}

// A test input or output of the declared type: a tensor, or a sequence
// or optional of tensors.
void loadValue(const fs::path& file, const onnx::TypeProto& type, Tensor& out) {
    if (type.has_sequence_type()) {
        onnx::SequenceProto seq;
        if (!loadProto(file, seq)) throw ExecError("unreadable sequence " + file.string());
        out.reset(DType::Sequence, {});
        out.items.resize(static_cast<size_t>(seq.tensor_values_size()));
        for (int i = 0; i < seq.tensor_values_size(); ++i) tensorFromProto(seq.tensor_values(i), out.items[static_cast<size_t>(i)]);
        return;
    }
    if (type.has_optional_type()) {
        onnx::OptionalProto opt;
        if (!loadProto(file, opt)) throw ExecError("unreadable optional " + file.string());
        out.reset(DType::Optional, {});
        out.items.clear();
        if (opt.has_tensor_value()) {
            out.items.emplace_back();
            tensorFromProto(opt.tensor_value(), out.items.back());
        } else if (opt.has_sequence_value()) {
            out.items.emplace_back();
            Tensor& seq = out.items.back();
            seq.reset(DType::Sequence, {});
            seq.items.resize(static_cast<size_t>(opt.sequence_value().tensor_values_size()));
            for (int i = 0; i < opt.sequence_value().tensor_values_size(); ++i) {
                tensorFromProto(opt.sequence_value().tensor_values(i), seq.items[static_cast<size_t>(i)]);
            }
        }
        return;
    }
    onnx::TensorProto t;
    if (!loadProto(file, t)) throw ExecError("unreadable tensor " + file.string());
    tensorFromProto(t, out);
}

// bfloat16 test data is stored as its bits in uint16 tensors.
void asBFloat16(Tensor& t) {
    if (t.type() != DType::UInt16) return;
    Tensor bits(DType::BFloat16, t.shape());
    if (t.bytes() != 0) std::memcpy(bits.raw(), t.raw(), t.bytes());
    t = std::move(bits);
}

// Runs the case on the executor itself, with inputs and outputs in their
// own types. Empty on success. Where no shape follows the inputs' values,
// the shapes planned (by shape rules and kernels run dry, on zeros) must
// be the ones computed.
std::string runOnExecutor(const fs::path& dir, const onnx::ModelProto& model, const std::vector<std::string>& inputNames) {
    std::vector<std::string> outputNames;
    for (const auto& v : model.graph().output()) outputNames.push_back(v.name());
    for (const auto& set : fs::directory_iterator(dir)) {
        if (!set.is_directory() || set.path().filename().string().rfind("test_data_set_", 0) != 0) continue;
        Graph g{onnx::ModelProto(model)};
        std::map<std::string, Shape> shapes;
        std::vector<Tensor> ins(inputNames.size());
        for (size_t i = 0; i < inputNames.size(); ++i) {
            onnx::TypeProto type;
            for (const auto& v : model.graph().input()) {
                if (v.name() == inputNames[i]) type = v.type();
            }
            loadValue(set.path() / ("input_" + std::to_string(i) + ".pb"), type, ins[i]);
            shapes[inputNames[i]] = ins[i].shape();
            for (const auto& info : g.inputs()) {
                if (info.name == inputNames[i] && info.type == DType::BFloat16) asBFloat16(ins[i]);
            }
        }
        // As the library does: planned on zeros where that gets through, and
        // again on each execution's inputs where shapes follow them.
        bool onZeros = true;
        try {
            g.prepare(shapes, outputNames);
        } catch (const ExecError&) {
            onZeros = false;
        }
        const bool once = onZeros && !g.shapesFollowValues();
        std::vector<std::pair<Shape, DType>> planned;
        for (const auto& name : outputNames) planned.emplace_back(g.value(name).shape(), g.value(name).type());
        for (size_t i = 0; i < inputNames.size(); ++i) {
            Tensor& in = g.input(inputNames[i]);
            castTensor(ins[i], ins[i].type(), in);
        }
        if (once) {
            g.run();
        } else {
            g.prepare(shapes, outputNames, true);
        }
        for (size_t i = 0; i < outputNames.size() && once; ++i) {
            const Tensor& got = g.value(outputNames[i]);
            if (got.shape() != planned[i].first || got.type() != planned[i].second) {
                return outputNames[i] + ": planned as " + dtypeName(planned[i].second) + " " + shapeText(planned[i].first) +
                       ", computed as " + dtypeName(got.type()) + " " + shapeText(got.shape());
            }
        }
        for (size_t i = 0; i < outputNames.size(); ++i) {
            Tensor want;
            loadValue(set.path() / ("output_" + std::to_string(i) + ".pb"), model.graph().output(static_cast<int>(i)).type(), want);
            if (g.value(outputNames[i]).type() == DType::BFloat16) asBFloat16(want);
            std::string why;
            if (!close(g.value(outputNames[i]), want, why)) return outputNames[i] + ": " + why;
        }
    }
    return {};
}

// The build leaves unplanned a graph whose plan would follow its inputs'
// values (Graph::prepareUnlessValuesShape): that foresight must match what
// planning on zeros finds. Empty when it does, or when the case does not plan.
std::string checkForesight(const fs::path& dir, const onnx::ModelProto& model, const std::vector<std::string>& inputNames) {
    std::vector<std::string> outputNames;
    for (const auto& v : model.graph().output()) outputNames.push_back(v.name());
    std::map<std::string, Shape> shapes;
    for (size_t i = 0; i < inputNames.size(); ++i) {
        onnx::TypeProto type;
        for (const auto& v : model.graph().input()) {
            if (v.name() == inputNames[i]) type = v.type();
        }
        Tensor t;
        loadValue(dir / "test_data_set_0" / ("input_" + std::to_string(i) + ".pb"), type, t);
        shapes[inputNames[i]] = t.shape();
    }
    try {
        Graph planned{onnx::ModelProto(model)}, ahead{onnx::ModelProto(model)};
        planned.prepare(shapes, outputNames);
        const bool foreseen = !ahead.prepareUnlessValuesShape(shapes, outputNames);
        if (foreseen == planned.shapesFollowValues()) return {};
        return std::string("the build foresaw a plan that ") + (foreseen ? "follows" : "holds for") +
               " the inputs' values; planning on zeros found the opposite";
    } catch (const std::exception&) {
        return {};
    }
}

// Packs the case's model, builds it through the runtime library with the
// data set's input shapes, executes and compares. Empty on success.
// `direct` is set when the case ran on the executor instead.
std::string runCase(const fs::path& dir, bool& direct) {
    onnx::ModelProto model;
    if (!loadProto(dir / "model.onnx", model)) return "model does not parse";
    direct = !libraryCarries(model);
    std::set<std::string> initializers;
    for (const auto& t : model.graph().initializer()) initializers.insert(t.name());
    std::vector<std::string> inputNames;
    for (const auto& v : model.graph().input()) {
        if (initializers.count(v.name()) == 0) inputNames.push_back(v.name());
    }
    try {
        const std::string why = checkForesight(dir, model, inputNames);
        if (!why.empty()) return why;
    } catch (const std::exception& e) {
        return e.what();
    }
    if (direct) {
        try {
            return runOnExecutor(dir, model, inputNames);
        } catch (const std::exception& e) {
            return e.what();
        }
    }
    std::ifstream f(dir / "model.onnx", std::ios::binary);
    const std::string onnxBytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const fs::path container = fs::temp_directory_path() / ("vexa-conformance-" + std::to_string(getpid()) + ".dlc");
    try {
        ContainerModel packed;
        packed.graphs.push_back({"g", onnxBytes, {}, {}});
        writeContainer(packed, container.string());
    } catch (const std::exception& e) {
        return e.what();
    }
    std::vector<std::string> outputNames;
    for (const auto& v : model.graph().output()) outputNames.push_back(v.name());

    const DlContainerHandle c(Vexa_DlContainer_Open(container.string().c_str()));
    fs::remove(container);
    if (!c) return Vexa_ErrorCode_GetLastErrorString();
    for (const auto& set : fs::directory_iterator(dir)) {
        if (!set.is_directory() || set.path().filename().string().rfind("test_data_set_", 0) != 0) continue;
        std::vector<Tensor> ins;
        const TensorShapeMapHandle shapes(Vexa_TensorShapeMap_Create());
        for (size_t i = 0; i < inputNames.size(); ++i) {
            onnx::TensorProto t;
            if (!loadProto(set.path() / ("input_" + std::to_string(i) + ".pb"), t)) return "missing input";
            ins.emplace_back();
            tensorFromProto(t, ins.back());
            if (ins.back().type() == DType::String) return "string inputs cannot be fed as library tensors";
            const std::vector<size_t> dims(ins.back().shape().begin(), ins.back().shape().end());
            const TensorShapeHandle s(Vexa_TensorShape_CreateDimsSize(dims.data(), dims.size()));
            Vexa_TensorShapeMap_Add(shapes.get(), inputNames[i].c_str(), s.get());
        }
        const BuilderHandle b(Vexa_VEXABuilder_Create(c.get()));
        Vexa_VEXABuilder_SetInputDimensions(b.get(), shapes.get());
        const NetworkHandleOwner net(Vexa_VEXABuilder_Build(b.get()));
        if (!net) return Vexa_ErrorCode_GetLastErrorString();
        const TensorMapHandle inputs(Vexa_TensorMap_Create()), outputs(Vexa_TensorMap_Create());
        std::vector<ITensorHandle> tensors;
        for (size_t i = 0; i < ins.size(); ++i) {
            const std::vector<size_t> dims(ins[i].shape().begin(), ins[i].shape().end());
            const TensorShapeHandle s(Vexa_TensorShape_CreateDimsSize(dims.data(), dims.size()));
            tensors.emplace_back(Vexa_Util_CreateITensor(s.get()));
            float* data = Vexa_ITensor_GetData(tensors.back().get());
            for (int64_t k = 0; k < ins[i].size(); ++k) data[k] = static_cast<float>(ins[i].scalarAsDouble(k));
            Vexa_TensorMap_Add(inputs.get(), inputNames[i].c_str(), tensors.back().get());
        }
        if (Vexa_VEXA_ExecuteITensorsForNetwork(net.get(), "g", inputs.get(), outputs.get()) != 0) {
            return Vexa_ErrorCode_GetLastErrorString();
        }
        for (size_t i = 0; i < outputNames.size(); ++i) {
            onnx::TensorProto t;
            if (!loadProto(set.path() / ("output_" + std::to_string(i) + ".pb"), t)) return "missing output";
            Tensor want;
            tensorFromProto(t, want);
            if (want.type() == DType::String) return "string outputs cannot be read as library tensors";
            Vexa_ITensor_Handle_t got = Vexa_TensorMap_GetTensor_Ref(outputs.get(), outputNames[i].c_str());
            if (got == nullptr) return "no output " + outputNames[i];
            Tensor gotTensor(DType::Float, want.shape());
            if (Vexa_ITensor_GetSize(got) != static_cast<size_t>(want.size())) {
                const TensorShapeHandle gs(Vexa_ITensor_GetShape(got));
                Shape g;
                for (size_t d = 0; d < Vexa_TensorShape_Rank(gs.get()); ++d) g.push_back(static_cast<int64_t>(Vexa_TensorShape_At(gs.get(), d)));
                return outputNames[i] + ": shape " + shapeText(g) + " != " + shapeText(want.shape());
            }
            if (gotTensor.bytes() != 0) std::memcpy(gotTensor.raw(), Vexa_ITensor_GetData(got), gotTensor.bytes());
            std::string why;
            if (!close(gotTensor, want, why)) return outputNames[i] + ": " + why;
        }
    }
    // The executor's own plan of the same case.
    try {
        return runOnExecutor(dir, model, inputNames);
    } catch (const std::exception& e) {
        return std::string("on the executor: ") + e.what();
    }
}

}  // namespace

int runSuites(int argc, char** argv);

int main(int argc, char** argv) {
    const char* usage = "usage: onnx-conformance <data dir> [suite[=least] ...] [-v]\n"
                        "  suite=least: exit 1 when fewer cases of the suite pass\n";
    if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << usage;
        return 0;
    }
    if (argc < 2) {
        std::cerr << usage;
        return 2;
    }
    try {
        return runSuites(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "onnx-conformance: " << e.what() << "\n";
        return 2;
    }
}

int runSuites(int argc, char** argv) {
    bool verbose = false;
    std::vector<std::string> suites;
    std::map<std::string, size_t> least;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        if (arg == "-v") {
            verbose = true;
        } else if (eq != std::string::npos) {
            suites.push_back(arg.substr(0, eq));
            least[suites.back()] = std::stoul(arg.substr(eq + 1));
        } else {
            suites.emplace_back(argv[i]);
        }
    }
    if (suites.empty()) suites = {"node", "pytorch-converted", "pytorch-operator", "simple"};
    int status = 0;
    for (const auto& suite : suites) {
        std::vector<fs::path> cases;
        for (const auto& e : fs::directory_iterator(fs::path(argv[1]) / suite)) {
            if (fs::exists(e.path() / "model.onnx")) cases.push_back(e.path());
        }
        std::sort(cases.begin(), cases.end());
        size_t passed = 0, direct = 0;
        for (const auto& c : cases) {
            std::string why;
            bool onExecutor = false;
            try {
                why = runCase(c, onExecutor);
            } catch (const std::exception& e) {
                why = std::string("test data not readable as tensors: ") + e.what();
            }
            passed += why.empty();
            direct += why.empty() && onExecutor;
            if (verbose && !why.empty()) {
                std::cout << "  FAIL " << c.filename().string() << (onExecutor ? " (executor)" : "") << ": " << why << "\n";
            }
        }
        std::cout << suite << ": " << passed << " of " << cases.size() << " pass (" << direct
                  << " of them on the executor itself: inputs or outputs that float32 tensors cannot carry)\n";
        if (least.count(suite) != 0 && passed < least[suite]) {
            std::cout << suite << ": fewer than " << least[suite] << " pass\n";
            status = 1;
        }
    }
    return status;
}
