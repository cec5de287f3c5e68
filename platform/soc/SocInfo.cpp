#include "platform/soc/SocInfo.h"

#include <cstring>
#include <map>
#include <stdexcept>

#include "platform/DspDriver.h"
#include "platform/DynamicLoader.h"
#include "platform/soc/Firmware.h"

namespace soc {
namespace {

#if defined(_WIN32)
const char* const kSystemInfoLib = "ZdnSystemInfo.dll";
const char* const kServiceUtilsLib = "KoSoCServiceUtils.dll";
#else
const char* const kSystemInfoLib = "libZdnSystemInfo.so";
const char* const kServiceUtilsLib = "libKoSoCServiceUtils.so";
#endif

// The chip maker's product data; none is shipped, so detection only decides
// between "this machine" and "unknown" and the library is the DSP source.
struct ChipRow {
    int32_t id;
    const char* name;
    std::vector<DspDevice> dsps;
};
const std::vector<ChipRow> kChips = {};

uint64_t fnv1a(uint64_t value) {
    uint64_t h = 14695981039346656037ull;
    for (int i = 0; i < 8; ++i) {
        h ^= (value >> (8 * i)) & 0xFF;
        h *= 1099511628211ull;
    }
    return h;
}
const std::map<uint64_t, int32_t> kIdentityMap = {};

uint64_t le64(const std::vector<uint8_t>& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[at + static_cast<size_t>(i)];
    return v;
}

struct ServiceLibrary {
    void* handle = nullptr;
    std::string file;
    void* apiVersion = nullptr;
    GetCapabilityFn capability = nullptr;
    void* serialized = nullptr;
    ~ServiceLibrary() { dlClose(handle); }
};

void loadServiceLibrary(ServiceLibrary& lib) {
    std::string exeDir;
    static int anchor;
    if (dlAddrToPath(&anchor, exeDir) != 0) {
        const size_t slash = exeDir.find_last_of("/\\");
        exeDir = slash == std::string::npos ? std::string() : exeDir.substr(0, slash + 1);
    }
    // Without a driver directory "KTP" would be relative to the current
    // directory, a place anyone may put a library in: that candidate is skipped.
    const std::string driverDir = dspDriverDirectory();
    const std::string ktp = driverDir.empty() ? std::string() : joinLibraryPath(driverDir, "KTP");
    const std::pair<std::string, const char*> candidates[] = {
        {joinLibraryPath(exeDir, kSystemInfoLib), kSystemInfoLib},
        {joinLibraryPath(exeDir, kServiceUtilsLib), kServiceUtilsLib},
        {ktp.empty() ? std::string() : joinLibraryPath(ktp, kSystemInfoLib), kSystemInfoLib},
        {kServiceUtilsLib, kServiceUtilsLib},
    };
    for (const auto& [path, file] : candidates) {
        if (path.empty()) continue;
        lib.handle = dlOpen(path.c_str(), DL_NOW | DL_LOCAL);
        if (lib.handle == nullptr) continue;
        lib.file = file;
        lib.apiVersion = dlSym(lib.handle, "Soc_GetAPIVersion");
        lib.capability = reinterpret_cast<GetCapabilityFn>(dlSym(lib.handle, "Soc_GetCapability"));
        if (lib.file == kSystemInfoLib) lib.serialized = dlSym(lib.handle, "Soc_GetCapabilitySerialized");
        return;
    }
}

uint64_t readInteger(GetCapabilityFn fn, uint32_t key, uint32_t index, size_t bytes) {
    const auto data = getCapability(fn, key, index);
    if (data.size() != bytes) throw std::runtime_error("Get Capability fail for integer type");
    uint64_t v = 0;
    std::memcpy(&v, data.data(), bytes);
    return v;
}

}  // namespace

std::vector<uint8_t> getCapability(GetCapabilityFn fn, uint32_t key, uint32_t index) {
    if (fn == nullptr) throw std::runtime_error("SoCServiceUtils/ZdnSystemInfo not loaded");
    uint32_t size = 4;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<uint8_t> buffer(size, 0);
        const int status = fn(key, index, buffer.data(), &size);
        if (status == 0) {
            buffer.resize(std::min<size_t>(size, buffer.size()));
            return buffer;
        }
        if (status != 5) break;
    }
    throw std::runtime_error("GetCapability failed");
}

const std::vector<DspDevice>& SocInfo::dspDevices() {
    std::call_once(once_, [this] { dsps_ = queryDspDevices(); });
    return dsps_;
}

std::vector<DspDevice> HybridSocInfo::queryDspDevices() {
    ServiceLibrary lib;
    loadServiceLibrary(lib);
    const bool complete = lib.handle != nullptr && lib.apiVersion != nullptr && lib.capability != nullptr &&
                          (lib.file != kSystemInfoLib || lib.serialized != nullptr);
    if (!complete) return builtinDsps_;
    try {
        const uint64_t count = readInteger(lib.capability, 2, 3, 8);
        std::vector<DspDevice> devices;
        for (uint32_t k = 0; k < count && k < 16; ++k) {
            const auto arch = static_cast<uint32_t>(readInteger(lib.capability, 2, 16 + k, 4));
            const auto name = getCapability(lib.capability, 2, 32 + k);
            devices.push_back({std::string(name.begin(), name.end()), arch});
        }
        return devices;
    } catch (const std::runtime_error&) {
        return builtinDsps_;
    }
}

int32_t detectChip() {
    static const int32_t chip = [] {
        const auto facp = readFirmwareTable("FACP");
        if (facp.size() >= 28) {
            uint32_t oemRevision = 0;
            std::memcpy(&oemRevision, facp.data() + 24, 4);
            // The fixed identifier for this revision is product data not shipped here.
            if (oemRevision == 0x8180) return int32_t{0};
        }
        const auto pptt = readFirmwareTable("PPTT");
        for (size_t i = 36; i + 24 <= pptt.size(); ++i) {
            if (pptt[i] != 2) continue;
            const uint64_t identity = le64(pptt, i + 8) << 32 | le64(pptt, i + 16);
            const auto it = kIdentityMap.find(fnv1a(identity));
            return it == kIdentityMap.end() ? int32_t{0} : it->second;
        }
        return int32_t{0};
    }();
    return chip;
}

std::shared_ptr<SocInfo> socInfoFor(int32_t chip) {
    static std::once_flag once;
    static std::map<int32_t, std::shared_ptr<SocInfo>> registry;
    std::call_once(once, [] {
        registry[0] = std::make_shared<HybridSocInfo>(0, "Unknown", std::vector<DspDevice>{});
        for (const auto& row : kChips) registry[row.id] = std::make_shared<HybridSocInfo>(row.id, row.name, row.dsps);
    });
    if (chip == 0x7FFFFFFF) chip = detectChip();
    const auto it = registry.find(chip);
    return it != registry.end() ? it->second : registry.at(0);
}

std::shared_ptr<SocInfo> socInfoForThisMachine() { return socInfoFor(0x7FFFFFFF); }

}  // namespace soc

uint32_t dspArchitectureVersion() {
    const auto& devices = soc::socInfoForThisMachine()->dspDevices();
    return devices.empty() ? 0 : devices.front().archVersion;
}

bool isKtpDevice() { return dspArchitectureVersion() >= 68; }
