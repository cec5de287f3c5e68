#include "app/RunConfig.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <set>
#include <utility>

#include "Misc/CommandLine.h"
#include "runtimelib/StringLists.h"
#include "app/StringUtil.h"
#include "perf/PerfPresets.h"
#include "platform/soc/SocInfo.h"

namespace {

using NameCodes = std::vector<std::pair<const char*, uint32_t>>;

const NameCodes kPriorityHints = {{"normal", 0},      {"high", 1},       {"low", 2},      {"normal_high", 3},
                                  {"normal_low", 4},  {"high_plus", 5},  {"critical", 6}, {"critical_plus", 7}};
const NameCodes kLogLevels = {{"warn", 2}, {"verbose", 4}, {"info", 3}, {"error", 1}, {"fatal", 0}};
const NameCodes kProfilingLevels = {{"off", 0},      {"basic", 1},   {"moderate", 3},
                                    {"detailed", 2}, {"linting", 4}, {"kvas", 5}};
const NameCodes kCacheModes = {{"permissive", 0}, {"strict", 1}, {"always_generate_new", 2}};
const NameCodes kDeferredInitModes = {{"weights", 1}, {"spill-fill", 2}, {"none", 0}, {"all", 3}};

bool lookup(const NameCodes& table, const std::string& name, uint32_t& code) {
    for (const auto& [n, c] : table) {
        if (name == n) {
            code = c;
            return true;
        }
    }
    return false;
}

void fail(const char* message) { std::cerr << message; }
void failLine(const std::string& message) { std::cerr << message << std::endl; }

std::string invalidSetting(const char* option) {
    return std::string("ERROR: Invalid setting pased to the argument ") + option +
           ".\n Please check the Arguments section in the description below\n";
}

bool badWidth(uint32_t width) {
    std::cerr << "ERROR: Invalid Userbuffer size provided. " << width << " not supported \n";
    return false;
}

bool widthIn(uint32_t width, uint32_t a, uint32_t b) { return width == a || width == b; }

void pairingHelp() {
    failLine("For multiple inputs, specify input name and its dimensions, then repeat it.");
    failLine("Specify --input_name before --input_dimensions");
}

void buildInputDimensionTable(RunConfig& c) {
    for (size_t i = 0; i < c.inputNames.size(); ++i) {
        const auto nameTokens = splitString(c.inputNames[i], ' ');
        std::string graph;
        std::string input;
        if (nameTokens.size() == 1) {
            input = nameTokens[0];
        } else if (nameTokens.size() >= 2) {
            graph = nameTokens[0];
            input = nameTokens[1];
        }
        const auto dimTokens = splitString(c.inputDimensions[i], ' ');
        TensorShapeHandle shape(Vexa_TensorShape_Create());
        if (!dimTokens.empty()) {
            for (const auto& part : splitString(dimTokens.back(), ',')) {
                const size_t dim = static_cast<size_t>(leadingUnsigned(part));
                Vexa_TensorShape_Concatenate(shape.get(), &dim, 1);
            }
        }
        auto& map = c.inputDimensionTable[graph];
        if (!map) map.reset(Vexa_TensorShapeMap_Create());
        Vexa_TensorShapeMap_Add(map.get(), input.c_str(), shape.get());
    }
}

bool applyUserLogs(RunConfig& c) {
    std::string value = c.userlogs;
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    const auto tokens = splitString(value, ',');
    const std::string path = tokens.size() >= 2 ? tokens[1] : std::string();
    if (Vexa_Util_InitializeLoggingPath(c.logLevel, path.c_str()) != 0) c.userLoggingInitialised = true;
    uint32_t level = 0;
    if (tokens.empty() || !lookup(kLogLevels, tokens[0], level)) {
        fail("ERROR: Invalid setting passed to the argument --userlogs\n");
        return false;
    }
    c.logLevel = level;
    Vexa_Util_SetLogLevel(level);
    return true;
}

bool applyRuntimeOrder(RunConfig& c) {
    const auto names = splitString(c.runtimeOrder, ',');
    if (std::set<std::string>(names.begin(), names.end()).size() != names.size()) {
        fail("Error: Invalid values passed to the argument --runtime_order.\nDuplicate entries in runtime order\n");
        return false;
    }
    const char* badOrder =
        "Error: Invalid values passed to the argument --runtime_order.\n Please provide comma seperated runtime "
        "order of precedence\n";
    // The list is still empty here: the entry point created it just before parsing.
    for (const auto& name : names) {
        const Vexa_Runtime_t runtime = Vexa_RuntimeList_StringToRuntime(name.c_str());
        if (runtime == VEXA_RUNTIME_UNSET) {
            fail(badOrder);
            return false;
        }
        if (Vexa_RuntimeList_Add(c.runtimeList, runtime) != 0) {
            failLine(libraryText(Vexa_ErrorCode_GetLastErrorString()));
            fail(badOrder);
            return false;
        }
    }
    return true;
}

bool combinationsAllowed(const RunConfig& c) {
    if ((c.userbufferGlbuffer && c.nv21Encoding) || (c.useUserBuffers && c.nv21Encoding)) {
        fail("Cannot use user buffer while specifying nv21 encoding type\n");
        return false;
    }
    if (c.outputOverride && !c.useUserBuffers) {
        fail("Cannot use override user buffer output without specifying user buffer\n");
        return false;
    }
    const bool mapGiven = !c.dataTypeMap.empty();
    if (c.userbufferFloat || c.userbufferTf8 || c.userbufferAuto || c.outputOverride) {
        if (mapGiven) {
            fail("Cannot use data_type_map while specifying --userbuffer_xx options\n");
            return false;
        }
        if (c.outputOverride && c.userbufferAuto) {
            fail("Cannot specify user buffer outputs while using user buffer auto\n");
            return false;
        }
        if (!c.outputOverride && c.userbufferAuto && (c.userbufferFloat || c.userbufferTf8)) {
            fail("Cannot specify user buffer inputs while using user buffer auto\n");
            return false;
        }
    }
    if ((c.useNativeInputFiles && !c.useUserBuffers) ||
        (c.useNativeOutputFiles && !c.outputOverride && !c.useUserBuffers)) {
        fail("Cannot use native file I/O without specifying user buffer\n");
        return false;
    }
    if (!c.tensorMode.empty() != mapGiven) {
        fail("Specify data type for tensors using --data_type_map along with --tensor_mode\n");
        return false;
    }
    if (c.userbufferMemoryMapped && !c.useUserBuffers) {
        fail("Cannot use --userbuffer_memorymapped without using --userbuffer_xxx\n");
        return false;
    }
    if (Vexa_RuntimeList_Size(c.runtimeList) != 0 && c.runtime != 0) {
        fail("Invalid option cannot mix --runtime_order with --use_dsp or --use_gpu or --use_aip\n");
        return false;
    }
    const bool wantsDsp = c.useDsp || c.runtimeOrder.find("dsp") != std::string::npos;
    const bool wantsGpu = c.useGpu || c.runtimeOrder.find("gpu") != std::string::npos;
    if (c.userbufferMemoryMapped && !((wantsDsp && isKtpDevice()) || (!wantsDsp && wantsGpu))) {
        fail("--userbuffer_memorymapped and --userbuffer_memorymapped_shared are only supported in dsp runtime on "
             "ktp devices and in gpu runtime.\n");
        return false;
    }
    return true;
}

bool dspOnlyFeaturesAllowed(const Misc::CommandLine& p, const RunConfig& c) {
    const bool wantsDsp = c.useDsp || c.runtimeOrder.find("dsp") != std::string::npos;
    const bool ktpDsp = wantsDsp && isKtpDevice();
    if (p.isSet("--group_id") != p.isSet("--max_spill_fill_buffer")) {
        fail("--group_id and --max_spill_fill_buffer must be passed together.\n");
        return false;
    }
    if (p.isSet("--group_id") && !ktpDsp) {
        fail("Multi-Context registration is only supported in dsp runtime on ktp devices.\n");
        return false;
    }
    if (p.isSet("--enable_dsp_vtcm_retention") && !ktpDsp) {
        fail("--enable_dsp_vtcm_retention is only supported in dsp runtime on ktp devices.\n");
        return false;
    }
    return true;
}

}  // namespace

