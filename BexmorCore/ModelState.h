#pragma once

#include <string>

namespace bexmor {

// The lifecycle of the engine's models. The owners (the engine, the model manager) set
// it as their work proceeds; it has no transitions of its own.
enum class ModelState { unloading, unloaded, loading, loaded, prewarming, prewarmed, downloading, downloaded };

// "Unloading", "Unloaded", "Loading", "Loaded", "Specializing", "Specialized",
// "Downloading", "Downloaded".
std::string description(ModelState state);
// True for the states of work under way: unloading, loading, prewarming, downloading.
bool isBusy(ModelState state);

}  // namespace bexmor
