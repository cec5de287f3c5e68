#include "buffers/BufferIo.h"

#include <iostream>

#include "buffers/Conversion.h"
#include "io/OutputWriter.h"
#include "io/RawInput.h"

namespace {

bool isFixed(const std::string& t) { return t == "fixedPoint8" || t == "fixedPoint16"; }

uint8_t* mappedAddress(Vexa_UserMemoryMap_Handle_t memory, const std::string& tensor, size_t index) {
    auto* base = static_cast<uint8_t*>(Vexa_UserMemoryMap_GetUserMemoryAddressAtIndex(memory, tensor.c_str(), index));
    return base + Vexa_UserMemoryMap_GetUserMemoryOffsetAtIndex(memory, tensor.c_str(), index);
}

}  // namespace

bool fillInputBuffer(const NetworkHandle& net, Vexa_IUserBuffer_Handle_t buffer, Vexa_UserMemoryMap_Handle_t memory,
                     ApplicationBuffers& appBuffers, InputFileQueue& queue, uint64_t& filesConsumed,
                     uint64_t& pieces, const std::string& tensor, const std::string& ubType,
                     const std::string& fileType, bool dynamicQuantization, uint32_t resizableDim, bool memoryMapped,
                     const std::string& network, ReadAhead* ahead) {
    const uint32_t fileBits = DataTypeBitWidths.at(fileType);
    const BufferAttributesHandle attrs(
        Vexa_VEXA_GetInputOutputBufferAttributesForNetwork(net.network, network.c_str(), tensor.c_str()));
    if (!attrs) return false;
    const TensorShapeHandle dims(Vexa_IBufferAttributes_GetDims(attrs.get()));
    float step = 0.0f;
    uint64_t offset = 0;
    if ((isFixed(ubType) || isFixed(fileType)) && !dynamicQuantization) {
        const uint32_t type = Vexa_IBufferAttributes_GetEncodingType(attrs.get());
        if (type == 10 || type == 11) {
            Vexa_UserBufferEncoding_Handle_t e = Vexa_IBufferAttributes_GetEncoding_Ref(attrs.get());
            step = Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(e);
            offset = Vexa_UserBufferEncodingTfN_GetStepExactly0(e);
        } else {
            std::cerr << "Quantization encoding not found for tensor: " << tensor << std::endl;
        }
    }
    std::vector<size_t> d(Vexa_TensorShape_Rank(dims.get()));
    for (size_t i = 0; i < d.size(); ++i) d[i] = Vexa_TensorShape_At(dims.get(), i);
    const uint64_t count = elementCount(d.size(), d.data(), resizableDim);
    const uint64_t expected = (fileBits / 8) * count;
    // The assembled bytes are reused from one execution to the next.
    thread_local std::vector<uint8_t> bytes;
    if (!assembleInputBytes(queue, expected, bytes, filesConsumed, pieces, ahead)) return false;
    if (bytes.size() != expected) {
        std::cerr << "Size of raw input file does not match the size expected by the network." << "\n"
                  << " Expected: " << expected << "\n"
                  << " Actual: " << bytes.size() << std::endl;
        return false;
    }
    uint8_t* dst = memoryMapped ? mappedAddress(memory, tensor, 0) : appBuffers.at(tensor).data();
    if (!convertElements(bytes.data(), dst, fileType, ubType, count, &step, &offset, dynamicQuantization)) {
        std::cerr << "Unsupported datatype conversion attempted for input '" << tensor << "': " << fileType
                  << " (native input) -> " << ubType << " (input userbuffer)" << std::endl;
        return false;
    }
    if (isFixed(ubType) && dynamicQuantization) {
        Vexa_UserBufferEncoding_Handle_t e = Vexa_IUserBuffer_GetEncoding_Ref(buffer);
        Vexa_UserBufferEncodingTfN_SetQuantizedStepSize(e, step);
        Vexa_UserBufferEncodingTfN_SetStepExactly0(e, offset);
    }
    return true;
}

bool extractOutputBuffer(Vexa_UserBufferMap_Handle_t outputs, Vexa_UserMemoryMap_Handle_t memory,
                         ApplicationBuffers& appBuffers, const std::string& outputDir, const std::string& tensor,
                         const std::string& ubType, const std::string& fileType, uint64_t files, uint64_t pieces,
                         uint32_t base, bool dynamicQuantization, bool memoryMapped, size_t memoryIndex) {
    const uint64_t ubElem = DataTypeBitWidths.at(ubType) / 8;
    const uint64_t fileElem = DataTypeBitWidths.at(fileType) / 8;
    if (files == 0) return true;
    Vexa_IUserBuffer_Handle_t buffer = Vexa_UserBufferMap_GetUserBuffer_Ref(outputs, tensor.c_str());
    Vexa_UserBufferEncoding_Handle_t e = Vexa_IUserBuffer_GetEncoding_Ref(buffer);
    const uint64_t size = Vexa_IUserBuffer_GetSize(buffer);
    const uint64_t produced = Vexa_IUserBuffer_GetOutputSize(buffer);
    const uint64_t count = size / ubElem;
    const uint8_t* src = memoryMapped ? mappedAddress(memory, tensor, memoryIndex) : appBuffers.at(tensor).data();
    thread_local std::vector<uint8_t> staging;
    // The whole buffer converts to the same file data for every file, so
    // once is enough, except where the conversion fits an encoding to the
    // data: its report on that encoding belongs to each file, as the sizes'.
    const bool reportsPerFile = isFixed(fileType) && dynamicQuantization;
    for (uint64_t i = 0; i < files; ++i) {
        float step = Vexa_UserBufferEncodingTfN_GetQuantizedStepSize(e);
        uint64_t offset = Vexa_UserBufferEncodingTfN_GetStepExactly0(e);
        uint64_t slice = size / pieces;
        const uint64_t producedSlice = produced / pieces;
        if (slice != producedSlice) {
            std::cout << "\tUserBuffer size is " << size << " bytes but " << produced << " bytes of data was found."
                      << std::endl;
            if (producedSlice > slice) std::cout << "\tAssign a larger buffer using a larger -z argument" << std::endl;
            slice = std::min(slice, producedSlice);
        }
        if (i == 0 || reportsPerFile) {
            staging.assign(count * fileElem, 0);
            if (!convertElements(src, staging.data(), ubType, fileType, count, &step, &offset, dynamicQuantization)) {
                std::cerr << "Unsupported datatype conversion attempted for output '" << tensor << "': " << ubType
                          << " (output userbuffer) -> " << fileType << " (native output)" << std::endl;
                return false;
            }
        }
        const std::string path = outputFilePath(outputDir, tensor, static_cast<uint32_t>(base + i));
        const uint64_t start = fileElem * (slice * i) / ubElem;
        const uint64_t length = (count * fileElem) / pieces;
        if (!writeRawFile(path, staging.data() + start, length)) return false;
    }
    return true;
}
