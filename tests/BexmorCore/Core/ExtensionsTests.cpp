#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BexmorCore/Extensions.h"
#include "BexmorCore/SystemInfo.h"

using namespace bexmor;

TEST(MatchingTest, GlobCases) {
    const std::vector<std::string> names = {"a.json", "b/c.json", "d.txt", ".hidden.json", "A.JSON"};
    EXPECT_EQ(matching(names, "*.json"), (std::vector<std::string>{"a.json", "b/c.json", ".hidden.json"}));
    EXPECT_EQ(matching(names, "?.json"), (std::vector<std::string>{"a.json"}));
    EXPECT_EQ(matching(names, "*"), names);
    EXPECT_EQ(matching(names, "[ab]*"), (std::vector<std::string>{"a.json", "b/c.json"}));
    EXPECT_EQ(matching({"a*b", "axb"}, "a\\*b"), (std::vector<std::string>{"a*b"}));
    EXPECT_EQ(matching({"x", "x"}, "x"), (std::vector<std::string>{"x", "x"}));
    EXPECT_TRUE(matching({}, "*").empty());
}

TEST(BatchedTest, SizesIncludingZeroAndNegative) {
    const std::vector<int> numbers = {1, 2, 3, 4, 5};
    using Batches = std::vector<std::vector<int>>;
    EXPECT_EQ(batched(numbers, 2), (Batches{{1, 2}, {3, 4}, {5}}));
    EXPECT_EQ(batched(numbers, 10), (Batches{{1, 2, 3, 4, 5}}));
    // No size may lose the work: zero and negative sizes give one batch of everything.
    EXPECT_EQ(batched(numbers, 0), (Batches{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(batched(numbers, -1), (Batches{{1, 2, 3, 4, 5}}));
    EXPECT_TRUE(batched(std::vector<int>{}, 3).empty());
    EXPECT_TRUE(batched(std::vector<int>{}, 0).empty());
}

TEST(OrderedSetTest, KeepsFirstOccurrences) {
    EXPECT_EQ(orderedSet(std::vector<int>{3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(orderedSet(std::vector<std::string>{"b", "a", "b"}), (std::vector<std::string>{"b", "a"}));
}

TEST(TrimmingFromEndTest, Counts) {
    EXPECT_EQ(trimmingFromEnd("abc!!!", "!", 2), "abc!");
    EXPECT_EQ(trimmingFromEnd("abc!!!", "!", 0), "abc!!!");
    EXPECT_EQ(trimmingFromEnd("!!", "!", 5), "");
    EXPECT_EQ(trimmingFromEnd("", "!", 5), "");
    // Whole characters, canonically equivalent forms equal: é (precomposed) trims e + U+0301.
    EXPECT_EQ(trimmingFromEnd("caf\xC3\xA9" "e\xCC\x81", "\xC3\xA9", 5), "caf");
    // "e" is not the last character of "é".
    EXPECT_EQ(trimmingFromEnd("cafe\xCC\x81", "e", 5), "cafe\xCC\x81");
}

TEST(RoundedTest, HalvesAwayFromZeroInSinglePrecision) {
    EXPECT_FLOAT_EQ(rounded(2.345f, 1), 2.3f);
    EXPECT_FLOAT_EQ(rounded(2.25f, 1), 2.3f);
    EXPECT_FLOAT_EQ(rounded(-2.25f, 1), -2.3f);
    EXPECT_FLOAT_EQ(rounded(0.125f, 2), 0.13f);
    EXPECT_FLOAT_EQ(rounded(1234.5f, -2), 1200.0f);
    EXPECT_FLOAT_EQ(rounded(0.5f, 0), 1.0f);
    // Places beyond the float range give the value (or zero), never NaN.
    EXPECT_EQ(rounded(1.5f, 60), 1.5f);
    EXPECT_EQ(rounded(1e30f, 20), 1e30f);
    EXPECT_EQ(rounded(1234.5f, -60), 0.0f);
}

TEST(ResolveAbsolutePathTest, TildeAbsoluteAndRelative) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(resolveAbsolutePath("~/x"), std::string(home) + "/x");
    EXPECT_EQ(resolveAbsolutePath("~"), std::string(home));
    EXPECT_EQ(resolveAbsolutePath("/etc/hosts"), "/etc/hosts");
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(resolveAbsolutePath("models"), cwd + "/models");
    EXPECT_EQ(resolveAbsolutePath("models/"), cwd + "/models");
    // An unknown user is left alone (and then counts as relative).
    EXPECT_EQ(resolveAbsolutePath("~no-such-user-xyz/a"), cwd + "/~no-such-user-xyz/a");
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

}  // namespace

TEST(LastNaturalBoundaryTest, SentenceThenClauseThenSpace) {
    const std::string text = "One two three. Four five six. Seven eight";
    // The last, unfinished sentence is skipped; the second sentence is the latest end.
    EXPECT_EQ(lastNaturalBoundary(text, 3, words), "One two three. Four five six. ");
    // A finished last sentence is itself a candidate.
    EXPECT_EQ(lastNaturalBoundary("One two. Three four!", 1, words), "One two. Three four!");
    EXPECT_EQ(lastNaturalBoundary("He said \"go now.\" ", 1, words), "He said \"go now.\" ");
    EXPECT_EQ(lastNaturalBoundary("A line\n", 1, words), "A line\n");
    // When no sentence end has enough tokens: clause marks, the latest first.
    EXPECT_EQ(lastNaturalBoundary("alpha beta, gamma delta; epsilon", 3, words), "alpha beta, gamma delta;");
    EXPECT_EQ(lastNaturalBoundary("alpha beta, gamma,delta", 2, words), "alpha beta,");
    // Then everything before the last space.
    EXPECT_EQ(lastNaturalBoundary("alpha beta gamma", 2, words), "alpha beta");
    EXPECT_EQ(lastNaturalBoundary("alpha beta gamma", 3, words), std::nullopt);
    EXPECT_EQ(lastNaturalBoundary("single", 0, words), std::nullopt);
    EXPECT_EQ(lastNaturalBoundary("", 0, words), std::nullopt);
}

TEST(LastNaturalBoundaryTest, OtherScriptsAndBreaks) {
    // One token per character, for text without blanks.
    auto characters = [](const std::string& text) {
        std::vector<int> tokens;
        for (const char c : text) {
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) tokens.push_back(0);
        }
        return tokens;
    };
    // U+3002 ends sentences; the unfinished third one is skipped.
    EXPECT_EQ(lastNaturalBoundary("\xE4\xBD\xA0\xE5\xA5\xBD\xE3\x80\x82\xE5\x86\x8D\xE8\xA7\x81\xE3\x80\x82\xE8\xBF\x98", 1,
                                  characters),
              "\xE4\xBD\xA0\xE5\xA5\xBD\xE3\x80\x82\xE5\x86\x8D\xE8\xA7\x81\xE3\x80\x82");
    // A closing guillemet after the ender still completes the sentence.
    EXPECT_EQ(lastNaturalBoundary("Er sagte \xC2\xABja.\xC2\xBB", 1, words), "Er sagte \xC2\xABja.\xC2\xBB");
    // A trailing line separator (U+2028) completes a sentence without an ender.
    EXPECT_EQ(lastNaturalBoundary("no ender here\xE2\x80\xA8", 1, words), "no ender here\xE2\x80\xA8");
    // An en dash followed by a blank is a clause mark.
    EXPECT_EQ(lastNaturalBoundary("erst das \xE2\x80\x93 dann", 2, words), "erst das \xE2\x80\x93");
}

TEST(LastNaturalBoundaryTest, TooFewTokensInTheSentencesFallsBackToClauses) {
    const std::string text = "Hi. Yo. and then, more words here";
    EXPECT_EQ(lastNaturalBoundary(text, 4, words), "Hi. Yo. and then,");
}

TEST(SystemInfoTest, ReadsLinuxSources) {
    EXPECT_EQ(SystemInfo::stringFromSysctl("kern.ostype"), "Linux");
    EXPECT_EQ(SystemInfo::stringFromSysctl("kernel.ostype"), "Linux");
    EXPECT_EQ(SystemInfo::stringFromSysctl("machdep.cpu.thread_count"),
              std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)));
    const std::string cores = SystemInfo::cores();
    ASSERT_FALSE(cores.empty());
    EXPECT_EQ(cores.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_GE(std::stoi(cores), 1);
    EXPECT_EQ(&SystemInfo::hwModel(), &SystemInfo::hwModel());  // read once and kept
}

TEST(SystemInfoTest, UnknownOrHostileNamesGiveEmptyText) {
    EXPECT_EQ(SystemInfo::stringFromSysctl("no.such.name"), "");
    EXPECT_EQ(SystemInfo::stringFromSysctl(""), "");
    EXPECT_EQ(SystemInfo::stringFromSysctl("kernel..ostype"), "");
    EXPECT_EQ(SystemInfo::stringFromSysctl("../../etc/passwd"), "");
    EXPECT_EQ(SystemInfo::stringFromSysctl("kernel/../../etc/hostname"), "");
}
