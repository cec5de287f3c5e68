#include "platform/DspDriver.h"

std::string joinLibraryPath(const std::string& directory, const std::string& file) {
    if (directory.empty()) return file;
    const char last = directory.back();
    return last == '/' || last == '\\' ? directory + file : directory + "/" + file;
}
