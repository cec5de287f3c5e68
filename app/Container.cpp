#include "app/Container.h"

#include <iostream>

#include "runtimelib/StringLists.h"
#include "platform/Files.h"

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

bool isContainerBytes(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 28) return false;
    const uint32_t versionNeeded = static_cast<uint32_t>(bytes[4]) | static_cast<uint32_t>(bytes[5]) << 8;
    return le32(bytes, 0) == 0x04034B50 && versionNeeded == 45 && le32(bytes, bytes.size() - 22) == 0x06054B50;
}

bool openContainer(const RunConfig& config, std::vector<uint8_t>& bytes, DlContainerHandle& container) {
    if (!config.initFromBuffer) {
        container.reset(Vexa_DlContainer_Open(config.container.c_str()));
    } else {
        bytes = readWholeFile(config.container);
        if (!isContainerBytes(bytes)) {
            std::cout << "Not a valid Dlc Buffer!" << std::endl;
            return false;
        }
        container.reset(Vexa_DlContainer_OpenBuffer(bytes.data(), bytes.size()));
    }
    if (!container) {
        reportLastError();
        return false;
    }
    return true;
}
