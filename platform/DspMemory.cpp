#include "platform/DspMemory.h"

#include <iostream>
#include <string>

#include "platform/DspDriver.h"
#include "platform/DynamicLoader.h"

namespace {

#if defined(_WIN32)
constexpr const char* kAllocatorLibrary = "libcdsprpc.dll";
#else
constexpr const char* kAllocatorLibrary = "libcdsprpc.so";
#endif

template <typename F>
bool bind(void* library, const char* name, F& target) {
    target = reinterpret_cast<F>(bindDspFunction(library, name));
    if (target != nullptr) return true;
    std::cerr << "Error: could not access " << name << std::endl;
    return false;
}

}  // namespace

void* bindDspFunction(void* library, const char* name) {
    void* f = dlSym(library, name);
    if (f == nullptr) std::cerr << "Function is unavailable: " << name << std::endl;
    return f;
}

bool loadDspAllocator(RpcMemBinding& binding, bool needFd) {
    // Never closed: the allocations live as long as the run.
    void* library = dlOpen(joinLibraryPath(dspDriverDirectory(), kAllocatorLibrary).c_str(), DL_NOW | DL_GLOBAL);
    if (library == nullptr) {
        std::cerr << "Error: could not open libcdsprpc.so " << std::endl;
        return false;
    }
    return bind(library, "rpcmem_alloc", binding.alloc) && bind(library, "rpcmem_free", binding.free) &&
           (!needFd || bind(library, "rpcmem_to_fd", binding.toFd));
}
