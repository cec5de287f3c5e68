#include "platform/DynamicLoaderState.h"

#include "platform/DynamicLoader.h"

namespace loader {
namespace {
thread_local const char* t_lastError = nullptr;
}

std::set<void*>& localRecord() {
    static std::set<void*> record;
    return record;
}

void setLastError(const char* message) { t_lastError = message; }
const char* lastError() { return t_lastError; }

}  // namespace loader

namespace loader {
const char* lastError();
}
const char* dlLastError() { return loader::lastError(); }
