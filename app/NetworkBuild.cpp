#include "app/NetworkBuild.h"

#include <cstdlib>
#include <iostream>

#include "runtimelib/StringLists.h"
#include "app/PlatformOptions.h"
#include "platform/soc/SocInfo.h"

namespace {

const char* cacheValidationText(int code) {
    switch (code) {
        case 101: return "Encountered an invalid builder configuration";
        case 307: return "There are no cache records available in the DLC";
        case 308: return "Encountered an error reading DLC records";
        case 1502: return "Selected cache record is usable but suboptimal";
        case 1503: return "Selected cache record is incompatible";
        default: return "Encountered an unexpected miscellaneous error";
    }
}

// Per-graph or single list settings: with graph sections every entry goes
// to its graph, otherwise the first entry is the network's.
template <typename Map, typename ForNetwork, typename Single>
void passPerGraph(const Map& table, bool perGraph, ForNetwork forNetwork, Single single) {
    if (table.empty()) return;
    if (perGraph) {
        for (const auto& [graph, value] : table) forNetwork(graph, value);
    } else {
        single(table.begin()->second);
    }
}

template <typename V>
void moveToDefaultGraph(std::map<std::string, V>& table, const std::string& defaultGraph) {
    auto it = table.find("");
    if (it == table.end()) return;
    V value = std::move(it->second);
    table.erase(it);
    table.emplace(defaultGraph, std::move(value));
}

bool startDiagnosticLog(const RunConfig& config, Vexa_VEXA_Handle_t network) {
    Vexa_IDiagLog_Handle_t log = Vexa_VEXA_GetDiagLogInterface_Ref(network);
    if (log == nullptr) {
        std::cerr << "VEXA failed to obtain logging interface" << std::endl;
        std::exit(1);
    }
    const OptionsHandle options(Vexa_IDiagLog_GetOptions(log));
    Vexa_Options_SetLogFileDirectory(options.get(), config.outputDir.c_str());
    if (Vexa_IDiagLog_SetOptions(log, options.get()) != 0) {
        std::cerr << "Failed to set options" << std::endl;
        return false;
    }
    if (Vexa_IDiagLog_Start(log) != 0) {
        std::cerr << "Failed to start logger" << std::endl;
        return false;
    }
    return true;
}

}  // namespace

bool checkRuntimes(RunConfig& config, const RunHandles& run) {
    const bool noDspReported = dspArchitectureVersion() == 0;
    const bool unsignedPd = platformOptionIsOn(config.platformOptions, "unsignedPD:", true);
    const bool adaptivePd = platformOptionIsOn(config.platformOptions, "useAdaptivePD:", false);
    bool holdsDsp = false;
    for (uint32_t runtime : runtimeListEntries(config.runtimeList)) {
        bool available;
        if (unsignedPd || adaptivePd) {
            available = Vexa_Util_IsRuntimeAvailableCheckOptionForDevice(
                            runtime, VEXA_RUNTIME_CHECK_OPTION_UNSIGNEDPD_CHECK, run.deviceId) != 0;
            if (!available && !unsignedPd) {
                available = Vexa_Util_IsRuntimeAvailableCheckOptionForDevice(
                                runtime, VEXA_RUNTIME_CHECK_OPTION_DEFAULT, run.deviceId) != 0;
            }
        } else {
            available = Vexa_Util_IsRuntimeAvailableCheckOptionForDevice(runtime, VEXA_RUNTIME_CHECK_OPTION_DEFAULT,
                                                                         run.deviceId) != 0;
        }
        const bool isDsp = runtime == VEXA_RUNTIME_DSP;
        holdsDsp = holdsDsp || isDsp;
        if (available && !(isDsp && noDspReported)) continue;
        std::cout << libraryText(Vexa_Util_GetLastError()) << std::endl;
        std::cout << "The selected runtime is not available on this platform. Continue anyway "
                  << "to observe the failure at network creation time." << std::endl;
        if (!config.dynamicQuantization) {
            std::cerr << "static_min_max is only designed for DSP/AIP. One or more of these runtimes is not "
                         "available. Using Dynamic Quatization\n";
            config.dynamicQuantization = true;
        }
        if (Vexa_ErrorCode_getLastErrorCode() != 0) reportLastError();
    }
    return holdsDsp;
}

