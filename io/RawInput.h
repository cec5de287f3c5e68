// Raw input files and their assembly into one network input, with batch
// padding when the queue runs out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/InputFileQueue.h"

class ReadAhead;

bool readRawBytes(const std::string& path, std::vector<uint8_t>& data);
bool readRawFloats(const std::string& path, std::vector<float>& data);

// Fills `out` with whole files, then zero pieces, until it holds `target`
// units; reports files consumed and pieces appended. The vector is sized to
// the target (its storage is kept across calls); the float version writes
// into memory of `target` floats, such as a library tensor's. Files read
// ahead by `ahead` are copied from memory.
bool assembleInputBytes(InputFileQueue& queue, const uint64_t& target, std::vector<uint8_t>& out,
                        uint64_t& filesConsumed, uint64_t& piecesAppended, ReadAhead* ahead = nullptr);
bool assembleInputFloats(InputFileQueue& queue, uint64_t target, float* out, uint64_t& filesConsumed,
                         uint64_t& piecesAppended, ReadAhead* ahead = nullptr);
