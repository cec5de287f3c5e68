#include "core/Deadline.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/Tensor.h"

namespace vexart {
namespace {

using Clock = std::chrono::steady_clock;

// Seconds from the environment, read once; 0 for no limit.
double limitSeconds() {
    static const double seconds = [] {
        const char* v = std::getenv("VEXA_MAX_EXECUTION_SECONDS");
        if (v == nullptr) return 0.0;
        char* end = nullptr;
        errno = 0;
        const double s = std::strtod(v, &end);
        return errno == 0 && end != v && *end == '\0' && std::isfinite(s) && s > 0 ? s : 0.0;
    }();
    return seconds;
}

thread_local int depth = 0;
thread_local Clock::time_point deadline;

}  // namespace

ExecutionDeadline::ExecutionDeadline() {
    if (depth++ == 0 && limitSeconds() > 0) {
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limitSeconds()));
    }
}

ExecutionDeadline::~ExecutionDeadline() { --depth; }

void checkDeadline() {
    if (limitSeconds() > 0 && depth > 0 && Clock::now() > deadline) {
        char text[64];
        std::snprintf(text, sizeof text, "%g", limitSeconds());
        throw ExecError(std::string("execution ran past its limit of ") + text + " s (VEXA_MAX_EXECUTION_SECONDS)");
    }
}

}  // namespace vexart
