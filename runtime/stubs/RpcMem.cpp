// Stand-in for the DSP remote-procedure-call library's shared-memory
// allocator: every allocation is a memfd mapping, so "rpcmem_to_fd"
// returns a descriptor the runtime library can map again.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct Allocation {
    size_t size;
    int fd;
};

struct Heap {
    std::mutex lock;
    std::map<uint8_t*, Allocation> live;
    ~Heap() {
        // Leaks show up in the tests' standard error.
        if (!live.empty()) std::fprintf(stderr, "rpcmem: %zu allocation(s) never freed\n", live.size());
    }
};

Heap& heap() {
    static Heap h;
    return h;
}

// Failure injection for the tests: VEXA_FAKE_RPCMEM_FAIL_ALLOC=N fails the
// N-th allocation, VEXA_FAKE_RPCMEM_FAIL_FD=1 every descriptor query.
bool failThisAllocation() {
    static int count = 0;
    const char* n = std::getenv("VEXA_FAKE_RPCMEM_FAIL_ALLOC");
    return n != nullptr && ++count == std::atoi(n);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* rpcmem_alloc(int heapId, uint32_t flags, int size) {
    (void)heapId;
    (void)flags;
    if (size <= 0 || failThisAllocation()) return nullptr;
    const int fd = memfd_create("rpcmem", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (ftruncate(fd, size) != 0) {
        close(fd);
        return nullptr;
    }
    void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(heap().lock);
    heap().live[static_cast<uint8_t*>(p)] = {static_cast<size_t>(size), fd};
    return p;
}

__attribute__((visibility("default"))) void rpcmem_free(void* p) {
    std::lock_guard<std::mutex> guard(heap().lock);
    const auto it = heap().live.find(static_cast<uint8_t*>(p));
    if (it == heap().live.end()) return;
    munmap(it->first, it->second.size);
    close(it->second.fd);
    heap().live.erase(it);
}

#if !defined(VEXA_RPCMEM_WITHOUT_TO_FD)
__attribute__((visibility("default"))) int rpcmem_to_fd(void* p) {
    if (std::getenv("VEXA_FAKE_RPCMEM_FAIL_FD") != nullptr) return -1;
    std::lock_guard<std::mutex> guard(heap().lock);
    auto it = heap().live.upper_bound(static_cast<uint8_t*>(p));
    if (it == heap().live.begin()) return -1;
    --it;
    const auto* q = static_cast<uint8_t*>(p);
    return q < it->first + it->second.size ? it->second.fd : -1;
}
#endif

}  // extern "C"
