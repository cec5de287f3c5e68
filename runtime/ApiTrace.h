// Optional call trace: with VEXA_API_TRACE=<file> in the environment every
// interface call is appended to the file as one line, name(arg, arg, ...).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

namespace vexart {

std::FILE* traceFile();  // null when tracing is off
void traceWrite(const std::string& line);

inline void traceArg(std::string& out, const char* s) {
    if (s == nullptr) {
        out += "null";
        return;
    }
    out += '"';
    for (const char* p = s; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') out += '\\';
        if (*p == '\n') {
            out += "\\n";
            continue;
        }
        out += *p;
    }
    out += '"';
}
inline void traceArg(std::string& out, const void* p) {
    if (p == nullptr) {
        out += "null";
        return;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    out += buf;
}
inline void traceArg(std::string& out, float v) { out += std::to_string(v); }
inline void traceArg(std::string& out, double v) { out += std::to_string(v); }
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
void traceArg(std::string& out, T v) {
    out += std::to_string(v);
}

template <typename... Args>
void trace(const char* function, const Args&... args) {
    if (traceFile() == nullptr) return;
    std::string line = function;
    line += '(';
    [[maybe_unused]] bool first = true;
    ((line += first ? "" : ", ", first = false, traceArg(line, args)), ...);
    line += ")\n";
    traceWrite(line);
}

}  // namespace vexart
