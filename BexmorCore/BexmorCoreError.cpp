#include "BexmorCore/BexmorCoreError.h"

#include <utility>

namespace bexmor {

BexmorCoreError::BexmorCoreError(Kind kind, std::string message)
    : kind_(kind), message_(std::move(message)) {}

BexmorCoreError BexmorCoreError::invalidConfiguration(std::string message) {
    return BexmorCoreError(Kind::invalidConfiguration, std::move(message));
}

}  // namespace bexmor
