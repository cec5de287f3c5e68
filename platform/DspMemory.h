// The DSP shared-memory allocator's entry points, once loaded.
#pragma once

#include <cstdint>

struct RpcMemBinding {
    void* (*alloc)(int heapId, uint32_t flags, int size) = nullptr;
    void (*free)(void* p) = nullptr;
    int (*toFd)(void* p) = nullptr;
};
