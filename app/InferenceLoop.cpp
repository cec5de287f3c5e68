#include "app/InferenceLoop.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <set>

#include "runtimelib/StringLists.h"
#include "buffers/BufferIo.h"
#include "buffers/DataTypes.h"
#include "io/OutputWriter.h"
#include "io/RawInput.h"
#include "io/ReadAhead.h"
#include "platform/Clock.h"

namespace {

[[noreturn]] void fatal(const char* message) {
    std::cerr << message << std::endl;
    std::exit(1);
}

// Everything one graph's inferences share; released when the graph is done.
struct GraphRun {
    std::string name;
    std::vector<InputFileQueue>* queues = nullptr;  // the input list's own, rewound for each pass
    std::vector<std::string> inputOrder;  // the first line's names: queue i feeds inputOrder[i]
    DataTypeMap fileTypes;
    DataTypeMap userBufferTypes;
    UserBufferMapHandle inputBuffers;
    UserBufferMapHandle outputBuffers;
    UserMemoryMapHandle userMemory;
    std::vector<uint8_t> byteScratch;
    std::vector<ITensorHandle> inputTensors;
    ApplicationBuffers appBuffers;
    SharedChunk chunk;
    std::vector<UserBufferHandle> userBuffers;  // released before the maps that name them
    uint32_t outputsSaved = 0;
    ReadAhead ahead;  // the next inference's files, read while this one executes
};

// User-buffer mode: every input buffer filled from its queue, converted.
bool fillUserBuffers(const RunConfig& config, const RunHandles& run, GraphRun& g, uint64_t& files, uint64_t& pieces) {
    const NetworkHandle handle{run.network.get(), false};
    for (size_t i = 0; i < g.inputOrder.size(); ++i) {
        const std::string& name = g.inputOrder[i];
        if (config.userbufferMemoryMapped && !checkMappedInputType(run.network.get(), name.c_str(), g.userBufferTypes, g.name)) {
            std::cerr << "Error: [--userbuffer_memorymapped] mismatching userbuffer type and "
                      << "tensor data type for input tensor: " << name << std::endl;
            return false;
        }
        Vexa_IUserBuffer_Handle_t buffer = Vexa_UserBufferMap_GetUserBuffer_Ref(g.inputBuffers.get(), name.c_str());
        if (buffer == nullptr) {
            reportLastError();
            return false;
        }
        if (!fillInputBuffer(handle, buffer, g.userMemory.get(), g.appBuffers, (*g.queues)[i], files, pieces, name,
                             g.userBufferTypes.at(name), g.fileTypes.at(name), config.dynamicQuantization,
                             config.resizableDim, config.userbufferMemoryMapped, g.name, &g.ahead)) {
            return false;
        }
    }
    return true;
}

bool saveUserBufferOutputs(const RunConfig& config, GraphRun& g, uint64_t files, uint64_t pieces) {
    const StringListHandle names(Vexa_UserBufferMap_GetUserBufferNames(g.outputBuffers.get()));
    for (const auto& name : stringListItems(names.get())) {
        if (!extractOutputBuffer(g.outputBuffers.get(), g.userMemory.get(), g.appBuffers, config.outputDir, name,
                                 g.userBufferTypes.at(name), g.fileTypes.at(name), files, pieces, g.outputsSaved,
                                 config.dynamicQuantization, config.userbufferMemoryMapped, 0)) {
            return false;
        }
    }
    return true;
}

bool checkLines(const std::string& graph, const std::vector<std::string>& networkInputs,
                std::vector<StringListHandle>& namesPerLine, size_t queueCount) {
    for (size_t k = 0; k < namesPerLine.size(); ++k) {
        std::vector<std::string> names = stringListItems(namesPerLine[k].get());
        if (!names.empty()) {
            for (const auto& input : networkInputs) {
                if (std::find(names.begin(), names.end(), input) == names.end()) {
                    std::cerr << "Name of inputs in the file do not match the name of" << " inputs to the network.\n"
                              << "Missing " << input << " at input line " << k + 1 << "\n";
                    return false;
                }
            }
        } else {
            names = networkInputs;
            namesPerLine[k] = makeStringList(names);
        }
        if (queueCount != names.size()) {
            std::cerr << "Number of input files does not match the number of" << " inputs to the network.\n"
                      << "Expecting: " << names.size() << "\n"
                      << "Got: " << queueCount << "\n";
            return false;
        }
    }
    (void)graph;
    return true;
}

// Tensor mode: one library tensor per input, filled from its queue.
bool loadTensorInputs(const RunConfig& config, const RunHandles& run, GraphRun& g, Vexa_TensorMap_Handle_t inputs,
                      uint64_t& files, uint64_t& pieces) {
    g.inputTensors.clear();
    for (size_t i = 0; i < g.inputOrder.size(); ++i) {
        const std::string& name = g.inputOrder[i];
        const TensorShapeHandle shape(
            Vexa_VEXA_GetInputDimensionsForNetwork(run.network.get(), g.name.c_str(), name.c_str()));
        if (!shape) fatal("Failed to obtain input dimensions");
        uint64_t n = 1;
        for (size_t d = 0, r = Vexa_TensorShape_Rank(shape.get()); d < r; ++d) n *= Vexa_TensorShape_At(shape.get(), d);
        ITensorHandle tensor;
        if (config.nv21Encoding) {
            if (!assembleInputBytes((*g.queues)[i], n, g.byteScratch, files, pieces, &g.ahead)) return false;
            if (g.byteScratch.size() != n) {
                std::cerr << "Size of nv21 input file does not match network.\n"
                          << "Expecting: " << n << "\n"
                          << "Got: " << g.byteScratch.size() << "\n";
                return false;
            }
            tensor.reset(Vexa_Util_CreateITensor_NV21(shape.get(), g.byteScratch.data(), n));
        } else {
            tensor.reset(Vexa_Util_CreateITensor(shape.get()));
            if (tensor &&
                !assembleInputFloats((*g.queues)[i], n, Vexa_ITensor_GetData(tensor.get()), files, pieces, &g.ahead)) {
                return false;
            }
        }
        if (!tensor) {
            reportLastError();
            return false;
        }
        Vexa_TensorMap_Add(inputs, name.c_str(), tensor.get());
        g.inputTensors.push_back(std::move(tensor));
    }
    return true;
}

void pace(RunConfig& config, uint64_t t0) {
    if (config.secondsPerInference <= 0) return;
    const double elapsedUs = static_cast<double>((wallClockTicks() - t0) / 10);
    const double remaining = config.secondsPerInference * 1000000.0 - elapsedUs;
    if (remaining > 0) {
        sleepMicroseconds(static_cast<int32_t>(std::min(remaining, 2147483647.0)));
    } else if (remaining < 0 && config.warnPacingOnce) {
        std::cerr << "Warning: The number of inferences in the specified duration cannot be achieved on this platform."
                  << std::endl;
        config.warnPacingOnce = false;
    }
}

bool runOneGraph(RunConfig& config, InputListTables& tables, RunHandles& run, GraphRun& g) {
    Vexa_VEXA_Handle_t net = run.network.get();
    std::vector<std::string> networkInputs;
    {
        const StringListHandle names(Vexa_VEXA_GetInputTensorNamesForNetwork(net, g.name.c_str()));
        if (!names) fatal("Error obtaining Input tensor names");
        networkInputs = stringListItems(names.get());
    }
    auto& namesPerLine = tables.inputNamesPerLine[g.name];
    g.queues = &tables.inputFileQueues[g.name];
    for (auto& queue : *g.queues) queue.rewind();
    if (!checkLines(g.name, networkInputs, namesPerLine, g.queues->size())) return false;
    g.inputOrder = namesPerLine.empty() ? networkInputs : stringListItems(namesPerLine.front().get());
    const uint64_t graphStart = wallClockTicks();

    std::vector<std::string> networkOutputs;
    {
        const StringListHandle names(Vexa_VEXA_GetOutputTensorNamesForNetwork(net, g.name.c_str()));
        if (names) networkOutputs = stringListItems(names.get());
    }
    const NetworkHandle handle{net, false};
    if (!assignDataTypes(config, handle, g.name, networkInputs, networkOutputs, g.fileTypes, g.userBufferTypes)) {
        return false;
    }
    g.inputBuffers.reset(Vexa_UserBufferMap_Create());
    g.outputBuffers.reset(Vexa_UserBufferMap_Create());
    g.userMemory.reset(Vexa_UserMemoryMap_Create());
    if (config.useUserBuffers && !config.userbufferGlbuffer) {
        UserBufferContext ctx;
        ctx.net = handle;
        ctx.network = g.name;
        ctx.inputMap = g.inputBuffers.get();
        ctx.outputMap = g.outputBuffers.get();
        ctx.memoryMap = g.userMemory.get();
        ctx.buffers = &g.userBuffers;
        ctx.types = &g.userBufferTypes;
        ctx.appBuffers = &g.appBuffers;
        ctx.resizableDim = config.resizableDim;
        ctx.rpcmem = run.rpcmem;
        ctx.memoryMapped = config.userbufferMemoryMapped;
        ctx.shared = config.userbufferMemoryMappedShared;
        if (!createUserBuffers(ctx, g.chunk)) {
            std::cerr << "Failed to prepare one or more userbuffer(s)" << std::endl;
            return false;
        }
        if (config.userbufferMemoryMapped &&
            Vexa_VEXA_RegisterUserMemoryMappedBuffersForNetwork(net, g.name.c_str(), g.userMemory.get()) != 0) {
            reportLastError();
            return false;
        }
    }
    if (hasPerfSection(run.perf, PerfMoment::Execute) &&
        !applyPerfSection(run.perf, PerfMoment::Execute, config.perfProfileText, config.perfProfile, net)) {
        return false;
    }

    g.outputsSaved = 0;
    while (!g.queues->empty() && !(*g.queues)[0].empty()) {
        const uint64_t t0 = wallClockTicks();
        const TensorMapHandle inputs(Vexa_TensorMap_Create());
        const TensorMapHandle outputs(Vexa_TensorMap_Create());
        uint64_t files = 0;
        uint64_t pieces = 0;
        if (config.useUserBuffers) {
            if (!fillUserBuffers(config, run, g, files, pieces)) return false;
            g.ahead.request(*g.queues, std::max<uint64_t>(files, 1));
            if (Vexa_VEXA_ExecuteUserBuffersForNetwork(net, g.name.c_str(), g.inputBuffers.get(),
                                                       g.outputBuffers.get()) != 0) {
                reportLastError();
                return false;
            }
        } else {
            if (!loadTensorInputs(config, run, g, inputs.get(), files, pieces)) return false;
            g.ahead.request(*g.queues, std::max<uint64_t>(files, 1));
            if (Vexa_VEXA_ExecuteITensorsForNetwork(net, g.name.c_str(), inputs.get(), outputs.get()) != 0) {
                reportLastError();
                return false;
            }
            g.inputTensors.clear();
        }
        if (config.keepNumOutputs >= 0 && g.outputsSaved >= static_cast<uint32_t>(config.keepNumOutputs)) continue;
        const bool saved = config.useUserBuffers
                               ? saveUserBufferOutputs(config, g, files, pieces)
                               : writeTensorOutputs(config.outputDir, outputs.get(), files, pieces, g.outputsSaved);
        if (!saved) return false;
        g.outputsSaved += static_cast<uint32_t>(files);
        const uint64_t now = wallClockTicks();
        pace(config, t0);
        if (config.duration > 0 && (*g.queues)[0].empty() &&
            config.duration > static_cast<double>((now - graphStart) / 10000000)) {
            for (auto& queue : *g.queues) queue.rewind();
        }
    }
    return true;
}

// After a failed graph the buffers may never have been registered: the
// memory is freed all the same and the deregistration is not checked.
void releaseMappedBuffers(const RunHandles& run, GraphRun& g, bool graphSucceeded) {
    if (!g.userMemory) return;
    const StringListHandle names(Vexa_UserMemoryMap_GetUserBufferNames(g.userMemory.get()));
    const bool deregistered =
        Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork(run.network.get(), g.name.c_str(), names.get()) == 0;
    if (!deregistered && graphSucceeded) {
        reportLastError();
        std::exit(1);
    }
    std::set<void*> freed;
    for (const auto& name : stringListItems(names.get())) {
        const size_t n = Vexa_UserMemoryMap_GetUserMemoryAddressCount(g.userMemory.get(), name.c_str());
        for (size_t i = 0; i < n; ++i) {
            void* p = Vexa_UserMemoryMap_GetUserMemoryAddressAtIndex(g.userMemory.get(), name.c_str(), i);
            if (p != nullptr && freed.insert(p).second && run.rpcmem != nullptr) run.rpcmem->free(p);
        }
    }
}

}  // namespace

