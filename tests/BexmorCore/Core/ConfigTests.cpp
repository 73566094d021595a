#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "BexmorCore/External/Hub/Config.h"

using bexmor::BinaryDistinctString;
using bexmor::Config;
using Kind = Config::Kind;

namespace bexmor {
void PrintTo(const Config& config, std::ostream* out) { *out << config.description(); }
}  // namespace bexmor

TEST(ConfigTest, LooksUpSnakeCaseAfterTheExactKeyAndNeverFailsOnAMissingOne) {
    const Config config = Config::parse(R"({"bos_token": "<s>", "add_prefix_space": false, "bosToken2": "x"})");
    EXPECT_EQ(config.member("bosToken").string(), "<s>");
    EXPECT_EQ(config.member("bos_token").string(), "<s>");
    EXPECT_EQ(config["addPrefixSpace"].boolean(), false);
    EXPECT_TRUE(config.member("eosToken").isNull());
    const Config both = Config::parse(R"({"bosToken": "camel", "bos_token": "snake"})");
    EXPECT_EQ(both.member("bosToken").string(), "camel");
    EXPECT_EQ(both.member("bos_token").string(), "snake");
    for (const Config& value : {Config::arrayLiteral({1}), Config("text"), Config()}) {
        EXPECT_TRUE(value["x"].isNull());
        EXPECT_FALSE(value.optionalMember("x").has_value());
    }
    EXPECT_TRUE(Config::parse("{}").optionalMember("x").has_value());
    // Lookups hand out the parsed storage: a 50,000-entry vocabulary is never copied.
    const Config nested = Config::parse(R"({"model": {"vocab": {"a": 0}}})");
    const Config copy = nested;
    EXPECT_EQ(nested["model"]["vocab"].dictionary().get(), copy.member("model").member("vocab").dictionary().get());
}

TEST(ConfigTest, Uncamelcases) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"", u""}, {u"bosToken", u"bos_token"}, {u"addPrefixSpace", u"add_prefix_space"}, {u"Sequence", u"sequence"},
        {u"BOSToken", u"bostoken"}, {u"layer2Norm", u"layer2_norm"}, {u"aB", u"a_b"}, {u"_Foo", u"__foo"},
        {u"plain_key", u"plain_key"},
        {u"x\u0130", u"x_i\u0307"},  // a full lower-case mapping of two scalars
        {u"a\u01C5", u"a_\u01C6"},   // a titlecase letter counts as upper case
    };
    for (const auto& [key, expected] : cases) EXPECT_EQ(Config::uncamelCase(key).value(), expected);
}

