// Application-allocated initialisation buffers: with deferred
// initialisation the tool allocates the spill-fill and weight buffers in
// DSP shared memory and hands them to the network to finish its set-up.
#pragma once

#include "app/NetworkBuild.h"
#include "app/RunConfig.h"

// Also loads the allocator for memory-mapped user buffers. False after the
// failure has been reported.
bool prepareInitBuffers(const RunConfig& config, RunHandles& run);
