#include <gtest/gtest.h>

#include <cstdlib>

#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/Constants.h"

using namespace vocarion;

// The initialiser's rules for what is missing: callers rely on them, not on a copy of the defaults.
TEST(DecodingOptions, MissingValuesFollowTheirRules) {
    EXPECT_TRUE(DecodingOptions({.usePrefillPrompt = false}).detectLanguage);
    EXPECT_FALSE(DecodingOptions({.usePrefillPrompt = true}).detectLanguage);
    EXPECT_FALSE(DecodingOptions({.usePrefillPrompt = false, .detectLanguage = false}).detectLanguage);
    const DecodingOptions absent({.suppressTokens = std::nullopt, .concurrentWorkerCount = std::nullopt});
    EXPECT_TRUE(absent.suppressTokens.empty());
    EXPECT_EQ(absent.concurrentWorkerCount, 16);
    EXPECT_EQ(DecodingOptions({.concurrentWorkerCount = 0}).concurrentWorkerCount, 0);  // a value: one batch
}

TEST(Constants, EndpointFollowsTheHubVariableAndLanguagesGoByCodeOrEnglishName) {
    const char* saved = std::getenv("HF_ENDPOINT");
    const std::string savedValue = saved ? saved : "";
    unsetenv("HF_ENDPOINT");
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), Constants::publishedModelsEndpoint);
    setenv("HF_ENDPOINT", "", 1);  // set, though empty: the hub client follows it too
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), "");
    setenv("HF_ENDPOINT", "http://127.0.0.1:8123", 1);
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), "http://127.0.0.1:8123");
    saved ? setenv("HF_ENDPOINT", savedValue.c_str(), 1) : unsetenv("HF_ENDPOINT");

    EXPECT_EQ(Constants::languageCode("German"), "de");
    EXPECT_EQ(Constants::languageCode("haw"), "haw");
    EXPECT_EQ(Constants::languageCode("klingon"), std::nullopt);
}
