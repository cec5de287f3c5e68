#include <fstream>
#include <iterator>
#include <string>

#include "platform/soc/Firmware.h"

std::vector<uint8_t> readFirmwareTable(const char signature[4]) {
    std::ifstream in("/sys/firmware/acpi/tables/" + std::string(signature, 4), std::ios::binary);
    if (!in) return {};
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.size() <= 64 * 1024 ? bytes : std::vector<uint8_t>{};
}
