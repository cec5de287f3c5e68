#include "app/ErrorReport.h"

#include <iostream>

#include "runtimelib/Vexa.h"

void reportLastError() {
    std::cerr << libraryText(Vexa_ErrorCode_GetLastErrorString()) << std::endl;
}
