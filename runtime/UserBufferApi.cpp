// Encodings, buffer attributes, user buffers, user-buffer maps and
// user-memory maps.
#include "ApiTrace.h"
#include "Network.h"
#include "runtimelib/Vexa.h"

using namespace vexart;

namespace {

Vexa_UserBufferEncoding_Handle_t makeEncoding(const char* function, uint32_t elementType, uint8_t bits,
                                              std::initializer_list<uint8_t> widths) {
    bool ok = false;
    for (uint8_t w : widths) ok = ok || w == bits;
    if (!ok) {
        return fail(VEXA_ERRORCODE_UNSUPPORTED_ENCODING,
                    std::string(function) + ": bit width " + std::to_string(bits) + " is not supported");
    }
    auto* e = new Encoding;
    e->elementType = elementType;
    e->bitWidth = bits;
    return e;
}

uint32_t intType(bool isSigned, uint8_t bits) {
    switch (bits) {
        case 8: return isSigned ? 14 : 15;
        case 16: return isSigned ? 16 : 17;
        case 32: return isSigned ? 12 : 13;
        default: return isSigned ? 19 : 20;
    }
}

Encoding* tfEncoding(void* handle, const char* function) {
    auto* e = as<Encoding>(handle, function);
    if (e != nullptr && e->elementType != 10 && e->elementType != 11) {
        setError(VEXA_ERRORCODE_INVALID_ARGUMENT, std::string(function) + ": not a TfN encoding");
        return nullptr;
    }
    return e;
}

Vexa_IUserBuffer_Handle_t makeBuffer(const char* function, void* memory, size_t size, void* strides, void* encoding) {
    auto* s = as<TensorShape>(strides, function);
    auto* e = as<Encoding>(encoding, function);
    if (s == nullptr || e == nullptr) return nullptr;
    if (memory == nullptr && size != 0) return fail(VEXA_ERRORCODE_INVALID_ARGUMENT, std::string(function) + ": null memory");
    auto* b = new UserBuffer;
    b->data = static_cast<uint8_t*>(memory);
    b->size = size;
    b->strides = s->dims;
    b->encoding = *e;
    return b;
}

}  // namespace

