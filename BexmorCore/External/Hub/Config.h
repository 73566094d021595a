#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "BexmorCore/BinaryDistinctString.h"

namespace bexmor {

// The in-memory form of a JSON configuration document ("config.json",
// "tokenizer_config.json", "tokenizer.json") and of small configuration trees that
// tokenizer code builds for itself.
//
// A Config is an immutable tagged value: string, integer, boolean, floating, dictionary,
// array, token or null. Object keys are BinaryDistinctString values, so keys that differ
// in any UTF-16 unit stay distinct. Reading never fails on a missing or mistyped key:
//
//     const Config config = Config::parse(bytesOfTokenizerConfigJson);
//     config.member("bosToken")            // "bos_token" found through the snake-case fallback
//     config["model"]["vocab"].dictionary() // shared, never copied; nullptr when absent
//     config.member("addPrefixSpace").boolean().value_or(true)
//
// Lookups on a non-dictionary and on a missing key give null; typed accessors give an
// empty optional (or nullptr for containers) on a kind mismatch. Nested dictionaries and
// arrays are shared between copies, so passing a Config or a looked-up member around by
// value is cheap even for a 50,000-entry vocabulary. A Config may be read from any number
// of threads at once.
class Config {
public:
    // Key order is by code units; the configuration itself keeps no order.
    using Dictionary = std::map<BinaryDistinctString, Config>;
    using Array = std::vector<Config>;

    // A special-token reference: an id and its content.
    struct Token {
        std::uint64_t id = 0;
        BinaryDistinctString content;
        friend bool operator==(const Token&, const Token&) = default;
    };

    enum class Kind { string, integer, boolean, floating, dictionary, array, token, null };
    // The alternatives follow Kind's order.
    using Data = std::variant<BinaryDistinctString, std::int64_t, bool, float, std::shared_ptr<const Dictionary>,
                              std::shared_ptr<const Array>, Token, std::monostate>;

    // A JSON document that could not be read: bad syntax, ill-formed UTF-8, a number
    // beyond the floating-point range, or nesting deeper than `maximumDepth`. what() is
    // the parser's message.
    class ParseError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    // A value of a kind that has no configuration form: "unknown type: <kind> <value>".
    class UnknownTypeError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    static constexpr std::size_t maximumDepth = 512;

    // --- Building ---------------------------------------------------------------------

    Config() noexcept : value_(std::monostate{}) {}  // null
    Config(std::nullptr_t) noexcept : value_(std::monostate{}) {}  // NOLINT: literal
    Config(BinaryDistinctString text) : value_(std::move(text)) {}  // NOLINT: literal
    Config(const char* text) : value_(BinaryDistinctString(text)) {}  // NOLINT: literal
    Config(const std::string& text) : value_(BinaryDistinctString(text)) {}  // NOLINT: literal
    Config(std::string_view text) : value_(BinaryDistinctString(text)) {}  // NOLINT: literal
    Config(bool flag) : value_(flag) {}  // NOLINT: literal
    // Any integer becomes `integer`; an unsigned value above INT64_MAX becomes the
    // nearest `floating`, as the same number read from JSON would.
    template <class Integer>
        requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool> && !std::is_same_v<Integer, char>)
    Config(Integer number) : value_(fromInteger(number)) {}  // NOLINT: literal
    Config(float number) : value_(number) {}  // NOLINT: literal
    // Stored as the nearest 32-bit float.
    Config(double number) : value_(static_cast<float>(number)) {}  // NOLINT: literal
    Config(Array elements) : value_(std::make_shared<const Array>(std::move(elements))) {}  // NOLINT
    Config(Dictionary entries) : value_(std::make_shared<const Dictionary>(std::move(entries))) {}  // NOLINT
    Config(Token token) : value_(std::move(token)) {}  // NOLINT: literal

    // An array literal: Config::arrayLiteral({1, "a", nullptr}).
    static Config arrayLiteral(std::initializer_list<Config> elements);
    // A dictionary literal; when a key repeats, the later pair replaces the earlier one.
    static Config dictionaryLiteral(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries);

