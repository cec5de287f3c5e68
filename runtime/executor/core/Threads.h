// Threads for the executor's kernels. The library parallelises inside
// kernels (OpenMP, which Eigen's products use too); the caller's thread
// takes part, so a count of 1 runs everything on it. Builds without
// OpenMP run single-threaded.
#pragma once

#include <cstdint>

#ifdef _OPENMP
#include <omp.h>
#endif

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

#define VEXA_PRAGMA(x) _Pragma(#x)
// A loop over independent lanes, to be vectorised.
#ifdef _OPENMP
#define VEXA_SIMD VEXA_PRAGMA(omp simd)
#define VEXA_BARRIER VEXA_PRAGMA(omp barrier)
#else
#define VEXA_SIMD
#define VEXA_BARRIER
#endif

namespace vexart {

// Below this many elements touched, waking threads costs more than it saves.
constexpr int64_t kParallelWork = 32768;

// Whether this thread's loops run on it alone (see SerialLoops).
inline bool& serialLoops() {
    thread_local bool serial = false;
    return serial;
}

// While one lives, parallelFor runs on the calling thread. Planning does
// serial work (primitives, weights) between small loops; an OpenMP team
// woken for each loop spins in between and takes the core it needs.
class SerialLoops {
public:
    SerialLoops() : previous_(serialLoops()) { serialLoops() = true; }
    ~SerialLoops() { serialLoops() = previous_; }
    SerialLoops(const SerialLoops&) = delete;
    SerialLoops& operator=(const SerialLoops&) = delete;

private:
    bool previous_;
};

// body(i) for i in [0, n), independent iterations split over the scope's
// threads when `work` (roughly, elements touched) makes it worth waking them.
// Small loops never enter an OpenMP region: even a region that stays on one
// thread costs about a microsecond, which a graph of many small nodes pays
// per node.
template <typename Body>
inline void parallelFor(int64_t n, int64_t work, Body&& body) {
#ifdef _OPENMP
    if (work > kParallelWork && !serialLoops()) {
        VEXA_PRAGMA(omp parallel for schedule(static))
        for (int64_t i = 0; i < n; ++i) body(i);
        return;
    }
#else
    (void)work;
#endif
    for (int64_t i = 0; i < n; ++i) body(i);
}

// The most threads a team of parallelTeam may have here.
inline int teamSize() {
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

// body(thread, threads) on every thread of one team, for work whose
// threads meet again and again (VEXA_BARRIER inside body, where threads
// > 1): one region instead of one per meeting. One thread, outside any
// region, when `work` is small or loops run serially here.
template <typename Body>
inline void parallelTeam(int64_t work, Body&& body) {
#ifdef _OPENMP
    if (work > kParallelWork && !serialLoops() && !omp_in_parallel() && omp_get_max_threads() > 1) {
        VEXA_PRAGMA(omp parallel)
        body(omp_get_thread_num(), omp_get_num_threads());
        return;
    }
#else
    (void)work;
#endif
    body(0, 1);
}

}  // namespace vexart
