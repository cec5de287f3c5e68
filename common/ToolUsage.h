// How the companion tools show their usage text: asked for (--help), on
// standard output with status 0; after a mistake, on standard error with
// status 2.
#pragma once

#include <iostream>

inline int printUsage(const char* text, bool asked) {
    (asked ? std::cout : std::cerr) << text;
    return asked ? 0 : 2;
}
