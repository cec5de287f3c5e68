#include <cstdlib>

#include "platform/DspDriver.h"

// There is no service manager to ask here: a platform that installs the DSP
// libraries outside the search path names their directory in
// VEXA_DSP_DRIVER_DIR; otherwise they are loaded by bare name.
std::string dspDriverDirectory() {
    static const std::string directory = [] {
        const char* dir = std::getenv("VEXA_DSP_DRIVER_DIR");
        return std::string(dir != nullptr ? dir : "");
    }();
    return directory;
}
