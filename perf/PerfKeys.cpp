#include "perf/PerfKeys.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "runtimelib/StringLists.h"

namespace {

using NameTable = std::unordered_map<std::string, uint32_t>;

const NameTable kPowerMode = {
    {"VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_ADJUST_UP_DOWN", 1},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_ADJUST_ONLY_UP", 2},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_POWER_SAVER_MODE", 4},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_POWER_SAVER_AGGRESSIVE_MODE", 8},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_PERFORMANCE_MODE", 16},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_DUTY_CYCLE_MODE", 32},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_POWERMODE_UNKNOWN", 0x7FFFFFFF},
};
const NameTable kDcvsVoltage = {
    {"VEXA_DCVS_VOLTAGE_CORNER_DISABLE", 0x10},
    {"VEXA_DCVS_VOLTAGE_VCORNER_MIN_VOLTAGE_CORNER", 0x20},
    {"VEXA_DCVS_VOLTAGE_VCORNER_SVS2", 0x30},
    {"VEXA_DCVS_VOLTAGE_VCORNER_SVS", 0x40},
    {"VEXA_DCVS_VOLTAGE_VCORNER_SVS_PLUS", 0x50},
    {"VEXA_DCVS_VOLTAGE_VCORNER_NOM", 0x60},
    {"VEXA_DCVS_VOLTAGE_VCORNER_NOM_PLUS", 0x70},
    {"VEXA_DCVS_VOLTAGE_VCORNER_TURBO", 0x80},
    {"VEXA_DCVS_VOLTAGE_VCORNER_TURBO_PLUS", 0x90},
    {"VEXA_DCVS_VOLTAGE_VCORNER_MAX_VOLTAGE_CORNER", 0xA0},
    {"VEXA_DCVS_VOLTAGE_VCORNER_TURBO_L1", 0x92},
    {"VEXA_DCVS_VOLTAGE_VCORNER_TURBO_L2", 0x92},
    {"VEXA_DCVS_VOLTAGE_VCORNER_TURBO_L3", 0x93},
    {"VEXA_DCVS_VOLTAGE_VCORNER_TURBO_L4", 0x94},
    {"VEXA_DCVS_VOLTAGE_VCORNER_TURBO_L5", 0x95},
    {"VEXA_DCVS_VOLTAGE_VCORNER_UNKNOWN", 0x7FFFFFFF},
};
const NameTable kDcvsExpVoltage = {
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_DISABLE", 0},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_MIN", 0x100},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_MIN_SVS", 0x130},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_D3", 0x132},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_D2_1", 0x133},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_D2", 0x134},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_D1_1", 0x136},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_D1", 0x138},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_D0", 0x13C},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS", 0x140},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_P1", 0x148},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_L0", 0x14C},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_L1", 0x150},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_LOW_SVS_L2", 0x160},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_SVS", 0x180},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_SVS_L0", 0x190},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_SVS_L1", 0x1C0},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_SVS_L2", 0x1E0},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_NOM", 0x200},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_NOM_L0", 0x220},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_NOM_L1", 0x240},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_NOM_L2", 0x250},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_TUR", 0x280},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_TUR_L0", 0x290},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_TUR_L1", 0x2A0},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_TUR_L2", 0x2B0},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_TUR_L3", 0x2C0},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_TUR_L4", 0x2C4},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_TUR_L5", 0x2C8},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_SUPER_TURBO", 0x2D0},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_SUPER_TURBO_NO_CPR", 0x2E0},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_MAX", 0xFFFF},
    {"VEXA_DCVS_EXP_VOLTAGE_VCORNER_UNKNOWN", 0x7FFFFFFF},
};
const NameTable kDcvsExpVcorner = {
    {"VEXA_DCVS_EXP_VCORNER_DISABLE", 0},
    {"VEXA_DCVS_EXP_VCORNER_MIN", 0x100},
    {"VEXA_DCVS_EXP_VCORNER_LOW_SVS_D2", 0x134},
    {"VEXA_DCVS_EXP_VCORNER_LOW_SVS_D1", 0x138},
    {"VEXA_DCVS_EXP_VCORNER_LOW_SVS", 0x140},
    {"VEXA_DCVS_EXP_VCORNER_LOW_SVS_L0", 0x14C},
    {"VEXA_DCVS_EXP_VCORNER_SVS", 0x180},
    {"VEXA_DCVS_EXP_VCORNER_SVS_L0", 0x190},
    {"VEXA_DCVS_EXP_VCORNER_SVS_L1", 0x1C0},
    {"VEXA_DCVS_EXP_VCORNER_SVS_L2", 0x1E0},
    {"VEXA_DCVS_EXP_VCORNER_NOM", 0x200},
    {"VEXA_DCVS_EXP_VCORNER_NOM_L1", 0x240},
    {"VEXA_DCVS_EXP_VCORNER_NOM_L2", 0x250},
    {"VEXA_DCVS_EXP_VCORNER_TUR", 0x280},
    {"VEXA_DCVS_EXP_VCORNER_TUR_L1", 0x2A0},
    {"VEXA_DCVS_EXP_VCORNER_TUR_L2", 0x2B0},
    {"VEXA_DCVS_EXP_VCORNER_TUR_L3", 0x2C0},
    {"VEXA_DCVS_EXP_VCORNER_MAX", 0xFFFF},
};
const NameTable kClkPerf = {
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH", 0},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_LOW", 1},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D1", 2},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D2", 3},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D3", 4},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D4", 5},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D5", 6},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D6", 7},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D7", 8},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D8", 9},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D9", 10},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D10", 11},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D11", 12},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D12", 13},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D13", 14},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D14", 15},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_HIGH_D15", 16},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_MAX", 255},
    {"VEXA_DSP_PERF_INFRASTRUCTURE_CLK_PERF_UNKNOWN", 0x7FFFFFFF},
};
const NameTable kKmxClkPerf = {
    {"VEXA_KMX_CLK_PERF_HIGH", 0},
    {"VEXA_KMX_CLK_PERF_LOW", 1},
};

