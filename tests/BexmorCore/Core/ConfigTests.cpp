#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "BexmorCore/External/Hub/Config.h"

using bexmor::BinaryDistinctString;
using bexmor::Config;
using Kind = Config::Kind;

namespace bexmor {
// Readable failure messages.
void PrintTo(const Config& config, std::ostream* out) {
    *out << config.description();
}
void PrintTo(Config::Kind kind, std::ostream* out) {
    static const char* const names[] = {"string", "integer", "boolean", "floating", "dictionary", "array", "token", "null"};
    *out << names[static_cast<int>(kind)];
}
}  // namespace bexmor

TEST(ConfigLookupTest, SnakeCaseFallbackAndExactKeyFirst) {
    const Config config = Config::parse(R"({"bos_token": "<s>", "add_prefix_space": false, "vocab_size": 51865})");
    EXPECT_EQ(config.member("bosToken").string(), "<s>");
    EXPECT_EQ(config.member("bos_token").string(), "<s>");
    EXPECT_EQ(config["addPrefixSpace"].boolean(), false);
    EXPECT_EQ(config.member("vocabSize").integer(), 51865);
    EXPECT_TRUE(config.member("eosToken").isNull());

    const Config both = Config::parse(R"({"bosToken": "camel", "bos_token": "snake"})");
    EXPECT_EQ(both.member("bosToken").string(), "camel");
    EXPECT_EQ(both.member("bos_token").string(), "snake");
}

TEST(ConfigLookupTest, NonDictionariesAnswerNullOrAbsent) {
    for (const Config& value : {Config::arrayLiteral({1}), Config("text"), Config()}) {
        EXPECT_TRUE(value.member("x").isNull());
        EXPECT_TRUE(value["x"].isNull());
        EXPECT_FALSE(value.optionalMember("x").has_value());
    }
    const Config empty = Config::parse("{}");
    EXPECT_TRUE(empty.member("x").isNull());
    ASSERT_TRUE(empty.optionalMember("x").has_value());
    EXPECT_TRUE(empty.optionalMember("x")->isNull());
}

TEST(ConfigLookupTest, Uncamelcase) {
    auto uncamel = [](const char* key) { return Config::uncamelCase(key).string(); };
    EXPECT_EQ(uncamel(""), "");
    EXPECT_EQ(uncamel("bosToken"), "bos_token");
    EXPECT_EQ(uncamel("addPrefixSpace"), "add_prefix_space");
    EXPECT_EQ(uncamel("Sequence"), "sequence");
    EXPECT_EQ(uncamel("BOSToken"), "bostoken");
    EXPECT_EQ(uncamel("layer2Norm"), "layer2_norm");
    EXPECT_EQ(uncamel("A"), "a");
    EXPECT_EQ(uncamel("aB"), "a_b");
    EXPECT_EQ(uncamel("_Foo"), "__foo");
    EXPECT_EQ(uncamel("plain_key"), "plain_key");
    // General category Lu with a full lower-case mapping of two scalars (U+0130).
    EXPECT_EQ(Config::uncamelCase(u"x\u0130").value(), u"x_i\u0307");
    // A titlecase letter (U+01C5) counts as upper case.
    EXPECT_EQ(Config::uncamelCase(u"a\u01C5").value(), u"a_\u01C6");
}

