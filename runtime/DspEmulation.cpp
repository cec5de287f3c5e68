#include "DspEmulation.h"

#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using GetCapability = int (*)(uint32_t, uint32_t, uint8_t*, uint32_t*);

bool read(GetCapability fn, uint32_t index, void* out, uint32_t bytes) {
    std::vector<uint8_t> buffer(bytes);
    uint32_t size = bytes;
    if (fn(2, index, buffer.data(), &size) != 0 || size != bytes) return false;
    std::memcpy(out, buffer.data(), bytes);
    return true;
}

}  // namespace

uint32_t reportedDspArch() {
    static const uint32_t arch = [] {
        // The service lives beside this library; the search path is the fallback.
        std::string path = "libKoSoCServiceUtils.so";
        Dl_info self{};
        if (dladdr(reinterpret_cast<void*>(&reportedDspArch), &self) != 0 && self.dli_fname != nullptr) {
            const std::string own = self.dli_fname;
            const size_t slash = own.rfind('/');
            if (slash != std::string::npos) path = own.substr(0, slash + 1) + path;
        }
        void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr && path.find('/') != std::string::npos) lib = dlopen("libKoSoCServiceUtils.so", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return uint32_t{0};
        uint32_t result = 0;
        if (auto fn = reinterpret_cast<GetCapability>(dlsym(lib, "Soc_GetCapability"))) {
            uint64_t count = 0;
            if (read(fn, 3, &count, 8) && count > 0) read(fn, 16, &result, 4);
        }
        dlclose(lib);
        return result;
    }();
    return arch;
}
