// Containers, the builder and the built network instance.
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <tuple>

#include "ApiTrace.h"
#include "DiagLog.h"
#include "Network.h"
#include "runtimelib/Vexa.h"

using namespace vexart;

namespace {

using DiagLog = DiagLogHandle;

struct Options : Tagged<Tag::Options> {
    std::string logDirectory;
};

// A builder setter: validates the handle, traces the value and stores it.
template <typename F>
Vexa_ErrorCode_t setOnBuilder(const char* function, void* handle, F apply) {
    auto* b = as<Builder>(handle, function);
    if (b == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    return guarded<Vexa_ErrorCode_t>(function, VEXA_ERRORCODE_INVALID_ARGUMENT, VEXA_ERRORCODE_INVALID_ARGUMENT,
                                     [&] {
                                         apply(*b);
                                         return VEXA_SUCCESS;
                                     });
}

std::vector<std::string> itemsOf(void* list, const char* function) {
    auto* l = as<StringList>(list, function);
    if (l == nullptr) throw ExecError("invalid string list");
    return l->items;
}

std::map<std::string, std::vector<size_t>> shapesOf(void* map, const char* function) {
    auto* m = as<TensorShapeMap>(map, function);
    if (m == nullptr) throw ExecError("invalid tensor shape map");
    return m->shapes;
}

std::string joined(const std::vector<std::string>& items) {
    std::string s;
    for (const auto& i : items) s += (s.empty() ? "" : ",") + i;
    return s;
}

// A new handle for the container `read` returns. `start`: when opening
// began, so that the load time counts the file's read. A file that cannot be
// read is an I/O error, anything malformed a bad container; running out of
// memory is left to the entry point's handler.
Vexa_DlContainer_Handle_t openWith(const std::string& what, std::chrono::steady_clock::time_point start,
                                   const std::function<ContainerModel()>& read) {
    try {
        auto c = std::make_unique<DlContainer>();
        c->model = read();
        c->openMicroseconds =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        return static_cast<Vexa_DlContainer_Handle_t>(c.release());
    } catch (const ContainerFileError& e) {
        return fail(VEXA_ERRORCODE_IO, what + ": " + e.what());
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        return fail(VEXA_ERRORCODE_BAD_CONTAINER, "Vexa_DlContainer_Open: " + what + ": " + e.what());
    }
}

}  // namespace

extern "C" {

Vexa_DlContainer_Handle_t Vexa_DlContainer_Open(const char* path) try {
    trace("Vexa_DlContainer_Open", path);
    if (path == nullptr) return fail(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_DlContainer_Open: null path");
    const auto start = std::chrono::steady_clock::now();
    return openWith(std::string("Failed to open container ") + path, start,
                    [&] { return openContainerFile(path, containerLimitsFromEnvironment()); });
} VEXA_API_CATCH

Vexa_DlContainer_Handle_t Vexa_DlContainer_OpenBuffer(const uint8_t* buffer, size_t size) try {
    trace("Vexa_DlContainer_OpenBuffer", static_cast<const void*>(buffer), size);
    if (buffer == nullptr) return fail(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_DlContainer_OpenBuffer: null buffer");
    return openWith("Failed to open container buffer", std::chrono::steady_clock::now(),
                    [&] { return readContainer(buffer, size, containerLimitsFromEnvironment()); });
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_DlContainer_Delete(Vexa_DlContainer_Handle_t container) try {
    trace("Vexa_DlContainer_Delete", container);
    auto* c = as<DlContainer>(container, "Vexa_DlContainer_Delete");
    if (c == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete c;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_DlContainer_Save(Vexa_DlContainer_Handle_t container, const char* path) try {
    trace("Vexa_DlContainer_Save", container, path);
    auto* c = as<DlContainer>(container, "Vexa_DlContainer_Save");
    if (c == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (path == nullptr) return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_DlContainer_Save: null path");
    return guarded<Vexa_ErrorCode_t>("Vexa_DlContainer_Save", VEXA_ERRORCODE_IO, VEXA_ERRORCODE_IO, [&] {
        writeContainer(c->model, path);
        return VEXA_SUCCESS;
    });
} VEXA_API_CATCH_CODE

Vexa_VEXABuilder_Handle_t Vexa_VEXABuilder_Create(Vexa_DlContainer_Handle_t container) try {
    trace("Vexa_VEXABuilder_Create", container);
    auto* c = as<DlContainer>(container, "Vexa_VEXABuilder_Create");
    if (c == nullptr) return nullptr;
    auto* b = new Builder;
    b->container = c;
    return b;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_VEXABuilder_Delete(Vexa_VEXABuilder_Handle_t builder) try {
    trace("Vexa_VEXABuilder_Delete", builder);
    auto* b = as<Builder>(builder, "Vexa_VEXABuilder_Delete");
    if (b == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete b;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXABuilder_SetPerformanceProfile(Vexa_VEXABuilder_Handle_t builder, Vexa_PerfProfile_t p) try {
    trace("Vexa_VEXABuilder_SetPerformanceProfile", p);
    return setOnBuilder("Vexa_VEXABuilder_SetPerformanceProfile", builder, [&](Builder& b) {
        if (p > 9) throw ExecError("unknown performance profile " + std::to_string(p));
        b.perf = PerfSettings{false, p, {}};
    });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXABuilder_SetCustomPerfProfile(Vexa_VEXABuilder_Handle_t builder,
                                                       Vexa_VEXAPerfProfile_Handle_t profile) try {
    trace("Vexa_VEXABuilder_SetCustomPerfProfile", profile);
    auto* p = as<VexaPerfProfile>(profile, "Vexa_VEXABuilder_SetCustomPerfProfile");
    if (p == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    return setOnBuilder("Vexa_VEXABuilder_SetCustomPerfProfile", builder, [&](Builder& b) { b.perf = p->settings; });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXABuilder_NetworkInit(Vexa_VEXABuilder_Handle_t builder, Vexa_StringList_Handle_t names) try {
    const auto items = itemsOf(names, "Vexa_VEXABuilder_NetworkInit");
    trace("Vexa_VEXABuilder_NetworkInit", joined(items).c_str());
    return setOnBuilder("Vexa_VEXABuilder_NetworkInit", builder, [&](Builder& b) { b.networkInit = items; });
} VEXA_API_CATCH_CODE

#define VEXA_LIST_SETTER(NAME, FIELD)                                                                       \
    Vexa_ErrorCode_t Vexa_VEXABuilder_##NAME(Vexa_VEXABuilder_Handle_t builder, Vexa_StringList_Handle_t l) try { \
        return guarded<Vexa_ErrorCode_t>("Vexa_VEXABuilder_" #NAME, 2, 2, [&] {                             \
            const auto items = itemsOf(l, "Vexa_VEXABuilder_" #NAME);                                       \
            trace("Vexa_VEXABuilder_" #NAME, joined(items).c_str());                                        \
            return setOnBuilder("Vexa_VEXABuilder_" #NAME, builder, [&](Builder& b) { b.FIELD[""] = items; }); \
        });                                                                                                 \
    }                                                                                                       \
    VEXA_API_CATCH_CODE                                                                                     \
    Vexa_ErrorCode_t Vexa_VEXABuilder_##NAME##ForNetwork(Vexa_VEXABuilder_Handle_t builder, const char* net, \
                                                          Vexa_StringList_Handle_t l) try {                  \
        return guarded<Vexa_ErrorCode_t>("Vexa_VEXABuilder_" #NAME "ForNetwork", 2, 2, [&] {                \
            const auto items = itemsOf(l, "Vexa_VEXABuilder_" #NAME "ForNetwork");                          \
            trace("Vexa_VEXABuilder_" #NAME "ForNetwork", net, joined(items).c_str());                      \
            return setOnBuilder("Vexa_VEXABuilder_" #NAME "ForNetwork", builder,                            \
                                [&](Builder& b) { b.FIELD[net != nullptr ? net : ""] = items; });            \
        });                                                                                                 \
    }                                                                                                       \
    VEXA_API_CATCH_CODE

VEXA_LIST_SETTER(SetOutputLayers, outputLayers)
VEXA_LIST_SETTER(SetOutputTensors, outputTensors)

Vexa_ErrorCode_t Vexa_VEXABuilder_SetInputDimensions(Vexa_VEXABuilder_Handle_t builder,
                                                     Vexa_TensorShapeMap_Handle_t dims) try {
    trace("Vexa_VEXABuilder_SetInputDimensions", dims);
    return guarded<Vexa_ErrorCode_t>("Vexa_VEXABuilder_SetInputDimensions", 2, 2, [&] {
        const auto shapes = shapesOf(dims, "Vexa_VEXABuilder_SetInputDimensions");
        return setOnBuilder("Vexa_VEXABuilder_SetInputDimensions", builder,
                            [&](Builder& b) { b.inputDims[""] = shapes; });
    });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXABuilder_SetInputDimensionsForNetwork(Vexa_VEXABuilder_Handle_t builder, const char* net,
                                                               Vexa_TensorShapeMap_Handle_t dims) try {
    trace("Vexa_VEXABuilder_SetInputDimensionsForNetwork", net, dims);
    return guarded<Vexa_ErrorCode_t>("Vexa_VEXABuilder_SetInputDimensionsForNetwork", 2, 2, [&] {
        const auto shapes = shapesOf(dims, "Vexa_VEXABuilder_SetInputDimensionsForNetwork");
        return setOnBuilder("Vexa_VEXABuilder_SetInputDimensionsForNetwork", builder,
                            [&](Builder& b) { b.inputDims[net != nullptr ? net : ""] = shapes; });
    });
} VEXA_API_CATCH_CODE

#define VEXA_VALUE_SETTER(NAME, TYPE, FIELD)                                                           \
    Vexa_ErrorCode_t Vexa_VEXABuilder_##NAME(Vexa_VEXABuilder_Handle_t builder, TYPE value) try {      \
        trace("Vexa_VEXABuilder_" #NAME, value);                                                       \
        return setOnBuilder("Vexa_VEXABuilder_" #NAME, builder, [&]([[maybe_unused]] Builder& b) { FIELD; }); \
    }                                                                                                  \
    VEXA_API_CATCH_CODE

VEXA_VALUE_SETTER(SetDebugMode, int, b.debug = value != 0)
VEXA_VALUE_SETTER(SetProfilingLevel, Vexa_ProfilingLevel_t, b.profilingLevel = value)
VEXA_VALUE_SETTER(SetExecutionPriorityHint, Vexa_ExecutionPriorityHint_t, b.priority = value)
VEXA_VALUE_SETTER(SetUseUserSuppliedBuffers, int, b.userBuffers = value != 0)
VEXA_VALUE_SETTER(SetInitCacheMode, int, b.initCache = value != 0)
VEXA_VALUE_SETTER(SetUnconsumedTensorsAsOutputs, int, b.unconsumedAsOutputs = value != 0)
VEXA_VALUE_SETTER(SetTimeOut, uint64_t, b.timeout = value)
VEXA_VALUE_SETTER(SetSingleThreadedInit, int, (void)value)
VEXA_VALUE_SETTER(SetCpuFixedPointMode, int, b.cpuFixedPoint = value != 0)
VEXA_VALUE_SETTER(SetAcceleratedInit, int, (void)value)
VEXA_VALUE_SETTER(SetModelName, const char*, b.modelName = value != nullptr ? value : "")
VEXA_VALUE_SETTER(SetCacheCompatibilityMode, Vexa_CacheCompatibilityMode_t, b.cacheMode = value)
VEXA_VALUE_SETTER(SetCpuZmxMode, int, (void)value)
VEXA_VALUE_SETTER(SetDeferredInit, Vexa_DeferredInitMode_t, b.deferredInit = value)
VEXA_VALUE_SETTER(SetMemoryLimitHint, uint64_t, (void)value)
VEXA_VALUE_SETTER(SetFileReadMemoryBudget, uint64_t, (void)value)

Vexa_ErrorCode_t Vexa_VEXABuilder_SetPlatformConfig(Vexa_VEXABuilder_Handle_t builder,
                                                    Vexa_PlatformConfig_Handle_t config) try {
    trace("Vexa_VEXABuilder_SetPlatformConfig", config);
    auto* c = as<PlatformConfig>(config, "Vexa_VEXABuilder_SetPlatformConfig");
    if (c == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    return setOnBuilder("Vexa_VEXABuilder_SetPlatformConfig", builder, [&](Builder& b) { b.platformOptions = c->values; });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXABuilder_SetRuntimeProcessorOrder(Vexa_VEXABuilder_Handle_t builder,
                                                           Vexa_RuntimeList_Handle_t order) try {
    auto* l = as<RuntimeList>(order, "Vexa_VEXABuilder_SetRuntimeProcessorOrder");
    if (l == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    std::string text;
    for (uint32_t r : l->runtimes) text += (text.empty() ? "" : ",") + std::to_string(r);
    trace("Vexa_VEXABuilder_SetRuntimeProcessorOrder", text.c_str());
    return setOnBuilder("Vexa_VEXABuilder_SetRuntimeProcessorOrder", builder,
                        [&](Builder& b) { b.runtimes = l->runtimes; });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXABuilder_RegisterMultiContext(Vexa_VEXABuilder_Handle_t builder, uint64_t groupId,
                                                       uint64_t maxSpillFill) try {
    trace("Vexa_VEXABuilder_RegisterMultiContext", groupId, maxSpillFill);
    return setOnBuilder("Vexa_VEXABuilder_RegisterMultiContext", builder,
                        [&](Builder& b) { b.multiContextGroup = std::make_pair(groupId, maxSpillFill); });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXABuilder_ValidateCache(Vexa_VEXABuilder_Handle_t builder) try {
    trace("Vexa_VEXABuilder_ValidateCache", builder);
    auto* b = as<Builder>(builder, "Vexa_VEXABuilder_ValidateCache");
    if (b == nullptr) return VEXA_ERRORCODE_INVALID_BUILDER_CONFIG;
    const ContainerModel& m = b->container->model;
    if (m.cacheRecords.empty()) {
        return failCode(VEXA_ERRORCODE_NO_CACHE_RECORDS, "There are no cache records in the container");
    }
    for (const auto& r : m.cacheRecords) {
        if (r.digest == graphsDigest(m, r.graphs)) return VEXA_SUCCESS;
    }
    return failCode(VEXA_ERRORCODE_CACHE_INCOMPATIBLE, "No cache record matches the graphs of the container");
} VEXA_API_CATCH_CODE

Vexa_VEXA_Handle_t Vexa_VEXABuilder_Build(Vexa_VEXABuilder_Handle_t builder) try {
    trace("Vexa_VEXABuilder_Build", builder);
    auto* b = as<Builder>(builder, "Vexa_VEXABuilder_Build");
    if (b == nullptr) return nullptr;
    return guarded<Vexa_VEXA_Handle_t>("Vexa_VEXABuilder_Build", VEXA_ERRORCODE_UNSUPPORTED_OPERATION, nullptr, [&] {
        const auto start = std::chrono::steady_clock::now();
        auto net = buildNetwork(*b);
        net->loadMicroseconds =
            b->container->openMicroseconds +
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        if (b->initCache) {
            // The record names what it was made for; a later build checks it.
            ContainerModel& m = b->container->model;
            std::vector<std::string> names;
            for (const auto& g : net->graphs) names.push_back(g.name);
            m.cacheRecords.clear();
            m.cacheRecords.push_back({"cpu", names, graphsDigest(m, names)});
        }
        return static_cast<Vexa_VEXA_Handle_t>(net.release());
    });
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_VEXA_Delete(Vexa_VEXA_Handle_t network) try {
    trace("Vexa_VEXA_Delete", network);
    auto* n = as<Network>(network, "Vexa_VEXA_Delete");
    if (n == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (n->diagLog) n->diagLog->finish(n->executions);
    delete n;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

const char* Vexa_VEXA_GetModelVersion(Vexa_VEXA_Handle_t network) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetModelVersion");
    return n != nullptr ? n->modelVersion.c_str() : nullptr;
} VEXA_API_CATCH

Vexa_StringList_Handle_t Vexa_VEXA_GetNetworkNames(Vexa_VEXA_Handle_t network) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetNetworkNames");
    if (n == nullptr) return nullptr;
    auto* l = new StringList;
    for (const auto& g : n->graphs) l->items.push_back(g.name);
    return l;
} VEXA_API_CATCH

Vexa_StringList_Handle_t Vexa_VEXA_GetInputTensorNamesForNetwork(Vexa_VEXA_Handle_t network, const char* name) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetInputTensorNamesForNetwork");
    NetworkGraph* g = n != nullptr ? n->find(name, "Vexa_VEXA_GetInputTensorNamesForNetwork") : nullptr;
    if (g == nullptr) return nullptr;
    auto* l = new StringList;
    for (const auto& in : g->graph->inputs()) l->items.push_back(in.name);
    return l;
} VEXA_API_CATCH

Vexa_StringList_Handle_t Vexa_VEXA_GetOutputTensorNamesForNetwork(Vexa_VEXA_Handle_t network, const char* name) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetOutputTensorNamesForNetwork");
    NetworkGraph* g = n != nullptr ? n->find(name, "Vexa_VEXA_GetOutputTensorNamesForNetwork") : nullptr;
    if (g == nullptr) return nullptr;
    auto* l = new StringList;
    l->items = g->graph->outputs();
    return l;
} VEXA_API_CATCH

Vexa_TensorShape_Handle_t Vexa_VEXA_GetInputDimensionsForNetwork(Vexa_VEXA_Handle_t network, const char* name,
                                                                 const char* tensor) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetInputDimensionsForNetwork");
    NetworkGraph* g = n != nullptr ? n->find(name, "Vexa_VEXA_GetInputDimensionsForNetwork") : nullptr;
    if (g == nullptr || tensor == nullptr) return nullptr;
    for (const auto& in : g->graph->inputs()) {
        if (in.name == tensor) {
            auto* s = new TensorShape;
            s->dims.assign(in.dims.begin(), in.dims.end());
            return s;
        }
    }
    return fail(VEXA_ERRORCODE_NOT_FOUND, std::string("'") + tensor + "' is not an input of network '" + g->name + "'");
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_VEXA_ExecuteITensorsForNetwork(Vexa_VEXA_Handle_t network, const char* name,
                                                     Vexa_TensorMap_Handle_t inputs, Vexa_TensorMap_Handle_t outputs) try {
    trace("Vexa_VEXA_ExecuteITensorsForNetwork", name);
    auto* n = as<Network>(network, "Vexa_VEXA_ExecuteITensorsForNetwork");
    auto* in = as<TensorMap>(inputs, "Vexa_VEXA_ExecuteITensorsForNetwork");
    auto* out = as<TensorMap>(outputs, "Vexa_VEXA_ExecuteITensorsForNetwork");
    if (n == nullptr || in == nullptr || out == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    NetworkGraph* g = n->find(name, "Vexa_VEXA_ExecuteITensorsForNetwork");
    if (g == nullptr) return VEXA_ERRORCODE_NOT_FOUND;
    if (n->userBuffers) {
        return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT,
                         "Vexa_VEXA_ExecuteITensorsForNetwork: the network was built for user buffers");
    }
    return guarded<Vexa_ErrorCode_t>("Vexa_VEXA_ExecuteITensorsForNetwork", VEXA_ERRORCODE_EXECUTION,
                                     VEXA_ERRORCODE_EXECUTION, [&] {
                                         executeTensors(*n, *g, *in, *out);
                                         return VEXA_SUCCESS;
                                     });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXA_ExecuteUserBuffersForNetwork(Vexa_VEXA_Handle_t network, const char* name,
                                                        Vexa_UserBufferMap_Handle_t inputs,
                                                        Vexa_UserBufferMap_Handle_t outputs) try {
    trace("Vexa_VEXA_ExecuteUserBuffersForNetwork", name);
    auto* n = as<Network>(network, "Vexa_VEXA_ExecuteUserBuffersForNetwork");
    auto* in = as<UserBufferMap>(inputs, "Vexa_VEXA_ExecuteUserBuffersForNetwork");
    auto* out = as<UserBufferMap>(outputs, "Vexa_VEXA_ExecuteUserBuffersForNetwork");
    if (n == nullptr || in == nullptr || out == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    NetworkGraph* g = n->find(name, "Vexa_VEXA_ExecuteUserBuffersForNetwork");
    if (g == nullptr) return VEXA_ERRORCODE_NOT_FOUND;
    return guarded<Vexa_ErrorCode_t>("Vexa_VEXA_ExecuteUserBuffersForNetwork", VEXA_ERRORCODE_EXECUTION,
                                     VEXA_ERRORCODE_EXECUTION, [&] {
                                         executeUserBuffers(*n, *g, *in, *out);
                                         return VEXA_SUCCESS;
                                     });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXA_RegisterUserMemoryMappedBuffersForNetwork(Vexa_VEXA_Handle_t network, const char* name,
                                                                     Vexa_UserMemoryMap_Handle_t memory) try {
    trace("Vexa_VEXA_RegisterUserMemoryMappedBuffersForNetwork", name);
    auto* n = as<Network>(network, "Vexa_VEXA_RegisterUserMemoryMappedBuffersForNetwork");
    auto* m = as<UserMemoryMap>(memory, "Vexa_VEXA_RegisterUserMemoryMappedBuffersForNetwork");
    if (n == nullptr || m == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    NetworkGraph* g = n->find(name, "Vexa_VEXA_RegisterUserMemoryMappedBuffersForNetwork");
    if (g == nullptr) return VEXA_ERRORCODE_NOT_FOUND;
    for (const auto& [tensor, entries] : m->entries) {
        if (!g->graph->hasValue(tensor)) {
            return failCode(VEXA_ERRORCODE_NOT_FOUND, "cannot register memory for '" + tensor +
                                                           "': not a tensor of network '" + g->name + "'");
        }
        g->registeredMemory.insert(tensor);
    }
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork(Vexa_VEXA_Handle_t network, const char* name,
                                                                       Vexa_StringList_Handle_t names) try {
    trace("Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork", name);
    auto* n = as<Network>(network, "Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork");
    auto* l = as<StringList>(names, "Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork");
    if (n == nullptr || l == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    NetworkGraph* g = n->find(name, "Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork");
    if (g == nullptr) return VEXA_ERRORCODE_NOT_FOUND;
    for (const auto& t : l->items) {
        if (g->registeredMemory.erase(t) == 0) {
            return failCode(VEXA_ERRORCODE_NOT_FOUND, "memory for '" + t + "' was never registered");
        }
    }
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXA_SetCustomPerfProfile(Vexa_VEXA_Handle_t network, Vexa_VEXAPerfProfile_Handle_t profile) try {
    trace("Vexa_VEXA_SetCustomPerfProfile", profile);
    auto* n = as<Network>(network, "Vexa_VEXA_SetCustomPerfProfile");
    auto* p = as<VexaPerfProfile>(profile, "Vexa_VEXA_SetCustomPerfProfile");
    if (n == nullptr || p == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    n->perf = p->settings;
    n->threads = threadsFor(n->perf);
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXA_SetDspVtcmRetention(Vexa_VEXA_Handle_t network, const char* name, int on) try {
    trace("Vexa_VEXA_SetDspVtcmRetention", name, on);
    auto* n = as<Network>(network, "Vexa_VEXA_SetDspVtcmRetention");
    if (n == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (n->runtime != VEXA_RUNTIME_DSP) {
        return failCode(VEXA_ERRORCODE_UNSUPPORTED_OPERATION, "VTCM retention needs the DSP runtime");
    }
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

// Deferred buffers exist only for the modes that asked for them.
Vexa_ErrorCode_t Vexa_VEXA_GetSpillFillBufferSize(Vexa_VEXA_Handle_t network, uint64_t* size) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetSpillFillBufferSize");
    if (n == nullptr || size == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    *size = n->deferredInit == 2 || n->deferredInit == 3 ? n->spillFillBytes : 0;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXA_GetWeightsBufferSize(Vexa_VEXA_Handle_t network, uint64_t* size) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetWeightsBufferSize");
    if (n == nullptr || size == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    *size = n->deferredInit == 1 || n->deferredInit == 3 ? n->weightBytes : 0;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXA_GetBufferAlignment(Vexa_VEXA_Handle_t network, uint32_t* alignment) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetBufferAlignment");
    if (n == nullptr || alignment == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    *alignment = 64;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_VEXA_Finalize(Vexa_VEXA_Handle_t network, int spillFillFd, int weightsFd) try {
    trace("Vexa_VEXA_Finalize", spillFillFd, weightsFd);
    auto* n = as<Network>(network, "Vexa_VEXA_Finalize");
    if (n == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    uint64_t spill = 0, weights = 0;
    Vexa_VEXA_GetSpillFillBufferSize(network, &spill);
    Vexa_VEXA_GetWeightsBufferSize(network, &weights);
    // The descriptors must name shared memory at least as large as asked for.
    for (const auto& [fd, need, what] : {std::tuple<int, uint64_t, const char*>{spillFillFd, spill, "spill-fill"},
                                         std::tuple<int, uint64_t, const char*>{weightsFd, weights, "weights"}}) {
        if (need == 0) continue;
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < need) {
            return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, std::string("Vexa_VEXA_Finalize: the ") + what +
                                                                 " buffer descriptor does not hold " +
                                                                 std::to_string(need) + " bytes");
        }
    }
    n->finalized = true;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_IDiagLog_Handle_t Vexa_VEXA_GetDiagLogInterface_Ref(Vexa_VEXA_Handle_t network) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetDiagLogInterface_Ref");
    if (n == nullptr) return nullptr;
    return &n->diagHandle;
} VEXA_API_CATCH

Vexa_Options_Handle_t Vexa_IDiagLog_GetOptions(Vexa_IDiagLog_Handle_t diagLog) try {
    auto* d = as<DiagLog>(diagLog, "Vexa_IDiagLog_GetOptions");
    if (d == nullptr) return nullptr;
    auto* o = new Options;
    o->logDirectory = d->directory;
    return o;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_IDiagLog_SetOptions(Vexa_IDiagLog_Handle_t diagLog, Vexa_Options_Handle_t options) try {
    auto* d = as<DiagLog>(diagLog, "Vexa_IDiagLog_SetOptions");
    auto* o = as<Options>(options, "Vexa_IDiagLog_SetOptions");
    if (d == nullptr || o == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    trace("Vexa_IDiagLog_SetOptions", o->logDirectory.c_str());
    d->directory = o->logDirectory;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_IDiagLog_Start(Vexa_IDiagLog_Handle_t diagLog) try {
    trace("Vexa_IDiagLog_Start", diagLog);
    auto* d = as<DiagLog>(diagLog, "Vexa_IDiagLog_Start");
    if (d == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    return guarded<Vexa_ErrorCode_t>("Vexa_IDiagLog_Start", VEXA_ERRORCODE_IO, VEXA_ERRORCODE_IO, [&] {
        d->network->diagLog = std::make_unique<DiagLogWriter>(d->directory, *d->network);
        return VEXA_SUCCESS;
    });
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_Options_Delete(Vexa_Options_Handle_t options) try {
    auto* o = as<Options>(options, "Vexa_Options_Delete");
    if (o == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete o;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_Options_SetLogFileDirectory(Vexa_Options_Handle_t options, const char* directory) try {
    auto* o = as<Options>(options, "Vexa_Options_SetLogFileDirectory");
    if (o == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    o->logDirectory = directory != nullptr ? directory : "";
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

}  // extern "C"
