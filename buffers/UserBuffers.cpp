#include "buffers/UserBuffers.h"

#include <iostream>

#include "runtimelib/StringLists.h"

namespace {

std::vector<size_t> dimsOf(Vexa_TensorShape_Handle_t shape) {
    std::vector<size_t> dims(Vexa_TensorShape_Rank(shape));
    for (size_t i = 0; i < dims.size(); ++i) dims[i] = Vexa_TensorShape_At(shape, i);
    return dims;
}

}  // namespace

uint64_t elementCount(size_t rank, const size_t* dims, uint32_t resizableDim) {
    if (rank == 0) return 0;
    uint64_t n = 1;
    for (size_t i = 0; i < rank; ++i) n *= dims[i] == 0 ? resizableDim : dims[i];
    return n;
}

TensorShapeHandle computeStrides(Vexa_TensorShape_Handle_t dimsShape, size_t elemSize, uint32_t resizableDim) {
    const std::vector<size_t> dims = dimsOf(dimsShape);
    // A scalar is laid out as one element.
    std::vector<size_t> strides(std::max<size_t>(dims.size(), 1), elemSize);
    size_t s = elemSize;
    for (size_t i = dims.size(); i-- > 1;) {
        s *= dims[i] == 0 ? resizableDim : dims[i];
        strides[i - 1] = s;
    }
    return TensorShapeHandle(Vexa_TensorShape_CreateDimsSize(strides.data(), strides.size()));
}

size_t sharedBufferBytes(UserBufferContext& ctx, const std::vector<std::string>& names) {
    size_t total = 0;
    for (const auto& name : names) {
        const auto it = ctx.types->find(name);
        if (it == ctx.types->end()) {
            std::cerr << "DataType not specified for buffer: " << name << std::endl;
            return 0;
        }
        const BufferAttributesHandle attrs(
            Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(ctx.net.network, ctx.network.c_str(), name.c_str()));
        if (!attrs) return 0;
        const TensorShapeHandle dims(Vexa_IBufferAttributes_GetDims(attrs.get()));
        const auto d = dimsOf(dims.get());
        total += elementCount(d.size(), d.data(), ctx.resizableDim) * (DataTypeBitWidths.at(it->second) / 8);
    }
    return total;
}

