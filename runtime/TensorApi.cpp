// Library tensors (float32) and tensor maps.
#include "ApiTrace.h"
#include "Network.h"
#include "runtimelib/Vexa.h"

using namespace vexart;

extern "C" {

Vexa_ITensor_Handle_t Vexa_Util_CreateITensor(Vexa_TensorShape_Handle_t shape) try {
    auto* s = as<TensorShape>(shape, "Vexa_Util_CreateITensor");
    if (s == nullptr) return nullptr;
    return guarded<Vexa_ITensor_Handle_t>("Vexa_Util_CreateITensor", VEXA_ERRORCODE_INVALID_ARGUMENT, nullptr, [&] {
        auto t = std::make_unique<ITensor>();
        t->shape = s->dims;
        size_t n = 1;
        for (size_t d : s->dims) n *= d;
        t->data.assign(n, 0.0f);
        return static_cast<Vexa_ITensor_Handle_t>(t.release());
    });
} VEXA_API_CATCH

Vexa_ITensor_Handle_t Vexa_Util_CreateITensor_NV21(Vexa_TensorShape_Handle_t shape, const uint8_t* data,
                                                   size_t count) try {
    auto* t = static_cast<ITensor*>(Vexa_Util_CreateITensor(shape));
    if (t == nullptr) return nullptr;
    if (data == nullptr || count != t->data.size()) {
        delete t;
        return fail(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_Util_CreateITensor_NV21: " + std::to_string(count) +
                                                         " bytes for a tensor of the shape's size");
    }
    // The planes are handed to the network as they are, one value a byte.
    for (size_t i = 0; i < count; ++i) t->data[i] = data[i];
    return t;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_ITensor_Delete(Vexa_ITensor_Handle_t tensor) try {
    auto* t = as<ITensor>(tensor, "Vexa_ITensor_Delete");
    if (t == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete t;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

float* Vexa_ITensor_GetData(Vexa_ITensor_Handle_t tensor) try {
    auto* t = as<ITensor>(tensor, "Vexa_ITensor_GetData");
    return t != nullptr ? t->data.data() : nullptr;
} VEXA_API_CATCH

size_t Vexa_ITensor_GetSize(Vexa_ITensor_Handle_t tensor) try {
    auto* t = as<ITensor>(tensor, "Vexa_ITensor_GetSize");
    return t != nullptr ? t->data.size() : 0;
} VEXA_API_CATCH

Vexa_TensorShape_Handle_t Vexa_ITensor_GetShape(Vexa_ITensor_Handle_t tensor) try {
    auto* t = as<ITensor>(tensor, "Vexa_ITensor_GetShape");
    if (t == nullptr) return nullptr;
    auto* s = new TensorShape;
    s->dims = t->shape;
    return s;
} VEXA_API_CATCH

Vexa_TensorMap_Handle_t Vexa_TensorMap_Create(void) try { return new TensorMap; } VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_TensorMap_Delete(Vexa_TensorMap_Handle_t map) try {
    auto* m = as<TensorMap>(map, "Vexa_TensorMap_Delete");
    if (m == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete m;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_TensorMap_Add(Vexa_TensorMap_Handle_t map, const char* name, Vexa_ITensor_Handle_t tensor) try {
    auto* m = as<TensorMap>(map, "Vexa_TensorMap_Add");
    auto* t = as<ITensor>(tensor, "Vexa_TensorMap_Add");
    if (m == nullptr || t == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (name == nullptr) return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_TensorMap_Add: null name");
    m->tensors[name] = t;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ITensor_Handle_t Vexa_TensorMap_GetTensor_Ref(Vexa_TensorMap_Handle_t map, const char* name) try {
    auto* m = as<TensorMap>(map, "Vexa_TensorMap_GetTensor_Ref");
    if (m == nullptr || name == nullptr) return nullptr;
    const auto it = m->tensors.find(name);
    if (it == m->tensors.end()) {
        return fail(VEXA_ERRORCODE_NOT_FOUND, std::string("no tensor '") + name + "' in the tensor map");
    }
    return it->second;
} VEXA_API_CATCH

Vexa_StringList_Handle_t Vexa_TensorMap_GetTensorNames(Vexa_TensorMap_Handle_t map) try {
    auto* m = as<TensorMap>(map, "Vexa_TensorMap_GetTensorNames");
    if (m == nullptr) return nullptr;
    auto* l = new StringList;
    for (const auto& [name, t] : m->tensors) l->items.push_back(name);
    return l;
} VEXA_API_CATCH

}  // extern "C"
