#include "io/ReadAhead.h"

#include <fstream>
#include <system_error>

namespace {

// Below this much per inference the hand-over to the worker costs more
// than the reads it saves.
constexpr uint64_t kWorthwhileBytes = 64 * 1024;

bool readSlotFile(const std::string& path, uint64_t room, FileStamp& stamp, std::vector<char>& data) {
    if (!fileStamp(path, stamp) || stamp.size > room) return false;
    if (data.capacity() > room) std::vector<char>().swap(data);
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data.resize(static_cast<size_t>(stamp.size));
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    // A file rewritten while it was read is not trusted.
    FileStamp after;
    return in.gcount() == static_cast<std::streamsize>(data.size()) && fileStamp(path, after) && after == stamp;
}

}  // namespace

ReadAhead::~ReadAhead() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void ReadAhead::waitIdle(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return !busy_; });
}

void ReadAhead::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    waitIdle(lock);
}

void ReadAhead::request(const std::vector<InputFileQueue>& queues, size_t perQueue) {
    std::unique_lock<std::mutex> lock(mutex_);
    waitIdle(lock);
    if (off_) return;
    if (used_ > 0) {
        // Inputs this small are read faster than they are handed over.
        uint64_t previous = 0;
        for (size_t i = 0; i < used_; ++i) previous += slots_[i].data.size();
        if (previous < kWorthwhileBytes) {
            off_ = true;
            used_ = 0;
            return;
        }
    }
    used_ = 0;
    for (const auto& queue : queues) {
        for (size_t k = 0; k < perQueue && k < queue.size(); ++k) {
            if (used_ == slots_.size()) slots_.emplace_back();
            Slot& slot = slots_[used_++];
            slot.path.assign(queue[k]);
            slot.ready = false;
        }
    }
    // Storage of slots this request does not use is given back.
    for (size_t i = used_; i < slots_.size(); ++i) std::vector<char>().swap(slots_[i].data);
    if (used_ == 0) return;
    if (!worker_.joinable()) {
        // With one core, or no thread to be had, files are read in turn.
        try {
            if (std::thread::hardware_concurrency() >= 2) worker_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
        }
        if (!worker_.joinable()) {
            off_ = true;
            used_ = 0;
            return;
        }
    }
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
}

const std::vector<char>* ReadAhead::take(const std::string& path) {
    std::unique_lock<std::mutex> lock(mutex_);
    waitIdle(lock);
    for (size_t i = 0; i < used_; ++i) {
        Slot& slot = slots_[i];
        if (!slot.ready || slot.path != path) continue;
        slot.ready = false;
        FileStamp now;
        if (!fileStamp(path, now) || !(now == slot.stamp)) return nullptr;
        ++served_;
        return &slot.data;
    }
    return nullptr;
}

void ReadAhead::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || busy_; });
        if (stop_) return;
        const size_t count = used_;
        lock.unlock();
        uint64_t held = 0;
        for (size_t i = 0; i < count; ++i) {
            Slot& slot = slots_[i];
            slot.ready = readSlotFile(slot.path, mostHeld_ - held, slot.stamp, slot.data);
            if (slot.ready) {
                held += slot.data.capacity();
            } else {
                std::vector<char>().swap(slot.data);
            }
        }
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}
