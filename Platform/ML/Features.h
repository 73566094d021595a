#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Platform/ML/MultiArray.h"

namespace platform::ml {

enum class FeatureType { invalid, int64, double_, string, multiArray };

// A shape entry of -1 means "any length" (the decoder's `input_ids`).
struct MultiArrayConstraint {
    std::vector<int64_t> shape;
    MultiArrayDataType dataType = MultiArrayDataType::float32;
};

struct FeatureDescription {
    std::string name;
    FeatureType type = FeatureType::invalid;
    std::optional<MultiArrayConstraint> multiArrayConstraint;
};

struct ModelDescription {
    std::map<std::string, FeatureDescription> inputDescriptionsByName;
    std::map<std::string, FeatureDescription> outputDescriptionsByName;
    bool hasState = false;
};

using FeatureValue = std::variant<int64_t, double, std::string, MultiArray>;

FeatureType featureTypeOf(const FeatureValue& value);

// Named feature values: a model's inputs or outputs.
class FeatureProvider {
public:
    void set(std::string name, FeatureValue value);
    const FeatureValue* featureValue(std::string_view name) const;  // nullptr if absent
    // The multi-array of that name, or nullptr when absent or of another kind.
    const MultiArray* multiArray(std::string_view name) const;
    std::vector<std::string> featureNames() const;

private:
    std::map<std::string, FeatureValue, std::less<>> values_;
};

}  // namespace platform::ml
