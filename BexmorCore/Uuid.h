#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace bexmor {

// A random (version 4) UUID, as decoding runs and transfers use to tell themselves apart.
class Uuid {
public:
    // A fresh random id from the kernel's random source.
    Uuid();

    // Parses the 36-character form (8-4-4-4-12 hexadecimal digits, either case).
    static std::optional<Uuid> fromString(std::string_view text);

    // The 36-character form in upper case, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string string() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace bexmor

template <>
struct std::hash<bexmor::Uuid> {
    std::size_t operator()(const bexmor::Uuid& id) const noexcept;
};