// Numbers are read by their value, not their spelling, and a number that does not fit the
// signed 64-bit range must not wrap.
TEST(ConfigTest, ParsesScalarsByTheirValue) {
    const std::pair<const char*, Config> cases[] = {
        {"true", 1}, {"false", 0}, {"2.0", 2}, {"1e3", 1000}, {"-7", -7}, {"0.5", 0.5f}, {"0.1", 0.1f},
        {"1e20", 1e20f}, {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", 9223372036854775808.0f}, {"9223372036854775808.0", 9223372036854775808.0f},
        {"\"\xEF\xBB\xBFx\"", BinaryDistinctString(u"\uFEFFx")},  // a leading mark in a value is kept once
        {"\"a\\\"\xEF\xBB\xBF\"", BinaryDistinctString(u"a\"\uFEFF")},
    };
    for (const auto& [json, expected] : cases) {
        const Config parsed = Config::parse(json);
        EXPECT_EQ(parsed.kind(), expected.kind()) << json;
        EXPECT_EQ(parsed, expected) << json;
    }
    EXPECT_FALSE(Config::parse("0.5").integer());
    EXPECT_EQ(Config::parse(R"({"a": 1, "a": 2})")["a"].integer(), 2);  // the last member wins
    EXPECT_EQ(Config::parse("\xEF\xBB\xBF{\"a\": 1}")["a"].integer(), 1);  // a document's mark is skipped
    const Config keys = Config::parse("{\"caf\xC3\xA9\": 1, \"cafe\xCC\x81\": 2, \"\xEF\xBB\xBFk\": 3}");
    EXPECT_EQ(keys.dictionary()->size(), 3u);
    EXPECT_EQ(keys["cafe\xCC\x81"].integer(), 2);
    EXPECT_TRUE(keys["k"].isNull());
}

TEST(ConfigTest, RejectsWhatItCannotRead) {
    const std::string tooDeep = std::string(Config::maximumDepth + 1, '[') + std::string(Config::maximumDepth + 1, ']');
    for (const std::string& json : {std::string("{"), std::string(R"({"a": 1} x)"), std::string(R"({"a": 1e400})"),
                                    std::string(R"({"a": NaN})"), std::string("\"\xFF\""), std::string("\"\xEF\xBB"),
                                    tooDeep}) {
        EXPECT_THROW(Config::parse(json), Config::ParseError) << json.substr(0, 20);
    }
    EXPECT_NO_THROW(Config::parse(std::string(Config::maximumDepth, '[') + std::string(Config::maximumDepth, ']')));
}

TEST(ConfigTest, TypedAccessorsAnswerEmptyOnAMismatch) {
    for (const Config& truthy : {Config("TRUE"), Config("t"), Config("1"), Config(1), Config(true)})
        EXPECT_EQ(truthy.boolean(), true) << truthy.description();
    for (const Config& falsy : {Config("False"), Config("f"), Config("0"), Config(0), Config(5), Config(false)})
        EXPECT_EQ(falsy.boolean(), false) << falsy.description();
    for (const Config& absent : {Config("yes"), Config(1.0f), Config(), Config::arrayLiteral({1})})
        EXPECT_FALSE(absent.boolean().has_value()) << absent.description();

    EXPECT_EQ(Config::arrayLiteral({"<|endoftext|>", 0}).token(), std::make_pair(std::uint64_t{0}, std::string("<|endoftext|>")));
    EXPECT_FALSE(Config::arrayLiteral({"a", 1, 2}).token());
    EXPECT_FALSE(Config::arrayLiteral({1, "a"}).token());
    EXPECT_FALSE(Config::arrayLiteral({"a", -1}).token());  // must not wrap to a huge id

    const Config config = Config::parse(R"({"list": ["a", 1, null, "b"], "s": "x", "n": 3})");
    EXPECT_EQ(config["list"].get(), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(config["s"].integer());
    EXPECT_FALSE(config["n"].string());
    EXPECT_EQ(config["n"].dictionary(), nullptr);
}

TEST(ConfigTest, EqualityIsLooseAcrossScalarKinds) {
    const std::tuple<Config, Config, bool> cases[] = {
        {1, true, true}, {true, "T", true}, {false, 0, true}, {false, 7, true}, {2, 2.0f, true},
        {"1", 1, false}, {"t", 1, false}, {true, 1.0f, false}, {true, Config(), false}, {Config(), 0, false},
        {Config::dictionaryLiteral({{"a", 1}, {"b", "x"}}), Config::dictionaryLiteral({{"b", "x"}, {"a", 1}}), true},
        {Config::dictionaryLiteral({{"a", 1}}), Config::dictionaryLiteral({{"a", 1}, {"b", 2}}), false},
        {Config::arrayLiteral({1, 2}), Config::arrayLiteral({1, 2.0f}), true},
        {Config::arrayLiteral({1, 2}), Config::arrayLiteral({2, 1}), false},
        {Config::Token{1, "a"}, Config::arrayLiteral({"a", 1}), false},
    };
    for (const auto& [left, right, equal] : cases) {
        EXPECT_EQ(left == right, equal) << left.description() << " vs " << right.description();
        EXPECT_EQ(right == left, equal) << right.description() << " vs " << left.description();
    }
}

TEST(ConfigTest, RoundTripsThroughTheEncodedForm) {
    const Config original = Config::dictionaryLiteral({
        {"s", "text"}, {"i", -3}, {"b", true}, {"f", 0.1f}, {"n", nullptr},
        {"list", Config::arrayLiteral({"x", 1})}, {"token", Config::Token{7, "<eos>"}},
    });
    const nlohmann::json encoded = original;
    EXPECT_EQ(encoded["f"].dump(), "0.1");
    EXPECT_EQ(encoded["token"], nlohmann::json::parse(R"([7, "<eos>"])"));
    const Config decoded = encoded.get<Config>();
    EXPECT_EQ(decoded, original);
    EXPECT_EQ(decoded["b"].kind(), Kind::boolean);
    EXPECT_EQ(decoded["token"].kind(), Kind::token);
    EXPECT_EQ(decoded["list"].kind(), Kind::array);

    // Decoding never fails: what fits no 32-bit float becomes null, not infinity.
    const std::pair<const char*, Kind> kinds[] = {
        {R"([1, "x"])", Kind::token}, {R"([2.0, "x"])", Kind::token}, {R"([-1, "x"])", Kind::array},
        {R"([2.5, "x"])", Kind::array}, {R"([true, "x"])", Kind::array}, {"1e300", Kind::null},
        {"-1e300", Kind::null}, {"3.0", Kind::integer}, {"18446744073709551615", Kind::floating},
    };
    for (const auto& [json, kind] : kinds) EXPECT_EQ(nlohmann::json::parse(json).get<Config>().kind(), kind) << json;

    const Config converted = Config::convertToBinaryDistinctKeys(nlohmann::json::parse(R"({"a": [true, 2.0, 0.5]})"));
    EXPECT_EQ((*converted["a"].array())[0].kind(), Kind::integer);
    EXPECT_THROW(Config::convertToBinaryDistinctKeys(nlohmann::json::binary({1, 2})), Config::UnknownTypeError);
}
