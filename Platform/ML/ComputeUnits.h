#pragma once

namespace platform::ml {

// Where a model should run. Every unit is the CPU on Linux; the choice is kept and
// reported so that settings and log lines read as they do elsewhere.
enum class ComputeUnits : int { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

}  // namespace platform::ml