bool buildNetwork(RunConfig& config, InputListTables& tables, RunHandles& run) {
    run.builder.reset(Vexa_VEXABuilder_Create(run.container.get()));
    if (!run.builder) {
        reportLastError();
        return false;
    }
    Vexa_VEXABuilder_Handle_t b = run.builder.get();
    if (hasPerfSection(run.perf, PerfMoment::Init)) {
        if (!applyPerfSection(run.perf, PerfMoment::Init, config.perfProfileText, config.perfProfile, b)) return false;
    } else {
        Vexa_VEXABuilder_SetPerformanceProfile(b, config.perfProfile);
    }

    if (!config.graphInitList.empty()) {
        const StringListHandle names = makeStringList(config.graphInitList);
        Vexa_VEXABuilder_NetworkInit(b, names.get());
    }
    const bool perGraph = tables.hasGraphSections;
    passPerGraph(
        tables.outputLayerNames, perGraph,
        [&](const std::string& g, const StringListHandle& l) { Vexa_VEXABuilder_SetOutputLayersForNetwork(b, g.c_str(), l.get()); },
        [&](const StringListHandle& l) { Vexa_VEXABuilder_SetOutputLayers(b, l.get()); });
    passPerGraph(
        tables.outputTensorNames, perGraph,
        [&](const std::string& g, const StringListHandle& l) { Vexa_VEXABuilder_SetOutputTensorsForNetwork(b, g.c_str(), l.get()); },
        [&](const StringListHandle& l) { Vexa_VEXABuilder_SetOutputTensors(b, l.get()); });
    passPerGraph(
        config.inputDimensionTable, perGraph,
        [&](const std::string& g, const TensorShapeMapHandle& m) {
            Vexa_VEXABuilder_SetInputDimensionsForNetwork(b, g.c_str(), m.get());
        },
        [&](const TensorShapeMapHandle& m) { Vexa_VEXABuilder_SetInputDimensions(b, m.get()); });

    Vexa_VEXABuilder_SetDebugMode(b, config.debug);
    Vexa_VEXABuilder_SetProfilingLevel(b, config.profilingLevel);
    Vexa_VEXABuilder_SetExecutionPriorityHint(b, config.priorityHint);
    Vexa_VEXABuilder_SetUseUserSuppliedBuffers(b, config.useUserBuffers);
    Vexa_VEXABuilder_SetPlatformConfig(b, run.platformConfig.get());
    Vexa_VEXABuilder_SetInitCacheMode(b, config.enableInitCache);
    Vexa_VEXABuilder_SetRuntimeProcessorOrder(b, config.runtimeList);
    Vexa_VEXABuilder_SetUnconsumedTensorsAsOutputs(b, config.setUnconsumedAsOutput);
    Vexa_VEXABuilder_SetTimeOut(b, config.timeout);
    Vexa_VEXABuilder_SetSingleThreadedInit(b, false);
    Vexa_VEXABuilder_SetCpuFixedPointMode(b, config.enableCpuFxp);
    Vexa_VEXABuilder_SetAcceleratedInit(b, config.enableKtpAcceleratedInit);
    Vexa_VEXABuilder_SetModelName(b, config.modelName.c_str());
    Vexa_VEXABuilder_SetCacheCompatibilityMode(b, config.cacheCompatibilityMode);
    Vexa_VEXABuilder_SetCpuZmxMode(b, config.enableCpuZmx);
    if (config.deferredInitMode != 0) Vexa_VEXABuilder_SetDeferredInit(b, config.deferredInitMode);

    if (config.validateCache) {
        const int code = Vexa_VEXABuilder_ValidateCache(b);
        if (code != 0) {
            std::cerr << "Cache validation failed: " << cacheValidationText(code) << "\n";
            std::exit(1);
        }
    }
    Vexa_VEXABuilder_SetMemoryLimitHint(b, config.memoryLimitHint);
    Vexa_VEXABuilder_SetFileReadMemoryBudget(b, config.fileReadMemBudget);
    if (config.maxSpillFillBuffer != 0) {
        Vexa_VEXABuilder_RegisterMultiContext(b, config.groupId, config.maxSpillFillBuffer);
    }

    run.network.reset(Vexa_VEXABuilder_Build(b));
    if (!run.network) {
        reportLastError();
        return false;
    }
    Vexa_VEXA_Handle_t net = run.network.get();
    if (config.enableInitCache && config.udoPackagePath.empty()) {
        const bool saved = Vexa_DlContainer_Save(run.container.get(), config.container.c_str()) == 0;
        std::cout << (saved ? "Saved container into archive successfully" : "Failed to save container into archive")
                  << std::endl;
        // The run goes on either way; the reason is worth a line.
        if (!saved) reportLastError();
    }
    const std::string rule(79, '-');
    const char* modelVersion = Vexa_VEXA_GetModelVersion(net);
    std::cout << rule << "\n" << "Model String: " << libraryText(modelVersion) << "\n";
    if (config.profilingLevel != 0 && !startDiagnosticLog(config, net)) return false;
    {
        const DlVersionHandle version(Vexa_Util_GetLibraryVersion());
        std::cout << "VEXA v" << libraryText(Vexa_DlVersion_ToString(version.get())) << "\n" << rule << "\n";
    }
    run.networkNames.reset(Vexa_VEXA_GetNetworkNames(net));
    const char* first = run.networkNames ? Vexa_StringList_At(run.networkNames.get(), 0) : nullptr;
    if (first == nullptr) {
        reportLastError();
        return false;
    }
    run.defaultGraph = first;
    if (!tables.hasGraphSections) {
        moveToDefaultGraph(tables.outputLayerNames, run.defaultGraph);
        moveToDefaultGraph(tables.outputTensorNames, run.defaultGraph);
        moveToDefaultGraph(tables.inputNamesPerLine, run.defaultGraph);
        moveToDefaultGraph(tables.inputFileQueues, run.defaultGraph);
    }
    if (config.enableDspVtcmRetention) Vexa_VEXA_SetDspVtcmRetention(net, "", true);
    return true;
}
