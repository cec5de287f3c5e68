// The DSP shared-memory allocator's entry points, once loaded.
#pragma once

#include <cstdint>

struct RpcMemBinding {
    void* (*alloc)(int heapId, uint32_t flags, int size) = nullptr;
    void (*free)(void* p) = nullptr;
    int (*toFd)(void* p) = nullptr;
};

// Opens the allocator library from the DSP driver directory and binds its
// entry points ("rpcmem_to_fd" only when `needFd`). False after the message.
bool loadDspAllocator(RpcMemBinding& binding, bool needFd);

// Looks one entry point up; reports a missing one on standard error.
void* bindDspFunction(void* library, const char* name);
