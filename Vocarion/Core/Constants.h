#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "BexmorCore/ModelsEndpoint.h"

namespace vocarion {

// Fixed sizes of the Darivir model family and the engine's defaults.
struct Constants {
    // Audio: 16 kHz mono float samples; one window is 30 s.
    static constexpr int sampleRate = 16000;
    static constexpr int windowSeconds = 30;
    static constexpr int windowSamples = sampleRate * windowSeconds;  // 480000
    static constexpr int hopLength = 160;
    static constexpr int windowFrames = windowSamples / hopLength;  // 3000 mel frames
    static constexpr int encoderFrames = windowFrames / 2;          // 1500 encoder states

    // One timestamp token stands for 0.02 s.
    static constexpr float secondsPerTimeToken = 0.02f;

    // The decoder's token budget per window; half of it (minus the start-of-previous
    // token) is the most prompt text a window carries.
    static constexpr int maxTokenContext = 224;
    static constexpr int maxPromptTokens = maxTokenContext / 2 - 1;  // 111
    // Rows of the decoder's positional table: no window may feed more tokens.
    static constexpr int maxTextPositions = 448;

    static constexpr int defaultConcurrentWorkerCount = 16;

    // Where this product's converted models are published, and the repository in it.
    static constexpr std::string_view publishedModelsEndpoint = bexmor::kModelsEndpoint;
    static constexpr std::string_view defaultModelRepository = "bexmorinc/vocarion-coreml";

    // The default model hub address: the hub's environment variable "HUB_ENDPOINT" when
    // it is set (to any value, as the hub client reads it), else publishedModelsEndpoint.
    // Read on every call, so a process that sets the variable later is followed.
    static std::string defaultRemoteEndpoint();

    static constexpr std::string_view defaultLanguageCode = "en";

    // The languages of the multilingual models, code and English name, in the order of
    // their tokens ("<|en|>" comes first, "<|yue|>" last).
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 100> languages{{
        {"en", "english"},    {"zh", "chinese"},        {"de", "german"},     {"es", "spanish"},
        {"ru", "russian"},    {"ko", "korean"},         {"fr", "french"},     {"ja", "japanese"},
        {"pt", "portuguese"}, {"tr", "turkish"},        {"pl", "polish"},     {"ca", "catalan"},
        {"nl", "dutch"},      {"ar", "arabic"},         {"sv", "swedish"},    {"it", "italian"},
        {"id", "indonesian"}, {"hi", "hindi"},          {"fi", "finnish"},    {"vi", "vietnamese"},
        {"he", "hebrew"},     {"uk", "ukrainian"},      {"el", "greek"},      {"ms", "malay"},
        {"cs", "czech"},      {"ro", "romanian"},       {"da", "danish"},     {"hu", "hungarian"},
        {"ta", "tamil"},      {"no", "norwegian"},      {"th", "thai"},       {"ur", "urdu"},
        {"hr", "croatian"},   {"bg", "bulgarian"},      {"lt", "lithuanian"}, {"la", "latin"},
        {"mi", "maori"},      {"ml", "malayalam"},      {"cy", "welsh"},      {"sk", "slovak"},
        {"te", "telugu"},     {"fa", "persian"},        {"lv", "latvian"},    {"bn", "bengali"},
        {"sr", "serbian"},    {"az", "azerbaijani"},    {"sl", "slovenian"},  {"kn", "kannada"},
        {"et", "estonian"},   {"mk", "macedonian"},     {"br", "breton"},     {"eu", "basque"},
        {"is", "icelandic"},  {"hy", "armenian"},       {"ne", "nepali"},     {"mn", "mongolian"},
        {"bs", "bosnian"},    {"kk", "kazakh"},         {"sq", "albanian"},   {"sw", "swahili"},
        {"gl", "galician"},   {"mr", "marathi"},        {"pa", "punjabi"},    {"si", "sinhala"},
        {"km", "khmer"},      {"sn", "shona"},          {"yo", "yoruba"},     {"so", "somali"},
        {"af", "afrikaans"},  {"oc", "occitan"},        {"ka", "georgian"},   {"be", "belarusian"},
        {"tg", "tajik"},      {"sd", "sindhi"},         {"gu", "gujarati"},   {"am", "amharic"},
        {"yi", "yiddish"},    {"lo", "lao"},            {"uz", "uzbek"},      {"fo", "faroese"},
        {"ht", "haitian creole"}, {"ps", "pashto"},     {"tk", "turkmen"},    {"nn", "nynorsk"},
        {"mt", "maltese"},    {"sa", "sanskrit"},       {"lb", "luxembourgish"}, {"my", "myanmar"},
        {"bo", "tibetan"},    {"tl", "tagalog"},        {"mg", "malagasy"},   {"as", "assamese"},
        {"tt", "tatar"},      {"haw", "hawaiian"},      {"ln", "lingala"},    {"ha", "hausa"},
        {"ba", "bashkir"},    {"jw", "javanese"},       {"su", "sundanese"},  {"yue", "cantonese"},
    }};

    // The English name of a language code, none for a code that is not in the table.
    static std::optional<std::string_view> languageName(std::string_view code);
    // The code of a language given by code or by English name (any case), none if unknown.
    static std::optional<std::string_view> languageCode(std::string_view codeOrName);

    // Punctuation that word timing joins to the following word, and to the preceding one.
    static constexpr std::string_view prependPunctuations = "\"'“¿([{-";
    static constexpr std::string_view appendPunctuations = "\"'.。,，!！?？:：”)]}、";
};

}  // namespace vocarion
