#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Header fields in the order received; names compare without regard to case, as HTTP asks.
class HttpHeaders {
public:
    void add(std::string name, std::string value);
    // Replaces every field of that name (or adds it).
    void set(const std::string& name, std::string value);
    void remove(const std::string& name);
    std::optional<std::string> value(const std::string& name) const;
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }
    void clear() { fields_.clear(); }

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

}  // namespace platform
