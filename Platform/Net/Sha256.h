#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Incremental SHA-256 (FIPS 180-4).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, size_t size);
    // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
    std::string finishHex();

    static std::string hex(std::string_view bytes);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace platform