bool createUserBuffer(UserBufferContext& ctx, Vexa_UserBufferMap_Handle_t map, const std::string& tensor,
                      const std::string& type, SharedChunk* chunk) {
    const uint32_t bits = DataTypeBitWidths.at(type);
    const size_t elemSize = bits / 8;
    const BufferAttributesHandle attrs(
        Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(ctx.net.network, ctx.network.c_str(), tensor.c_str()));
    if (!attrs) return false;
    const TensorShapeHandle dims(Vexa_IBufferAttributes_GetDims(attrs.get()));
    const TensorShapeHandle strides = computeStrides(dims.get(), elemSize, ctx.resizableDim);
    const uint32_t code = DataTypeElementCodes.at(type);
    const auto width = static_cast<uint8_t>(bits);
    EncodingHandle encoding;
    if (code == 1 || code == 3) {
        encoding.reset(Vexa_UserBufferEncodingFloatN_Create(width));
    } else if (code == 10 || code == 11) {
        Vexa_UserBufferEncoding_Handle_t model = Vexa_IBufferAttributes_GetEncoding_Ref(attrs.get());
        const uint32_t modelType = Vexa_UserBufferEncoding_GetElementType(model);
        const bool quantized = modelType == 10 || modelType == 11;
        encoding.reset(Vexa_UserBufferEncodingTfN_Create(
            quantized ? Vexa_UserBufferEncodingTfN_GetStepExactly0(model) : 0,
            quantized ? Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(model) : 0.0f, width));
    } else if (code == 12 || code == 14 || code == 16 || code == 19) {
        encoding.reset(Vexa_UserBufferEncodingIntN_Create(width));
    } else if (code == 13 || code == 15 || code == 17 || code == 20) {
        encoding.reset(Vexa_UserBufferEncodingUintN_Create(width));
    } else if (code == 18) {
        encoding.reset(Vexa_UserBufferEncodingBool_Create(width));
    } else {
        std::cerr << " Unknown datatype given for '" << tensor << "': " << type << std::endl;
        return false;
    }
    const auto d = dimsOf(dims.get());
    const size_t size = elementCount(d.size(), d.data(), ctx.resizableDim) * elemSize;
    UserBufferHandle buffer;
    if (ctx.shared) {
        buffer.reset(Vexa_Util_CreateUserBufferShared(chunk->base, size, chunk->offset, strides.get(), encoding.get()));
        Vexa_UserMemoryMap_AddFdOffset(ctx.memoryMap, tensor.c_str(), chunk->base, chunk->size, -1, chunk->offset);
        chunk->offset += size;
    } else if (ctx.memoryMapped) {
        // The allocator takes a 32-bit size.
        void* p = ctx.rpcmem != nullptr && size <= INT32_MAX
                      ? ctx.rpcmem->alloc(25, 1, static_cast<int>(size))
                      : nullptr;
        if (p == nullptr) {
            std::cerr << "Failed to allocate memory using the libcdsprpc library" << std::endl;
            return false;
        }
        Vexa_UserMemoryMap_Add(ctx.memoryMap, tensor.c_str(), p);
        buffer.reset(Vexa_Util_CreateUserBuffer(p, size, strides.get(), encoding.get()));
    } else {
        // A name shared by an input and an output reuses the input's vector,
        // which an earlier buffer already points into: it must not be regrown.
        auto inserted = ctx.appBuffers->emplace(tensor, std::vector<uint8_t>(size, 0));
        auto& memory = inserted.first->second;
        if (memory.size() < size) {
            std::cerr << "The buffer of '" << tensor << "' is smaller than its " << size << " bytes" << std::endl;
            return false;
        }
        buffer.reset(Vexa_Util_CreateUserBuffer(memory.data(), size, strides.get(), encoding.get()));
    }
    if (!buffer) return false;
    Vexa_UserBufferMap_Add(map, tensor.c_str(), buffer.get());
    ctx.buffers->push_back(std::move(buffer));
    return true;
}

bool createUserBuffers(UserBufferContext& ctx, SharedChunk& chunk) {
    const StringListHandle inputs(Vexa_VEXA_GetInputTensorNamesForNetwork(ctx.net.network, ctx.network.c_str()));
    if (!inputs || Vexa_StringList_Size(inputs.get()) == 0) {
        std::cerr << "Error obtaining input tensor names" << std::endl;
        return false;
    }
    const StringListHandle outputs(Vexa_VEXA_GetOutputTensorNamesForNetwork(ctx.net.network, ctx.network.c_str()));
    if (!outputs || Vexa_StringList_Size(outputs.get()) == 0) {
        std::cerr << "Error obtaining output tensor names" << std::endl;
        return false;
    }
    const auto inNames = stringListItems(inputs.get());
    const auto outNames = stringListItems(outputs.get());
    if (ctx.shared) {
        const size_t inBytes = sharedBufferBytes(ctx, inNames);
        const size_t outBytes = inBytes == 0 ? 0 : sharedBufferBytes(ctx, outNames);
        if (inBytes == 0 || outBytes == 0) return false;
        const size_t total = inBytes + outBytes;
        void* base = ctx.rpcmem != nullptr && total <= INT32_MAX
                         ? ctx.rpcmem->alloc(25, 1, static_cast<int>(total))
                         : nullptr;
        if (base == nullptr) {
            std::cerr << "Failed to allocate memory using the libcdsprpc library" << std::endl;
            return false;
        }
        chunk = {static_cast<uint8_t*>(base), total, 0};
    }
    for (const auto* names : {&inNames, &outNames}) {
        for (const auto& name : *names) {
            const auto type = ctx.types->find(name);
            if (type == ctx.types->end()) {
                std::cerr << "DataType not specified for buffer: " << name << std::endl;
                return false;
            }
            if (!createUserBuffer(ctx, names == &inNames ? ctx.inputMap : ctx.outputMap, name, type->second, &chunk)) {
                return false;
            }
        }
    }
    return true;
}