bool validateRunConfig(const Misc::CommandLine& p, RunConfig& c) {
    c.dynamicQuantization = !c.staticMinMax;

    if (p.isSet("--gpu_mode")) {
        if (c.gpuMode == "float16") {
            c.runtime = VEXA_RUNTIME_GPU_FLOAT16;
        } else if (c.gpuMode == "default") {
            c.runtime = VEXA_RUNTIME_GPU;
        } else {
            fail(invalidSetting("--gpu_mode").c_str());
            return false;
        }
        c.gpuModeGiven = true;
    }
    if (p.isSet("--use_gpu") && !c.gpuModeGiven) c.runtime = VEXA_RUNTIME_GPU;
    if (p.isSet("--use_dsp")) c.runtime = VEXA_RUNTIME_DSP;

    if (p.isSet("--perf_profile") && !commandLinePerfProfile(c.perfProfileText, c.perfProfile)) {
        fail(invalidSetting("--perf_profile").c_str());
        return false;
    }
    if (p.isSet("--encoding_type")) {
        if (c.encodingType != "nv21") {
            fail(invalidSetting("--encoding_type").c_str());
            return false;
        }
        c.nv21Encoding = true;
    }

    if (p.isSet("--userbuffer_float")) c.inputBitWidth = 32;
    if (p.isSet("--userbuffer_floatN")) {
        if (!widthIn(c.inputBitWidth, 16, 32)) return badWidth(c.inputBitWidth);
        c.userbufferFloat = true;
    }
    if (p.isSet("--userbuffer_tf8")) {
        c.inputBitWidth = 8;
        c.userbufferTf8 = true;
    }
    if (p.isSet("--userbuffer_tfN")) {
        if (!widthIn(c.inputBitWidth, 8, 16)) return badWidth(c.inputBitWidth);
        c.userbufferTf8 = true;
    }
    c.useUserBuffers = c.userbufferAuto || c.userbufferFloat || c.userbufferTf8;

    if (p.isSet("--userbuffer_float_output")) c.outputBitWidth = 32;
    if (p.isSet("--userbuffer_floatN_output")) {
        c.floatOutput = true;
        if (!widthIn(c.outputBitWidth, 16, 32)) return badWidth(c.outputBitWidth);
    }
    if (p.isSet("--userbuffer_tf8_output")) c.outputBitWidth = 8;
    if (p.isSet("--userbuffer_tfN_output")) {
        if (!widthIn(c.outputBitWidth, 8, 16)) return badWidth(c.outputBitWidth);
        c.tfOutput = true;
    }
    if (p.isSet("--userbuffer_uintN_output")) {
        if (c.outputBitWidth != 32) return badWidth(c.outputBitWidth);
        c.uintOutput = true;
    }

    if (p.isSet("--tensor_mode")) {
        if (c.tensorMode == "iTensor") {
            c.useUserBuffers = false;
        } else if (c.tensorMode == "userBuffer") {
            c.useUserBuffers = true;
        } else {
            failLine("Incorrect option provided for tensorMode.");
            return false;
        }
    }
    c.outputOverride = c.floatOutput || c.tfOutput || c.uintOutput;

    if (p.isSet("--input_name") && c.inputNames.size() > c.inputDimensions.size()) {
        failLine("No dimensions were specified for input for at least one input name");
        pairingHelp();
        return false;
    }
    if (p.isSet("--input_dimensions")) {
        if (c.inputNames.size() < c.inputDimensions.size()) {
            failLine("No input name was specified for input for at lease one set of dimensions");
            pairingHelp();
            return false;
        }
        buildInputDimensionTable(c);
    }

    if (p.isSet("--buffer_data_type")) {
        std::cout << "This option is a no-op, please use --data_type_map for providing map for buffers." << std::endl;
    }
    if (p.isSet("--data_type_map") && parseDataTypeMap(c.dataTypeMapValues, c.dataTypeMap) != DataTypeMapResult::Ok) {
        std::exit(1);
    }

    if (p.isSet("--priority_hint") && !lookup(kPriorityHints, c.priorityHintText, c.priorityHint)) {
        fail("ERROR: Invalid setting passed to the argument --priority_hint\nPlease check the Arguments section in "
             "the description below.\n");
        return false;
    }
    if (p.isSet("--resizable_dim")) {
        if (c.resizableDim == 0) {
            fail("ERROR: Invalid setting passed to the argument --resizable_dim\nPlease check the Arguments section "
                 "in the description below.\n");
            return false;
        }
        if (!c.useUserBuffers) {
            fail("resizableDim is only applicable for user buffers\n");
            return false;
        }
    }
    if (!c.userlogs.empty() && !applyUserLogs(c)) return false;
    if (p.isSet("--profiling_level") && !lookup(kProfilingLevels, c.profilingLevelText, c.profilingLevel)) {
        fail("ERROR: Invalid setting passed to the argument --profiling_level\nPlease check the Arguments section "
             "in the description below.\n");
        return false;
    }
    if (p.isSet("--cache_compatibility_mode") &&
        !lookup(kCacheModes, c.cacheCompatibilityModeText, c.cacheCompatibilityMode)) {
        fail("ERROR: Invalid setting passed to the argument --cache_compatibility_mode\n");
        return false;
    }
    if (p.isSet("--inferences_per_duration")) {
        const std::string& v = c.inferencesPerDuration;
        const size_t comma = v.find(',');
        const double n = leadingDouble(comma == std::string::npos ? v : v.substr(0, comma));
        const double d = leadingDouble(comma == std::string::npos ? v : v.substr(comma + 1));
        if (!(n > 0 && d > 0)) {
            fail("Error: Invalid values passed to the argument --interence_per_duration.\nPlease provide positive "
                 "values for inferences and duration.\n");
            return false;
        }
        c.secondsPerInference = d / n;
    }
    if (p.isSet("--runtime_order") && !applyRuntimeOrder(c)) return false;
    if (p.isSet("--udo_package_path")) {
        for (const auto& path : splitString(c.udoPackagePath, ',')) {
            if (Vexa_Util_AddOpPackage(path.c_str()) == 0) {
                reportLastError();
                return false;
            }
        }
    }
    if (p.isSet("--userbuffer_memorymapped_shared")) {
        if (c.userbufferMemoryMapped) {
            fail("Cannot use --userbuffer_memorymapped  and --userbuffer_memorymapped_shared in the same run\n");
            return false;
        }
        c.userbufferMemoryMapped = true;
    }
    if (p.isSet("--graph_init")) c.graphInitList = splitString(c.graphInit, ',');
    if (p.isSet("--graph_execute")) c.graphExecuteList = splitString(c.graphExecute, ',');

    if (!combinationsAllowed(c)) return false;

    if (p.isSet("--deferred_init") && !lookup(kDeferredInitModes, c.deferredInit, c.deferredInitMode)) {
        std::cerr << "Invalid options to --deferred_init : \"" << c.deferredInit
                  << "\", valid options are weights, spill-fill and all.\n";
        return false;
    }
    return dspOnlyFeaturesAllowed(p, c);
}

void buildOutputTensorRequests(RunConfig& c) {
    for (const auto& value : c.setOutputTensors) {
        const auto tokens = splitString(value, ' ');
        if (tokens.empty()) continue;
        if (tokens.size() == 1) {
            c.outputTensorRequests.emplace(std::string(), std::vector<std::string>{tokens[0]});
        } else {
            c.outputTensorRequests.emplace(tokens[0], splitString(tokens[1], ','));
        }
    }
}

int parseCommandLine(int argc, const char* const* argv, RunConfig& config) {
    Misc::CommandLine parser;
    registerOptions(parser, config);
    parser.addValidator([&config](const Misc::CommandLine& p) { return validateRunConfig(p, config); });
    switch (parser.parse(argc, argv, false)) {
        case Misc::CommandLine::Continue: return -1;
        case Misc::CommandLine::BuiltinHandled: return 0;
        default: return 1;
    }
}

std::vector<uint32_t> runtimeListEntries(Vexa_RuntimeList_Handle_t list) {
    std::vector<uint32_t> entries;
    const size_t n = Vexa_RuntimeList_Size(list);
    for (size_t i = 0; i < n; ++i) entries.push_back(Vexa_RuntimeList_At(list, i));
    return entries;
}
