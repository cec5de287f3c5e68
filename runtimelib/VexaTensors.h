/* String lists, shapes, shape maps, library tensors and tensor maps. */
#ifndef VEXA_TENSORS_H
#define VEXA_TENSORS_H

#include "VexaTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

VEXA_API Vexa_StringList_Handle_t Vexa_StringList_Create(void);
VEXA_API Vexa_ErrorCode_t Vexa_StringList_Delete(Vexa_StringList_Handle_t list);
VEXA_API Vexa_ErrorCode_t Vexa_StringList_Append(Vexa_StringList_Handle_t list, const char* text);
VEXA_API size_t Vexa_StringList_Size(Vexa_StringList_Handle_t list);
/* Null past the end. */
VEXA_API const char* Vexa_StringList_At(Vexa_StringList_Handle_t list, size_t index);

VEXA_API Vexa_TensorShape_Handle_t Vexa_TensorShape_Create(void);
VEXA_API Vexa_TensorShape_Handle_t Vexa_TensorShape_CreateDimsSize(const size_t* dims, size_t rank);
VEXA_API Vexa_ErrorCode_t Vexa_TensorShape_Delete(Vexa_TensorShape_Handle_t shape);
VEXA_API Vexa_ErrorCode_t Vexa_TensorShape_Concatenate(Vexa_TensorShape_Handle_t shape,
                                                       const size_t* dims, size_t count);
VEXA_API size_t Vexa_TensorShape_Rank(Vexa_TensorShape_Handle_t shape);
VEXA_API size_t Vexa_TensorShape_At(Vexa_TensorShape_Handle_t shape, size_t index);

VEXA_API Vexa_TensorShapeMap_Handle_t Vexa_TensorShapeMap_Create(void);
VEXA_API Vexa_ErrorCode_t Vexa_TensorShapeMap_Delete(Vexa_TensorShapeMap_Handle_t map);
/* The map keeps its own copy of the shape. */
VEXA_API Vexa_ErrorCode_t Vexa_TensorShapeMap_Add(Vexa_TensorShapeMap_Handle_t map, const char* name,
                                                  Vexa_TensorShape_Handle_t shape);

/* A float32 tensor of the shape, zero-filled. */
VEXA_API Vexa_ITensor_Handle_t Vexa_Util_CreateITensor(Vexa_TensorShape_Handle_t shape);
/* A tensor from NV21 bytes (count bytes), converted by the library. */
VEXA_API Vexa_ITensor_Handle_t Vexa_Util_CreateITensor_NV21(Vexa_TensorShape_Handle_t shape,
                                                            const uint8_t* data, size_t count);
VEXA_API Vexa_ErrorCode_t Vexa_ITensor_Delete(Vexa_ITensor_Handle_t tensor);
VEXA_API float* Vexa_ITensor_GetData(Vexa_ITensor_Handle_t tensor);
VEXA_API size_t Vexa_ITensor_GetSize(Vexa_ITensor_Handle_t tensor);
VEXA_API Vexa_TensorShape_Handle_t Vexa_ITensor_GetShape(Vexa_ITensor_Handle_t tensor);

/* Maps name -> tensor; an input map borrows its tensors, an output map
 * filled by an execution owns the tensors it was given. */
VEXA_API Vexa_TensorMap_Handle_t Vexa_TensorMap_Create(void);
VEXA_API Vexa_ErrorCode_t Vexa_TensorMap_Delete(Vexa_TensorMap_Handle_t map);
VEXA_API Vexa_ErrorCode_t Vexa_TensorMap_Add(Vexa_TensorMap_Handle_t map, const char* name,
                                             Vexa_ITensor_Handle_t tensor);
VEXA_API Vexa_ITensor_Handle_t Vexa_TensorMap_GetTensor_Ref(Vexa_TensorMap_Handle_t map, const char* name);
VEXA_API Vexa_StringList_Handle_t Vexa_TensorMap_GetTensorNames(Vexa_TensorMap_Handle_t map);

#ifdef __cplusplus
}
#endif

#endif
