// Arbitrary bytes opened as a model container.
#include <cstddef>
#include <cstdint>

#include "runtimelib/Vexa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Vexa_DlContainer_Handle_t c = Vexa_DlContainer_OpenBuffer(data, size);
    if (c != nullptr) Vexa_DlContainer_Delete(c);
    return 0;
}
