// The JSON configuration value: any bytes either parse or fail with Config's own error,
// and whatever parses can be read, compared and printed.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "BexmorCore/External/Hub/Config.h"

namespace {

void readAll(const bexmor::Config& value) {
    (void)value.string();
    (void)value.integer();
    (void)value.floating();
    (void)value.boolean();
    (void)value.token();
    (void)value.get();
    if (const auto dictionary = value.dictionary()) {
        for (const auto& [key, member] : *dictionary) {
            (void)bexmor::Config::uncamelCase(key);
            readAll(member);
        }
    }
    if (const auto array = value.array()) {
        for (const auto& element : *array) readAll(element);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const bexmor::Config config = bexmor::Config::parse(text);
        readAll(config);
        (void)config.member("bosToken");
        (void)config.description();
        (void)(config == config);
    } catch (const bexmor::Config::ParseError&) {
    }
    return 0;
}