TEST(ConfigParseTest, NumbersAndBooleans) {
    const Config config = Config::parse(R"({"t": true, "f": false, "two": 2.0, "half": 0.5, "big": 1e20,
        "thousand": 1e3, "tenth": 0.1, "neg": -7, "max": 9223372036854775807,
        "twoTo63": 9223372036854775808, "twoTo63f": 9223372036854775808.0, "min": -9223372036854775808})");
    EXPECT_EQ(config["t"].kind(), Kind::integer);
    EXPECT_EQ(config["t"].integer(), 1);
    EXPECT_EQ(config["t"].boolean(), true);
    EXPECT_EQ(config["f"].integer(), 0);
    EXPECT_EQ(config["f"].boolean(), false);
    EXPECT_EQ(config["two"].kind(), Kind::integer);
    EXPECT_EQ(config["two"].integer(), 2);
    EXPECT_EQ(config["thousand"].integer(), 1000);
    EXPECT_EQ(config["half"].kind(), Kind::floating);
    EXPECT_EQ(config["half"].floating(), 0.5f);
    EXPECT_FALSE(config["half"].integer());
    EXPECT_EQ(config["big"].kind(), Kind::floating);
    EXPECT_EQ(config["big"].floating(), 1e20f);
    EXPECT_EQ(config["tenth"].floating(), 0.1f);
    EXPECT_EQ(config["neg"].integer(), -7);
    EXPECT_EQ(config["max"].integer(), INT64_MAX);
    EXPECT_EQ(config["min"].integer(), INT64_MIN);
    // 2^63 does not fit a signed 64-bit integer, however it is written.
    EXPECT_EQ(config["twoTo63"].kind(), Kind::floating);
    EXPECT_EQ(config["twoTo63"].floating(), 9223372036854775808.0f);
    EXPECT_EQ(config["twoTo63f"].kind(), Kind::floating);
    EXPECT_EQ(Config(3).floating(), 3.0f);
}

TEST(ConfigParseTest, RejectsWhatItCannotRead) {
    EXPECT_THROW(Config::parse("{"), Config::ParseError);
    EXPECT_THROW(Config::parse(R"({"a": 1} x)"), Config::ParseError);
    EXPECT_THROW(Config::parse(R"({"a": 1e400})"), Config::ParseError);
    EXPECT_THROW(Config::parse(R"({"a": NaN})"), Config::ParseError);
    EXPECT_THROW(Config::parse("\"\xFF\""), Config::ParseError);
    EXPECT_THROW(Config::parse(std::string(Config::maximumDepth + 1, '[') + std::string(Config::maximumDepth + 1, ']')),
                 Config::ParseError);
    EXPECT_NO_THROW(Config::parse(std::string(Config::maximumDepth, '[') + std::string(Config::maximumDepth, ']')));
}

TEST(ConfigParseTest, DuplicateMembersLastWins) {
    EXPECT_EQ(Config::parse(R"({"a": 1, "a": 2})")["a"].integer(), 2);
    EXPECT_EQ(Config::dictionaryLiteral({{"a", 1}, {"a", 2}})["a"].integer(), 2);
}

TEST(ConfigParseTest, ByteOrderMarks) {
    // A string value that starts with U+FEFF keeps exactly one mark.
    const Config value = Config::parse("\"\xEF\xBB\xBFx\"");
    EXPECT_EQ(value.binaryDistinctString()->value(), u"\uFEFFx");
    // After an escaped quote the mark is kept once too.
    const Config escaped = Config::parse("{\"k\": \"a\\\"\xEF\xBB\xBF\"}");
    EXPECT_EQ(escaped["k"].binaryDistinctString()->value(), u"a\"\uFEFF");
    // A mark inside a key is part of the key.
    const Config key = Config::parse("{\"\xEF\xBB\xBFk\": 1}");
    EXPECT_EQ(key[BinaryDistinctString(u"\uFEFFk")].integer(), 1);
    EXPECT_TRUE(key["k"].isNull());
    // A document-leading byte-order mark is accepted.
    EXPECT_EQ(Config::parse("\xEF\xBB\xBF{\"a\": 1}")["a"].integer(), 1);
    // A mark cut short is an error.
    EXPECT_THROW(Config::parse("\"\xEF\xBB"), Config::ParseError);
}

TEST(ConfigParseTest, KeysStayBinaryDistinct) {
    const Config config = Config::parse("{\"caf\xC3\xA9\": 1, \"cafe\xCC\x81\": 2}");
    EXPECT_EQ(config.dictionary()->size(), 2u);
    EXPECT_EQ(config["caf\xC3\xA9"].integer(), 1);
    EXPECT_EQ(config["cafe\xCC\x81"].integer(), 2);
}

