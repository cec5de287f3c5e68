#include "io/RawInput.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>

#include "io/ReadAhead.h"
#include "platform/Files.h"

namespace {

// Measures a file of `size` bytes in units of T; false after the message.
template <typename T>
bool measureRaw(const std::string& path, std::streamoff size, size_t& units) {
    if (size < 0 || size > INT32_MAX) {
        std::cerr << "Failed to read the contents of: " << path << std::endl;
        return false;
    }
    if (sizeof(T) > 1 && size % static_cast<std::streamoff>(sizeof(T)) != 0) {
        std::cerr << "Size of input file should be divisible by sizeof(dtype).\n";
        return false;
    }
    units = static_cast<size_t>(size) / sizeof(T);
    return true;
}

// Opens a raw file and measures it in units of T; false after the message.
// A pipe or device has no size to seek to: it is read into `streamed`, at
// most `maxUnits` units of it; one that holds more measures `maxUnits` + 1,
// which every size check then refuses, and keeps none of its bytes.
template <typename T>
bool openRaw(const std::string& path, std::ifstream& in, size_t& units, std::string& streamed, uint64_t maxUnits) {
    if (isRegularFile(path)) {
        in.open(path, std::ios::binary);
        if (!in.is_open()) {
            std::cerr << "Failed to open input file: " << path << std::endl;
            return false;
        }
        in.seekg(0, std::ios::end);
        const std::streamoff size = in.tellg();
        in.seekg(0, std::ios::beg);
        return measureRaw<T>(path, size, units);
    }
    switch (readBounded(path, std::min<uint64_t>(maxUnits * sizeof(T), INT32_MAX), streamed)) {
        case BoundedRead::OpenFailed:
            std::cerr << "Failed to open input file: " << path << std::endl;
            return false;
        case BoundedRead::ReadFailed:
            std::cerr << "Failed to read the contents of: " << path << std::endl;
            return false;
        case BoundedRead::TooLarge:
            units = static_cast<size_t>(maxUnits) + 1;
            return true;
        case BoundedRead::Done:
            break;
    }
    return measureRaw<T>(path, static_cast<std::streamoff>(streamed.size()), units);
}

template <typename T>
bool readUnits(std::ifstream& in, const std::string& path, T* dst, size_t units) {
    in.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(units * sizeof(T)));
    if (in.fail() || in.bad()) {
        std::cerr << "Failed to read the contents of: " << path << std::endl;
        return false;
    }
    return true;
}

template <typename T>
bool readRaw(const std::string& path, std::vector<T>& data) {
    std::ifstream in;
    std::string streamed;
    size_t units = 0;
    if (!openRaw<T>(path, in, units, streamed, INT32_MAX / sizeof(T))) return false;
    if (!in.is_open()) {
        if (streamed.size() != units * sizeof(T)) {  // past the 2 GiB a raw file may hold
            std::cerr << "Failed to read the contents of: " << path << std::endl;
            return false;
        }
        data.resize(units);
        std::memcpy(data.data(), streamed.data(), streamed.size());
        return true;
    }
    data.resize(units);
    return readUnits(in, path, data.data(), units);
}

// Writes "Applying padding" lines in blocks: a large batch of tiny pieces
// can need millions of them, which are not worth holding in memory.
void printPaddingLines(uint64_t count) {
    constexpr char kLine[] = "Applying padding\n";
    constexpr uint64_t kLineSize = sizeof kLine - 1, kPerBlock = 4096;
    static const std::string block = [&] {
        std::string b;
        for (uint64_t i = 0; i < kPerBlock; ++i) b += kLine;
        return b;
    }();
    while (count > 0) {
        const uint64_t n = std::min(count, kPerBlock);
        std::cout.write(block.data(), static_cast<std::streamsize>(n * kLineSize));
        count -= n;
    }
}

// Files are read straight into their place in `out`, which holds `target`
// units; padding pieces are zeroed there. The log is printed only when the
// whole input was assembled.
template <typename T>
bool assemble(InputFileQueue& queue, uint64_t target, T* out, uint64_t& filesConsumed, uint64_t& piecesAppended,
              ReadAhead* ahead) {
    std::string log;
    std::string streamed;  // a pipe's or device's bytes
    uint64_t pieceSize = 0;
    uint64_t filled = 0;
    uint64_t files = 0;
    uint64_t padding = 0;
    do {
        if (queue.empty()) {
            // Nothing to take the piece size from: no file arrived at all.
            if (pieceSize == 0) {
                std::cerr << "Error: invalid input size provided. Please check all raw sizes." << std::endl;
                return false;
            }
            // The queue stays empty: the rest is padding, pieces of one size
            // that divides what is left.
            padding = (target - filled) / pieceSize;
            std::fill(out + filled, out + target, T{});
            filled = target;
        } else {
            const std::string& path = queue.front();
            // A file read ahead and unchanged since needs no opening here.
            const std::vector<char>* early = ahead != nullptr ? ahead->take(path) : nullptr;
            std::ifstream in;
            size_t size = 0;
            if (early != nullptr ? !measureRaw<T>(path, static_cast<std::streamoff>(early->size()), size)
                                 : !openRaw<T>(path, in, size, streamed, target)) {
                return false;
            }
            // The bytes held in memory, read ahead or from a stream.
            const char* held = early != nullptr ? early->data() : in.is_open() ? nullptr : streamed.data();
            if (pieceSize == 0) pieceSize = size;
            // Pieces of one size that divides the target never overrun it.
            if (size == 0 || target % size != 0 || size > target || size != pieceSize) {
                std::cerr << "Error: invalid input size provided. Please check all raw sizes." << std::endl;
                return false;
            }
            if (held != nullptr) {
                std::memcpy(out + filled, held, size * sizeof(T));
            } else if (!readUnits(in, path, out + filled, size)) {
                return false;
            }
            log += path + "\n";
            queue.pop_front();
            filled += size;
            ++files;
        }
    } while (filled < target);
    std::cout << "Processing DNN input(s):\n" << log;
    printPaddingLines(padding);
    filesConsumed = files;
    piecesAppended = files + padding;
    return true;
}

}  // namespace

bool readRawBytes(const std::string& path, std::vector<uint8_t>& data) { return readRaw(path, data); }
bool readRawFloats(const std::string& path, std::vector<float>& data) { return readRaw(path, data); }

bool assembleInputBytes(InputFileQueue& queue, const uint64_t& target, std::vector<uint8_t>& out,
                        uint64_t& filesConsumed, uint64_t& piecesAppended, ReadAhead* ahead) {
    out.resize(target);
    return assemble(queue, target, out.data(), filesConsumed, piecesAppended, ahead);
}

bool assembleInputFloats(InputFileQueue& queue, uint64_t target, float* out, uint64_t& filesConsumed,
                         uint64_t& piecesAppended, ReadAhead* ahead) {
    return assemble(queue, target, out, filesConsumed, piecesAppended, ahead);
}