    // Reads a JSON document (the raw bytes of a file) into a Config.
    // - Objects become dictionaries (a repeated member name: the last one wins), arrays
    //   arrays, strings strings (UTF-16 units), null null.
    // - true and false become the integers 1 and 0 (boolean() maps them back).
    // - A whole number within the signed 64-bit range becomes `integer`, also when it is
    //   written with a fraction or an exponent (2.0, 1e3); every other number becomes the
    //   nearest `floating`.
    // - A leading U+FEFF inside a string value is kept, exactly once; a byte-order mark at
    //   the start of the document is skipped.
    // Throws ParseError.
    static Config parse(std::string_view json);

    // Converts an already parsed nlohmann value by the same rules as parse() (so JSON
    // booleans become integers). Throws UnknownTypeError for binary or discarded values.
    static Config convertToBinaryDistinctKeys(const nlohmann::json& parsed);

    // --- Reading ----------------------------------------------------------------------

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    const Data& value() const noexcept { return value_; }
    bool isNull() const noexcept { return kind() == Kind::null; }

    // On a dictionary: the value under `key`, else under uncamelCase(key), else null.
    // On any other kind: null.
    Config operator[](const BinaryDistinctString& key) const;
    // Member lookup by a camelCase name such as "bosToken": as operator[].
    Config member(std::string_view name) const;
    // As member() on a dictionary (null when the name is missing); empty on other kinds.
    std::optional<Config> optionalMember(std::string_view name) const;

    std::optional<std::string> string() const;  // UTF-8 text of a string
    std::optional<BinaryDistinctString> binaryDistinctString() const;  // units of a string
    std::optional<std::int64_t> integer() const;  // integers only, floats not converted
    std::optional<float> floating() const;  // floats, and integers converted to float
    // boolean: itself; integer: true only when exactly 1; string: "true"/"t"/"1" true and
    // "false"/"f"/"0" false in any case; anything else empty.
    std::optional<bool> boolean() const;
    std::shared_ptr<const Array> array() const;  // nullptr unless an array
    std::shared_ptr<const Dictionary> dictionary() const;  // nullptr unless a dictionary
    // A token, or a two-element array of a string and then a non-negative integer.
    std::optional<std::pair<std::uint64_t, std::string>> token() const;
    // The string elements of an array, others skipped; empty unless an array.
    std::optional<std::vector<std::string>> get() const;

    // "bosToken" -> "bos_token", "BOSToken" -> "bostoken", "_Foo" -> "__foo".
    static BinaryDistinctString uncamelCase(const BinaryDistinctString& key);

    // Diagnostics: "abc" quoted, 1, true, 0.5, {[a: 1]}, {[:]}, [[1, 2]], (1, abc), null.
    std::string description() const;

    // Loose across scalar kinds (integer 1 == boolean true == string "T", integer 2 ==
    // floating 2.0, string "1" != integer 1), hence not transitive. For that reason
    // Config has no std::hash: a hash cannot agree with this equality.
    friend bool operator==(const Config& left, const Config& right);

private:
    template <class Integer>
    static Data fromInteger(Integer number) {
        if constexpr (std::is_unsigned_v<Integer> && sizeof(Integer) >= sizeof(std::int64_t)) {
            if (number > static_cast<std::uint64_t>(INT64_MAX)) return static_cast<float>(number);
        }
        return static_cast<std::int64_t>(number);
    }

    Data value_;
};

// The encoded form: strings, integers, booleans, floats and null as themselves, arrays as
// arrays, dictionaries as objects, and a token as the two-item list [id, content].
void to_json(nlohmann::json& json, const Config& config);
// Decoding never fails: null; then integer, float, boolean, string; a two-item list of an
// unsigned integer and a string is a token; other lists arrays; objects dictionaries.
void from_json(const nlohmann::json& json, Config& config);

}  // namespace bexmor
