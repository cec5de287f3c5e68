/* Handle classes, codes and result conventions of the runtime library.
 *
 * Every object is an opaque pointer-sized handle; a null handle means none.
 * Handles returned by create/open/build/copy functions and by getters that
 * return a new list, shape, attribute, version or options object are owned
 * by the caller and released with the class's _Delete function; functions
 * ending in _Ref return borrowed handles. Returned text is borrowed from
 * its owner (or from the library's per-thread error state). */
#ifndef VEXA_TYPES_H
#define VEXA_TYPES_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(VEXA_BUILDING_LIBRARY)
#    define VEXA_API __declspec(dllexport)
#  else
#    define VEXA_API __declspec(dllimport)
#  endif
#else
#  define VEXA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* Vexa_DlContainer_Handle_t;
typedef void* Vexa_VEXABuilder_Handle_t;
typedef void* Vexa_VEXA_Handle_t;
typedef void* Vexa_StringList_Handle_t;
typedef void* Vexa_TensorMap_Handle_t;
typedef void* Vexa_TensorShape_Handle_t;
typedef void* Vexa_TensorShapeMap_Handle_t;
typedef void* Vexa_ITensor_Handle_t;
typedef void* Vexa_UserBufferMap_Handle_t;
typedef void* Vexa_UserMemoryMap_Handle_t;
typedef void* Vexa_IUserBuffer_Handle_t;
typedef void* Vexa_UserBufferEncoding_Handle_t;
typedef void* Vexa_IBufferAttributes_Handle_t;
typedef void* Vexa_RuntimeList_Handle_t;
typedef void* Vexa_PlatformConfig_Handle_t;
typedef void* Vexa_VEXAPerfProfile_Handle_t;
typedef void* Vexa_Options_Handle_t;
typedef void* Vexa_DlVersion_Handle_t;
typedef void* Vexa_IDiagLog_Handle_t;

/* 0 is success for every function returning an error code. */
typedef int Vexa_ErrorCode_t;
enum {
    VEXA_SUCCESS = 0,
    VEXA_ERRORCODE_GENERAL = 1,
    VEXA_ERRORCODE_INVALID_ARGUMENT = 2,
    VEXA_ERRORCODE_INVALID_HANDLE = 3,
    VEXA_ERRORCODE_NOT_FOUND = 4,
    VEXA_ERRORCODE_IO = 5,
    VEXA_ERRORCODE_RUNTIME_UNAVAILABLE = 6,
    VEXA_ERRORCODE_UNSUPPORTED_OPERATION = 7,
    VEXA_ERRORCODE_BAD_CONTAINER = 8,
    VEXA_ERRORCODE_EXECUTION = 9,
    VEXA_ERRORCODE_OUT_OF_MEMORY = 10,
    VEXA_ERRORCODE_UNSUPPORTED_ENCODING = 11,
    /* cache validation results */
    VEXA_ERRORCODE_INVALID_BUILDER_CONFIG = 101,
    VEXA_ERRORCODE_NO_CACHE_RECORDS = 307,
    VEXA_ERRORCODE_CACHE_READ_ERROR = 308,
    VEXA_ERRORCODE_CACHE_MISC = 1210,
    VEXA_ERRORCODE_CACHE_SUBOPTIMAL = 1502,
    VEXA_ERRORCODE_CACHE_INCOMPATIBLE = 1503
};

typedef uint32_t Vexa_Runtime_t;
enum {
    VEXA_RUNTIME_CPU = 0,
    VEXA_RUNTIME_GPU = 1,
    VEXA_RUNTIME_DSP = 2,
    VEXA_RUNTIME_GPU_FLOAT16 = 3,
    VEXA_RUNTIME_AIP = 5
};
/* What Vexa_RuntimeList_StringToRuntime returns for a name it does not know. */
#define VEXA_RUNTIME_UNSET ((Vexa_Runtime_t)0xFFFFFFFFu)

typedef uint32_t Vexa_RuntimeCheckOption_t;
enum {
    VEXA_RUNTIME_CHECK_OPTION_DEFAULT = 0,
    VEXA_RUNTIME_CHECK_OPTION_NORMAL_CHECK = 1,
    VEXA_RUNTIME_CHECK_OPTION_UNSIGNEDPD_CHECK = 2
};

typedef uint32_t Vexa_LogLevel_t;
enum {
    VEXA_LOG_LEVEL_FATAL = 0,
    VEXA_LOG_LEVEL_ERROR = 1,
    VEXA_LOG_LEVEL_WARN = 2,
    VEXA_LOG_LEVEL_INFO = 3,
    VEXA_LOG_LEVEL_VERBOSE = 4
};

/* Element types of user-buffer encodings. */
typedef uint32_t Vexa_UserBufferEncoding_ElementType_t;
enum {
    VEXA_ELEMENT_UNKNOWN = 0,
    VEXA_ELEMENT_FLOAT = 1,
    VEXA_ELEMENT_UNSIGNED8BIT = 2,
    VEXA_ELEMENT_FLOAT16 = 3,
    VEXA_ELEMENT_TF8 = 10,
    VEXA_ELEMENT_TF16 = 11,
    VEXA_ELEMENT_INT32 = 12,
    VEXA_ELEMENT_UINT32 = 13,
    VEXA_ELEMENT_INT8 = 14,
    VEXA_ELEMENT_UINT8 = 15,
    VEXA_ELEMENT_INT16 = 16,
    VEXA_ELEMENT_UINT16 = 17,
    VEXA_ELEMENT_BOOL8 = 18,
    VEXA_ELEMENT_INT64 = 19,
    VEXA_ELEMENT_UINT64 = 20
};

typedef uint32_t Vexa_PerfProfile_t;        /* preset code, 0..9 */
typedef uint32_t Vexa_ProfilingLevel_t;     /* off 0, basic 1, detailed 2, moderate 3, linting 4, kvas 5 */
typedef uint32_t Vexa_ExecutionPriorityHint_t; /* normal 0 .. critical_plus 7 */
typedef uint32_t Vexa_CacheCompatibilityMode_t; /* permissive 0, strict 1, always_generate_new 2 */
typedef uint32_t Vexa_DeferredInitMode_t;   /* none 0, weights 1, spill-fill 2, all 3 */

#ifdef __cplusplus
}
#endif

#endif
