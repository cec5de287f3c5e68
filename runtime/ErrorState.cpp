#include "ErrorState.h"

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

uint32_t lastErrorCode() { return t_code; }
const char* lastErrorText() { return t_text.c_str(); }

}  // namespace vexart
