// Input files read ahead on a worker thread: while one inference executes,
// the files the next one will consume are read into memory, so that the
// assembler copies them from there instead of waiting on the file system
// between executions. A file is served from memory only when its stamp is
// unchanged at the moment it is consumed; anything else is read the
// ordinary way, so every message and failure stays where it was. A file is
// thus read at most one inference earlier than it would be otherwise.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/InputFileQueue.h"
#include "platform/Files.h"

class ReadAhead {
public:
    // At most `mostHeld` bytes are held at once, all files of a request
    // together; the files beyond it are left to the assembler.
    explicit ReadAhead(uint64_t mostHeld = uint64_t{256} << 20) : mostHeld_(mostHeld) {}
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts reading the first `perQueue` files of every queue, once the
    // previous request is done. Slots and their storage are reused.
    void request(const std::vector<InputFileQueue>& queues, size_t perQueue);

    // The bytes of `path` when they were read ahead and the file still has
    // the stamp they were read under, valid until the next request; null
    // when the caller must read the file itself. Each read serves once.
    const std::vector<char>* take(const std::string& path);

    // Returns once the current request has been read.
    void wait();

    // Files taken from memory so far.
    size_t served() const { return served_; }

private:
    struct Slot {
        std::string path;
        FileStamp stamp;
        std::vector<char> data;
        bool ready = false;
    };
    void work();
    void waitIdle(std::unique_lock<std::mutex>& lock);

    const uint64_t mostHeld_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
    std::vector<Slot> slots_;  // the worker owns [0, used_) while busy_
    size_t used_ = 0;
    size_t served_ = 0;
    bool busy_ = false;
    bool stop_ = false;
    bool off_ = false;
};
