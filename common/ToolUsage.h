// How the companion tools show their usage text: asked for (--help), on
// standard output with status 0; after a mistake, on standard error with
// status 2.
#pragma once

#include <iostream>
#include <string>

inline int printUsage(const char* text, bool asked) {
    (asked ? std::cout : std::cerr) << text;
    return asked ? 0 : 2;
}

// A mistake named: what was wrong, then where the usage is, on standard
// error with status 2.
inline int usageError(const char* tool, const std::string& why) {
    std::cerr << tool << ": " << why << "\n" << tool << " --help shows every option\n";
    return 2;
}