TEST(ConfigAccessorTest, BooleanTable) {
    for (const Config& truthy : {Config("TRUE"), Config("t"), Config("1"), Config(1), Config(true)}) {
        EXPECT_EQ(truthy.boolean(), true) << truthy.description();
    }
    for (const Config& falsy : {Config("False"), Config("f"), Config("0"), Config(0), Config(5), Config(-1),
                                Config(false)}) {
        EXPECT_EQ(falsy.boolean(), false) << falsy.description();
    }
    for (const Config& absent : {Config("yes"), Config(1.0f), Config(), Config::arrayLiteral({1})}) {
        EXPECT_FALSE(absent.boolean().has_value()) << absent.description();
    }
}

TEST(ConfigAccessorTest, TokenTable) {
    const auto token = Config::arrayLiteral({"<|endoftext|>", 0}).token();
    ASSERT_TRUE(token);
    EXPECT_EQ(token->first, 0u);
    EXPECT_EQ(token->second, "<|endoftext|>");
    EXPECT_EQ(Config(Config::Token{50257, "x"}).token(), std::make_pair(std::uint64_t{50257}, std::string("x")));
    EXPECT_FALSE(Config::arrayLiteral({"a", 1, 2}).token());
    EXPECT_FALSE(Config::arrayLiteral({1, "a"}).token());
    EXPECT_FALSE(Config("a").token());
    // A negative id names no token (it must not wrap to a huge unsigned id).
    EXPECT_FALSE(Config::arrayLiteral({"a", -1}).token());
}

