// Performance profiles: a preset plus the settings applied on top of it.
#include "ApiTrace.h"
#include "Network.h"
#include "runtimelib/Vexa.h"

using namespace vexart;

namespace {

Vexa_ErrorCode_t setPerf(void* profile, const char* setter, int64_t value) {
    trace(setter, value);
    auto* p = as<VexaPerfProfile>(profile, setter);
    if (p == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    p->settings.values[setter + sizeof("Vexa_VEXAPerfProfile_Set") - 1] = value;
    return VEXA_SUCCESS;
}

}  // namespace

extern "C" {

Vexa_VEXAPerfProfile_Handle_t Vexa_VEXAPerfProfile_Create(void) try {
    trace("Vexa_VEXAPerfProfile_Create");
    auto* p = new VexaPerfProfile;
    p->settings.custom = true;
    return p;
} VEXA_API_CATCH

Vexa_VEXAPerfProfile_Handle_t Vexa_VEXAPerfProfile_CreatePreset(Vexa_PerfProfile_t preset) try {
    trace("Vexa_VEXAPerfProfile_CreatePreset", preset);
    if (preset > 9) return fail(VEXA_ERRORCODE_INVALID_ARGUMENT, "unknown performance profile " + std::to_string(preset));
    auto* p = new VexaPerfProfile;
    p->settings.custom = true;
    p->settings.preset = preset;
    return p;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_VEXAPerfProfile_Delete(Vexa_VEXAPerfProfile_Handle_t profile) try {
    trace("Vexa_VEXAPerfProfile_Delete");
    auto* p = as<VexaPerfProfile>(profile, "Vexa_VEXAPerfProfile_Delete");
    if (p == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete p;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

#define VEXA_PERF_DEFINE_FLAG(n)                                                               \
    Vexa_ErrorCode_t Vexa_VEXAPerfProfile_Set##n(Vexa_VEXAPerfProfile_Handle_t profile, int on) try { \
        return setPerf(profile, "Vexa_VEXAPerfProfile_Set" #n, on != 0);                        \
    } \
    VEXA_API_CATCH_CODE
#define VEXA_PERF_DEFINE_INT(n)                                                                        \
    Vexa_ErrorCode_t Vexa_VEXAPerfProfile_Set##n(Vexa_VEXAPerfProfile_Handle_t profile, int32_t value) try { \
        return setPerf(profile, "Vexa_VEXAPerfProfile_Set" #n, value);                                  \
    } \
    VEXA_API_CATCH_CODE
#define VEXA_PERF_DEFINE_NAME(n)                                                                        \
    Vexa_ErrorCode_t Vexa_VEXAPerfProfile_Set##n(Vexa_VEXAPerfProfile_Handle_t profile, uint32_t value) try { \
        return setPerf(profile, "Vexa_VEXAPerfProfile_Set" #n, value);                                   \
    } \
    VEXA_API_CATCH_CODE

VEXA_PERF_FLAG_SETTERS(VEXA_PERF_DEFINE_FLAG)
VEXA_PERF_INT_SETTERS(VEXA_PERF_DEFINE_INT)
VEXA_PERF_NAME_SETTERS(VEXA_PERF_DEFINE_NAME)

}  // extern "C"