bool runGraphs(RunConfig& config, InputListTables& tables, RunHandles& run) {
    for (;;) {
        std::string graph = run.defaultGraph;
        if (!config.graphExecuteList.empty()) {
            graph = config.graphExecuteList.front();
            if (!config.graphInitList.empty() &&
                std::find(config.graphInitList.begin(), config.graphInitList.end(), graph) ==
                    config.graphInitList.end()) {
                std::cerr << "Graph " << graph << " is specified in --graph_execute but not in --graph_init." << "\n";
                return false;
            }
        }
        if (tables.inputFileQueues.count(graph) == 0) {
            std::cerr << "Inputs for graph " << graph << " are not provided in the input list." << "\n";
            return false;
        }
        std::cout << "\nProcessing graph : " << graph << std::endl;
        GraphRun g;
        g.name = graph;
        const bool ok = runOneGraph(config, tables, run, g);
        if (config.userbufferMemoryMapped) releaseMappedBuffers(run, g, ok);
        if (!ok) return false;
        if (config.userLoggingInitialised || config.dbglogs) Vexa_Util_TerminateLogging();
        if (!config.graphExecuteList.empty()) config.graphExecuteList.erase(config.graphExecuteList.begin());
        std::cout << "Successfully executed graph " << graph << std::endl;
        if (config.graphExecuteList.empty()) return true;
    }
}
