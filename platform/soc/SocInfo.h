// What the machine's SoC information service says about its DSP.
#pragma once

#include <cstdint>

// True when the reported DSP architecture version is 68 or higher.
bool isKtpDevice();
