#include <unistd.h>

#include "platform/Process.h"

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }
