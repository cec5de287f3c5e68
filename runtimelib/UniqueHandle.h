// Owning wrapper for a runtime-library handle: released once, through the
// class's own delete function, when the owner goes away.
#pragma once

#include <utility>

#include "runtimelib/Vexa.h"

template <Vexa_ErrorCode_t (*Delete)(void*)>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(void* handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    ~UniqueHandle() { reset(); }

    void reset(void* handle = nullptr) {
        if (handle_ != nullptr) Delete(handle_);
        handle_ = handle;
    }
    void* release() { return std::exchange(handle_, nullptr); }
    void* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

using RuntimeListHandle = UniqueHandle<Vexa_RuntimeList_Delete>;
using PlatformConfigHandle = UniqueHandle<Vexa_PlatformConfig_Delete>;
using DlContainerHandle = UniqueHandle<Vexa_DlContainer_Delete>;
using BuilderHandle = UniqueHandle<Vexa_VEXABuilder_Delete>;
using NetworkHandleOwner = UniqueHandle<Vexa_VEXA_Delete>;
using StringListHandle = UniqueHandle<Vexa_StringList_Delete>;
using TensorShapeHandle = UniqueHandle<Vexa_TensorShape_Delete>;
using TensorShapeMapHandle = UniqueHandle<Vexa_TensorShapeMap_Delete>;
using TensorMapHandle = UniqueHandle<Vexa_TensorMap_Delete>;
using ITensorHandle = UniqueHandle<Vexa_ITensor_Delete>;
using UserBufferMapHandle = UniqueHandle<Vexa_UserBufferMap_Delete>;
using UserMemoryMapHandle = UniqueHandle<Vexa_UserMemoryMap_Delete>;
using UserBufferHandle = UniqueHandle<Vexa_IUserBuffer_Delete>;
using EncodingHandle = UniqueHandle<Vexa_UserBufferEncoding_Delete>;
using BufferAttributesHandle = UniqueHandle<Vexa_IBufferAttributes_Delete>;
using PerfProfileHandle = UniqueHandle<Vexa_VEXAPerfProfile_Delete>;
using OptionsHandle = UniqueHandle<Vexa_Options_Delete>;
using DlVersionHandle = UniqueHandle<Vexa_DlVersion_Delete>;
