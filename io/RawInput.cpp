#include "io/RawInput.h"

#include <fstream>
#include <iostream>

namespace {

template <typename T>
bool readRaw(const std::string& path, std::vector<T>& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "Failed to open input file: " << path << std::endl;
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0 || size > INT32_MAX) {
        std::cerr << "Failed to read the contents of: " << path << std::endl;
        return false;
    }
    if (sizeof(T) > 1 && size % static_cast<std::streamoff>(sizeof(T)) != 0) {
        std::cerr << "Size of input file should be divisible by sizeof(dtype).\n";
        return false;
    }
    data.resize(static_cast<size_t>(size) / sizeof(T));
    in.read(reinterpret_cast<char*>(data.data()), size);
    if (in.fail() || in.bad()) {
        std::cerr << "Failed to read the contents of: " << path << std::endl;
        return false;
    }
    return true;
}

template <typename T>
bool assemble(InputFileQueue& queue, const uint64_t& target, std::vector<T>& out, uint64_t& filesConsumed,
              uint64_t& piecesAppended) {
    std::string log;
    uint64_t pieceSize = 0;
    uint64_t files = 0;
    uint64_t pieces = 0;
    thread_local std::vector<T> data;  // one file's contents, reused across inferences
    do {
        if (queue.empty()) {
            // Nothing to take the piece size from: no file arrived at all.
            if (pieceSize == 0) {
                std::cerr << "Error: invalid input size provided. Please check all raw sizes." << std::endl;
                return false;
            }
            log += "Applying padding\n";
            out.resize(out.size() + pieceSize, T{});
        } else {
            const std::string path = queue.front();
            if (!readRaw(path, data)) return false;
            log += path + "\n";
            queue.pop_front();
            const uint64_t size = data.size();
            if (pieceSize == 0) pieceSize = size;
            if (size == 0 || target % size != 0 || size > target || size != pieceSize) {
                std::cerr << "Error: invalid input size provided. Please check all raw sizes." << std::endl;
                return false;
            }
            out.insert(out.end(), data.begin(), data.end());
            ++files;
        }
        ++pieces;
    } while (out.size() < target);
    std::cout << "Processing DNN input(s):\n" << log;
    filesConsumed = files;
    piecesAppended = pieces;
    return true;
}

}  // namespace

bool readRawBytes(const std::string& path, std::vector<uint8_t>& data) { return readRaw(path, data); }
bool readRawFloats(const std::string& path, std::vector<float>& data) { return readRaw(path, data); }

bool assembleInputBytes(InputFileQueue& queue, const uint64_t& target, std::vector<uint8_t>& out,
                        uint64_t& filesConsumed, uint64_t& piecesAppended) {
    return assemble(queue, target, out, filesConsumed, piecesAppended);
}

bool assembleInputFloats(InputFileQueue& queue, const uint64_t& target, std::vector<float>& out,
                         uint64_t& filesConsumed, uint64_t& piecesAppended) {
    return assemble(queue, target, out, filesConsumed, piecesAppended);
}
