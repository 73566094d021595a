#include "BexmorCore/External/Hub/Config.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "BexmorCore/Unicode.h"

namespace bexmor {

namespace {

using Json = nlohmann::json;

// A parsed number: whole values within the signed 64-bit range are integers, everything
// else the nearest float. The range test is -2^63 <= d < 2^63: 2^63 itself does not fit,
// and casting it would be undefined.
Config fromParsedNumber(double number) {
    constexpr double twoTo63 = 9223372036854775808.0;
    if (std::trunc(number) == number && number >= -twoTo63 && number < twoTo63) {
        return Config(static_cast<std::int64_t>(number));
    }
    return Config(static_cast<float>(number));
}

Config fromParsedUnsigned(std::uint64_t number) {
    if (number <= static_cast<std::uint64_t>(INT64_MAX)) return Config(static_cast<std::int64_t>(number));
    return Config(static_cast<float>(number));
}

// Builds the Config straight from the parser's events, without an intermediate tree.
class Builder final : public nlohmann::json_sax<Json> {
public:
    bool null() override { return put(Config()); }
    bool boolean(bool value) override { return put(Config(static_cast<std::int64_t>(value ? 1 : 0))); }
    bool number_integer(number_integer_t value) override { return put(Config(static_cast<std::int64_t>(value))); }
    bool number_unsigned(number_unsigned_t value) override { return put(fromParsedUnsigned(value)); }
    bool number_float(number_float_t value, const string_t&) override { return put(fromParsedNumber(value)); }
    bool string(string_t& value) override { return put(Config(BinaryDistinctString(Unicode::utf16(value)))); }
    bool binary(binary_t&) override {
        error_ = "unknown type: binary";
        return false;
    }

    bool start_object(std::size_t) override { return open(true); }
    bool key(string_t& value) override {
        stack_.back().key = BinaryDistinctString(Unicode::utf16(value));
        return true;
    }
    bool end_object() override {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        return put(Config(std::move(frame.dictionary)));
    }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        return put(Config(std::move(frame.array)));
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        error_ = error.what();
        return false;
    }

    const std::string& error() const { return error_; }
    Config takeResult() { return std::move(result_); }

private:
    struct Frame {
        bool isObject = false;
        Config::Dictionary dictionary;
        Config::Array array;
        BinaryDistinctString key;
    };

    bool open(bool isObject) {
        // Deeper documents are refused: destroying, comparing and printing a value
        // recurse once per level, and a hostile file must not exhaust the stack.
        if (stack_.size() >= Config::maximumDepth) {
            error_ = "nesting deeper than " + std::to_string(Config::maximumDepth) + " levels";
            return false;
        }
        stack_.push_back(Frame{isObject, {}, {}, {}});
        return true;
    }

    bool put(Config value) {
        if (stack_.empty()) {
            result_ = std::move(value);
        } else if (Frame& top = stack_.back(); top.isObject) {
            // A repeated member name: the last one wins, as in every common JSON reader.
            top.dictionary.insert_or_assign(std::move(top.key), std::move(value));
        } else {
            top.array.push_back(std::move(value));
        }
        return true;
    }

