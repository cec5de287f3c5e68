/* Containers, the network builder, the built network instance and its
 * diagnostic log. */
#ifndef VEXA_NETWORK_H
#define VEXA_NETWORK_H

#include "VexaTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

VEXA_API Vexa_DlContainer_Handle_t Vexa_DlContainer_Open(const char* path);
/* The bytes must outlive the container handle. */
VEXA_API Vexa_DlContainer_Handle_t Vexa_DlContainer_OpenBuffer(const uint8_t* buffer, size_t size);
VEXA_API Vexa_ErrorCode_t Vexa_DlContainer_Delete(Vexa_DlContainer_Handle_t container);
VEXA_API Vexa_ErrorCode_t Vexa_DlContainer_Save(Vexa_DlContainer_Handle_t container, const char* path);

VEXA_API Vexa_VEXABuilder_Handle_t Vexa_VEXABuilder_Create(Vexa_DlContainer_Handle_t container);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_Delete(Vexa_VEXABuilder_Handle_t builder);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetPerformanceProfile(Vexa_VEXABuilder_Handle_t builder,
                                                                Vexa_PerfProfile_t profile);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetCustomPerfProfile(Vexa_VEXABuilder_Handle_t builder,
                                                               Vexa_VEXAPerfProfile_Handle_t profile);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_NetworkInit(Vexa_VEXABuilder_Handle_t builder,
                                                      Vexa_StringList_Handle_t networkNames);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetOutputLayers(Vexa_VEXABuilder_Handle_t builder,
                                                          Vexa_StringList_Handle_t layers);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetOutputLayersForNetwork(Vexa_VEXABuilder_Handle_t builder,
                                                                    const char* network,
                                                                    Vexa_StringList_Handle_t layers);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetOutputTensors(Vexa_VEXABuilder_Handle_t builder,
                                                           Vexa_StringList_Handle_t tensors);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetOutputTensorsForNetwork(Vexa_VEXABuilder_Handle_t builder,
                                                                     const char* network,
                                                                     Vexa_StringList_Handle_t tensors);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetInputDimensions(Vexa_VEXABuilder_Handle_t builder,
                                                             Vexa_TensorShapeMap_Handle_t dims);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetInputDimensionsForNetwork(Vexa_VEXABuilder_Handle_t builder,
                                                                       const char* network,
                                                                       Vexa_TensorShapeMap_Handle_t dims);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetDebugMode(Vexa_VEXABuilder_Handle_t builder, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetProfilingLevel(Vexa_VEXABuilder_Handle_t builder,
                                                            Vexa_ProfilingLevel_t level);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetExecutionPriorityHint(Vexa_VEXABuilder_Handle_t builder,
                                                                   Vexa_ExecutionPriorityHint_t hint);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetUseUserSuppliedBuffers(Vexa_VEXABuilder_Handle_t builder, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetPlatformConfig(Vexa_VEXABuilder_Handle_t builder,
                                                            Vexa_PlatformConfig_Handle_t config);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetInitCacheMode(Vexa_VEXABuilder_Handle_t builder, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetRuntimeProcessorOrder(Vexa_VEXABuilder_Handle_t builder,
                                                                   Vexa_RuntimeList_Handle_t order);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetUnconsumedTensorsAsOutputs(Vexa_VEXABuilder_Handle_t builder, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetTimeOut(Vexa_VEXABuilder_Handle_t builder, uint64_t microseconds);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetSingleThreadedInit(Vexa_VEXABuilder_Handle_t builder, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetCpuFixedPointMode(Vexa_VEXABuilder_Handle_t builder, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetAcceleratedInit(Vexa_VEXABuilder_Handle_t builder, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetModelName(Vexa_VEXABuilder_Handle_t builder, const char* name);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetCacheCompatibilityMode(Vexa_VEXABuilder_Handle_t builder,
                                                                    Vexa_CacheCompatibilityMode_t mode);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetCpuZmxMode(Vexa_VEXABuilder_Handle_t builder, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetDeferredInit(Vexa_VEXABuilder_Handle_t builder,
                                                          Vexa_DeferredInitMode_t mode);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetMemoryLimitHint(Vexa_VEXABuilder_Handle_t builder, uint64_t megabytes);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_SetFileReadMemoryBudget(Vexa_VEXABuilder_Handle_t builder,
                                                                  uint64_t megabytes);
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_RegisterMultiContext(Vexa_VEXABuilder_Handle_t builder,
                                                               uint64_t groupId, uint64_t maxSpillFillBuffer);
/* Cache validation result code (0 when the selected record is usable). */
VEXA_API Vexa_ErrorCode_t Vexa_VEXABuilder_ValidateCache(Vexa_VEXABuilder_Handle_t builder);
VEXA_API Vexa_VEXA_Handle_t Vexa_VEXABuilder_Build(Vexa_VEXABuilder_Handle_t builder);

VEXA_API Vexa_ErrorCode_t Vexa_VEXA_Delete(Vexa_VEXA_Handle_t network);
VEXA_API const char* Vexa_VEXA_GetModelVersion(Vexa_VEXA_Handle_t network);
VEXA_API Vexa_StringList_Handle_t Vexa_VEXA_GetNetworkNames(Vexa_VEXA_Handle_t network);
VEXA_API Vexa_StringList_Handle_t Vexa_VEXA_GetInputTensorNamesForNetwork(Vexa_VEXA_Handle_t network,
                                                                         const char* networkName);
VEXA_API Vexa_StringList_Handle_t Vexa_VEXA_GetOutputTensorNamesForNetwork(Vexa_VEXA_Handle_t network,
                                                                          const char* networkName);
VEXA_API Vexa_TensorShape_Handle_t Vexa_VEXA_GetInputDimensionsForNetwork(Vexa_VEXA_Handle_t network,
                                                                         const char* networkName,
                                                                         const char* tensorName);
VEXA_API Vexa_IBufferAttributes_Handle_t Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(
    Vexa_VEXA_Handle_t network, const char* networkName, const char* tensorName);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_ExecuteITensorsForNetwork(Vexa_VEXA_Handle_t network, const char* networkName,
                                                             Vexa_TensorMap_Handle_t inputs,
                                                             Vexa_TensorMap_Handle_t outputs);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_ExecuteUserBuffersForNetwork(Vexa_VEXA_Handle_t network, const char* networkName,
                                                                Vexa_UserBufferMap_Handle_t inputs,
                                                                Vexa_UserBufferMap_Handle_t outputs);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_RegisterUserMemoryMappedBuffersForNetwork(Vexa_VEXA_Handle_t network,
                                                                             const char* networkName,
                                                                             Vexa_UserMemoryMap_Handle_t memory);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_DeregisterUserMemoryMappedBuffersForNetwork(Vexa_VEXA_Handle_t network,
                                                                               const char* networkName,
                                                                               Vexa_StringList_Handle_t names);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_SetCustomPerfProfile(Vexa_VEXA_Handle_t network,
                                                        Vexa_VEXAPerfProfile_Handle_t profile);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_SetDspVtcmRetention(Vexa_VEXA_Handle_t network, const char* networkName, int on);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_GetSpillFillBufferSize(Vexa_VEXA_Handle_t network, uint64_t* size);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_GetWeightsBufferSize(Vexa_VEXA_Handle_t network, uint64_t* size);
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_GetBufferAlignment(Vexa_VEXA_Handle_t network, uint32_t* alignment);
/* Descriptors of application-allocated shared memory, -1 for none. */
VEXA_API Vexa_ErrorCode_t Vexa_VEXA_Finalize(Vexa_VEXA_Handle_t network, int spillFillFd, int weightsFd);

VEXA_API Vexa_IDiagLog_Handle_t Vexa_VEXA_GetDiagLogInterface_Ref(Vexa_VEXA_Handle_t network);
VEXA_API Vexa_Options_Handle_t Vexa_IDiagLog_GetOptions(Vexa_IDiagLog_Handle_t diagLog);
VEXA_API Vexa_ErrorCode_t Vexa_IDiagLog_SetOptions(Vexa_IDiagLog_Handle_t diagLog, Vexa_Options_Handle_t options);
VEXA_API Vexa_ErrorCode_t Vexa_IDiagLog_Start(Vexa_IDiagLog_Handle_t diagLog);
VEXA_API Vexa_ErrorCode_t Vexa_Options_Delete(Vexa_Options_Handle_t options);
VEXA_API Vexa_ErrorCode_t Vexa_Options_SetLogFileDirectory(Vexa_Options_Handle_t options, const char* directory);

#ifdef __cplusplus
}
#endif

#endif