enum class Kind { Flag, Integer, Name };

struct KeyRow {
    const char* key;
    Kind kind;
    const NameTable* names;
    const char* unknownName;  // message for a name not in `names`
    Vexa_ErrorCode_t (*flag)(Vexa_VEXAPerfProfile_Handle_t, int);
    Vexa_ErrorCode_t (*integer)(Vexa_VEXAPerfProfile_Handle_t, int32_t);
    Vexa_ErrorCode_t (*name)(Vexa_VEXAPerfProfile_Handle_t, uint32_t);
};

// In the order the keys are applied.
const KeyRow kKeyTable[] = {
    {"DSP_ENABLE_DCVS_START", Kind::Flag, nullptr, nullptr, Vexa_VEXAPerfProfile_SetEnableDspDcvsStart, nullptr, nullptr},
    {"DSP_ENABLE_DCVS_DONE", Kind::Flag, nullptr, nullptr, Vexa_VEXAPerfProfile_SetEnableDspDcvsDone, nullptr, nullptr},
    {"ASYNC_VOTING_ENABLE", Kind::Flag, nullptr, nullptr, Vexa_VEXAPerfProfile_SetEnableAsyncVoting, nullptr, nullptr},
    {"DSP_SLEEP_LATENCY_START_US", Kind::Integer, nullptr, nullptr, nullptr, Vexa_VEXAPerfProfile_SetSleepLatencyStart, nullptr},
    {"DSP_SLEEP_LATENCY_DONE_US", Kind::Integer, nullptr, nullptr, nullptr, Vexa_VEXAPerfProfile_SetSleepLatencyDone, nullptr},
    {"HIGH_PERFORMANCE_MODE", Kind::Flag, nullptr, nullptr, Vexa_VEXAPerfProfile_SetHighPerformanceModeEnabled, nullptr, nullptr},
    {"DSP_HYSTERESIS_TIME_US", Kind::Integer, nullptr, nullptr, nullptr, Vexa_VEXAPerfProfile_SetDspHysteresisTime, nullptr},
    {"DSP_KMX_TIMEOUT_US", Kind::Integer, nullptr, nullptr, nullptr, Vexa_VEXAPerfProfile_SetKmxTimeoutIntervalUs, nullptr},
    {"POWERMODE_START", Kind::Name, &kPowerMode, "Invalid powermodestart value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetPowerModeStart},
    {"DCVS_VOLTAGE_CORNER_MIN_START", Kind::Name, &kDcvsVoltage, "Invalid dcvs voltage corner min start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetDcvsVoltageCornerDcvsVCornerMinStart},
    {"DCVS_VOLTAGE_CORNER_MIN_DONE", Kind::Name, &kDcvsVoltage, "Invalid dcvs voltage corner min done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetDcvsVoltageCornerDcvsVCornerMinDone},
    {"DCVS_VOLTAGE_CORNER_MAX_START", Kind::Name, &kDcvsVoltage, "Invalid dcvs voltage corner max start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetDcvsVoltageCornerDcvsVCornerMaxStart},
    {"DCVS_VOLTAGE_CORNER_MAX_DONE", Kind::Name, &kDcvsVoltage, "Invalid dcvs voltage corner max done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetDcvsVoltageCornerDcvsVCornerMaxDone},
    {"DCVS_VOLTAGE_CORNER_TARGET_START", Kind::Name, &kDcvsVoltage, "Invalid dcvs voltage corner target start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetDcvsVoltageCornerDcvsVCornerTargetStart},
    {"DCVS_VOLTAGE_CORNER_TARGET_DONE", Kind::Name, &kDcvsVoltage, "Invalid dcvs voltage corner target done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetDcvsVoltageCornerDcvsVCornerTargetDone},
    {"DSP_SLEEP_DISABLE_MS", Kind::Integer, nullptr, nullptr, nullptr, Vexa_VEXAPerfProfile_SetSleepDisable, nullptr},
    {"DSP_RPC_POLLING_TIME_US", Kind::Integer, nullptr, nullptr, nullptr, Vexa_VEXAPerfProfile_SetDspRpcPollingTime, nullptr},
    {"ADAPTIVE_POLLING_TIME_US", Kind::Integer, nullptr, nullptr, nullptr, Vexa_VEXAPerfProfile_SetAdaptivePollingTime, nullptr},
    {"BUS_VOLTAGE_CORNER_MIN_START", Kind::Name, &kDcvsVoltage, "Invalid bus voltage corner min start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerMinStart},
    {"BUS_VOLTAGE_CORNER_MIN_DONE", Kind::Name, &kDcvsVoltage, "Invalid bus voltage corner min done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerMinDone},
    {"BUS_VOLTAGE_CORNER_MAX_START", Kind::Name, &kDcvsVoltage, "Invalid bus voltage corner max start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerMaxStart},
    {"BUS_VOLTAGE_CORNER_MAX_DONE", Kind::Name, &kDcvsVoltage, "Invalid bus voltage corner max done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerMaxDone},
    {"BUS_VOLTAGE_CORNER_TARGET_START", Kind::Name, &kDcvsVoltage, "Invalid bus voltage corner target start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerTargetStart},
    {"BUS_VOLTAGE_CORNER_TARGET_DONE", Kind::Name, &kDcvsVoltage, "Invalid bus voltage corner target done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerTargetDone},
    {"CORE_VOLTAGE_CORNER_MIN_START", Kind::Name, &kDcvsVoltage, "Invalid core voltage corner min start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerminMvStart},
    {"CORE_VOLTAGE_CORNER_MIN_DONE", Kind::Name, &kDcvsVoltage, "Invalid core voltage corner min done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerMinMvDone},
    {"CORE_VOLTAGE_CORNER_MAX_START", Kind::Name, &kDcvsVoltage, "Invalid core voltage corner max start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerMaxMvStart},
    {"CORE_VOLTAGE_CORNER_MAX_DONE", Kind::Name, &kDcvsVoltage, "Invalid core voltage corner max done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerMaxMvDone},
    {"CORE_VOLTAGE_CORNER_TARGET_START", Kind::Name, &kDcvsVoltage, "Invalid core voltage corner target start value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerTargetMvStart},
    {"CORE_VOLTAGE_CORNER_TARGET_DONE", Kind::Name, &kDcvsVoltage, "Invalid core voltage corner target done value \n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerTargetMvDone},
    {"POWERMODE_DONE", Kind::Name, &kPowerMode, "Invalid powermodedone value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetPowerModeDone},
    {"FAST_INIT_ENABLE", Kind::Flag, nullptr, nullptr, Vexa_VEXAPerfProfile_SetFastInitEnabled, nullptr, nullptr},
    {"DDR_PERF_MODE_ENABLE", Kind::Flag, nullptr, nullptr, Vexa_VEXAPerfProfile_SetDdrPerfMode, nullptr, nullptr},
    {"DSP_KMX_CLOCK_PERF_MODE", Kind::Name, &kKmxClkPerf, "Invalid kmx clock perf mode value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetKmxClkPerfMode},
    {"DSP_KMX_VOLTAGE_CORNER_MIN", Kind::Name, &kDcvsExpVcorner, "Invalid kmx voltage corner min value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetKmxVoltageCornerMin},
    {"DSP_KMX_VOLTAGE_CORNER_MAX", Kind::Name, &kDcvsExpVcorner, "Invalid kmx voltage corner max value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetKmxVoltageCornerMax},
    {"DSP_KMX_VOLTAGE_CORNER_TARGET", Kind::Name, &kDcvsExpVcorner, "Invalid kmx voltage corner target value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetKmxVoltageCornerTarget},
    {"DSP_CENG_VOLTAGE_CORNER_MIN_START", Kind::Name, &kDcvsVoltage, "Invalid ceng voltage corner min start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengVoltageCornerMinStart},
    {"DSP_CENG_VOLTAGE_CORNER_TARGET_START", Kind::Name, &kDcvsVoltage, "Invalid ceng voltage corner target start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengVoltageCornerTargetStart},
    {"DSP_CENG_VOLTAGE_CORNER_MAX_START", Kind::Name, &kDcvsVoltage, "Invalid ceng voltage corner max start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengVoltageCornerMaxStart},
    {"DSP_CENG_CLOCK_PERF_MODE_START", Kind::Name, &kKmxClkPerf, "Invalid ceng clock perf mode start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengClkPerfModeStart},
    {"DSP_CENG_VOLTAGE_CORNER_MIN_DONE", Kind::Name, &kDcvsVoltage, "Invalid ceng voltage corner min done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengVoltageCornerMinDone},
    {"DSP_CENG_VOLTAGE_CORNER_TARGET_DONE", Kind::Name, &kDcvsVoltage, "Invalid ceng voltage corner target done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengVoltageCornerTargetDone},
    {"DSP_CENG_VOLTAGE_CORNER_MAX_DONE", Kind::Name, &kDcvsVoltage, "Invalid ceng voltage corner max done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengVoltageCornerMaxDone},
    {"DSP_CENG_CLOCK_PERF_MODE_DONE", Kind::Name, &kKmxClkPerf, "Invalid ceng clock perf mode done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengClkPerfModeDone},
    {"DSP_CENG_EXP_VOLTAGE_CORNER_MIN_START", Kind::Name, &kDcvsExpVoltage, "Invalid ceng exp voltage corner min start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengExpVoltageCornerMinStart},
    {"DSP_CENG_EXP_VOLTAGE_CORNER_TARGET_START", Kind::Name, &kDcvsExpVoltage, "Invalid ceng exp voltage corner target start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengExpVoltageCornerTargetStart},
    {"DSP_CENG_EXP_VOLTAGE_CORNER_MAX_START", Kind::Name, &kDcvsExpVoltage, "Invalid ceng exp voltage corner max start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengExpVoltageCornerMaxStart},
    {"DSP_CENG_EXP_CLOCK_PERF_MODE_START", Kind::Name, &kClkPerf, "Invalid ceng exp clock perf mode start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengExpClkPerfModeStart},
    {"DSP_CENG_EXP_VOLTAGE_CORNER_MIN_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid ceng exp voltage corner min done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengExpVoltageCornerMinDone},
    {"DSP_CENG_EXP_VOLTAGE_CORNER_TARGET_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid ceng exp voltage corner target done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengExpVoltageCornerTargetDone},
    {"DSP_CENG_EXP_VOLTAGE_CORNER_MAX_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid ceng exp voltage corner max done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengExpVoltageCornerMaxDone},
    {"DSP_CENG_EXP_CLOCK_PERF_MODE_DONE", Kind::Name, &kClkPerf, "Invalid ceng exp clock perf mode done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCengExpClkPerfModeDone},
    {"BUS_EXP_VOLTAGE_CORNER_MIN_START", Kind::Name, &kDcvsExpVoltage, "Invalid bus exp voltage corner min start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerExpMinMvStart},
    {"BUS_EXP_VOLTAGE_CORNER_TARGET_START", Kind::Name, &kDcvsExpVoltage, "Invalid bus exp voltage corner target start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerExpTargetMvStart},
    {"BUS_EXP_VOLTAGE_CORNER_MAX_START", Kind::Name, &kDcvsExpVoltage, "Invalid bus exp voltage corner max start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerExpMaxMvStart},
    {"BUS_EXP_VOLTAGE_CORNER_MIN_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid bus exp voltage corner min done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerExpMinMvDone},
    {"BUS_EXP_VOLTAGE_CORNER_TARGET_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid bus exp voltage corner target done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerExpTargetMvDone},
    {"BUS_EXP_VOLTAGE_CORNER_MAX_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid bus exp voltage corner max done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusVoltageCornerExpMaxMvDone},
    {"CORE_EXP_VOLTAGE_CORNER_MIN_START", Kind::Name, &kDcvsExpVoltage, "Invalid core exp voltage corner min start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerExpMinMvStart},
    {"CORE_EXP_VOLTAGE_CORNER_TARGET_START", Kind::Name, &kDcvsExpVoltage, "Invalid core exp voltage corner target start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerExpTargetMvStart},
    {"CORE_EXP_VOLTAGE_CORNER_MAX_START", Kind::Name, &kDcvsExpVoltage, "Invalid core exp voltage corner max start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerExpMaxMvStart},
    {"CORE_EXP_VOLTAGE_CORNER_MIN_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid core exp voltage corner min done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerExpMinMvDone},
    {"CORE_EXP_VOLTAGE_CORNER_TARGET_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid core exp voltage corner target done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerExpTargetMvDone},
    {"CORE_EXP_VOLTAGE_CORNER_MAX_DONE", Kind::Name, &kDcvsExpVoltage, "Invalid core exp voltage corner max done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreVoltageCornerExpMaxMvDone},
    {"CORE_CLOCK_PERF_MODE_START", Kind::Name, &kClkPerf, "Invalid core clock perf mode start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreClkPerfModeStart},
    {"CORE_CLOCK_PERF_MODE_DONE", Kind::Name, &kClkPerf, "Invalid core clock perf mode done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetCoreClkPerfModeDone},
    {"BUS_CLOCK_PERF_MODE_START", Kind::Name, &kClkPerf, "Invalid bus clock perf mode start value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusClkPerfModeStart},
    {"BUS_CLOCK_PERF_MODE_DONE", Kind::Name, &kClkPerf, "Invalid bus clock perf mode done value\n", nullptr, nullptr, Vexa_VEXAPerfProfile_SetBusClkPerfModeDone},
};

// Base-10 reading as the standard text-to-int conversion does it; false
// when no digit follows or the value leaves the 32-bit range.
bool readInt32(const std::string& text, int32_t& value) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    long long v = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > 2147483648LL) return false;
    }
    if (negative) v = -v;
    if (v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

}  // namespace

const std::vector<std::string>& knownPerfKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        for (const auto& row : kKeyTable) k.emplace_back(row.key);
        k.emplace_back("PERFORMANCE_PROFILE");
        return k;
    }();
    return keys;
}

bool validatePerfKeys(PerfParamMap map) {
    const auto& known = knownPerfKeys();
    for (const auto& [key, values] : map) {
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            std::cout << "Invalid perf parameter key : " << key << "\n";
            return false;
        }
    }
    return true;
}

bool applyPerfParams(PerfParamMap map, Vexa_VEXAPerfProfile_Handle_t profile) {
    for (const auto& row : kKeyTable) {
        const auto it = map.find(row.key);
        if (it == map.end()) continue;
        const std::string text = it->second.empty() ? std::string() : it->second.front();
        Vexa_ErrorCode_t result = 0;
        switch (row.kind) {
            case Kind::Flag: result = row.flag(profile, text == "true"); break;
            case Kind::Integer: {
                int32_t value = 0;
                if (!readInt32(text, value)) {
                    // Our wording: nothing is passed to the library for this key.
                    std::cerr << "Invalid integer value \"" << text << "\" for perf parameter key " << row.key << "\n";
                    return false;
                }
                result = row.integer(profile, value);
                break;
            }
            case Kind::Name: {
                const auto n = row.names->find(text);
                if (n == row.names->end()) {
                    std::cerr << row.unknownName;
                    return false;
                }
                result = row.name(profile, n->second);
                break;
            }
        }
        if (result != 0) {
            reportLastError();
            return false;
        }
    }
    return true;
}
