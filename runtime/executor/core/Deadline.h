// An optional bound on one execution's wall time on the CPU path, set by
// VEXA_MAX_EXECUTION_SECONDS: a model whose work no cap on sizes or
// iterations bounds (a long chain of large, legal operators) then fails
// with a message instead of running for hours. Checked between steps and
// loop iterations, so one kernel's own time is not cut short.
#pragma once

#include <chrono>

namespace vexart {

// Started by the outermost run of a thread and ended with it; nested runs
// (subgraph bodies) share it.
class ExecutionDeadline {
public:
    ExecutionDeadline();
    ~ExecutionDeadline();
    ExecutionDeadline(const ExecutionDeadline&) = delete;
    ExecutionDeadline& operator=(const ExecutionDeadline&) = delete;
};

// Throws ExecError once the running execution is past its limit.
void checkDeadline();

}  // namespace vexart
