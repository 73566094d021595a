#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/Models.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "Vocarion/Utilities/TextUtilities.h"

using namespace vocarion;

namespace {

TEST(Constants, SizesOfTheModelFamily) {
    EXPECT_EQ(Constants::maxTokenContext, 224);
    EXPECT_EQ(Constants::maxPromptTokens, 111);
    EXPECT_EQ(Constants::windowSamples, 480000);
    EXPECT_EQ(Constants::windowFrames, 3000);
    EXPECT_EQ(Constants::encoderFrames, 1500);
}

TEST(Constants, LanguageTableInTokenOrder) {
    std::set<std::string_view> codes;
    for (const auto& [code, name] : Constants::languages) {
        EXPECT_TRUE(codes.insert(code).second) << code;
        EXPECT_FALSE(name.empty());
    }
    EXPECT_EQ(Constants::languages.front().first, "en");
    EXPECT_EQ(Constants::languages[2].first, "de");
    EXPECT_EQ(Constants::languages.back().first, "yue");
    EXPECT_EQ(Constants::languageName("de"), "german");
    EXPECT_EQ(Constants::languageName("xx"), std::nullopt);
    EXPECT_EQ(Constants::languageCode("German"), "de");
    EXPECT_EQ(Constants::languageCode("haw"), "haw");
    EXPECT_EQ(Constants::languageCode("klingon"), std::nullopt);
}

TEST(Constants, DefaultRemoteEndpointFollowsTheHubVariable) {
    const char* saved = std::getenv("HF_ENDPOINT");
    const std::string savedValue = saved ? saved : "";
    unsetenv("HF_ENDPOINT");
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), Constants::publishedModelsEndpoint);
    EXPECT_EQ(Constants::defaultRemoteEndpoint().rfind("https://", 0), 0u);
    setenv("HF_ENDPOINT", "http://127.0.0.1:8123", 1);
    EXPECT_EQ(Constants::defaultRemoteEndpoint(), "http://127.0.0.1:8123");
    if (saved) {
        setenv("HF_ENDPOINT", savedValue.c_str(), 1);
    } else {
        unsetenv("HF_ENDPOINT");
    }
}

TEST(ModelVariant, NamesLanguagesAndDetection) {
    EXPECT_EQ(toString(ModelVariant::tinyEn), "tiny.en");
    EXPECT_EQ(toString(ModelVariant::largev3), "large-v3");
    EXPECT_FALSE(isMultilingual(ModelVariant::baseEn));
    EXPECT_TRUE(isMultilingual(ModelVariant::largev2));
    EXPECT_EQ(detectVariant(51864, 384), ModelVariant::tinyEn);
    EXPECT_EQ(detectVariant(51865, 384), ModelVariant::tiny);
    EXPECT_EQ(detectVariant(51865, 1024), ModelVariant::medium);
    EXPECT_EQ(detectVariant(51865, 1280), ModelVariant::largev2);
    EXPECT_EQ(detectVariant(51866, 1280), ModelVariant::largev3);
    EXPECT_EQ(detectVariant(51864, 1280), std::nullopt);
    EXPECT_EQ(detectVariant(1000, 384), std::nullopt);
    EXPECT_EQ(detectVariant(51865, 100), std::nullopt);
}

TEST(TranscriptionTimings, DerivedFiguresNeverDivideByZero) {
    TranscriptionTimings t;
    EXPECT_EQ(t.tokensPerSecond(), 0.0);
    EXPECT_EQ(t.realTimeFactor(), 0.0);
    EXPECT_EQ(t.speedFactor(), 0.0);
    t.inputAudioSeconds = 10;
    t.fullPipeline = 2;
    t.decodingLoop = 0.5;
    t.totalDecodingLoops = 50;
    EXPECT_DOUBLE_EQ(t.realTimeFactor(), 0.2);
    EXPECT_DOUBLE_EQ(t.speedFactor(), 5.0);
    EXPECT_DOUBLE_EQ(t.tokensPerSecond(), 100.0);
}

TEST(DarivirError, EnglishMessagesWithAndWithoutDetail) {
    EXPECT_STREQ(DarivirError::tokenizerUnavailable().what(), "Tokenizer is unavailable");
    const auto error = DarivirError::modelsUnavailable("AudioEncoder.mlmodelc is missing in /m");
    EXPECT_STREQ(error.what(), "Models are unavailable: AudioEncoder.mlmodelc is missing in /m");
    EXPECT_EQ(error.kind(), DarivirError::Kind::modelsUnavailable);
    EXPECT_EQ(error.detail(), "AudioEncoder.mlmodelc is missing in /m");
    EXPECT_STREQ(DarivirError::microphoneUnavailable().what(), "No microphone is available");
    // Every case has its own text.
    std::set<std::string_view> texts;
    for (int k = 0; k <= static_cast<int>(DarivirError::Kind::microphoneUnavailable); ++k) {
        EXPECT_TRUE(texts.insert(DarivirError::text(static_cast<DarivirError::Kind>(k))).second);
    }
    EXPECT_EQ(texts.size(), 11u);
}

TEST(CompressionRatio, RepetitionScoresHighOrdinaryTextLow) {
    EXPECT_EQ(TextUtilities::compressionRatio(""), 0.0f);
    const std::string sentence = "Heute habe ich mit Tannholt über das neue Projekt gesprochen.";
    EXPECT_LT(TextUtilities::compressionRatio(sentence), 2.4f);
    EXPECT_GT(TextUtilities::compressionRatio(sentence), 0.5f);
    std::string loop;
    for (int i = 0; i < 20; ++i) loop += "Vielen Dank. ";
    EXPECT_GT(TextUtilities::compressionRatio(loop), 2.4f);
    // Bytes, not characters: the same text grows with its UTF-8 length.
    std::string umlauts;
    for (int i = 0; i < 200; ++i) umlauts += "ä";
    std::string ascii(200, 'a');
    EXPECT_GT(TextUtilities::compressionRatio(umlauts), TextUtilities::compressionRatio(ascii));
}

}  // namespace