    std::vector<Frame> stack_;
    Config result_;
    std::string error_;
};

std::string describeFloat(float number) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    std::string text(buffer, result.ptr);
    if (std::isfinite(number) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string_view jsonKindName(const Json& json) {
    return json.type_name();
}

Config convert(const Json& json, std::size_t depth) {
    if (depth > Config::maximumDepth) {
        throw Config::UnknownTypeError("nesting deeper than " + std::to_string(Config::maximumDepth) + " levels");
    }
    switch (json.type()) {
        case Json::value_t::object: {
            Config::Dictionary dictionary;
            for (const auto& [key, value] : json.items()) {
                dictionary.insert_or_assign(BinaryDistinctString(Unicode::utf16(key)), convert(value, depth + 1));
            }
            return Config(std::move(dictionary));
        }
        case Json::value_t::array: {
            Config::Array array;
            array.reserve(json.size());
            for (const auto& element : json) array.push_back(convert(element, depth + 1));
            return Config(std::move(array));
        }
        case Json::value_t::string:
            return Config(BinaryDistinctString(Unicode::utf16(json.get_ref<const std::string&>())));
        case Json::value_t::boolean:
            return Config(static_cast<std::int64_t>(json.get<bool>() ? 1 : 0));
        case Json::value_t::number_integer:
            return Config(json.get<std::int64_t>());
        case Json::value_t::number_unsigned:
            return fromParsedUnsigned(json.get<std::uint64_t>());
        case Json::value_t::number_float:
            return fromParsedNumber(json.get<double>());
        case Json::value_t::null:
            return Config();
        case Json::value_t::binary:
        case Json::value_t::discarded:
            break;
    }
    throw Config::UnknownTypeError("unknown type: " + std::string(jsonKindName(json)) + " " + json.dump());
}

}  // namespace

Config Config::arrayLiteral(std::initializer_list<Config> elements) {
    return Config(Array(elements));
}

Config Config::dictionaryLiteral(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
    // std::map's own list constructor would keep the first of two equal keys.
    Dictionary dictionary;
    for (const auto& [key, value] : entries) dictionary.insert_or_assign(key, value);
    return Config(std::move(dictionary));
}

Config Config::parse(std::string_view json) {
    Builder builder;
    // nlohmann keeps every U+FEFF inside string values, so no pre-pass is needed to
    // protect a leading mark (and none may be added: it would double the mark).
    const bool ok = Json::sax_parse(json.begin(), json.end(), &builder, nlohmann::detail::input_format_t::json, true);
    if (!ok) throw ParseError(builder.error().empty() ? "JSON parse error" : builder.error());
    return builder.takeResult();
}

Config Config::convertToBinaryDistinctKeys(const nlohmann::json& parsed) {
    return convert(parsed, 0);
}

Config Config::operator[](const BinaryDistinctString& key) const {
    const auto* dictionary = std::get_if<std::shared_ptr<const Dictionary>>(&value_);
    if (!dictionary) return Config();
    if (const auto found = (*dictionary)->find(key); found != (*dictionary)->end()) return found->second;
    if (const auto found = (*dictionary)->find(uncamelCase(key)); found != (*dictionary)->end()) return found->second;
    return Config();
}

Config Config::member(std::string_view name) const {
    return (*this)[BinaryDistinctString(name)];
}

std::optional<Config> Config::optionalMember(std::string_view name) const {
    if (kind() != Kind::dictionary) return std::nullopt;
    return member(name);
}

std::optional<std::string> Config::string() const {
    if (const auto* text = std::get_if<BinaryDistinctString>(&value_)) return text->string();
    return std::nullopt;
}

std::optional<BinaryDistinctString> Config::binaryDistinctString() const {
    if (const auto* text = std::get_if<BinaryDistinctString>(&value_)) return *text;
    return std::nullopt;
}

std::optional<std::int64_t> Config::integer() const {
    if (const auto* number = std::get_if<std::int64_t>(&value_)) return *number;
    return std::nullopt;
}

std::optional<float> Config::floating() const {
    if (const auto* number = std::get_if<float>(&value_)) return *number;
    if (const auto* number = std::get_if<std::int64_t>(&value_)) return static_cast<float>(*number);
    return std::nullopt;
}

std::optional<bool> Config::boolean() const {
    if (const auto* flag = std::get_if<bool>(&value_)) return *flag;
    if (const auto* number = std::get_if<std::int64_t>(&value_)) return *number == 1;
    if (const auto* text = std::get_if<BinaryDistinctString>(&value_)) {
        const std::u16string lower = Unicode::lowercased(text->value());
        if (lower == u"true" || lower == u"t" || lower == u"1") return true;
        if (lower == u"false" || lower == u"f" || lower == u"0") return false;
    }
    return std::nullopt;
}

std::shared_ptr<const Config::Array> Config::array() const {
    if (const auto* array = std::get_if<std::shared_ptr<const Array>>(&value_)) return *array;
    return nullptr;
}

std::shared_ptr<const Config::Dictionary> Config::dictionary() const {
    if (const auto* dictionary = std::get_if<std::shared_ptr<const Dictionary>>(&value_)) return *dictionary;
    return nullptr;
}

std::optional<std::pair<std::uint64_t, std::string>> Config::token() const {
    if (const auto* token = std::get_if<Token>(&value_)) return std::make_pair(token->id, token->content.string());
    const auto elements = array();
    if (!elements || elements->size() != 2) return std::nullopt;
    const auto content = (*elements)[0].string();
    const auto id = (*elements)[1].integer();
    // A negative id names no token; it must not wrap around to a huge unsigned one.
    if (!content || !id || *id < 0) return std::nullopt;
    return std::make_pair(static_cast<std::uint64_t>(*id), *content);
}

std::optional<std::vector<std::string>> Config::get() const {
    const auto elements = array();
    if (!elements) return std::nullopt;
    std::vector<std::string> texts;
    for (const auto& element : *elements) {
        if (auto text = element.string()) texts.push_back(std::move(*text));
    }
    return texts;
}

BinaryDistinctString Config::uncamelCase(const BinaryDistinctString& key) {
    const std::u16string& units = key.value();
    std::u16string result;
    result.reserve(units.size() + 4);
    bool previousWasNotUpper = false;
    std::size_t offset = 0;
    while (offset < units.size()) {
        std::size_t next = offset;
        const char32_t scalar = Unicode::scalarAt(units, offset, &next);
        const bool upper = Unicode::isUppercaseOrTitlecaseLetter(scalar);
        if (upper) {
            if (previousWasNotUpper) result += u'_';
            result += Unicode::lowercased(scalar);
        } else {
            result.append(units, offset, next - offset);
        }
        previousWasNotUpper = !upper;
        offset = next;
    }
    return BinaryDistinctString(std::move(result));
}

std::string Config::description() const {
    switch (kind()) {
        case Kind::string: return "\"" + std::get<BinaryDistinctString>(value_).string() + "\"";
        case Kind::integer: return std::to_string(std::get<std::int64_t>(value_));
        case Kind::boolean: return std::get<bool>(value_) ? "true" : "false";
        case Kind::floating: return describeFloat(std::get<float>(value_));
        case Kind::dictionary: {
            const auto& entries = *std::get<std::shared_ptr<const Dictionary>>(value_);
            if (entries.empty()) return "{[:]}";
            std::string text = "{[";
            bool first = true;
            for (const auto& [key, value] : entries) {
                if (!first) text += ", ";
                first = false;
                text += key.string() + ": " + value.description();
            }
            return text + "]}";
        }
        case Kind::array: {
            std::string text = "[[";
            bool first = true;
            for (const auto& element : *std::get<std::shared_ptr<const Array>>(value_)) {
                if (!first) text += ", ";
                first = false;
                text += element.description();
            }
            return text + "]]";
        }
        case Kind::token: {
            const auto& token = std::get<Token>(value_);
            return "(" + std::to_string(token.id) + ", " + token.content.string() + ")";
        }
        case Kind::null: return "null";
    }
    return "null";
}

bool operator==(const Config& left, const Config& right) {
    using Kind = Config::Kind;
    const Kind a = left.kind();
    const Kind b = right.kind();
    if (a == b) {
        switch (a) {
            case Kind::string: return std::get<BinaryDistinctString>(left.value_) == std::get<BinaryDistinctString>(right.value_);
            case Kind::integer: return std::get<std::int64_t>(left.value_) == std::get<std::int64_t>(right.value_);
            case Kind::boolean: return std::get<bool>(left.value_) == std::get<bool>(right.value_);
            case Kind::floating: return std::get<float>(left.value_) == std::get<float>(right.value_);
            case Kind::dictionary: {
                const auto& l = *std::get<std::shared_ptr<const Config::Dictionary>>(left.value_);
                const auto& r = *std::get<std::shared_ptr<const Config::Dictionary>>(right.value_);
                if (&l == &r) return true;
                if (l.size() != r.size()) return false;
                for (const auto& [key, value] : l) {
                    const auto found = r.find(key);
                    if (found == r.end() || !(value == found->second)) return false;
                }
                return true;
            }
            case Kind::array: {
                const auto& l = *std::get<std::shared_ptr<const Config::Array>>(left.value_);
                const auto& r = *std::get<std::shared_ptr<const Config::Array>>(right.value_);
                if (&l == &r) return true;
                if (l.size() != r.size()) return false;
                for (std::size_t i = 0; i < l.size(); ++i) {
                    if (!(l[i] == r[i])) return false;
                }
                return true;
            }
            case Kind::token: return std::get<Config::Token>(left.value_) == std::get<Config::Token>(right.value_);
            case Kind::null: return true;
        }
        return false;
    }
    if (a == Kind::integer && b == Kind::floating) {
        return static_cast<float>(std::get<std::int64_t>(left.value_)) == std::get<float>(right.value_);
    }
    if (a == Kind::floating && b == Kind::integer) return right == left;
    if (a == Kind::boolean) {
        const auto other = right.boolean();
        return other && *other == std::get<bool>(left.value_);
    }
    if (b == Kind::boolean) return right == left;
    return false;
}

void to_json(nlohmann::json& json, const Config& config) {
    switch (config.kind()) {
        case Config::Kind::string: json = std::get<BinaryDistinctString>(config.value()).string(); return;
        case Config::Kind::integer: json = std::get<std::int64_t>(config.value()); return;
        case Config::Kind::boolean: json = std::get<bool>(config.value()); return;
        case Config::Kind::floating: {
            // Through the float's shortest decimal, so 0.1f is written "0.1" and not as
            // the double 0.10000000149011612.
            const std::string text = describeFloat(std::get<float>(config.value()));
            json = std::strtod(text.c_str(), nullptr);
            return;
        }
        case Config::Kind::dictionary: {
            json = nlohmann::json::object();
            for (const auto& [key, value] : *config.dictionary()) json[key.string()] = value;
            return;
        }
        case Config::Kind::array: {
            json = nlohmann::json::array();
            for (const auto& element : *config.array()) json.push_back(element);
            return;
        }
        case Config::Kind::token: {
            const auto& token = std::get<Config::Token>(config.value());
            json = nlohmann::json::array({token.id, token.content.string()});
            return;
        }
        case Config::Kind::null: json = nullptr; return;
    }
}

namespace {

// The item as an unsigned integer, when it reads as one: a non-negative whole number below
// 2^64, also when written with a fraction or an exponent (2.0). nlohmann keeps non-negative
// numbers built in code as signed integers.
std::optional<std::uint64_t> unsignedId(const nlohmann::json& item) {
    if (item.is_number_unsigned()) return item.get<std::uint64_t>();
    if (item.is_number_integer()) {
        const auto number = item.get<std::int64_t>();
        if (number >= 0) return static_cast<std::uint64_t>(number);
        return std::nullopt;
    }
    if (item.is_number_float()) {
        const double number = item.get<double>();
        constexpr double twoTo64 = 18446744073709551616.0;
        if (std::trunc(number) == number && number >= 0 && number < twoTo64) return static_cast<std::uint64_t>(number);
    }
    return std::nullopt;
}

}  // namespace

void from_json(const nlohmann::json& json, Config& config) {
    using Json = nlohmann::json;
    switch (json.type()) {
        case Json::value_t::null: config = Config(); return;
        case Json::value_t::number_integer: config = Config(json.get<std::int64_t>()); return;
        case Json::value_t::number_unsigned: config = fromParsedUnsigned(json.get<std::uint64_t>()); return;
        case Json::value_t::number_float: {
            // A number that no 32-bit float holds reads as neither integer nor float, and
            // the value then decodes as null.
            const double number = json.get<double>();
            const Config value = fromParsedNumber(number);
            config = value.kind() == Config::Kind::floating && !std::isfinite(std::get<float>(value.value())) ? Config() : value;
            return;
        }
        case Json::value_t::boolean: config = Config(json.get<bool>()); return;
        case Json::value_t::string:
            config = Config(BinaryDistinctString(Unicode::utf16(json.get_ref<const std::string&>())));
            return;
        case Json::value_t::array: {
            if (json.size() == 2 && json[1].is_string()) {
                if (const auto id = unsignedId(json[0])) {
                    config = Config(Config::Token{*id, BinaryDistinctString(json[1].get_ref<const std::string&>())});
                    return;
                }
            }
            Config::Array elements;
            elements.reserve(json.size());
            for (const auto& element : json) elements.push_back(element.get<Config>());
            config = Config(std::move(elements));
            return;
        }
        case Json::value_t::object: {
            Config::Dictionary entries;
            for (const auto& [key, value] : json.items()) {
                entries.insert_or_assign(BinaryDistinctString(key), value.get<Config>());
            }
            config = Config(std::move(entries));
            return;
        }
        case Json::value_t::binary:
        case Json::value_t::discarded: break;
    }
    config = Config();
}

}  // namespace bexmor
