#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/DspDriver.h"

namespace {

std::string toUtf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(65001, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(65001, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::string serviceBinaryDirectory(const wchar_t* service) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0x20000);
    if (manager == nullptr) return {};
    SC_HANDLE svc = OpenServiceW(manager, service, 1);
    if (svc == nullptr) {
        CloseServiceHandle(manager);
        return {};
    }
    std::wstring path;
    DWORD needed = 0;
    bool ok = QueryServiceConfigW(svc, nullptr, 0, &needed) || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    if (ok) {
        auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(LocalAlloc(LMEM_FIXED, needed));
        ok = config != nullptr && QueryServiceConfigW(svc, config, needed, &needed);
        if (ok && config->lpBinaryPathName != nullptr) {
            path = config->lpBinaryPathName;
            const size_t slash = path.rfind(L'\\');
            if (slash != std::wstring::npos) path.erase(slash);
        }
        if (config != nullptr) LocalFree(config);
    }
    CloseServiceHandle(svc);
    CloseServiceHandle(manager);
    if (!ok) return {};
    const std::wstring root = L"\\SystemRoot";
    if (path.compare(0, root.size(), root) != 0) return {};
    wchar_t windir[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"windir", windir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return toUtf8(std::wstring(windir, n) + path.substr(root.size()));
}

bool isFastRpcEnabled() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\konspmcdm\\Enum", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    std::string instance;
    bool ok = RegGetValueA(key, nullptr, "0", RRF_RT_REG_SZ, nullptr, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        std::vector<char> buf(size);
        ok = RegGetValueA(key, nullptr, "0", RRF_RT_REG_SZ, nullptr, buf.data(), &size) == ERROR_SUCCESS;
        if (ok) instance = buf.data();
    }
    RegCloseKey(key);
    if (!ok) return false;
    const std::string path = "SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters\\NSPM\\INFO";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    size = 0;
    uint32_t value = 0;
    ok = RegGetValueA(key, nullptr, "FastRPCEnabledDSPInfo", RRF_RT_REG_BINARY, nullptr, nullptr, &size) ==
             ERROR_SUCCESS &&
         size == 1 &&
         RegGetValueA(key, nullptr, "FastRPCEnabledDSPInfo", RRF_RT_REG_BINARY, nullptr, &value, &size) ==
             ERROR_SUCCESS;
    RegCloseKey(key);
    return ok && value == 8;
}

}  // namespace

std::string dspDriverDirectory() {
    static std::once_flag once;
    static std::string directory;
    std::call_once(once, [] {
        const std::string candidate = serviceBinaryDirectory(L"konspmcdm");
        directory = !candidate.empty() && isFastRpcEnabled() ? candidate : serviceBinaryDirectory(L"koadsprpc");
    });
    return directory;
}
