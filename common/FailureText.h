// What a caught exception says in a message: an allocation that failed
// says so in words, not as "std::bad_alloc".
#pragma once

#include <exception>
#include <new>

namespace vexart {

inline const char* failureText(const std::exception& e) {
    return dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? "out of memory" : e.what();
}

}  // namespace vexart
