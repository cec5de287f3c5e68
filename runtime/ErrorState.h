// The calling thread's last failure, as the library reports it.
#pragma once

#include <cstdint>
#include <string>

namespace vexart {

void setError(uint32_t code, std::string text);
void clearError();
uint32_t lastErrorCode();
const char* lastErrorText();

// Null-handle result with the error recorded.
template <typename T = void*>
T fail(uint32_t code, std::string text) {
    setError(code, std::move(text));
    return T{};
}

}  // namespace vexart
