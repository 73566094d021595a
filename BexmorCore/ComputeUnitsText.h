#pragma once

#include <string>

#include "Platform/ML/ComputeUnits.h"

namespace bexmor {

// Texts for a compute-unit choice ("cpuAndGPU" / "GPU"); a value outside the four known
// ones gives "unknown" / "Unknown". On Linux every unit runs on the CPU; the choice is
// only kept and shown.
std::string description(platform::ml::ComputeUnits units);
std::string displayName(platform::ml::ComputeUnits units);

}  // namespace bexmor
