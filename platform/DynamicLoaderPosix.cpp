#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <set>

#include "platform/DynamicLoader.h"
#include "platform/DynamicLoaderState.h"

using loader::failWith;
using loader::localRecord;

void* dlOpen(const char* path, int flags) {
    if (path == nullptr || *path == '\0') {
        void* self = dlopen(nullptr, RTLD_NOW);
        return self != nullptr ? self : failWith("getting own handle failed", static_cast<void*>(nullptr));
    }
    if (flags == DL_NOLOAD || ((flags & DL_NOW) && (flags & DL_NOLOAD))) {
        return dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    }
    if (!(flags & DL_NOW)) {
        return failWith("flags must either include DL_NOW or only specify DL_NOLOAD", static_cast<void*>(nullptr));
    }
    // Whether this call brings the library into the process decides the local record.
    void* before = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (before != nullptr) dlclose(before);
    void* handle = dlopen(path, RTLD_NOW | ((flags & DL_GLOBAL) ? RTLD_GLOBAL : RTLD_LOCAL));
    if (handle == nullptr) return failWith("load library failed", static_cast<void*>(nullptr));
    if (before == nullptr && (flags & DL_LOCAL)) localRecord().insert(handle);
    if (flags & DL_GLOBAL) localRecord().erase(handle);
    return handle;
}

void* dlSym(void* handle, const char* name) {
    if (handle == nullptr || name == nullptr) return nullptr;
    if (handle == DL_DEFAULT) {
        struct Search {
            const char* name;
            void* found;
        } search{name, nullptr};
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* data) {
                auto* s = static_cast<Search*>(data);
                void* lib = dlopen(info->dlpi_name[0] != '\0' ? info->dlpi_name : nullptr, RTLD_NOW | RTLD_NOLOAD);
                if (lib == nullptr) return 0;
                const bool local = localRecord().count(lib) != 0;
                void* sym = local ? nullptr : dlsym(lib, s->name);
                dlclose(lib);
                if (sym == nullptr) return 0;
                s->found = sym;
                return 1;
            },
            &search);
        return search.found != nullptr ? search.found : failWith("can't resolve symbol", static_cast<void*>(nullptr));
    }
    void* sym = dlsym(handle, name);
    return sym != nullptr ? sym : failWith("can't resolve symbol", static_cast<void*>(nullptr));
}

int dlClose(void* handle) {
    if (handle == nullptr) return 0;
    if (dlclose(handle) != 0) return failWith("free library failed", -1);
    localRecord().erase(handle);
    return 0;
}

int dlAddrToPath(const void* address, std::string& path) {
    path.clear();
    if (address == nullptr) return failWith("Input address is nullptr", 0);
    Dl_info info{};
    struct link_map* map = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || info.dli_fname == nullptr) {
        return failWith("Failed to get module handle", 0);
    }
    // The main program's entry (empty link-map name) carries its name as it
    // was started, which is no path when it was found through PATH.
    const bool mainProgram = map != nullptr && (map->l_name == nullptr || map->l_name[0] == '\0');
    char resolved[PATH_MAX];
    if (realpath(mainProgram ? "/proc/self/exe" : info.dli_fname, resolved) == nullptr) {
        return failWith("Failed to get module file name", 0);
    }
    path = resolved;
    return 1;
}
