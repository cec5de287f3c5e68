// Raw output files under numbered result directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtimelib/Vexa.h"

// dir + "/Result_" + index + "/" + the tensor name with <>"\|?:* made '_' + ".raw"
std::string outputFilePath(const std::string& outputDir, const std::string& tensorName, uint32_t resultIndex);

bool writeRawFile(const std::string& path, const void* data, size_t bytes);
bool makeDirectories(const std::string& path);

// Writes the tensor-mode outputs of one execution: file i of the batch
// (of `pieces` slices, the first `files` of them real) goes to Result_(base + i).
bool writeTensorOutputs(const std::string& outputDir, Vexa_TensorMap_Handle_t outputs, uint64_t files,
                        uint64_t pieces, uint32_t base);
