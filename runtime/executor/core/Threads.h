// Threads for the executor's kernels. The library parallelises inside
// kernels (OpenMP, which Eigen's products use too); the caller's thread
// takes part, so a count of 1 runs everything on it. Builds without
// OpenMP run single-threaded.
#pragma once

namespace vexart {

// The processors this process may run on.
int hardwareThreads();

// Kernels run on this thread use `threads` until the scope ends.
class ThreadScope {
public:
    explicit ThreadScope(int threads);
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

private:
    int previous_;
};

}  // namespace vexart

// A loop whose iterations are independent, split over the scope's threads
// when `work` (roughly, elements touched) makes it worth waking them.
#define VEXA_PRAGMA(x) _Pragma(#x)
// A loop over independent lanes, to be vectorised.
#ifdef _OPENMP
#define VEXA_PARALLEL_FOR_IF(work) VEXA_PRAGMA(omp parallel for schedule(static) if ((work) > 32768))
#define VEXA_SIMD VEXA_PRAGMA(omp simd)
#else
#define VEXA_PARALLEL_FOR_IF(work)
#define VEXA_SIMD
#endif
