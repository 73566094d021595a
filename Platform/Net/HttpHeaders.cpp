#include "Platform/Net/HttpHeaders.h"

#include <strings.h>

#include <algorithm>

namespace platform {

namespace {
bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}
}  // namespace

void HttpHeaders::add(std::string name, std::string value) { fields_.emplace_back(std::move(name), std::move(value)); }

void HttpHeaders::set(const std::string& name, std::string value) {
    remove(name);
    add(name, std::move(value));
}

void HttpHeaders::remove(const std::string& name) {
    std::erase_if(fields_, [&](const auto& field) { return sameName(field.first, name); });
}

std::optional<std::string> HttpHeaders::value(const std::string& name) const {
    for (const auto& [fieldName, fieldValue] : fields_) {
        if (sameName(fieldName, name)) return fieldValue;
    }
    return std::nullopt;
}

}  // namespace platform
