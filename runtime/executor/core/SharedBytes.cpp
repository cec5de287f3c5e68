#include "core/SharedBytes.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace vexart {
namespace {

struct Entry {
    std::weak_ptr<Buffer> bytes;
    size_t size;
};

struct Registry {
    std::mutex lock;
    std::unordered_multimap<uint64_t, Entry> blocks;
    size_t addedSincePurge = 0;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: kernels may outlive static destructors
    return *r;
}

// A key from the size and a sample of the words: a match is confirmed on
// every byte, so the key only has to part most blocks cheaply.
uint64_t sampleKey(const uint8_t* p, size_t size) {
    uint64_t h = 1469598103934665603ull ^ size;
    auto mix = [&](size_t at) {
        uint64_t w = 0;
        std::memcpy(&w, p + at, sizeof w);
        h = (h ^ w) * 1099511628211ull;
        h ^= h >> 29;
    };
    if (size < sizeof(uint64_t)) {
        for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
        return h;
    }
    constexpr size_t kSamples = 64;
    const size_t last = size - sizeof(uint64_t);
    for (size_t i = 0; i < kSamples; ++i) mix(last / (kSamples - 1) * i);
    mix(last);
    return h;
}

}  // namespace

std::shared_ptr<Buffer> shareIdentical(std::shared_ptr<Buffer> bytes, size_t size) {
    if (!bytes || !*bytes || size == 0) return bytes;
    const uint8_t* p = bytes->get();
    const uint64_t key = sampleKey(p, size);
    Registry& r = registry();
    const std::lock_guard<std::mutex> hold(r.lock);
    const auto [from, to] = r.blocks.equal_range(key);
    for (auto it = from; it != to; ++it) {
        std::shared_ptr<Buffer> other = it->second.bytes.lock();
        if (other == bytes) return bytes;
        if (other && it->second.size == size && std::memcmp(other->get(), p, size) == 0) return other;
    }
    // Entries of freed blocks go once as many have been added as are held.
    if (++r.addedSincePurge > r.blocks.size()) {
        for (auto it = r.blocks.begin(); it != r.blocks.end();) it = it->second.bytes.expired() ? r.blocks.erase(it) : ++it;
        r.addedSincePurge = 0;
    }
    r.blocks.emplace(key, Entry{bytes, size});
    return bytes;
}

size_t sharedBytesSaved() {
    Registry& r = registry();
    const std::lock_guard<std::mutex> hold(r.lock);
    size_t saved = 0;
    for (const auto& [key, e] : r.blocks) {
        const long holders = e.bytes.use_count();
        if (holders > 1) saved += e.size * static_cast<size_t>(holders - 1);
    }
    return saved;
}

}  // namespace vexart
