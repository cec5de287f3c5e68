// Model containers.
#include <string>

#include "ApiTrace.h"
#include "ErrorState.h"
#include "runtimelib/Vexa.h"

using namespace vexart;

extern "C" {

Vexa_DlContainer_Handle_t Vexa_DlContainer_Open(const char* path) {
    trace("Vexa_DlContainer_Open", path);
    return fail(VEXA_ERRORCODE_BAD_CONTAINER,
                std::string("Failed to open container ") + (path != nullptr ? path : "(null)") +
                    ": this runtime build has no container reader");
}

Vexa_DlContainer_Handle_t Vexa_DlContainer_OpenBuffer(const uint8_t* buffer, size_t size) {
    trace("Vexa_DlContainer_OpenBuffer", static_cast<const void*>(buffer), size);
    return fail(VEXA_ERRORCODE_BAD_CONTAINER, "Failed to open container buffer: this runtime build has no container reader");
}

Vexa_ErrorCode_t Vexa_DlContainer_Delete(Vexa_DlContainer_Handle_t container) {
    return container == nullptr ? VEXA_ERRORCODE_INVALID_HANDLE : VEXA_SUCCESS;
}

}  // extern "C"