extern "C" {

Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingFloatN_Create(uint8_t bits) try {
    return makeEncoding("Vexa_UserBufferEncodingFloatN_Create", bits == 16 ? 3 : 1, bits, {16, 32});
} VEXA_API_CATCH

Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingTfN_Create(uint64_t stepExactly0, float stepSize,
                                                                   uint8_t bits) try {
    auto* e = static_cast<Encoding*>(
        makeEncoding("Vexa_UserBufferEncodingTfN_Create", bits == 16 ? 11 : 10, bits, {8, 16}));
    if (e != nullptr) {
        e->stepExactly0 = stepExactly0;
        e->stepSize = stepSize;
    }
    return e;
} VEXA_API_CATCH

Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingIntN_Create(uint8_t bits) try {
    return makeEncoding("Vexa_UserBufferEncodingIntN_Create", intType(true, bits), bits, {8, 16, 32, 64});
} VEXA_API_CATCH

Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingUintN_Create(uint8_t bits) try {
    return makeEncoding("Vexa_UserBufferEncodingUintN_Create", intType(false, bits), bits, {8, 16, 32, 64});
} VEXA_API_CATCH

Vexa_UserBufferEncoding_Handle_t Vexa_UserBufferEncodingBool_Create(uint8_t bits) try {
    return makeEncoding("Vexa_UserBufferEncodingBool_Create", 18, bits, {8});
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_UserBufferEncoding_Delete(Vexa_UserBufferEncoding_Handle_t encoding) try {
    auto* e = as<Encoding>(encoding, "Vexa_UserBufferEncoding_Delete");
    if (e == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete e;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_UserBufferEncoding_ElementType_t Vexa_UserBufferEncoding_GetElementType(Vexa_UserBufferEncoding_Handle_t e) try {
    auto* enc = as<Encoding>(e, "Vexa_UserBufferEncoding_GetElementType");
    return enc != nullptr ? enc->elementType : 0;
} VEXA_API_CATCH

uint64_t Vexa_UserBufferEncodingTfN_GetStepExactly0(Vexa_UserBufferEncoding_Handle_t e) try {
    auto* enc = tfEncoding(e, "Vexa_UserBufferEncodingTfN_GetStepExactly0");
    return enc != nullptr ? enc->stepExactly0 : 0;
} VEXA_API_CATCH

float Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(Vexa_UserBufferEncoding_Handle_t e) try {
    auto* enc = tfEncoding(e, "Vexa_UserBufferEncodingTfN_GetQuantizedStepSize");
    return enc != nullptr ? enc->stepSize : 0.0f;
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_UserBufferEncodingTfN_SetStepExactly0(Vexa_UserBufferEncoding_Handle_t e, uint64_t v) try {
    auto* enc = tfEncoding(e, "Vexa_UserBufferEncodingTfN_SetStepExactly0");
    if (enc == nullptr) return VEXA_ERRORCODE_INVALID_ARGUMENT;
    enc->stepExactly0 = v;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_UserBufferEncodingTfN_SetQuantizedStepSize(Vexa_UserBufferEncoding_Handle_t e, float v) try {
    auto* enc = tfEncoding(e, "Vexa_UserBufferEncodingTfN_SetQuantizedStepSize");
    if (enc == nullptr) return VEXA_ERRORCODE_INVALID_ARGUMENT;
    enc->stepSize = v;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_IBufferAttributes_Handle_t Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(Vexa_VEXA_Handle_t network,
                                                                                   const char* name,
                                                                                   const char* tensor) try {
    auto* n = as<Network>(network, "Vexa_VEXA_GetInputOutputBufferAttributesForNetwork");
    NetworkGraph* g = n != nullptr ? n->find(name, "Vexa_VEXA_GetInputOutputBufferAttributesForNetwork") : nullptr;
    if (g == nullptr || tensor == nullptr) return nullptr;
    if (!g->graph->hasValue(tensor)) {
        return fail(VEXA_ERRORCODE_NOT_FOUND, std::string("'") + tensor + "' is not a tensor of network '" + g->name + "'");
    }
    planShapes(*g);
    auto a = std::make_unique<BufferAttributes>();
    if (!nativeEncoding(*g, tensor, a->encoding)) {
        return fail(VEXA_ERRORCODE_UNSUPPORTED_ENCODING,
                    std::string("tensor '") + tensor + "' has an element type without a user-buffer encoding");
    }
    const Shape& s = g->graph->value(tensor).shape();
    a->dims.assign(s.begin(), s.end());
    return a.release();
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_IBufferAttributes_Delete(Vexa_IBufferAttributes_Handle_t attributes) try {
    auto* a = as<BufferAttributes>(attributes, "Vexa_IBufferAttributes_Delete");
    if (a == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete a;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_TensorShape_Handle_t Vexa_IBufferAttributes_GetDims(Vexa_IBufferAttributes_Handle_t attributes) try {
    auto* a = as<BufferAttributes>(attributes, "Vexa_IBufferAttributes_GetDims");
    if (a == nullptr) return nullptr;
    auto* s = new TensorShape;
    s->dims = a->dims;
    return s;
} VEXA_API_CATCH

Vexa_UserBufferEncoding_ElementType_t Vexa_IBufferAttributes_GetEncodingType(Vexa_IBufferAttributes_Handle_t a) try {
    auto* attr = as<BufferAttributes>(a, "Vexa_IBufferAttributes_GetEncodingType");
    return attr != nullptr ? attr->encoding.elementType : 0;
} VEXA_API_CATCH

Vexa_UserBufferEncoding_Handle_t Vexa_IBufferAttributes_GetEncoding_Ref(Vexa_IBufferAttributes_Handle_t a) try {
    auto* attr = as<BufferAttributes>(a, "Vexa_IBufferAttributes_GetEncoding_Ref");
    return attr != nullptr ? &attr->encoding : nullptr;
} VEXA_API_CATCH

Vexa_IUserBuffer_Handle_t Vexa_Util_CreateUserBuffer(void* buffer, size_t size, Vexa_TensorShape_Handle_t strides,
                                                     Vexa_UserBufferEncoding_Handle_t encoding) try {
    trace("Vexa_Util_CreateUserBuffer", size);
    return makeBuffer("Vexa_Util_CreateUserBuffer", buffer, size, strides, encoding);
} VEXA_API_CATCH

Vexa_IUserBuffer_Handle_t Vexa_Util_CreateUserBufferShared(void* base, size_t size, uint64_t offset,
                                                           Vexa_TensorShape_Handle_t strides,
                                                           Vexa_UserBufferEncoding_Handle_t encoding) try {
    trace("Vexa_Util_CreateUserBufferShared", size, offset);
    if (base == nullptr) return fail(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_Util_CreateUserBufferShared: null base");
    return makeBuffer("Vexa_Util_CreateUserBufferShared", static_cast<uint8_t*>(base) + offset, size, strides,
                      encoding);
} VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_IUserBuffer_Delete(Vexa_IUserBuffer_Handle_t buffer) try {
    auto* b = as<UserBuffer>(buffer, "Vexa_IUserBuffer_Delete");
    if (b == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete b;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_UserBufferEncoding_Handle_t Vexa_IUserBuffer_GetEncoding_Ref(Vexa_IUserBuffer_Handle_t buffer) try {
    auto* b = as<UserBuffer>(buffer, "Vexa_IUserBuffer_GetEncoding_Ref");
    return b != nullptr ? &b->encoding : nullptr;
} VEXA_API_CATCH

size_t Vexa_IUserBuffer_GetSize(Vexa_IUserBuffer_Handle_t buffer) try {
    auto* b = as<UserBuffer>(buffer, "Vexa_IUserBuffer_GetSize");
    return b != nullptr ? b->size : 0;
} VEXA_API_CATCH

size_t Vexa_IUserBuffer_GetOutputSize(Vexa_IUserBuffer_Handle_t buffer) try {
    auto* b = as<UserBuffer>(buffer, "Vexa_IUserBuffer_GetOutputSize");
    return b != nullptr ? b->outputSize : 0;
} VEXA_API_CATCH

Vexa_UserBufferMap_Handle_t Vexa_UserBufferMap_Create(void) try { return new UserBufferMap; } VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_UserBufferMap_Delete(Vexa_UserBufferMap_Handle_t map) try {
    auto* m = as<UserBufferMap>(map, "Vexa_UserBufferMap_Delete");
    if (m == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete m;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_UserBufferMap_Add(Vexa_UserBufferMap_Handle_t map, const char* name,
                                        Vexa_IUserBuffer_Handle_t buffer) try {
    auto* m = as<UserBufferMap>(map, "Vexa_UserBufferMap_Add");
    auto* b = as<UserBuffer>(buffer, "Vexa_UserBufferMap_Add");
    if (m == nullptr || b == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (name == nullptr) return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_UserBufferMap_Add: null name");
    m->buffers[name] = b;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_IUserBuffer_Handle_t Vexa_UserBufferMap_GetUserBuffer_Ref(Vexa_UserBufferMap_Handle_t map, const char* name) try {
    auto* m = as<UserBufferMap>(map, "Vexa_UserBufferMap_GetUserBuffer_Ref");
    if (m == nullptr || name == nullptr) return nullptr;
    const auto it = m->buffers.find(name);
    if (it == m->buffers.end()) return fail(VEXA_ERRORCODE_NOT_FOUND, std::string("no user buffer '") + name + "'");
    return it->second;
} VEXA_API_CATCH

Vexa_StringList_Handle_t Vexa_UserBufferMap_GetUserBufferNames(Vexa_UserBufferMap_Handle_t map) try {
    auto* m = as<UserBufferMap>(map, "Vexa_UserBufferMap_GetUserBufferNames");
    if (m == nullptr) return nullptr;
    auto* l = new StringList;
    for (const auto& [name, b] : m->buffers) l->items.push_back(name);
    return l;
} VEXA_API_CATCH

Vexa_UserMemoryMap_Handle_t Vexa_UserMemoryMap_Create(void) try { return new UserMemoryMap; } VEXA_API_CATCH

Vexa_ErrorCode_t Vexa_UserMemoryMap_Delete(Vexa_UserMemoryMap_Handle_t map) try {
    auto* m = as<UserMemoryMap>(map, "Vexa_UserMemoryMap_Delete");
    if (m == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    delete m;
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_UserMemoryMap_Add(Vexa_UserMemoryMap_Handle_t map, const char* name, void* address) try {
    auto* m = as<UserMemoryMap>(map, "Vexa_UserMemoryMap_Add");
    if (m == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (name == nullptr || address == nullptr) {
        return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_UserMemoryMap_Add: null name or address");
    }
    m->entries[name].push_back({address, 0, -1, 0});
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_ErrorCode_t Vexa_UserMemoryMap_AddFdOffset(Vexa_UserMemoryMap_Handle_t map, const char* name, void* address,
                                                size_t totalSize, int fd, uint64_t offset) try {
    auto* m = as<UserMemoryMap>(map, "Vexa_UserMemoryMap_AddFdOffset");
    if (m == nullptr) return VEXA_ERRORCODE_INVALID_HANDLE;
    if (name == nullptr || address == nullptr || offset > totalSize) {
        return failCode(VEXA_ERRORCODE_INVALID_ARGUMENT, "Vexa_UserMemoryMap_AddFdOffset: bad name, address or offset");
    }
    m->entries[name].push_back({address, totalSize, fd, offset});
    return VEXA_SUCCESS;
} VEXA_API_CATCH_CODE

Vexa_StringList_Handle_t Vexa_UserMemoryMap_GetUserBufferNames(Vexa_UserMemoryMap_Handle_t map) try {
    auto* m = as<UserMemoryMap>(map, "Vexa_UserMemoryMap_GetUserBufferNames");
    if (m == nullptr) return nullptr;
    auto* l = new StringList;
    for (const auto& [name, e] : m->entries) l->items.push_back(name);
    return l;
} VEXA_API_CATCH

size_t Vexa_UserMemoryMap_GetUserMemoryAddressCount(Vexa_UserMemoryMap_Handle_t map, const char* name) try {
    auto* m = as<UserMemoryMap>(map, "Vexa_UserMemoryMap_GetUserMemoryAddressCount");
    if (m == nullptr || name == nullptr) return 0;
    const auto it = m->entries.find(name);
    return it == m->entries.end() ? 0 : it->second.size();
} VEXA_API_CATCH

void* Vexa_UserMemoryMap_GetUserMemoryAddressAtIndex(Vexa_UserMemoryMap_Handle_t map, const char* name, size_t i) try {
    auto* m = as<UserMemoryMap>(map, "Vexa_UserMemoryMap_GetUserMemoryAddressAtIndex");
    if (m == nullptr || name == nullptr) return nullptr;
    const auto it = m->entries.find(name);
    if (it == m->entries.end() || i >= it->second.size()) {
        return fail(VEXA_ERRORCODE_NOT_FOUND, "Vexa_UserMemoryMap_GetUserMemoryAddressAtIndex: no such entry");
    }
    return it->second[i].address;
} VEXA_API_CATCH

uint64_t Vexa_UserMemoryMap_GetUserMemoryOffsetAtIndex(Vexa_UserMemoryMap_Handle_t map, const char* name, size_t i) try {
    auto* m = as<UserMemoryMap>(map, "Vexa_UserMemoryMap_GetUserMemoryOffsetAtIndex");
    if (m == nullptr || name == nullptr) return 0;
    const auto it = m->entries.find(name);
    if (it == m->entries.end() || i >= it->second.size()) {
        return fail<uint64_t>(VEXA_ERRORCODE_NOT_FOUND, "Vexa_UserMemoryMap_GetUserMemoryOffsetAtIndex: no such entry");
    }
    return it->second[i].offset;
} VEXA_API_CATCH

}  // extern "C"
