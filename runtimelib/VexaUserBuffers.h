/* Encodings, buffer attributes, user buffers and their maps. */
#ifndef VEXA_USER_BUFFERS_H
#define VEXA_USER_BUFFERS_H

#include "VexaTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

VEXA_API Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingFloatN_Create(uint8_t bitWidth);
VEXA_API Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingTfN_Create(uint64_t stepExactly0,
                                                                           float quantizedStepSize,
                                                                           uint8_t bitWidth);
VEXA_API Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingIntN_Create(uint8_t bitWidth);
VEXA_API Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingUintN_Create(uint8_t bitWidth);
VEXA_API Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingBool_Create(uint8_t bitWidth);
VEXA_API Vexa_ErrorCode_t Vexa_UserBufferEncoding_Delete(Vexa_UserBufferEncoding_Handle_t encoding);
VEXA_API Vexa_UserBufferEncoding_ElementType_t Vexa_UserBufferEncoding_GetElementType(
    Vexa_UserBufferEncoding_Handle_t encoding);
/* TfN accessors; getters answer 0 for an encoding of another kind. */
VEXA_API uint64_t Vexa_UserBufferEncodingTfN_GetStepExactly0(Vexa_UserBufferEncoding_Handle_t encoding);
VEXA_API float Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(Vexa_UserBufferEncoding_Handle_t encoding);
VEXA_API Vexa_ErrorCode_t Vexa_UserBufferEncodingTfN_SetStepExactly0(Vexa_UserBufferEncoding_Handle_t encoding,
                                                                    uint64_t stepExactly0);
VEXA_API Vexa_ErrorCode_t Vexa_UserBufferEncodingTfN_SetQuantizedStepSize(Vexa_UserBufferEncoding_Handle_t encoding,
                                                                         float stepSize);

VEXA_API Vexa_ErrorCode_t Vexa_IBufferAttributes_Delete(Vexa_IBufferAttributes_Handle_t attributes);
VEXA_API Vexa_TensorShape_Handle_t Vexa_IBufferAttributes_GetDims(Vexa_IBufferAttributes_Handle_t attributes);
VEXA_API Vexa_UserBufferEncoding_ElementType_t Vexa_IBufferAttributes_GetEncodingType(
    Vexa_IBufferAttributes_Handle_t attributes);
VEXA_API Vexa_UserBufferEncoding_Handle_t Vexa_IBufferAttributes_GetEncoding_Ref(
    Vexa_IBufferAttributes_Handle_t attributes);

/* The buffer keeps its own copy of strides and encoding; the memory stays the caller's. */
VEXA_API Vexa_IUserBuffer_Handle_t Vexa_Util_CreateUserBuffer(void* buffer, size_t bufSize,
                                                             Vexa_TensorShape_Handle_t strides,
                                                             Vexa_UserBufferEncoding_Handle_t encoding);
/* A buffer at offset bytes inside a shared chunk starting at base. */
VEXA_API Vexa_IUserBuffer_Handle_t Vexa_Util_CreateUserBufferShared(void* base, size_t bufSize, uint64_t offset,
                                                                   Vexa_TensorShape_Handle_t strides,
                                                                   Vexa_UserBufferEncoding_Handle_t encoding);
VEXA_API Vexa_ErrorCode_t Vexa_IUserBuffer_Delete(Vexa_IUserBuffer_Handle_t buffer);
VEXA_API Vexa_UserBufferEncoding_Handle_t Vexa_IUserBuffer_GetEncoding_Ref(Vexa_IUserBuffer_Handle_t buffer);
VEXA_API size_t Vexa_IUserBuffer_GetSize(Vexa_IUserBuffer_Handle_t buffer);
VEXA_API size_t Vexa_IUserBuffer_GetOutputSize(Vexa_IUserBuffer_Handle_t buffer);

VEXA_API Vexa_UserBufferMap_Handle_t Vexa_UserBufferMap_Create(void);
VEXA_API Vexa_ErrorCode_t Vexa_UserBufferMap_Delete(Vexa_UserBufferMap_Handle_t map);
VEXA_API Vexa_ErrorCode_t Vexa_UserBufferMap_Add(Vexa_UserBufferMap_Handle_t map, const char* name,
                                                 Vexa_IUserBuffer_Handle_t buffer);
VEXA_API Vexa_IUserBuffer_Handle_t Vexa_UserBufferMap_GetUserBuffer_Ref(Vexa_UserBufferMap_Handle_t map,
                                                                       const char* name);
VEXA_API Vexa_StringList_Handle_t Vexa_UserBufferMap_GetUserBufferNames(Vexa_UserBufferMap_Handle_t map);

VEXA_API Vexa_UserMemoryMap_Handle_t Vexa_UserMemoryMap_Create(void);
VEXA_API Vexa_ErrorCode_t Vexa_UserMemoryMap_Delete(Vexa_UserMemoryMap_Handle_t map);
VEXA_API Vexa_ErrorCode_t Vexa_UserMemoryMap_Add(Vexa_UserMemoryMap_Handle_t map, const char* name, void* address);
VEXA_API Vexa_ErrorCode_t Vexa_UserMemoryMap_AddFdOffset(Vexa_UserMemoryMap_Handle_t map, const char* name,
                                                         void* address, size_t totalSize, int fd,
                                                         uint64_t offset);
VEXA_API Vexa_StringList_Handle_t Vexa_UserMemoryMap_GetUserBufferNames(Vexa_UserMemoryMap_Handle_t map);
VEXA_API size_t Vexa_UserMemoryMap_GetUserMemoryAddressCount(Vexa_UserMemoryMap_Handle_t map, const char* name);
VEXA_API void* Vexa_UserMemoryMap_GetUserMemoryAddressAtIndex(Vexa_UserMemoryMap_Handle_t map, const char* name,
                                                              size_t index);
VEXA_API uint64_t Vexa_UserMemoryMap_GetUserMemoryOffsetAtIndex(Vexa_UserMemoryMap_Handle_t map, const char* name,
                                                               size_t index);

#ifdef __cplusplus
}
#endif

#endif
