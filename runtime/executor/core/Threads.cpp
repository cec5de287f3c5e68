#include "core/Threads.h"

#include <sched.h>

#include <thread>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace vexart {

int hardwareThreads() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

#ifdef _OPENMP
ThreadScope::ThreadScope(int threads) : previous_(omp_get_max_threads()) { omp_set_num_threads(threads > 0 ? threads : 1); }
ThreadScope::~ThreadScope() { omp_set_num_threads(previous_); }
#else
ThreadScope::ThreadScope(int) : previous_(1) {}
ThreadScope::~ThreadScope() = default;
#endif

}  // namespace vexart
