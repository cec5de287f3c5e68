// Filling input user buffers from raw files and writing output user
// buffers as raw files, converting between file and buffer types.
#pragma once

#include "io/InputFileQueue.h"
#include "buffers/UserBuffers.h"

class ReadAhead;

bool fillInputBuffer(const NetworkHandle& net, Vexa_IUserBuffer_Handle_t buffer, Vexa_UserMemoryMap_Handle_t memory,
                     ApplicationBuffers& appBuffers, InputFileQueue& queue, uint64_t& filesConsumed,
                     uint64_t& pieces, const std::string& tensor, const std::string& userBufferType,
                     const std::string& fileType, bool dynamicQuantization, uint32_t resizableDim, bool memoryMapped,
                     const std::string& network, ReadAhead* ahead = nullptr);

bool extractOutputBuffer(Vexa_UserBufferMap_Handle_t outputs, Vexa_UserMemoryMap_Handle_t memory,
                         ApplicationBuffers& appBuffers, const std::string& outputDir, const std::string& tensor,
                         const std::string& userBufferType, const std::string& fileType, uint64_t files,
                         uint64_t pieces, uint32_t base, bool dynamicQuantization, bool memoryMapped,
                         size_t memoryIndex);
