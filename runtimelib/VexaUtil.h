/* Global settings, errors, versions, runtime lists and platform configuration. */
#ifndef VEXA_UTIL_H
#define VEXA_UTIL_H

#include "VexaTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Last failure of the calling thread. */
VEXA_API const char* Vexa_ErrorCode_GetLastErrorString(void);
VEXA_API uint32_t Vexa_ErrorCode_getLastErrorCode(void);
VEXA_API const char* Vexa_Util_GetLastError(void);

/* Flag results: non-zero on success. */
VEXA_API int Vexa_Util_InitializeLoggingPath(Vexa_LogLevel_t level, const char* logPath);
VEXA_API int Vexa_Util_SetLogLevel(Vexa_LogLevel_t level);
VEXA_API int Vexa_Util_TerminateLogging(void);
VEXA_API int Vexa_Util_AddOpPackage(const char* regLibraryPath);
VEXA_API int Vexa_Util_SetVEXAStorageLocation(const char* storagePath);
VEXA_API int Vexa_Util_IsRuntimeAvailableCheckOptionForDevice(Vexa_Runtime_t runtime,
                                                              Vexa_RuntimeCheckOption_t option,
                                                              uint32_t deviceId);

VEXA_API Vexa_DlVersion_Handle_t Vexa_Util_GetLibraryVersion(void);
VEXA_API const char* Vexa_DlVersion_ToString(Vexa_DlVersion_Handle_t version);
VEXA_API Vexa_ErrorCode_t Vexa_DlVersion_Delete(Vexa_DlVersion_Handle_t version);

VEXA_API Vexa_RuntimeList_Handle_t Vexa_RuntimeList_Create(void);
VEXA_API Vexa_ErrorCode_t Vexa_RuntimeList_Delete(Vexa_RuntimeList_Handle_t list);
/* Non-zero when the runtime cannot be added (e.g. already present). */
VEXA_API Vexa_ErrorCode_t Vexa_RuntimeList_Add(Vexa_RuntimeList_Handle_t list, Vexa_Runtime_t runtime);
VEXA_API size_t Vexa_RuntimeList_Size(Vexa_RuntimeList_Handle_t list);
VEXA_API Vexa_Runtime_t Vexa_RuntimeList_At(Vexa_RuntimeList_Handle_t list, size_t index);
/* VEXA_RUNTIME_UNSET for an unknown name. */
VEXA_API Vexa_Runtime_t Vexa_RuntimeList_StringToRuntime(const char* name);

VEXA_API Vexa_PlatformConfig_Handle_t Vexa_PlatformConfig_Create(void);
VEXA_API Vexa_ErrorCode_t Vexa_PlatformConfig_Delete(Vexa_PlatformConfig_Handle_t config);
VEXA_API int Vexa_PlatformConfig_SetPlatformOptions(Vexa_PlatformConfig_Handle_t config, const char* options);
VEXA_API int Vexa_PlatformConfig_SetPlatformOptionValue(Vexa_PlatformConfig_Handle_t config,
                                                        const char* key, const char* value);

#ifdef __cplusplus
}
#endif

#endif
