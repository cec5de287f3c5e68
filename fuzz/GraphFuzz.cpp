// Arbitrary bytes read as an ONNX model, then built, prepared and executed
// on zero inputs: graph structure, attributes, initializers and declared
// shapes all come from the input. Exceptions are rejections; memory
// errors, undefined behaviour, hangs and aborts are findings.
#include "RunModel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runFuzzedModel(data, size);
    return 0;
}
