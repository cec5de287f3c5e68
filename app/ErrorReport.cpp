#include "app/ErrorReport.h"

#include <iostream>

#include "runtimelib/Vexa.h"

void reportLastError() {
    const char* text = Vexa_ErrorCode_GetLastErrorString();
    std::cerr << (text != nullptr ? text : "") << std::endl;
}
