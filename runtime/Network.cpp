#include "Network.h"

#include <onnx/onnx_pb.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "DiagLog.h"
#include "DspEmulation.h"
#include "FixedPointEncodings.h"
#include "UserBufferCodec.h"
#include "executor/core/Dispatch.h"
#include "runtimelib/VexaTypes.h"

namespace vexart {
namespace {

std::vector<size_t> toSizes(const Shape& s) { return {s.begin(), s.end()}; }

const std::vector<std::string>* lookup(const std::map<std::string, std::vector<std::string>>& m,
                                       const std::string& graph, bool first) {
    auto it = m.find(graph);
    if (it == m.end() && first) it = m.find("");
    return it == m.end() ? nullptr : &it->second;
}

}  // namespace

Network::Network() { diagHandle.network = this; }
Network::~Network() = default;

NetworkGraph* Network::find(const char* name, const char* function) {
    const std::string wanted = name != nullptr ? name : "";
    for (auto& g : graphs) {
        if (g.name == wanted || (wanted.empty() && &g == &graphs.front())) return &g;
    }
    setError(VEXA_ERRORCODE_NOT_FOUND, std::string(function) + ": network '" + wanted + "' is not in this instance");
    return nullptr;
}

bool runtimeAvailable(uint32_t runtime, std::string& why) {
    switch (runtime) {
        case VEXA_RUNTIME_CPU: return true;
        case VEXA_RUNTIME_GPU: why = "GPU runtime is not available: this host runtime has no GPU backend"; return false;
        case VEXA_RUNTIME_GPU_FLOAT16:
            why = "GPU_FLOAT16 runtime is not available: this host runtime has no GPU backend";
            return false;
        case VEXA_RUNTIME_DSP:
            if (reportedDspArch() != 0) return true;  // emulated on the CPU
            why = "DSP runtime is not available: no DSP was found on this machine";
            return false;
        case VEXA_RUNTIME_AIP: why = "AIP runtime is not available: no AIP was found on this machine"; return false;
        default: why = "unknown runtime code " + std::to_string(runtime); return false;
    }
}

std::unique_ptr<Network> buildNetwork(const Builder& b) {
    auto net = std::make_unique<Network>();
    const ContainerModel& model = b.container->model;
    net->modelVersion = model.modelVersion;
    net->profilingLevel = b.profilingLevel;
    net->userBuffers = b.userBuffers;
    net->perf = b.perf;
    net->threads = threadsFor(b.perf);
    const ThreadScope threads(static_cast<int>(net->threads));  // preparation runs kernels too

    std::vector<uint32_t> order = b.runtimes.empty() ? std::vector<uint32_t>{VEXA_RUNTIME_CPU} : b.runtimes;
    std::string reasons;
    bool chosen = false;
    for (uint32_t r : order) {
        std::string why;
        if (runtimeAvailable(r, why)) {
            net->runtime = r;
            chosen = true;
            break;
        }
        reasons += (reasons.empty() ? "" : "; ") + why;
    }
    if (!chosen) throw ExecError("none of the requested runtimes is available: " + reasons);
    if (b.deferredInit != 0 && net->runtime != VEXA_RUNTIME_DSP) throw ExecError("deferred initialisation needs the DSP runtime");
    if (b.multiContextGroup && net->runtime != VEXA_RUNTIME_DSP) throw ExecError("multi-context registration needs the DSP runtime");
    net->deferredInit = b.deferredInit;
    net->finalized = b.deferredInit == 0;

    for (const auto& name : b.networkInit) {
        bool known = false;
        for (const auto& g : model.graphs) known = known || g.name == name;
        if (!known) throw ExecError("graph '" + name + "' named for initialisation is not in the container");
    }
    for (size_t gi = 0; gi < model.graphs.size(); ++gi) {
        const ContainerGraph& cg = model.graphs[gi];
        if (!b.networkInit.empty() &&
            std::find(b.networkInit.begin(), b.networkInit.end(), cg.name) == b.networkInit.end()) {
            continue;
        }
        onnx::ModelProto proto;
        bool parsed = false;
        try {
            parsed = parseGraph(model, cg, proto);
        } catch (const std::runtime_error& e) {
            throw ExecError("graph '" + cg.name + "': " + e.what());
        }
        if (!parsed) throw ExecError("graph '" + cg.name + "' is not a valid ONNX model");
        NetworkGraph ng;
        ng.name = cg.name;
        ng.encodings = cg.encodings;
        // The DSP and AIP runtimes compute in fixed point; the CPU one when asked.
        EngineOptions options = fixedPointOptions(cg.encodings);
        options.fixedPoint = net->runtime == VEXA_RUNTIME_DSP || net->runtime == VEXA_RUNTIME_AIP ||
                             (net->runtime == VEXA_RUNTIME_CPU && b.cpuFixedPoint);
        try {
            ng.graph = std::make_unique<Engine>(std::move(proto), options);
        } catch (const ExecError& e) {
            throw ExecError("graph '" + cg.name + "': " + e.what());
        }
        Engine& g = *ng.graph;
        const bool first = gi == 0;

        std::map<std::string, Shape> shapes;
        auto dims = b.inputDims.find(cg.name);
        if (dims == b.inputDims.end() && first) dims = b.inputDims.find("");
        if (dims != b.inputDims.end()) {
            for (const auto& [input, d] : dims->second) shapes[input] = Shape(d.begin(), d.end());
        }
        std::vector<std::string> outputs;
        if (b.debug) {
            outputs = g.nodeOutputNames();
        } else {
            const auto* tensors = lookup(b.outputTensors, cg.name, first);
            const auto* layers = lookup(b.outputLayers, cg.name, first);
            if (tensors != nullptr) {
                for (const auto& t : *tensors) {
                    if (!g.hasValue(t)) throw ExecError("output tensor '" + t + "' is not in graph '" + cg.name + "'");
                    outputs.push_back(t);
                }
            }
            if (layers != nullptr) {
                try {
                    for (const auto& t : g.outputsOfNodes(*layers)) outputs.push_back(t);
                } catch (const ExecError& e) {
                    throw ExecError(std::string(e.what()) + " of '" + cg.name + "'");
                }
            }
            if (outputs.empty()) outputs = g.declaredOutputs();
            if (b.unconsumedAsOutputs) {
                for (const auto& t : g.unconsumedNames()) outputs.push_back(t);
            }
        }
        ng.inputShapes = shapes;
        ng.requestedOutputs = outputs;
        try {
            g.checkInputShapes(shapes);
        } catch (const ExecError& e) {
            throw ExecError("graph '" + cg.name + "': " + e.what());
        }
        try {
            ng.planDeferred = !g.prepareUnlessValuesShape(shapes, outputs);
            // Shapes follow the inputs' values: a plan made on zeros holds for zeros only.
            ng.prepareEachRun = g.shapesFollowValues();
        } catch (const ExecError& e) {
            // Zero-filled inputs did not get through: shapes or values depend
            // on the data, so preparation waits for each execution's inputs.
            // Should that fail too, this first reason is the one to report.
            ng.prepareEachRun = true;
            ng.buildError = e.what();
        }
        g.enableTiming(b.profilingLevel != 0);
        net->weightBytes += g.constantBytes();
        net->spillFillBytes += g.activationBytes();
        net->graphs.push_back(std::move(ng));
    }
    return net;
}

void planShapes(NetworkGraph& g) {
    if (!g.planDeferred) return;
    g.planDeferred = false;
    try {
        g.graph->prepare(g.inputShapes, g.requestedOutputs);
    } catch (const ExecError& e) {
        g.buildError = e.what();  // the shapes stay unknown; execution reports why
    }
}

bool nativeEncoding(const NetworkGraph& g, const std::string& tensor, Encoding& out) {
    const auto q = g.encodings.find(tensor);
    if (q != g.encodings.end()) {
        out.elementType = q->second.bitWidth == 8 ? VEXA_ELEMENT_TF8 : VEXA_ELEMENT_TF16;
        out.bitWidth = q->second.bitWidth;
        out.stepSize = q->second.stepSize;
        out.stepExactly0 = q->second.stepExactly0;
        return true;
    }
    const DType t = g.graph->value(tensor).type();
    out.elementType = elementTypeOf(t);
    out.bitWidth = static_cast<uint32_t>(dtypeSize(t) * 8);
    return out.elementType != VEXA_ELEMENT_UNKNOWN;
}

namespace {

void checkInputsProvided(const Engine& g, const std::function<bool(const std::string&)>& has) {
    for (const auto& in : g.inputs()) {
        if (!has(in.name)) throw ExecError("no data given for input '" + in.name + "'");
    }
}

// Planned once, or planned on each execution's inputs while it computes.
void runGraph(NetworkGraph& ng) {
    if (ng.prepareEachRun) {
        ng.planDeferred = false;
        ng.graph->prepare(ng.inputShapes, ng.requestedOutputs, true);
    } else {
        ng.graph->run();
    }
}

void afterRun(Network& net, NetworkGraph& g, std::chrono::steady_clock::time_point start) {
    ++net.executions;
    if (net.diagLog) {
        const double us =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        net.diagLog->execution(g, net.executions, start, us);
    }
}

}  // namespace

void requireFinalized(const Network& net) {
    if (!net.finalized) throw ExecError("the network's deferred initialisation has not been finalized");
}

uint32_t threadsFor(const PerfSettings& perf) {
    if (const char* v = std::getenv("VEXA_NUM_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (end != v && *end == '\0' && n >= 1 && n <= 1024) return static_cast<uint32_t>(n);
    }
    switch (perf.preset) {
        case 2: case 6: case 7: case 8: case 9: return 1;  // the power savers and low_balanced
        default: return static_cast<uint32_t>(hardwareThreads());
    }
}

void executeTensors(Network& net, NetworkGraph& ng, const TensorMap& in, TensorMap& out) {
    requireFinalized(net);
    const ThreadScope threads(static_cast<int>(net.threads));
    Engine& g = *ng.graph;
    checkInputsProvided(g, [&](const std::string& n) { return in.tensors.count(n) != 0; });
    const auto start = std::chrono::steady_clock::now();
    // Float inputs are read where the caller holds them, through the outputs' copies.
    struct TakeBack {
        Engine& g;
        ~TakeBack() { g.takeBackInputs(); }
    } takeBack{g};
    for (const auto& info : g.inputs()) {
        const ITensor& t = *in.tensors.at(info.name);
        Tensor& dst = g.input(info.name);
        if (static_cast<int64_t>(t.data.size()) != dst.size()) {
            throw ExecError("input '" + info.name + "' has " + std::to_string(t.data.size()) +
                            " elements, the network expects " + std::to_string(dst.size()) +
                            (ng.buildError.empty() ? "" : " (the graph could not be prepared: " + ng.buildError + ")"));
        }
        if (dst.type() == DType::Float) {
            if (!t.data.empty() && (ng.prepareEachRun || !g.lendInput(info.name, t.data.data()))) {
                std::memcpy(dst.raw(), t.data.data(), t.data.size() * 4);
            }
        } else {
            castFloats(t.data.data(), dst.type(), dst.raw(), dst.size());
        }
    }
    runGraph(ng);
    for (const auto& name : g.outputs()) {
        const Tensor& v = g.value(name);
        auto t = std::make_unique<ITensor>();
        t->shape = toSizes(v.shape());
        if (v.type() == DType::Float) {
            // One pass: no zeroing before the copy.
            if (v.size() != 0) t->data.assign(v.data<float>(), v.data<float>() + v.size());
        } else {
            t->data.resize(static_cast<size_t>(v.size()));
            if (v.type() != DType::String) {
                for (int64_t i = 0; i < v.size(); ++i) t->data[static_cast<size_t>(i)] = static_cast<float>(v.scalarAsDouble(i));
            }
        }
        out.tensors[name] = t.get();
        out.owned.push_back(std::move(t));
    }
    afterRun(net, ng, start);
}

void executeUserBuffers(Network& net, NetworkGraph& ng, const UserBufferMap& in, const UserBufferMap& out) {
    requireFinalized(net);
    const ThreadScope threads(static_cast<int>(net.threads));
    Engine& g = *ng.graph;
    checkInputsProvided(g, [&](const std::string& n) { return in.buffers.count(n) != 0; });
    for (const auto& name : g.outputs()) {
        if (out.buffers.count(name) == 0) throw ExecError("no user buffer given for output '" + name + "'");
    }
    const auto start = std::chrono::steady_clock::now();
    for (const auto& info : g.inputs()) decodeUserBuffer(*in.buffers.at(info.name), info.name, g.input(info.name));
    runGraph(ng);
    for (const auto& name : g.outputs()) {
        const auto q = ng.encodings.find(name);
        encodeUserBuffer(g.value(name), q != ng.encodings.end() ? &q->second : nullptr, *out.buffers.at(name));
    }
    afterRun(net, ng, start);
}

}  // namespace vexart