TEST(ConfigAccessorTest, KindMismatchesAreAbsent) {
    const Config config = Config::parse(R"({"list": ["a", 1, null, "b"], "s": "x", "n": 3})");
    EXPECT_EQ(config["list"].get(), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(config["s"].get());
    EXPECT_FALSE(config["s"].integer());
    EXPECT_FALSE(config["n"].string());
    EXPECT_EQ(config["s"].array(), nullptr);
    EXPECT_EQ(config["n"].dictionary(), nullptr);
    EXPECT_EQ(config["list"].array()->size(), 4u);
}

TEST(ConfigAccessorTest, LookupsShareNestedStorage) {
    const Config config = Config::parse(R"({"model": {"vocab": {"a": 0, "b": 1}}})");
    const auto first = config["model"]["vocab"].dictionary();
    const auto second = config.member("model").member("vocab").dictionary();
    EXPECT_EQ(first.get(), second.get());
}

TEST(ConfigAccessorTest, LargeVocabularyIsParsedOnceAndShared) {
    std::string json = R"({"model": {"type": "BPE", "vocab": {)";
    for (int id = 0; id < 50000; ++id) {
        if (id > 0) json += ',';
        json += "\"\xC4\xA0tok" + std::to_string(id) + "\":" + std::to_string(id);
    }
    json += "}}}";
    const Config config = Config::parse(json);
    const auto vocab = config.member("model").member("vocab").dictionary();
    ASSERT_NE(vocab, nullptr);
    EXPECT_EQ(vocab->size(), 50000u);
    EXPECT_EQ(vocab->at(BinaryDistinctString(u"\u0120tok49999")).integer(), 49999);
    // Every lookup hands out the same storage: nothing is copied per lookup.
    EXPECT_EQ(config["model"]["vocab"].dictionary().get(), vocab.get());
    const Config copy = config;
    EXPECT_EQ(copy["model"]["vocab"].dictionary().get(), vocab.get());
}

TEST(ConfigEqualityTest, LooseAcrossScalarKinds) {
    EXPECT_EQ(Config(1), Config(true));
    EXPECT_EQ(Config(true), Config(1));
    EXPECT_EQ(Config(true), Config("T"));
    EXPECT_EQ(Config(false), Config(0));
    EXPECT_EQ(Config(false), Config(7));
    EXPECT_EQ(Config(false), Config("f"));
    EXPECT_EQ(Config(2), Config(2.0f));
    EXPECT_EQ(Config(2.0f), Config(2));
    EXPECT_NE(Config("1"), Config(1));
    EXPECT_NE(Config("t"), Config(1));  // not transitive
    EXPECT_NE(Config(true), Config(1.0f));
    EXPECT_NE(Config(true), Config());
    EXPECT_EQ(Config(), Config(nullptr));
    EXPECT_NE(Config(), Config(0));
    EXPECT_EQ(Config::dictionaryLiteral({{"a", 1}, {"b", "x"}}), Config::dictionaryLiteral({{"b", "x"}, {"a", 1}}));
    EXPECT_NE(Config::dictionaryLiteral({{"a", 1}}), Config::dictionaryLiteral({{"a", 1}, {"b", 2}}));
    EXPECT_EQ(Config::arrayLiteral({1, 2}), Config::arrayLiteral({1, 2.0f}));
    EXPECT_NE(Config::arrayLiteral({1, 2}), Config::arrayLiteral({2, 1}));
    EXPECT_NE(Config(Config::Token{1, "a"}), Config::arrayLiteral({"a", 1}));
}


TEST(ConfigCodingTest, RoundTripsThroughTheEncodedForm) {
    const Config original = Config::dictionaryLiteral({
        {"s", "text"}, {"i", -3}, {"b", true}, {"f", 0.1f}, {"n", nullptr},
        {"list", Config::arrayLiteral({"x", 1})}, {"token", Config::Token{7, "<eos>"}},
    });
    const nlohmann::json encoded = original;
    EXPECT_EQ(encoded["f"].dump(), "0.1");
    EXPECT_EQ(encoded["token"], nlohmann::json::parse(R"([7, "<eos>"])"));
    EXPECT_EQ(encoded["b"], true);

    const Config decoded = encoded.get<Config>();
    EXPECT_EQ(decoded["b"].kind(), Kind::boolean);  // the encoded form keeps booleans
    EXPECT_EQ(decoded["token"].kind(), Kind::token);
    EXPECT_EQ(decoded["list"].kind(), Kind::array);  // [text, id] is no token
    // A two-item list of an unsigned integer and a text reads back as a token.
    EXPECT_EQ(nlohmann::json::parse(R"([1, "x"])").get<Config>().kind(), Kind::token);
    EXPECT_EQ(nlohmann::json::parse(R"([-1, "x"])").get<Config>().kind(), Kind::array);
    EXPECT_EQ(decoded["i"].integer(), -3);
    EXPECT_EQ(decoded["f"].floating(), 0.1f);
    EXPECT_EQ(decoded, original);
    EXPECT_EQ(nlohmann::json::parse("18446744073709551615").get<Config>().kind(), Kind::floating);
}

TEST(ConfigCodingTest, DecodesNumbersAsTheirReadsAllow) {
    // A whole number written with a fraction still reads as an unsigned id.
    const Config token = nlohmann::json::parse(R"([2.0, "x"])").get<Config>();
    EXPECT_EQ(token.kind(), Kind::token);
    EXPECT_EQ(token.token(), std::make_pair(std::uint64_t{2}, std::string("x")));
    EXPECT_EQ(nlohmann::json::parse(R"([2.5, "x"])").get<Config>().kind(), Kind::array);
    EXPECT_EQ(nlohmann::json::parse(R"([true, "x"])").get<Config>().kind(), Kind::array);
    // Beyond every 32-bit float: neither integer, float, boolean nor text, so null.
    EXPECT_EQ(nlohmann::json::parse("1e300").get<Config>().kind(), Kind::null);
    EXPECT_EQ(nlohmann::json::parse("-1e300").get<Config>().kind(), Kind::null);
    EXPECT_EQ(nlohmann::json::parse("1e30").get<Config>().floating(), 1e30f);
    EXPECT_EQ(nlohmann::json::parse("3.0").get<Config>().integer(), 3);
}

TEST(ConfigConversionTest, ConvertsParsedValuesAndRefusesUnknownKinds) {
    const Config converted = Config::convertToBinaryDistinctKeys(nlohmann::json::parse(R"({"a": [true, 2.0, 0.5]})"));
    EXPECT_EQ(converted["a"], Config::arrayLiteral({1, 2, 0.5f}));
    EXPECT_EQ((*converted["a"].array())[0].kind(), Kind::integer);
    try {
        Config::convertToBinaryDistinctKeys(nlohmann::json::binary({1, 2}));
        FAIL();
    } catch (const Config::UnknownTypeError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("unknown type: binary ", 0), 0u) << error.what();
    }
}
