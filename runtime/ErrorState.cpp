#include "ErrorState.h"

#include <exception>
#include <new>

namespace vexart {
namespace {
thread_local uint32_t t_code = 0;
thread_local std::string t_text;
}  // namespace

void setError(uint32_t code, std::string text) {
    t_code = code;
    t_text = std::move(text);
}

void clearError() {
    t_code = 0;
    t_text.clear();
}

int recordCurrentException(const char* function) noexcept {
    int code = 1;
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            code = 10;
            setError(10, std::string(function) + ": out of memory");
        } catch (const std::exception& e) {
            setError(1, std::string(function) + ": " + e.what());
        } catch (...) {
            setError(1, std::string(function) + ": unexpected failure");
        }
    } catch (...) {
        // No memory even for the message: keep the code, drop the text.
        t_code = static_cast<uint32_t>(code);
        t_text.clear();
    }
    return code;
}

uint32_t lastErrorCode() { return t_code; }
const char* lastErrorText() { return t_text.c_str(); }

}  // namespace vexart
