// Global settings, error queries, versions, runtime lists and platform
// configuration.
#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "ApiTrace.h"
#include "Network.h"
#include "Objects.h"
#include "runtimelib/Vexa.h"

using namespace vexart;

namespace {

struct LoggingState {
    std::mutex lock;
    uint32_t level = VEXA_LOG_LEVEL_ERROR;
    std::string path;
    bool initialised = false;
};

LoggingState& logging() {
    static LoggingState s;
    return s;
}

const char* runtimeName(Vexa_Runtime_t r) {
    switch (r) {
        case VEXA_RUNTIME_CPU: return "CPU";
        case VEXA_RUNTIME_GPU: return "GPU";
        case VEXA_RUNTIME_DSP: return "DSP";
        case VEXA_RUNTIME_GPU_FLOAT16: return "GPU_FLOAT16";
        case VEXA_RUNTIME_AIP: return "AIP";
        default: return nullptr;
    }
}

}  // namespace

extern "C" {

const char* Vexa_ErrorCode_GetLastErrorString(void) try { return lastErrorText(); } VEXA_API_CATCH
uint32_t Vexa_ErrorCode_getLastErrorCode(void) try { return lastErrorCode(); } VEXA_API_CATCH
const char* Vexa_Util_GetLastError(void) try { return lastErrorText(); } VEXA_API_CATCH

int Vexa_Util_InitializeLoggingPath(Vexa_LogLevel_t level, const char* logPath) try {
    trace("Vexa_Util_InitializeLoggingPath", level, logPath);
    if (logPath == nullptr) return fail<int>(VEXA_ERRORCODE_INVALID_ARGUMENT, "logging path is null");
    if (level > VEXA_LOG_LEVEL_VERBOSE) return fail<int>(VEXA_ERRORCODE_INVALID_ARGUMENT, "unknown log level");
    LoggingState& s = logging();
    std::lock_guard<std::mutex> guard(s.lock);
    s.level = level;
    s.path = logPath;
    s.initialised = true;
    return 1;
} VEXA_API_CATCH

int Vexa_Util_SetLogLevel(Vexa_LogLevel_t level) try {
    trace("Vexa_Util_SetLogLevel", level);
    if (level > VEXA_LOG_LEVEL_VERBOSE) return fail<int>(VEXA_ERRORCODE_INVALID_ARGUMENT, "unknown log level");
    LoggingState& s = logging();
    std::lock_guard<std::mutex> guard(s.lock);
    s.level = level;
    return 1;
} VEXA_API_CATCH

int Vexa_Util_TerminateLogging(void) try {
    trace("Vexa_Util_TerminateLogging");
    LoggingState& s = logging();
    std::lock_guard<std::mutex> guard(s.lock);
    s.initialised = false;
    return 1;
} VEXA_API_CATCH

int Vexa_Util_AddOpPackage(const char* regLibraryPath) try {
    trace("Vexa_Util_AddOpPackage", regLibraryPath);
    if (regLibraryPath == nullptr) return fail<int>(VEXA_ERRORCODE_INVALID_ARGUMENT, "op package path is null");
    // The package stays loaded for the life of the process, as its
    // registration functions may be referenced by built networks.
    void* library = dlopen(regLibraryPath, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        return fail<int>(VEXA_ERRORCODE_IO, std::string("Failed to load op package ") + regLibraryPath + ": " +
                                                 (why != nullptr ? why : "unknown error"));
    }
    return 1;
} VEXA_API_CATCH

int Vexa_Util_SetVEXAStorageLocation(const char* storagePath) try {
    trace("Vexa_Util_SetVEXAStorageLocation", storagePath);
    if (storagePath == nullptr || *storagePath == '\0') {
        return fail<int>(VEXA_ERRORCODE_INVALID_ARGUMENT, "storage location is empty");
    }
    return 1;
} VEXA_API_CATCH

int Vexa_Util_IsRuntimeAvailableCheckOptionForDevice(Vexa_Runtime_t runtime, Vexa_RuntimeCheckOption_t option,
                                                     uint32_t deviceId) try {
    trace("Vexa_Util_IsRuntimeAvailableCheckOptionForDevice", runtime, option, deviceId);
    std::string why;
    if (runtimeAvailable(runtime, why)) return 1;
    return fail<int>(VEXA_ERRORCODE_RUNTIME_UNAVAILABLE, why);
} VEXA_API_CATCH

Vexa_DlVersion_Handle_t Vexa_Util_GetLibraryVersion(void) try {
    trace("Vexa_Util_GetLibraryVersion");
    auto* v = new DlVersion;
    v->text = "2.48.0.260626120635";
    return v;
} VEXA_API_CATCH

const char* Vexa_DlVersion_ToString(Vexa_DlVersion_Handle_t version) try {
    auto* v = as<DlVersion>(version, "Vexa_DlVersion_ToString");
    return v != nullptr ? v->text.c_str() : "";
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_DlVersion_Delete(Vexa_DlVersion_Handle_t version) try {
    auto* v = as<DlVersion>(version, "Vexa_DlVersion_Delete");
    if (v == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete v;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_RuntimeList_Handle_t Vexa_RuntimeList_Create(void) try {
    trace("Vexa_RuntimeList_Create");
    return new RuntimeList;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_RuntimeList_Delete(Vexa_RuntimeList_Handle_t list) try {
    auto* l = as<RuntimeList>(list, "Vexa_RuntimeList_Delete");
    if (l == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete l;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_RuntimeList_Add(Vexa_RuntimeList_Handle_t list, Vexa_Runtime_t runtime) try {
    trace("Vexa_RuntimeList_Add", list, runtime);
    auto* l = as<RuntimeList>(list, "Vexa_RuntimeList_Add");
    if (l == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (runtimeName(runtime) == nullptr) {
        return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Unknown runtime code " + std::to_string(runtime));
    }
    for (uint32_t r : l->runtimes) {
        if (r == runtime) {
            return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT,
                             std::string("Runtime ") + runtimeName(runtime) + " is already in the runtime list");
        }
    }
    l->runtimes.push_back(runtime);
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

size_t Vexa_RuntimeList_Size(Vexa_RuntimeList_Handle_t list) try {
    auto* l = as<RuntimeList>(list, "Vexa_RuntimeList_Size");
    return l != nullptr ? l->runtimes.size() : 0;
} VEXA_API_CATCH

Vexa_Runtime_t Vexa_RuntimeList_At(Vexa_RuntimeList_Handle_t list, size_t index) try {
    auto* l = as<RuntimeList>(list, "Vexa_RuntimeList_At");
    if (l == nullptr) return VEXA_RUNTIME_UNSET;
    if (index >= l->runtimes.size()) {
        setError(VEXA_ERRORCODE_INVALID_ARGUMENT, "runtime list index out of range");
        return VEXA_RUNTIME_UNSET;
    }
    return l->runtimes[index];
} VEXA_API_CATCH

Vexa_Runtime_t Vexa_RuntimeList_StringToRuntime(const char* name) try {
    trace("Vexa_RuntimeList_StringToRuntime", name);
    if (name == nullptr) return VEXA_RUNTIME_UNSET;
    static const std::pair<const char*, Vexa_Runtime_t> kNames[] = {
        {"cpu", VEXA_RUNTIME_CPU}, {"gpu", VEXA_RUNTIME_GPU}, {"gpu_float16", VEXA_RUNTIME_GPU_FLOAT16},
        {"dsp", VEXA_RUNTIME_DSP}, {"aip", VEXA_RUNTIME_AIP},
    };
    for (const auto& [n, r] : kNames) {
        if (std::strcmp(n, name) == 0) return r;
    }
    return VEXA_RUNTIME_UNSET;
} VEXA_API_CATCH

Vexa_PlatformConfig_Handle_t Vexa_PlatformConfig_Create(void) try {
    trace("Vexa_PlatformConfig_Create");
    return new PlatformConfig;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_PlatformConfig_Delete(Vexa_PlatformConfig_Handle_t config) try {
    auto* c = as<PlatformConfig>(config, "Vexa_PlatformConfig_Delete");
    if (c == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete c;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

int Vexa_PlatformConfig_SetPlatformOptions(Vexa_PlatformConfig_Handle_t config, const char* options) try {
    trace("Vexa_PlatformConfig_SetPlatformOptions", config, options);
    auto* c = as<PlatformConfig>(config, "Vexa_PlatformConfig_SetPlatformOptions");
    if (c == nullptr) return 0;
    if (options == nullptr) return fail<int>(VEXA_ERRORCODE_INVALID_ARGUMENT, "platform options are null");
    c->options = options;
    return 1;
} VEXA_API_CATCH

int Vexa_PlatformConfig_SetPlatformOptionValue(Vexa_PlatformConfig_Handle_t config, const char* key,
                                               const char* value) try {
    trace("Vexa_PlatformConfig_SetPlatformOptionValue", config, key, value);
    auto* c = as<PlatformConfig>(config, "Vexa_PlatformConfig_SetPlatformOptionValue");
    if (c == nullptr) return 0;
    if (key == nullptr || *key == '\0' || value == nullptr) {
        return fail<int>(VEXA_ERRORCODE_INVALID_ARGUMENT, "platform option key or value is missing");
    }
    c->values[key] = value;
    return 1;
} VEXA_API_CATCH

}  // extern "C"
