/* Custom performance profiles: presets plus per-setting overrides.
 * Every setter takes the profile and one value and returns 0 on success. */
#ifndef VEXA_PERF_PROFILE_H
#define VEXA_PERF_PROFILE_H

#include "VexaTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

VEXA_API Vexa_VEXAPerfProfile_Handle_t Vexa_VEXAPerfProfile_Create(void);
VEXA_API Vexa_VEXAPerfProfile_Handle_t Vexa_VEXAPerfProfile_CreatePreset(Vexa_PerfProfile_t preset);
VEXA_API Vexa_ErrorCode_t Vexa_VEXAPerfProfile_Delete(Vexa_VEXAPerfProfile_Handle_t profile);

/* Setter lists, X(name suffix), kept as lists so that implementations can
 * be generated from the same source as the declarations. */
#define VEXA_PERF_FLAG_SETTERS(X) \
    X(EnableDspDcvsStart) \
    X(EnableDspDcvsDone) \
    X(EnableAsyncVoting) \
    X(HighPerformanceModeEnabled) \
    X(FastInitEnabled) \
    X(DdrPerfMode) \

#define VEXA_PERF_INT_SETTERS(X) \
    X(SleepLatencyStart) \
    X(SleepLatencyDone) \
    X(DspHysteresisTime) \
    X(KmxTimeoutIntervalUs) \
    X(SleepDisable) \
    X(DspRpcPollingTime) \
    X(AdaptivePollingTime) \

#define VEXA_PERF_NAME_SETTERS(X) \
    X(PowerModeStart) \
    X(DcvsVoltageCornerDcvsVCornerMinStart) \
    X(DcvsVoltageCornerDcvsVCornerMinDone) \
    X(DcvsVoltageCornerDcvsVCornerMaxStart) \
    X(DcvsVoltageCornerDcvsVCornerMaxDone) \
    X(DcvsVoltageCornerDcvsVCornerTargetStart) \
    X(DcvsVoltageCornerDcvsVCornerTargetDone) \
    X(BusVoltageCornerMinStart) \
    X(BusVoltageCornerMinDone) \
    X(BusVoltageCornerMaxStart) \
    X(BusVoltageCornerMaxDone) \
    X(BusVoltageCornerTargetStart) \
    X(BusVoltageCornerTargetDone) \
    X(CoreVoltageCornerminMvStart) \
    X(CoreVoltageCornerMinMvDone) \
    X(CoreVoltageCornerMaxMvStart) \
    X(CoreVoltageCornerMaxMvDone) \
    X(CoreVoltageCornerTargetMvStart) \
    X(CoreVoltageCornerTargetMvDone) \
    X(PowerModeDone) \
    X(KmxClkPerfMode) \
    X(KmxVoltageCornerMin) \
    X(KmxVoltageCornerMax) \
    X(KmxVoltageCornerTarget) \
    X(CengVoltageCornerMinStart) \
    X(CengVoltageCornerTargetStart) \
    X(CengVoltageCornerMaxStart) \
    X(CengClkPerfModeStart) \
    X(CengVoltageCornerMinDone) \
    X(CengVoltageCornerTargetDone) \
    X(CengVoltageCornerMaxDone) \
    X(CengClkPerfModeDone) \
    X(CengExpVoltageCornerMinStart) \
    X(CengExpVoltageCornerTargetStart) \
    X(CengExpVoltageCornerMaxStart) \
    X(CengExpClkPerfModeStart) \
    X(CengExpVoltageCornerMinDone) \
    X(CengExpVoltageCornerTargetDone) \
    X(CengExpVoltageCornerMaxDone) \
    X(CengExpClkPerfModeDone) \
    X(BusVoltageCornerExpMinMvStart) \
    X(BusVoltageCornerExpTargetMvStart) \
    X(BusVoltageCornerExpMaxMvStart) \
    X(BusVoltageCornerExpMinMvDone) \
    X(BusVoltageCornerExpTargetMvDone) \
    X(BusVoltageCornerExpMaxMvDone) \
    X(CoreVoltageCornerExpMinMvStart) \
    X(CoreVoltageCornerExpTargetMvStart) \
    X(CoreVoltageCornerExpMaxMvStart) \
    X(CoreVoltageCornerExpMinMvDone) \
    X(CoreVoltageCornerExpTargetMvDone) \
    X(CoreVoltageCornerExpMaxMvDone) \
    X(CoreClkPerfModeStart) \
    X(CoreClkPerfModeDone) \
    X(BusClkPerfModeStart) \
    X(BusClkPerfModeDone) \

#define VEXA_PERF_DECLARE_FLAG(n) \
    VEXA_API Vexa_ErrorCode_t Vexa_VEXAPerfProfile_Set##n(Vexa_VEXAPerfProfile_Handle_t profile, int on);
#define VEXA_PERF_DECLARE_INT(n) \
    VEXA_API Vexa_ErrorCode_t Vexa_VEXAPerfProfile_Set##n(Vexa_VEXAPerfProfile_Handle_t profile, int32_t value);
#define VEXA_PERF_DECLARE_NAME(n) \
    VEXA_API Vexa_ErrorCode_t Vexa_VEXAPerfProfile_Set##n(Vexa_VEXAPerfProfile_Handle_t profile, uint32_t value);

VEXA_PERF_FLAG_SETTERS(VEXA_PERF_DECLARE_FLAG)
VEXA_PERF_INT_SETTERS(VEXA_PERF_DECLARE_INT)
VEXA_PERF_NAME_SETTERS(VEXA_PERF_DECLARE_NAME)

#ifdef __cplusplus
}
#endif

#endif
