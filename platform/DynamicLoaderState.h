// State shared by the loader implementations: the local record and the
// per-thread last error.
#pragma once

#include <set>

namespace loader {

std::set<void*>& localRecord();
void setLastError(const char* message);

template <typename T>
T failWith(const char* message, T result) {
    setLastError(message);
    return result;
}

}  // namespace loader
