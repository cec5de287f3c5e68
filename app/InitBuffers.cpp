#include "app/InitBuffers.h"

#include <iostream>

namespace {

struct InitBuffer {
    void* allocation = nullptr;  // what the allocator returned, for release
    int fd = -1;
};

// Allocates alignment + size - 1 bytes and finds the aligned start inside.
bool allocate(const RpcMemBinding& rpc, uint64_t size, uint32_t alignment, InitBuffer& buffer, const char* allocError,
              const char* fdError) {
    if (size == 0) return true;
    const uint32_t bytes = static_cast<uint32_t>(alignment + size - 1);  // the allocator takes 32 bits
    buffer.allocation = rpc.alloc(25, 1, static_cast<int>(bytes));
    if (buffer.allocation == nullptr) {
        std::cerr << allocError;
        return false;
    }
    const auto start = reinterpret_cast<uintptr_t>(buffer.allocation);
    const uintptr_t aligned = (start + alignment - 1) / alignment * alignment;
    buffer.fd = rpc.toFd(reinterpret_cast<void*>(aligned));
    if (buffer.fd == -1) {
        std::cerr << fdError;
        return false;
    }
    return true;
}

}  // namespace

bool prepareInitBuffers(const RunConfig& config, RunHandles& run) {
    Vexa_VEXA_Handle_t net = run.network.get();
    const uint32_t mode = config.deferredInitMode;
    uint64_t spillSize = 0, weightSize = 0;
    uint32_t alignment = 0;
    if ((mode == 2 || mode == 3) && Vexa_VEXA_GetSpillFillBufferSize(net, &spillSize) != 0) return false;
    if ((mode == 1 || mode == 3) && Vexa_VEXA_GetWeightsBufferSize(net, &weightSize) != 0) return false;
    if (mode != 0 && Vexa_VEXA_GetBufferAlignment(net, &alignment) != 0) return false;
    if (alignment == 0) alignment = 1;  // no alignment asked for

    if (config.userbufferMemoryMapped || mode != 0) {
        if (!loadDspAllocator(run.rpcmemBinding, mode != 0)) return false;
        run.rpcmem = &run.rpcmemBinding;
    }
    if (mode == 0) return true;

    InitBuffer spill, weights;
    const RpcMemBinding& rpc = run.rpcmemBinding;
    const bool ok =
        allocate(rpc, spillSize, alignment, spill, "rpcmem_alloc failure for spill fill buffer",
                 "rpcmem_to_fd failure for spillFillBufferPtr") &&
        allocate(rpc, weightSize, alignment, weights, "rpcmem_alloc failure for weights buffer",
                 "rpcmem_to_fd failure for weightsBufferPtr");
    bool finalized = false;
    if (ok) {
        finalized = Vexa_VEXA_Finalize(net, spill.fd, weights.fd) == 0;
        if (!finalized) std::cerr << "VEXA Finalize failed";
    }
    // The library keeps what it needs through the descriptors.
    if (spill.allocation != nullptr) rpc.free(spill.allocation);
    if (weights.allocation != nullptr) rpc.free(weights.allocation);
    return ok && finalized;
}
