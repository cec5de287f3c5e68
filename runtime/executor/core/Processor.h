// The instruction-set extensions the executor's own loops were compiled
// for, against those of the processor it runs on. oneDNN picks its kernels
// at run time; the engine's loops are compiled once, for a level every
// machine it targets has (x86-64-v3: AVX2 and FMA), so a build runs alike
// on AVX2 and AVX-512 machines and refuses, with a message, one that lacks
// them instead of stopping on an illegal instruction.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vexart {

// The extensions this build's loops use, as the compiler was told.
std::vector<std::string> builtForExtensions();

// Those of `needed` that `has` denies, space-separated; empty when none.
std::string missingExtensions(const std::vector<std::string>& needed, const std::function<bool(const std::string&)>& has);

// Whether this processor has the named extension (a name of builtForExtensions).
bool processorHas(const std::string& extension);

// Throws ExecError naming what is missing when this processor cannot run
// the build's loops.
void requireProcessorExtensions();

}  // namespace vexart
