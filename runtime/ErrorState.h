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

#include <exception>
#include <new>

namespace vexart {

// Runs `body`; any exception becomes the last error (prefixed with the
// function name) and the call returns `failed`.
template <typename R, typename F>
R guarded(const char* function, uint32_t code, R failed, F body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        setError(10, std::string(function) + ": out of memory");
    } catch (const std::exception& e) {
        setError(code, std::string(function) + ": " + e.what());
    }
    return failed;
}

}  // namespace vexart

namespace vexart {

// Records the exception being handled as the last error of `function`:
// out of memory as code 10, anything else as a general failure. Returns the
// code. Never throws.
int recordCurrentException(const char* function) noexcept;

}  // namespace vexart

// Every entry point of the C interface is a function-try-block ending in one
// of these, so that no C++ exception crosses into the caller: handle and
// text results fail as null, sizes and flags as 0, error codes as the code.
#define VEXA_API_CATCH                                \
    catch (...) {                                     \
        ::vexart::recordCurrentException(__func__);   \
        return {};                                    \
    }
#define VEXA_API_CATCH_CODE \
    catch (...) { return ::vexart::recordCurrentException(__func__); }
#define VEXA_API_CATCH_VOID \
    catch (...) { ::vexart::recordCurrentException(__func__); }

namespace vexart {

// Error-code result with the error recorded.
inline int failCode(uint32_t code, std::string text) {
    setError(code, std::move(text));
    return static_cast<int>(code);
}

}  // namespace vexart
