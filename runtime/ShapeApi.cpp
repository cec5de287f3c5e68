// String lists, tensor shapes and shape maps.
#include <string>

#include "ApiTrace.h"
#include "Objects.h"
#include "runtimelib/Vexa.h"

using namespace vexart;

static std::string dimsText(const std::vector<size_t>& dims) {
    std::string text = "[";
    for (size_t i = 0; i < dims.size(); ++i) text += (i != 0 ? "," : "") + std::to_string(dims[i]);
    return text + "]";
}

template <typename T>
static Vexa_ErrorCode_t destroy(void* handle, const char* function) {
    auto* object = as<T>(handle, function);
    if (object == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete object;
    return VEXA_SUCCESS;
}

extern "C" {

Vexa_StringList_Handle_t Vexa_StringList_Create(void) try { return new StringList; } VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_StringList_Delete(Vexa_StringList_Handle_t list) try {
    return destroy<StringList>(list, "Vexa_StringList_Delete");
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_StringList_Append(Vexa_StringList_Handle_t list, const char* text) try {
    auto* l = as<StringList>(list, "Vexa_StringList_Append");
    if (l == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (text == nullptr) return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_StringList_Append: null text");
    l->items.emplace_back(text);
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

size_t Vexa_StringList_Size(Vexa_StringList_Handle_t list) try {
    auto* l = as<StringList>(list, "Vexa_StringList_Size");
    return l != nullptr ? l->items.size() : 0;
} VEXA_API_CATCH

const char* Vexa_StringList_At(Vexa_StringList_Handle_t list, size_t index) try {
    auto* l = as<StringList>(list, "Vexa_StringList_At");
    if (l == nullptr) return nullptr;
    if (index >= l->items.size()) {
        return fail<const char*>(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_StringList_At: index out of range");
    }
    return l->items[index].c_str();
} VEXA_API_CATCH

Vexa_TensorShape_Handle_t Vexa_TensorShape_Create(void) try { return new TensorShape; } VEXA_API_CATCH

Vexa_TensorShape_Handle_t Vexa_TensorShape_CreateDimsSize(const size_t* dims, size_t rank) try {
    if (dims == nullptr && rank != 0) {
        return fail(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_TensorShape_CreateDimsSize: null dimensions");
    }
    auto* s = new TensorShape;
    s->dims.assign(dims, dims + rank);
    return s;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_TensorShape_Delete(Vexa_TensorShape_Handle_t shape) try {
    return destroy<TensorShape>(shape, "Vexa_TensorShape_Delete");
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_TensorShape_Concatenate(Vexa_TensorShape_Handle_t shape, const size_t* dims, size_t count) try {
    auto* s = as<TensorShape>(shape, "Vexa_TensorShape_Concatenate");
    if (s == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (dims == nullptr && count != 0) {
        return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_TensorShape_Concatenate: null dimensions");
    }
    s->dims.insert(s->dims.end(), dims, dims + count);
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

size_t Vexa_TensorShape_Rank(Vexa_TensorShape_Handle_t shape) try {
    auto* s = as<TensorShape>(shape, "Vexa_TensorShape_Rank");
    return s != nullptr ? s->dims.size() : 0;
} VEXA_API_CATCH

size_t Vexa_TensorShape_At(Vexa_TensorShape_Handle_t shape, size_t index) try {
    auto* s = as<TensorShape>(shape, "Vexa_TensorShape_At");
    if (s == nullptr) return 0;
    if (index >= s->dims.size()) {
        return fail<size_t>(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_TensorShape_At: index out of range");
    }
    return s->dims[index];
} VEXA_API_CATCH

Vexa_TensorShapeMap_Handle_t Vexa_TensorShapeMap_Create(void) try {
    trace("Vexa_TensorShapeMap_Create");
    return new TensorShapeMap;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_TensorShapeMap_Delete(Vexa_TensorShapeMap_Handle_t map) try {
    return destroy<TensorShapeMap>(map, "Vexa_TensorShapeMap_Delete");
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_TensorShapeMap_Add(Vexa_TensorShapeMap_Handle_t map, const char* name,
                                         Vexa_TensorShape_Handle_t shape) try {
    auto* m = as<TensorShapeMap>(map, "Vexa_TensorShapeMap_Add");
    auto* s = as<TensorShape>(shape, "Vexa_TensorShapeMap_Add");
    if (m == nullptr || s == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (traceFile() != nullptr) trace("Vexa_TensorShapeMap_Add", map, name, dimsText(s->dims).c_str());
    if (name == nullptr) return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_TensorShapeMap_Add: null name");
    m->shapes[name] = s->dims;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

}  // extern "C"
