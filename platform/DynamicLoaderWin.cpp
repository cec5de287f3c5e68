#include <windows.h>
#include <psapi.h>

#include <set>
#include <vector>

#include "platform/DynamicLoader.h"
#include "platform/DynamicLoaderState.h"

using loader::failWith;
using loader::localRecord;

namespace {

bool moduleListBytes(DWORD& bytes) { return K32EnumProcessModules(GetCurrentProcess(), nullptr, 0, &bytes) != 0; }

}  // namespace

void* dlOpen(const char* path, int flags) {
    if (path == nullptr || *path == '\0') {
        HMODULE self = GetModuleHandleA(nullptr);
        return self != nullptr ? self : failWith("getting own handle failed", static_cast<void*>(nullptr));
    }
    if (flags == DL_NOLOAD || ((flags & DL_NOW) && (flags & DL_NOLOAD))) return GetModuleHandleA(path);
    if (!(flags & DL_NOW)) {
        return failWith("flags must either include DL_NOW or only specify DL_NOLOAD", static_cast<void*>(nullptr));
    }
    DWORD before = 0;
    if (!moduleListBytes(before)) {
        return failWith("enumerate modules failed before loading module", static_cast<void*>(nullptr));
    }
    HMODULE handle = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (handle == nullptr) return failWith("load library failed", static_cast<void*>(nullptr));
    DWORD after = 0;
    if (!moduleListBytes(after)) {
        FreeLibrary(handle);
        return failWith("enumerate modules failed after loading module", static_cast<void*>(nullptr));
    }
    if (before != after && (flags & DL_LOCAL)) localRecord().insert(handle);
    if (flags & DL_GLOBAL) localRecord().erase(handle);
    return handle;
}

void* dlSym(void* handle, const char* name) {
    if (handle == nullptr || name == nullptr) return nullptr;
    DWORD bytes = 0;
    if (!moduleListBytes(bytes)) {
        return failWith("enumerate modules failed before memory allocation", static_cast<void*>(nullptr));
    }
    std::vector<HMODULE> modules;
    try {
        modules.resize(bytes / sizeof(HMODULE));
    } catch (...) {
        return failWith("malloc failed", static_cast<void*>(nullptr));
    }
    if (!K32EnumProcessModules(GetCurrentProcess(), modules.data(), bytes, &bytes)) {
        return failWith("enumerate modules failed after memory allocation", static_cast<void*>(nullptr));
    }
    if (handle == DL_DEFAULT) {
        for (HMODULE m : modules) {
            if (localRecord().count(m) != 0) continue;
            if (FARPROC p = GetProcAddress(m, name)) return reinterpret_cast<void*>(p);
        }
        handle = nullptr;
    }
    FARPROC p = GetProcAddress(static_cast<HMODULE>(handle), name);
    return p != nullptr ? reinterpret_cast<void*>(p) : failWith("can't resolve symbol", static_cast<void*>(nullptr));
}

int dlClose(void* handle) {
    if (handle == nullptr) return 0;
    if (!FreeLibrary(static_cast<HMODULE>(handle))) return failWith("free library failed", -1);
    localRecord().erase(handle);
    return 0;
}

int dlAddrToPath(const void* address, std::string& path) {
    path.clear();
    if (address == nullptr) return failWith("Input address is nullptr", 0);
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module) ||
        module == nullptr) {
        return failWith("Failed to get module handle", 0);
    }
    char name[MAX_PATH];
    const DWORD n = GetModuleFileNameA(module, name, MAX_PATH);
    // A name that fills the buffer exactly was cut short (the error is set only then).
    if (n == 0 || (n == MAX_PATH && GetLastError() == ERROR_INSUFFICIENT_BUFFER)) {
        return failWith("Failed to get module file name", 0);
    }
    path.assign(name, n);
    return 1;
}
