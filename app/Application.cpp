#include "app/Application.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "app/Container.h"
#include "runtimelib/StringLists.h"
#include "app/InferenceLoop.h"
#include "app/InitBuffers.h"
#include "app/InputList.h"
#include "app/NetworkBuild.h"
#include "app/PlatformOptions.h"
#include "app/RunConfig.h"
#include "app/StringUtil.h"
#include "platform/Process.h"
#include "runtimelib/UniqueHandle.h"

namespace {

const char* logLevelName(uint32_t level) {
    static const char* const kNames[] = {"VEXA_LOG_LEVEL_FATAL", "VEXA_LOG_LEVEL_ERROR", "VEXA_LOG_LEVEL_WARN",
                                         "VEXA_LOG_LEVEL_INFO", "VEXA_LOG_LEVEL_VERBOSE"};
    return level < 5 ? kNames[level] : "";
}

bool isGpu(uint32_t runtime) { return runtime == VEXA_RUNTIME_GPU || runtime == VEXA_RUNTIME_GPU_FLOAT16; }

bool applyPlatformOptions(const RunConfig& config, Vexa_PlatformConfig_Handle_t platformConfig,
                          uint32_t& deviceId) {
    const std::string& value = config.platformOptions;
    const bool set = Vexa_PlatformConfig_SetPlatformOptions(platformConfig, value.c_str()) != 0;
    std::cout << "PlatformOptions (" << value << ") " << (set ? "successfully" : "failed to") << " set" << std::endl;
    if (!set) return false;
    std::map<std::string, std::string> options;
    if (!parsePlatformOptions(value, options)) {
        std::cout << "PlatformOptions (" << value << ") failed to parse" << std::endl;
        return false;
    }
    for (const auto& [key, optionValue] : options) {
        const bool ok =
            Vexa_PlatformConfig_SetPlatformOptionValue(platformConfig, key.c_str(), optionValue.c_str()) != 0;
        std::cout << "PlatformOptionsLocal (" << key << ":" << optionValue << ") overwrite "
                  << (ok ? "successful" : "failed") << std::endl;
        if (key == "deviceId") deviceId = static_cast<uint32_t>(leadingUnsigned(optionValue));
        if (!ok) return false;
    }
    return true;
}

}  // namespace

int runApplication(int argc, const char* const* argv) {
    // Lives until the process ends, whichever way it ends.
    static RuntimeListHandle runtimeList(Vexa_RuntimeList_Create());

    RunConfig config;
    config.runtimeList = runtimeList.get();
    const int parsed = parseCommandLine(argc, argv, config);
    if (parsed >= 0) return parsed;

    buildOutputTensorRequests(config);
    if (config.dbglogs) std::cerr << "Failed to set dev log level!" << std::endl;
    if (config.getPid) std::cout << "vexa-net-run pid:" << currentProcessId() << std::endl;
    std::cout << "Logging level is : " << logLevelName(config.logLevel) << std::endl;

    RunHandles run;
    run.platformConfig.reset(Vexa_PlatformConfig_Create());

    if (config.userbufferGlbuffer) {
        bool gpuRequested = isGpu(config.runtime);
        for (uint32_t r : runtimeListEntries(config.runtimeList)) gpuRequested = gpuRequested || isGpu(r);
        std::cerr << (gpuRequested ? "GL buffer mode is only supported on Android OS"
                                   : "GL buffer mode is only supported by GPU runtime")
                  << std::endl;
        return 1;
    }

    if (!config.platformOptions.empty() && !applyPlatformOptions(config, run.platformConfig.get(), run.deviceId)) {
        return 1;
    }

    if (!openContainer(config, run.containerBytes, run.container)) return 1;

    if (Vexa_RuntimeList_Size(config.runtimeList) == 0) {
        Vexa_RuntimeList_Add(config.runtimeList, config.runtime);
        if (config.runtime != VEXA_RUNTIME_CPU && config.enableCpuFallback) {
            std::cout << (config.enableCpuFxp ? "CPU Fallback is enabled with fixed point execution mode.\n"
                                              : "CPU Fallback is enabled with floating point execution mode.\n");
            Vexa_RuntimeList_Add(config.runtimeList, VEXA_RUNTIME_CPU);
        }
        const bool staticCapable = config.runtime == VEXA_RUNTIME_DSP || config.runtime == VEXA_RUNTIME_AIP ||
                                   (config.runtime == VEXA_RUNTIME_CPU && config.enableCpuFxp);
        if (config.staticMinMax && !staticCapable) {
            std::cerr << "Cannot use static_min_max with CPU runtime in float execution mode or GPU runtime. It is "
                         "only designed for DSP/AIP runtimes and CPU runtime in fixed point execution mode.\n";
            std::exit(1);
        }
    }
    const bool holdsDsp = checkRuntimes(config, run);
    if (!holdsDsp && config.deferredInit != "none") {
        std::cerr << "Deferred Init is only supported in DSP runtime.\n";
        return 1;
    }

    if (!config.storageDir.empty()) {
        std::cout << "Setting Storage location to " << config.storageDir << std::endl;
        if (Vexa_Util_SetVEXAStorageLocation(config.storageDir.c_str()) == 0) {
            std::cout << "Setting Storage location to " << config.storageDir << " failed" << std::endl;
        }
    }

    std::vector<std::string> lines;
    InputListTables tables;
    if (!readInputListFile(config.inputList, lines) || !parseInputList(lines, tables)) return 1;
    if (!config.debug) mergeOutputTensorRequests(config.outputTensorRequests, tables);

    if (!config.perfConfigYaml.empty() && !loadPerfConfig(config.perfConfigYaml, run.perf)) return 1;

    if (!buildNetwork(config, tables, run) || !prepareInitBuffers(config, run)) return 1;
    if (!runGraphs(config, tables, run)) return 1;
    if (hasPerfSection(run.perf, PerfMoment::Deinit) &&
        !applyPerfSection(run.perf, PerfMoment::Deinit, config.perfProfileText, config.perfProfile,
                          run.network.get())) {
        return 1;
    }
    return 0;
}
