#include <windows.h>

#include "platform/soc/Firmware.h"

std::vector<uint8_t> readFirmwareTable(const char signature[4]) {
    const DWORD provider = 0x41435049;  // 'ACPI'
    const DWORD id = static_cast<DWORD>(signature[0]) | static_cast<DWORD>(signature[1]) << 8 |
                     static_cast<DWORD>(signature[2]) << 16 | static_cast<DWORD>(signature[3]) << 24;
    const UINT size = GetSystemFirmwareTable(provider, id, nullptr, 0);
    if (size == 0 || size > 64 * 1024) return {};
    std::vector<uint8_t> buffer(64 * 1024);
    const UINT got = GetSystemFirmwareTable(provider, id, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (got == 0 || got > buffer.size()) return {};
    buffer.resize(got);
    return buffer;
}
