#include "BexmorCore/ComputeUnitsText.h"

namespace bexmor {

using platform::ml::ComputeUnits;

std::string description(ComputeUnits units) {
    switch (units) {
    case ComputeUnits::cpuOnly: return "cpuOnly";
    case ComputeUnits::cpuAndGPU: return "cpuAndGPU";
    case ComputeUnits::all: return "all";
    case ComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
    }
    return "unknown";
}

std::string displayName(ComputeUnits units) {
    switch (units) {
    case ComputeUnits::cpuOnly: return "CPU";
    case ComputeUnits::cpuAndGPU: return "GPU";
    case ComputeUnits::all: return "All";
    case ComputeUnits::cpuAndNeuralEngine: return "Neural Engine";
    }
    return "Unknown";
}

}  // namespace bexmor
