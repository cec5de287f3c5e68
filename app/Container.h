// Opening the model container, from its path or from its bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "app/RunConfig.h"

// ZIP local-header signature with "version needed" 45 at the start and an
// end-of-central-directory record (no archive comment) at the end.
bool isContainerBytes(const std::vector<uint8_t>& bytes);

// With `--init_from_buffer` the bytes are kept in `bytes`, which must
// outlive the container. False after the failure has been reported.
bool openContainer(const RunConfig& config, std::vector<uint8_t>& bytes, DlContainerHandle& container);
