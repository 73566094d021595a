#include "BexmorCore/ModelState.h"

namespace bexmor {

std::string description(ModelState state) {
    switch (state) {
    case ModelState::unloading: return "Unloading";
    case ModelState::unloaded: return "Unloaded";
    case ModelState::loading: return "Loading";
    case ModelState::loaded: return "Loaded";
    case ModelState::prewarming: return "Specializing";
    case ModelState::prewarmed: return "Specialized";
    case ModelState::downloading: return "Downloading";
    case ModelState::downloaded: return "Downloaded";
    }
    return "Unknown";
}

bool isBusy(ModelState state) {
    return state == ModelState::unloading || state == ModelState::loading || state == ModelState::prewarming ||
           state == ModelState::downloading;
}

}  // namespace bexmor
