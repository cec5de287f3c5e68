#include "Network.h"

#include <onnx/onnx_pb.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "DiagLog.h"
#include "DspEmulation.h"
#include "executor/core/Dispatch.h"
#include "executor/core/Threads.h"
#include "executor/onednn/Dnnl.h"
#include "executor/passes/FixedPoint.h"
#include "runtimelib/VexaTypes.h"

namespace vexart {
namespace {

uint32_t elementTypeOf(DType t) {
    switch (t) {
        case DType::Float: return 1;
        case DType::Float16: return 3;
        case DType::Int32: return 12;
        case DType::UInt32: return 13;
        case DType::Int8: return 14;
        case DType::UInt8: return 15;
        case DType::Int16: return 16;
        case DType::UInt16: return 17;
        case DType::Bool: return 18;
        case DType::Int64: return 19;
        case DType::UInt64: return 20;
        default: return 0;
    }
}

// Dense row-major index -> byte offset through the buffer's strides.
template <typename F>
void forEachStrided(const Shape& shape, const std::vector<size_t>& strides, size_t elemSize, F f) {
    const size_t r = shape.size();
    const int64_t n = elementCount(shape);
    bool dense = strides.size() == r;
    size_t expect = elemSize;
    for (size_t i = r; dense && i-- > 0;) {
        dense = strides[i] == expect;
        expect *= static_cast<size_t>(shape[i]);
    }
    if (dense || strides.size() != r) {
        for (int64_t i = 0; i < n; ++i) f(i, static_cast<size_t>(i) * elemSize);
        return;
    }
    std::vector<int64_t> idx(r, 0);
    size_t off = 0;
    for (int64_t i = 0; i < n; ++i) {
        f(i, off);
        for (size_t d = r; d-- > 0;) {
            off += strides[d];
            if (++idx[d] < shape[d]) break;
            off -= strides[d] * static_cast<size_t>(shape[d]);
            idx[d] = 0;
        }
    }
}

size_t encodedSize(const Encoding& e) { return e.bitWidth / 8; }

double decodeOne(const Encoding& e, const uint8_t* p) {
    switch (e.elementType) {
        case 1: {
            float v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case 3: {
            uint16_t h;
            std::memcpy(&h, p, 2);
            return halfToFloat(h);
        }
        case 10: return (static_cast<double>(*p) - static_cast<double>(e.stepExactly0)) * e.stepSize;
        case 11: {
            uint16_t q;
            std::memcpy(&q, p, 2);
            return (static_cast<double>(q) - static_cast<double>(e.stepExactly0)) * e.stepSize;
        }
        case 12: { int32_t v; std::memcpy(&v, p, 4); return v; }
        case 13: { uint32_t v; std::memcpy(&v, p, 4); return v; }
        case 14: return static_cast<int8_t>(*p);
        case 15: return *p;
        case 16: { int16_t v; std::memcpy(&v, p, 2); return v; }
        case 17: { uint16_t v; std::memcpy(&v, p, 2); return v; }
        case 18: return *p != 0;
        case 19: { int64_t v; std::memcpy(&v, p, 8); return static_cast<double>(v); }
        case 20: { uint64_t v; std::memcpy(&v, p, 8); return static_cast<double>(v); }
        default: throw ExecError("user buffer has an unknown element type " + std::to_string(e.elementType));
    }
}

template <typename T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

void encodeOne(const Encoding& e, double v, uint8_t* p) {
    switch (e.elementType) {
        case 1: return store(p, static_cast<float>(v));
        case 3: return store(p, floatToHalf(static_cast<float>(v)));
        case 10:
        case 11: {
            const double maxQ = e.elementType == 10 ? 255.0 : 65535.0;
            double q = e.stepSize != 0 ? std::round(v / e.stepSize + static_cast<double>(e.stepExactly0)) : 0.0;
            q = std::isnan(q) ? 0.0 : std::clamp(q, 0.0, maxQ);
            if (e.elementType == 10) {
                *p = static_cast<uint8_t>(q);
            } else {
                store(p, static_cast<uint16_t>(q));
            }
            return;
        }
        case 12: return store(p, static_cast<int32_t>(v));
        case 13: return store(p, static_cast<uint32_t>(static_cast<int64_t>(v)));
        case 14: return store(p, static_cast<int8_t>(static_cast<int32_t>(v)));
        case 15: return store(p, static_cast<uint8_t>(static_cast<int32_t>(v)));
        case 16: return store(p, static_cast<int16_t>(static_cast<int32_t>(v)));
        case 17: return store(p, static_cast<uint16_t>(static_cast<int32_t>(v)));
        case 18: return store(p, static_cast<uint8_t>(v != 0));
        case 19: return store(p, static_cast<int64_t>(v));
        case 20: return store(p, static_cast<uint64_t>(v));
        default: throw ExecError("user buffer has an unknown element type " + std::to_string(e.elementType));
    }
}

// An encoding fitted to the data, with real 0 exactly representable.
void fitEncoding(const Tensor& t, Encoding& e) {
    float lo = 0, hi = 0;
    for (int64_t i = 0; i < t.size(); ++i) {
        const float v = static_cast<float>(t.scalarAsDouble(i));
        if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    }
    const double maxQ = e.elementType == 10 ? 255.0 : 65535.0;
    if (hi - lo < 1e-6) hi = lo + 1e-6f;
    const double step = (static_cast<double>(hi) - lo) / maxQ;
    e.stepExactly0 = static_cast<uint64_t>(std::round(-lo / step));
    e.stepSize = static_cast<float>(step);
}

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
        case 0: return true;
        case 1: why = "GPU runtime is not available: this host runtime has no GPU backend"; return false;
        case 3: why = "GPU_FLOAT16 runtime is not available: this host runtime has no GPU backend"; return false;
        case 2:
            if (reportedDspArch() != 0) return true;  // emulated on the CPU
            why = "DSP runtime is not available: no DSP was found on this machine";
            return false;
        case 5: why = "AIP runtime is not available: no AIP was found on this machine"; return false;
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

    std::vector<uint32_t> order = b.runtimes.empty() ? std::vector<uint32_t>{0} : b.runtimes;
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
    if (b.deferredInit != 0 && net->runtime != 2) throw ExecError("deferred initialisation needs the DSP runtime");
    if (b.multiContextGroup && net->runtime != 2) throw ExecError("multi-context registration needs the DSP runtime");
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
        FixedPointRewrite fixedPoint;
        if (net->runtime == VEXA_RUNTIME_DSP || net->runtime == VEXA_RUNTIME_AIP ||
            (net->runtime == VEXA_RUNTIME_CPU && b.cpuFixedPoint)) {
            FixedPointOptions options;
            for (const auto& [tensor, e] : cg.encodings) {
                if (e.channelSteps.empty()) {
                    options.encodings[tensor] = {e.bitWidth, e.stepSize, e.stepExactly0};
                } else {
                    options.weightSteps[tensor] = e.channelSteps;
                }
            }
            options.weightCode = onednn::hasVnni() ? 127 : 63;
            fixedPoint = rewriteForFixedPoint(proto, options);
        }
        try {
            ng.graph = std::make_unique<Graph>(std::move(proto));
        } catch (const ExecError& e) {
            throw ExecError("graph '" + cg.name + "': " + e.what());
        }
        Graph& g = *ng.graph;
        const bool first = gi == 0;

        std::map<std::string, Shape> shapes;
        auto dims = b.inputDims.find(cg.name);
        if (dims == b.inputDims.end() && first) dims = b.inputDims.find("");
        if (dims != b.inputDims.end()) {
            for (const auto& [input, d] : dims->second) shapes[input] = Shape(d.begin(), d.end());
        }
        std::vector<std::string> outputs;
        // Tensors the fixed-point rewrite made or renamed are shown by the names users know.
        auto visible = [&](const std::vector<std::string>& names) {
            std::vector<std::string> out;
            std::set<std::string> seen;
            for (const auto& n : names) {
                const std::string v = fixedPoint.visible(n);
                if (!v.empty() && seen.insert(v).second) out.push_back(v);
            }
            return out;
        };
        if (b.debug) {
            outputs = visible(g.nodeOutputNames());
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
                    for (const auto& t : visible(g.outputsOfNodes(*layers))) outputs.push_back(t);
                } catch (const ExecError& e) {
                    throw ExecError(std::string(e.what()) + " of '" + cg.name + "'");
                }
            }
            if (outputs.empty()) outputs = g.declaredOutputs();
            if (b.unconsumedAsOutputs) {
                for (const auto& t : visible(g.unconsumedNames())) outputs.push_back(t);
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
            g.prepare(shapes, outputs);
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

bool nativeEncoding(const NetworkGraph& g, const std::string& tensor, Encoding& out) {
    const auto q = g.encodings.find(tensor);
    if (q != g.encodings.end()) {
        out.elementType = q->second.bitWidth == 8 ? 10 : 11;
        out.bitWidth = q->second.bitWidth;
        out.stepSize = q->second.stepSize;
        out.stepExactly0 = q->second.stepExactly0;
        return true;
    }
    const DType t = g.graph->value(tensor).type();
    out.elementType = elementTypeOf(t);
    out.bitWidth = static_cast<uint32_t>(dtypeSize(t) * 8);
    return out.elementType != 0;
}

namespace {

void checkInputsProvided(const Graph& g, const std::function<bool(const std::string&)>& has) {
    for (const auto& in : g.inputs()) {
        if (!has(in.name)) throw ExecError("no data given for input '" + in.name + "'");
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
    Graph& g = *ng.graph;
    checkInputsProvided(g, [&](const std::string& n) { return in.tensors.count(n) != 0; });
    const auto start = std::chrono::steady_clock::now();
    for (const auto& info : g.inputs()) {
        const ITensor& t = *in.tensors.at(info.name);
        Tensor& dst = g.input(info.name);
        if (static_cast<int64_t>(t.data.size()) != dst.size()) {
            throw ExecError("input '" + info.name + "' has " + std::to_string(t.data.size()) +
                            " elements, the network expects " + std::to_string(dst.size()) +
                            (ng.buildError.empty() ? "" : " (the graph could not be prepared: " + ng.buildError + ")"));
        }
        if (dst.type() == DType::Float) {
            if (!t.data.empty()) std::memcpy(dst.raw(), t.data.data(), t.data.size() * 4);
        } else {
            castFloats(t.data.data(), dst.type(), dst.raw(), dst.size());
        }
    }
    if (ng.prepareEachRun) g.prepare(ng.inputShapes, ng.requestedOutputs);
    g.run();
    for (const auto& name : g.outputs()) {
        const Tensor& v = g.value(name);
        auto t = std::make_unique<ITensor>();
        t->shape = toSizes(v.shape());
        t->data.resize(static_cast<size_t>(v.size()));
        if (v.type() == DType::Float) {
            if (v.size() != 0) std::memcpy(t->data.data(), v.raw(), v.bytes());
        } else if (v.type() != DType::String) {
            for (int64_t i = 0; i < v.size(); ++i) t->data[static_cast<size_t>(i)] = static_cast<float>(v.scalarAsDouble(i));
        }
        out.tensors[name] = t.get();
        out.owned.push_back(std::move(t));
    }
    afterRun(net, ng, start);
}

void executeUserBuffers(Network& net, NetworkGraph& ng, const UserBufferMap& in, const UserBufferMap& out) {
    requireFinalized(net);
    const ThreadScope threads(static_cast<int>(net.threads));
    Graph& g = *ng.graph;
    checkInputsProvided(g, [&](const std::string& n) { return in.buffers.count(n) != 0; });
    for (const auto& name : g.outputs()) {
        if (out.buffers.count(name) == 0) throw ExecError("no user buffer given for output '" + name + "'");
    }
    const auto start = std::chrono::steady_clock::now();
    for (const auto& info : g.inputs()) {
        const UserBuffer& ub = *in.buffers.at(info.name);
        Tensor& dst = g.input(info.name);
        const size_t es = encodedSize(ub.encoding);
        const Shape& shape = dst.shape();
        size_t need = 0;
        forEachStrided(shape, ub.strides, es, [&](int64_t, size_t off) { need = std::max(need, off + es); });
        if (dst.size() != 0 && need > ub.size) {
            throw ExecError("user buffer of input '" + info.name + "' holds " + std::to_string(ub.size) +
                            " bytes, the network needs " + std::to_string(need));
        }
        if (ub.encoding.elementType == 1 && dst.type() == DType::Float) {
            forEachStrided(shape, ub.strides, 4, [&](int64_t i, size_t off) {
                std::memcpy(dst.data<float>() + i, ub.data + off, 4);
            });
            continue;
        }
        VEXA_DISPATCH_ALL(dst.type(), {
            forEachStrided(shape, ub.strides, es, [&](int64_t i, size_t off) {
                const double v = decodeOne(ub.encoding, ub.data + off);
                if constexpr (std::is_same_v<T, uint16_t>) {
                    if (dst.type() == DType::Float16) {
                        dst.data<uint16_t>()[i] = floatToHalf(static_cast<float>(v));
                        return;
                    }
                }
                dst.data<T>()[i] = static_cast<T>(v);
            });
        })
    }
    if (ng.prepareEachRun) g.prepare(ng.inputShapes, ng.requestedOutputs);
    g.run();
    for (const auto& name : g.outputs()) {
        UserBuffer& ub = *out.buffers.at(name);
        const Tensor& v = g.value(name);
        if (ub.encoding.elementType == 10 || ub.encoding.elementType == 11) {
            const auto q = ng.encodings.find(name);
            if (q != ng.encodings.end()) {
                ub.encoding.stepSize = q->second.stepSize;
                ub.encoding.stepExactly0 = q->second.stepExactly0;
            } else {
                fitEncoding(v, ub.encoding);
            }
        }
        const size_t es = encodedSize(ub.encoding);
        size_t produced = 0;
        forEachStrided(v.shape(), ub.strides, es, [&](int64_t i, size_t off) {
            produced = std::max(produced, off + es);
            if (off + es > ub.size) return;  // reported through the output size
            if (ub.encoding.elementType == 1 && v.type() == DType::Float) {
                std::memcpy(ub.data + off, v.data<float>() + i, 4);
            } else {
                encodeOne(ub.encoding, v.scalarAsDouble(i), ub.data + off);
            }
        });
        ub.outputSize = produced;
    }
    afterRun(net, ng, start);
}

}  // namespace vexart
