#include "Platform/ML/Features.h"

namespace platform::ml {

FeatureType featureTypeOf(const FeatureValue& value) {
    switch (value.index()) {
    case 0: return FeatureType::int64;
    case 1: return FeatureType::double_;
    case 2: return FeatureType::string;
    case 3: return FeatureType::multiArray;
    }
    return FeatureType::invalid;
}

void FeatureProvider::set(std::string name, FeatureValue value) {
    values_.insert_or_assign(std::move(name), std::move(value));
}

const FeatureValue* FeatureProvider::featureValue(std::string_view name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

const MultiArray* FeatureProvider::multiArray(std::string_view name) const {
    const FeatureValue* v = featureValue(name);
    return v == nullptr ? nullptr : std::get_if<MultiArray>(v);
}

std::vector<std::string> FeatureProvider::featureNames() const {
    std::vector<std::string> names;
    for (const auto& [name, value] : values_) names.push_back(name);
    return names;
}

}  // namespace platform::ml
