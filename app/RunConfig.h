// Every command-line value of the run and the settings derived from them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "buffers/DataTypes.h"
#include "runtimelib/UniqueHandle.h"

namespace Misc {
class CommandLine;
}

// The data-type options (native files, --userbuffer_*, the data type map)
// are the base, so that type assignment takes them without copying.
struct RunConfig : TypeChoices {
    // Model, input and output
    std::string container = "./model.dlc";
    std::string inputList;
    std::string outputDir = "./output/";
    std::string storageDir;
    bool initFromBuffer = false;
    std::string modelName;
    bool debug = false;
    std::vector<std::string> setOutputTensors;
    bool setUnconsumedAsOutput = false;
    std::vector<std::string> inputNames;
    std::vector<std::string> inputDimensions;
    std::string encodingType;
    int32_t keepNumOutputs = -1;
    double duration = 0;
    std::string inferencesPerDuration;

    // Runtime and build
    bool useGpu = false;
    bool useDsp = false;
    std::string gpuMode;
    std::string runtimeOrder;
    bool enableCpuFallback = false;
    bool enableCpuFxp = false;
    bool enableCpuZmx = false;
    bool staticMinMax = false;
    std::string platformOptions;
    std::string priorityHintText;
    std::string perfProfileText;
    std::string perfConfigYaml;
    std::string profilingLevelText;
    bool enableInitCache = false;
    std::string cacheCompatibilityModeText;
    bool validateCache = false;
    bool enableKtpAcceleratedInit = false;
    uint64_t timeout = 0;
    uint64_t memoryLimitHint = 0;
    uint64_t fileReadMemBudget = 0;
    std::string udoPackagePath;
    std::string graphInit;
    std::string graphExecute;
    std::string deferredInit = "none";
    uint64_t groupId = 0;
    uint64_t maxSpillFillBuffer = 0;
    bool enableDspVtcmRetention = false;

    // User buffers (their data types: TypeChoices)
    bool userbufferMemoryMapped = false;
    bool userbufferMemoryMappedShared = false;
    bool userbufferGlbuffer = false;
    uint32_t resizableDim = 10;
    std::string tensorMode;
    std::vector<std::string> dataTypeMapValues;
    std::string bufferDataType;

    // Logging and information
    std::string userlogs;
    bool dbglogs = false;
    bool getPid = false;

    // Derived settings
    uint32_t runtime = 0;
    bool gpuModeGiven = false;
    uint32_t perfProfile = 1;
    uint32_t profilingLevel = 2;
    uint32_t priorityHint = 0;
    uint32_t logLevel = 1;
    bool userLoggingInitialised = false;
    uint32_t cacheCompatibilityMode = 0;
    uint32_t deferredInitMode = 0;
    bool nv21Encoding = false;
    bool useUserBuffers = false;
    bool outputOverride = false;
    bool dynamicQuantization = true;
    double secondsPerInference = 0;
    bool warnPacingOnce = true;
    Vexa_RuntimeList_Handle_t runtimeList = nullptr;  // owned by the entry point
    std::vector<std::string> graphInitList;
    std::vector<std::string> graphExecuteList;
    std::map<std::string, TensorShapeMapHandle> inputDimensionTable;
    std::map<std::string, std::vector<std::string>> outputTensorRequests;
};

// Registers the tool's options on `parser`, bound to the fields of `config`.
void registerOptions(Misc::CommandLine& parser, RunConfig& config);

// Checks the parsed values, derives the internal settings and applies user
// logging, operator packages and the runtime order. False after writing
// the reason to standard error.
bool validateRunConfig(const Misc::CommandLine& parser, RunConfig& config);

// `--set_output_tensors` values into the per-graph request table.
void buildOutputTensorRequests(RunConfig& config);

// Parses argv into `config`. Returns -1 to go on with the run, otherwise
// the exit status (0 after help or version, 1 after an error).
int parseCommandLine(int argc, const char* const* argv, RunConfig& config);

// Runtime list entries, read back through the library.
std::vector<uint32_t> runtimeListEntries(Vexa_RuntimeList_Handle_t list);
