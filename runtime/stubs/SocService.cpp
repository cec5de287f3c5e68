// Stand-in SoC service library. It reports one compute DSP whose
// architecture version is VEXA_FAKE_DSP_ARCH (no DSP when unset), so that
// DSP-only paths can be exercised on machines without one.
//
// Capabilities (key 2): index 3, the number of DSP devices (8 bytes);
// index 16 + k, device k's architecture version (4 bytes); index 32 + k,
// its name (text). Status 5 asks the caller to retry with the size given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

uint32_t fakeArch() {
    const char* v = std::getenv("VEXA_FAKE_DSP_ARCH");
    return v != nullptr ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : 0;
}

int answer(const void* data, uint32_t bytes, uint8_t* buffer, uint32_t* size) {
    if (*size < bytes) {
        *size = bytes;
        return 5;
    }
    std::memcpy(buffer, data, bytes);
    *size = bytes;
    return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) uint32_t Soc_GetAPIVersion() { return 1; }

__attribute__((visibility("default"))) int Soc_GetCapability(uint32_t key, uint32_t index, uint8_t* buffer,
                                                             uint32_t* size) {
    if (buffer == nullptr || size == nullptr || key != 2) return 2;
    const uint64_t count = fakeArch() != 0 ? 1 : 0;
    if (index == 3) return answer(&count, sizeof count, buffer, size);
    if (index >= 16 && index < 16 + count) {
        const uint32_t arch = fakeArch();
        return answer(&arch, sizeof arch, buffer, size);
    }
    if (index >= 32 && index < 32 + count) return answer("cdsp", 4, buffer, size);
    return 2;
}

}  // extern "C"
