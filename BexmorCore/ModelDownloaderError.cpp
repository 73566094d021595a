#include "BexmorCore/ModelDownloaderError.h"

#include <utility>

namespace bexmor {

ModelDownloaderError::ModelDownloaderError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

ModelDownloaderError ModelDownloaderError::modelUnavailable(std::string message) {
    return ModelDownloaderError(Kind::modelUnavailable, std::move(message));
}

}  // namespace bexmor
