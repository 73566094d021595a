// The filtered JSON reader keeps exactly what its filter keeps, at the depths the filter
// is told, and lets the filter's own error through.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/ML/FilteredJson.h"

namespace {

using Json = nlohmann::json;
using platform::ml::JsonFilter;

// Drops every member whose key starts with "x" and every container at depth 3 or more;
// writes down what it was asked, and throws on the value "stop".
class Recording : public JsonFilter {
public:
    bool key(int depth, const std::string& key) override {
        seen.push_back("k" + std::to_string(depth) + key);
        return key.empty() || key[0] != 'x';
    }
    bool container(int depth, bool isArray) override {
        seen.push_back((isArray ? "a" : "o") + std::to_string(depth));
        return depth < 3;
    }
    void value(int depth, const Json& value) override {
        if (value == "stop") throw std::runtime_error("stopped");
        seen.push_back("v" + std::to_string(depth) + value.dump());
    }
    std::vector<std::string> seen;
};

TEST(FilteredJson, KeepsWhatTheFilterKeepsAndAsksOnlyAboutThat) {
    struct Case {
        std::string text;
        Json kept;
        std::vector<std::string> asked;
    };
    const Case cases[] = {
        {"7", 7, {"v07"}},
        {R"({"a":1,"xb":{"c":[1,2]},"d":[{"e":null},[true,[3]]]})",
         Json::parse(R"({"a":1,"d":[{"e":null},[true]]})"),
         {"o0", "k1a", "v11", "k1xb", "k1d", "a1", "o2", "k3e", "v3null", "a2", "v3true", "a3"}},
        // A dropped container's members are parsed, not asked about and not kept.
        {R"({"xa":[{"b":"stop"}],"c":[[[[]]]],"d":"ok"})", Json::parse(R"({"c":[[]],"d":"ok"})"),
         {"o0", "k1xa", "k1c", "a1", "a2", "a3", "k1d", "v1\"ok\""}},
        // Many objects in one list: each is placed as it ends, none searched again.
        {"[" + std::string(R"({"a":1},)") + R"({"xa":2},{}])", Json::parse(R"([{"a":1},{},{}])"),
         {"a0", "o1", "k2a", "v21", "o1", "k2xa", "o1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Recording filter;
        EXPECT_EQ(platform::ml::parseFiltered(c.text, filter), c.kept);
        EXPECT_EQ(filter.seen, c.asked);
    }
    Recording filter;
    EXPECT_THROW(platform::ml::parseFiltered(R"({"a":["stop"]})", filter), std::runtime_error);
    for (const char* bad : {"", "{", R"({"a":1}x)", "[1e999]", R"({"a" 1})"}) {
        Recording any;
        EXPECT_THROW(platform::ml::parseFiltered(bad, any), Json::exception) << bad;
    }
}

}  // namespace
