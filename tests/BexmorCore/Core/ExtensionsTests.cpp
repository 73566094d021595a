#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BexmorCore/Extensions.h"
#include "BexmorCore/SystemInfo.h"

using namespace bexmor;
using Strings = std::vector<std::string>;

TEST(ExtensionsTest, MatchesGlobsBatchesAndDeduplicates) {
    const Strings names = {"a.json", "b/c.json", "d.txt", ".hidden.json", "A.JSON"};
    EXPECT_EQ(matching(names, "*.json"), (Strings{"a.json", "b/c.json", ".hidden.json"}));
    EXPECT_EQ(matching(names, "?.json"), (Strings{"a.json"}));
    EXPECT_EQ(matching(names, "[ab]*"), (Strings{"a.json", "b/c.json"}));
    EXPECT_EQ(matching({"a*b", "axb"}, "a\\*b"), (Strings{"a*b"}));

    using Batches = std::vector<std::vector<int>>;
    const std::vector<int> numbers = {1, 2, 3, 4, 5};
    EXPECT_EQ(batched(numbers, 2), (Batches{{1, 2}, {3, 4}, {5}}));
    // No size may lose the work or divide by zero.
    EXPECT_EQ(batched(numbers, 0), (Batches{numbers}));
    EXPECT_EQ(batched(numbers, -1), (Batches{numbers}));
    EXPECT_TRUE(batched(std::vector<int>{}, 0).empty());

    EXPECT_EQ(orderedSet(std::vector<int>{3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
}

TEST(ExtensionsTest, TrimsWholeCharactersAndRoundsWithoutNaN) {
    EXPECT_EQ(trimmingFromEnd("abc!!!", "!", 2), "abc!");
    EXPECT_EQ(trimmingFromEnd("abc!!!", "!", 0), "abc!!!");
    EXPECT_EQ(trimmingFromEnd("!!", "!", 5), "");
    // Canonically equivalent forms are equal; "e" is not the last character of "é".
    EXPECT_EQ(trimmingFromEnd("caf\xC3\xA9" "e\xCC\x81", "\xC3\xA9", 5), "caf");
    EXPECT_EQ(trimmingFromEnd("cafe\xCC\x81", "e", 5), "cafe\xCC\x81");

    EXPECT_FLOAT_EQ(rounded(2.25f, 1), 2.3f);
    EXPECT_FLOAT_EQ(rounded(-2.25f, 1), -2.3f);
    EXPECT_FLOAT_EQ(rounded(1234.5f, -2), 1200.0f);
    // Places beyond the float range give the value (or zero), never NaN.
    EXPECT_EQ(rounded(1.5f, 60), 1.5f);
    EXPECT_EQ(rounded(1e30f, 20), 1e30f);
    EXPECT_EQ(rounded(1234.5f, -60), 0.0f);
}

TEST(ExtensionsTest, ResolvesTildeAbsoluteAndRelativePaths) {
    const std::string home = std::getenv("HOME");
    const std::string cwd = std::filesystem::current_path().string();
    const std::pair<const char*, std::string> cases[] = {
        {"~/x", home + "/x"}, {"~", home}, {"/etc/hosts", "/etc/hosts"}, {"models/", cwd + "/models"},
        {"~no-such-user-xyz/a", cwd + "/~no-such-user-xyz/a"},  // an unknown user is left alone
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(resolveAbsolutePath(path), expected) << path;
}

namespace {

// One token per blank-separated word.
std::vector<int> words(const std::string& text) {
    std::vector<int> tokens;
    bool inWord = false;
    for (const char c : text) {
        const bool blank = c == ' ' || c == '\n' || c == '\t';
        if (!blank && !inWord) tokens.push_back(0);
        inWord = !blank;
    }
    return tokens;
}

// One token per character, for text without blanks.
std::vector<int> characters(const std::string& text) {
    std::vector<int> tokens;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) tokens.push_back(0);
    }
    return tokens;
}

}  // namespace

TEST(ExtensionsTest, FindsTheLastNaturalBoundary) {
    const struct {
        const char* text;
        int minTokens;
        std::optional<std::string> expected;
    } cases[] = {
        // The last, unfinished sentence is skipped; a finished one is itself a candidate.
        {"One two three. Four five six. Seven eight", 3, "One two three. Four five six. "},
        {"One two. Three four!", 1, "One two. Three four!"},
        {"He said \"go now.\" ", 1, "He said \"go now.\" "},
        {"Er sagte \xC2\xABja.\xC2\xBB", 1, "Er sagte \xC2\xABja.\xC2\xBB"},
        {"A line\n", 1, "A line\n"},
        {"no ender here\xE2\x80\xA8", 1, "no ender here\xE2\x80\xA8"},  // a line separator ends it
        // Sentences with too few tokens: clause marks, the latest first, then the last space.
        {"Hi. Yo. and then, more words here", 4, "Hi. Yo. and then,"},
        {"alpha beta, gamma delta; epsilon", 3, "alpha beta, gamma delta;"},
        {"alpha beta, gamma,delta", 2, "alpha beta,"},
        {"erst das \xE2\x80\x93 dann", 2, "erst das \xE2\x80\x93"},
        {"alpha beta gamma", 2, "alpha beta"},
        {"alpha beta gamma", 3, std::nullopt},
        {"single", 0, std::nullopt},
        {"", 0, std::nullopt},
    };
    for (const auto& [text, minTokens, expected] : cases) EXPECT_EQ(lastNaturalBoundary(text, minTokens, words), expected) << text;
    // U+3002 ends sentences too.
    const std::string chinese = "\xE4\xBD\xA0\xE5\xA5\xBD\xE3\x80\x82\xE5\x86\x8D\xE8\xA7\x81\xE3\x80\x82";
    EXPECT_EQ(lastNaturalBoundary(chinese + "\xE8\xBF\x98", 1, characters), chinese);
}

TEST(ExtensionsTest, SystemInfoReadsLinuxSourcesAndRefusesHostileNames) {
    EXPECT_EQ(SystemInfo::stringFromSysctl("kern.ostype"), "Linux");
    EXPECT_EQ(SystemInfo::stringFromSysctl("kernel.ostype"), "Linux");
    EXPECT_EQ(SystemInfo::stringFromSysctl("machdep.cpu.thread_count"), std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_GE(std::stoi(SystemInfo::cores()), 1);
    for (const char* name : {"no.such.name", "", "kernel..ostype", "../../etc/passwd", "kernel/../../etc/hostname"})
        EXPECT_EQ(SystemInfo::stringFromSysctl(name), "") << name;
}

namespace naming {
struct Failure {};
template <class T>
struct Wrapper {};
}  // namespace naming

// Logs name a type as the code does: no mangling, no namespaces, template arguments whole.
TEST(ExtensionsTest, NamesATypeAsTheCodeWritesIt) {
    EXPECT_EQ(bexmor::unqualifiedName(typeid(naming::Failure)), "Failure");
    EXPECT_EQ(bexmor::unqualifiedName(typeid(naming::Wrapper<naming::Failure>)), "Wrapper<naming::Failure>");
    EXPECT_EQ(bexmor::unqualifiedName(typeid(int)), "int");
}
