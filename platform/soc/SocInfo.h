// What the machine's SoC information service says about its DSP.
#pragma once

#include <cstdint>

// Architecture version of the first DSP record; 0 when there is none.
uint32_t dspArchitectureVersion();

// True when the reported DSP architecture version is 68 or higher.
bool isKtpDevice();
