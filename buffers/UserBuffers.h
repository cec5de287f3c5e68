// User buffers of a network: one per input and output tensor, with sizes,
// strides and encodings from the model and memory owned by the run.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "buffers/DataTypes.h"
#include "platform/DspMemory.h"
#include "runtimelib/UniqueHandle.h"

using ApplicationBuffers = std::unordered_map<std::string, std::vector<uint8_t>>;

struct SharedChunk {
    uint8_t* base = nullptr;
    size_t size = 0;
    size_t offset = 0;
};

struct UserBufferContext {
    NetworkHandle net;
    std::string network;
    Vexa_UserBufferMap_Handle_t inputMap = nullptr;
    Vexa_UserBufferMap_Handle_t outputMap = nullptr;
    Vexa_UserMemoryMap_Handle_t memoryMap = nullptr;
    std::vector<UserBufferHandle>* buffers = nullptr;
    const DataTypeMap* types = nullptr;
    ApplicationBuffers* appBuffers = nullptr;
    uint32_t resizableDim = 10;
    const RpcMemBinding* rpcmem = nullptr;
    bool memoryMapped = false;
    bool shared = false;
};

uint64_t elementCount(size_t rank, const size_t* dims, uint32_t resizableDim);
TensorShapeHandle computeStrides(Vexa_TensorShape_Handle_t dims, size_t elemSize, uint32_t resizableDim);

// False after the reason has been written (the caller adds its own line).
bool createUserBuffers(UserBufferContext& ctx, SharedChunk& chunk);
bool createUserBuffer(UserBufferContext& ctx, Vexa_UserBufferMap_Handle_t map, const std::string& tensor,
                      const std::string& type, SharedChunk* chunk);
size_t sharedBufferBytes(UserBufferContext& ctx, const std::vector<std::string>& names);
