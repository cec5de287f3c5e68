#include "app/Application.h"

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "app/Container.h"
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

// Library objects of one run, declared in creation order so that they are
// released in reverse order on every exit path.
struct RunHandles {
    PlatformConfigHandle platformConfig;
    std::vector<uint8_t> containerBytes;
    DlContainerHandle container;
};

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

    uint32_t deviceId = 0;
    if (!config.platformOptions.empty() && !applyPlatformOptions(config, run.platformConfig.get(), deviceId)) {
        return 1;
    }

    if (!openContainer(config, run.containerBytes, run.container)) return 1;

    return 0;
}
