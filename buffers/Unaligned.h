// Element access at any byte address: shared memory-mapped buffers can
// start at odd offsets, where a typed pointer would be a misaligned access.
#pragma once

#include <cstddef>
#include <cstring>

template <typename T>
inline T loadUnaligned(const void* base, size_t index) {
    T v;
    std::memcpy(&v, static_cast<const unsigned char*>(base) + index * sizeof(T), sizeof(T));
    return v;
}

template <typename T>
inline void storeUnaligned(void* base, size_t index, T v) {
    std::memcpy(static_cast<unsigned char*>(base) + index * sizeof(T), &v, sizeof(T));
}
