#include "Vocarion/Core/TextDecoder.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Platform/ML/Half.h"
#include "Platform/ML/Model.h"
#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/Text/LogitsFilter.h"
#include "Vocarion/Core/Text/TokenSampler.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "Vocarion/Utilities/TextUtilities.h"

namespace vocarion {

namespace {

// Softmax over the given entries of the logits.
std::vector<double> softmaxOver(const std::vector<float>& logits, const std::vector<int>& entries) {
    double maxLogit = -std::numeric_limits<double>::infinity();
    for (int e : entries) maxLogit = std::max(maxLogit, static_cast<double>(logits[static_cast<size_t>(e)]));
    std::vector<double> probs(entries.size(), 0.0);
    if (!std::isfinite(maxLogit)) return probs;
    double sum = 0.0;
    for (size_t i = 0; i < entries.size(); ++i) {
        probs[i] = std::exp(static_cast<double>(logits[static_cast<size_t>(entries[i])]) - maxLogit);
        sum += probs[i];
    }
    for (auto& p : probs) p /= sum;
    return probs;
}

float probabilityOf(const std::vector<float>& logits, int token) {
    if (token < 0 || static_cast<size_t>(token) >= logits.size()) return 0.0f;
    return std::exp(GreedyTokenSampler::logSoftmaxAt(logits, token));
}

}  // namespace

std::vector<int> TextDecoder::previousTextTokens(const DecodingOptions& options, const SpecialTokens& specialTokens) {
    if (!options.promptTokens || options.promptTokens->empty()) return {};
    const auto& prompt = *options.promptTokens;
    const size_t keep = std::min(prompt.size(), static_cast<size_t>(Constants::maxPromptTokens));
    std::vector<int> tokens{specialTokens.startOfPreviousToken};
    tokens.insert(tokens.end(), prompt.end() - static_cast<std::ptrdiff_t>(keep), prompt.end());
    return tokens;
}

DecodingResult TextDecoder::decodeText(const platform::ml::MultiArray& encoderOutput, const DecodingOptions& options,
                                       float temperature, const DecodingContext& context) const {
    if (!context.tokenizer) throw DarivirError::tokenizerUnavailable();
    const DarivirTokenizer& tokenizer = *context.tokenizer;
    const SpecialTokens& special = tokenizer.specialTokens();
    DecodingResult result;
    result.temperature = temperature;

    auto state = makeDecoderState();
    size_t fed = 0;
    auto feed = [&](const std::vector<int>& ids) {
        if (fed + ids.size() > static_cast<size_t>(Constants::maxTextPositions))
            throw DarivirError::prepareDecoderInputsFailed("the initial tokens do not fit the decoder's context");
        auto logits = predictLogits(state.get(), ids, fed == 0 ? &encoderOutput : nullptr);
        fed += ids.size();
        return logits;
    };

    // Previous text and the start of transcript in one pass: the logits after the start
    // of transcript tell whether the window holds speech and in which language.
    std::vector<int> tokens = previousTextTokens(options, special);
    tokens.push_back(special.startOfTranscriptToken);
    auto logits = feed(tokens);
    result.noSpeechProb = probabilityOf(logits, special.noSpeechToken);

    std::vector<int> rest;
    const auto& languages = tokenizer.languageTokens();  // (code, id)
    if (isMultilingual() && !languages.empty()) {
        const bool detect = options.detectLanguage || !options.language;
        int languageToken = 0;
        if (detect) {
            std::vector<int> ids;
            for (const auto& language : languages) ids.push_back(language.second);
            const auto probs = softmaxOver(logits, ids);
            const size_t best = static_cast<size_t>(std::max_element(probs.begin(), probs.end()) - probs.begin());
            for (size_t i = 0; i < languages.size(); ++i)
                result.languageProbs[languages[i].first] = static_cast<float>(probs[i]);
            result.language = languages[best].first;
            languageToken = languages[best].second;
        } else {
            // A code ("de") or an English name ("german").
            const auto code = Constants::languageCode(*options.language);
            const auto token = code ? tokenizer.languageToken(*code) : std::nullopt;
            if (!token) throw DarivirError::prefillFailed("unknown language \"" + *options.language + "\"");
            result.language = std::string(*code);
            languageToken = *token;
        }
        rest.push_back(languageToken);
        rest.push_back(options.task == DecodingTask::translate ? special.translateToken : special.transcribeToken);
    } else {
        result.language = std::string(Constants::defaultLanguageCode);  // an English-only model
    }
    if (options.withoutTimestamps) rest.push_back(special.noTimestampsToken);
    if (options.prefixTokens) rest.insert(rest.end(), options.prefixTokens->begin(), options.prefixTokens->end());
    if (options.usePrefillPrompt) {
        logits = feed(rest);
    } else {
        for (int token : rest) logits = feed({token});
    }
    tokens.insert(tokens.end(), rest.begin(), rest.end());
    const size_t sampleBegin = tokens.size();

    // The filters: structure first, then the options' suppressions, then the configured ones.
    std::vector<std::shared_ptr<LogitsFiltering>> filters;
    filters.push_back(std::make_shared<SpecialTokensFilter>(special.specialTokenBegin, special.endToken,
                                                            special.timeTokenBegin, !options.withoutTimestamps));
    if (!options.suppressTokens.empty()) filters.push_back(std::make_shared<SuppressTokensFilter>(options.suppressTokens));
    if (options.suppressBlank)
        filters.push_back(std::make_shared<SuppressBlankFilter>(tokenizer.encode(" "), special.endToken, sampleBegin));
    if (!options.withoutTimestamps) {
        std::optional<int> maxInitial;
        if (options.maxInitialTimestamp)
            maxInitial = static_cast<int>(std::round(*options.maxInitialTimestamp / Constants::secondsPerTimeToken));
        filters.push_back(std::make_shared<TimestampRulesFilter>(special.endToken, special.timeTokenBegin, sampleBegin, maxInitial));
    }
    filters.insert(filters.end(), context.logitsFilters.begin(), context.logitsFilters.end());

    GreedyTokenSampler sampler(options.topK, context.seed);
    double sumLogProb = 0.0;
    int scored = 0;
    for (int step = 0; step < options.sampleLength; ++step) {
        for (const auto& filter : filters) filter->filterLogits(logits, tokens);
        // A broken model (or input) can give NaN: never sampled, and nothing left is an error.
        bool usable = false;
        for (auto& value : logits) {
            if (std::isnan(value)) value = -std::numeric_limits<float>::infinity();
            usable = usable || std::isfinite(value);
        }
        if (!usable) throw DarivirError::decodingLogitsFailed("the decoder gave no usable logits");
        const auto picked = sampler.sample(logits, temperature);
        if (step == 0) result.firstTokenLogProb = picked.logProb;
        sumLogProb += picked.logProb;
        ++scored;
        if (picked.token == special.endToken) break;
        tokens.push_back(picked.token);
        result.tokens.push_back(picked.token);
        result.tokenLogProbs.push_back(picked.logProb);
        // The positional table is full: no further token can be fed.
        if (fed >= static_cast<size_t>(Constants::maxTextPositions)) break;
        if (step + 1 < options.sampleLength) logits = feed({picked.token});
    }
    result.avgLogProb = scored > 0 ? static_cast<float>(sumLogProb / scored) : 0.0f;

    std::vector<int> textTokens;
    for (int token : result.tokens)
        if (!options.skipSpecialTokens || token < special.specialTokenBegin) textTokens.push_back(token);
    result.text = tokenizer.decode(textTokens);
    result.compressionRatio = TextUtilities::compressionRatio(result.text);
    return result;
}

bool TextDecoder::isMultilingual() const {
    constexpr int64_t englishOnlyVocabulary = 51864;
    if (!isLoaded()) return true;
    const auto model = requireModel("TextDecoder");
    const auto& outputs = model->modelDescription().outputDescriptionsByName;
    const auto logits = outputs.find("logits");
    if (logits == outputs.end() || !logits->second.multiArrayConstraint) return true;
    const auto& shape = logits->second.multiArrayConstraint->shape;
    return shape.empty() || shape.back() != englishOnlyVocabulary;
}

void TextDecoder::warmUp() const {
    const auto model = requireModel("TextDecoder");
    const auto& inputs = model->modelDescription().inputDescriptionsByName;
    const auto input = inputs.find("encoder_output_embeds");
    if (input == inputs.end() || !input->second.multiArrayConstraint) return;
    const platform::ml::MultiArray states(input->second.multiArrayConstraint->shape, platform::ml::MultiArrayDataType::float32);
    auto state = makeDecoderState();
    (void)predictLogits(state.get(), {0}, &states);
}

std::shared_ptr<platform::ml::ModelStateHandle> TextDecoder::makeDecoderState() const {
    return requireModel("TextDecoder")->makeState();
}

std::vector<float> TextDecoder::predictLogits(platform::ml::ModelStateHandle* state, const std::vector<int>& inputIds,
                                              const platform::ml::MultiArray* encoderOutput) const {
    const auto model = requireModel("TextDecoder");
    platform::ml::MultiArray ids({static_cast<int64_t>(inputIds.size())}, platform::ml::MultiArrayDataType::int32);
    std::copy(inputIds.begin(), inputIds.end(), ids.elements<int32_t>().begin());
    platform::ml::FeatureProvider inputs;
    inputs.set("input_ids", std::move(ids));
    if (encoderOutput) inputs.set("encoder_output_embeds", *encoderOutput);
    const auto outputs = model->prediction(inputs, *state);
    const auto* logits = outputs.multiArray("logits");
    if (!logits) throw DarivirError::decodingLogitsFailed("the decoder gave no logits");
    if (logits->dataType() == platform::ml::MultiArrayDataType::float16) {
        const auto half = logits->elements<platform::ml::Half>();
        std::vector<float> values(half.size());
        std::transform(half.begin(), half.end(), values.begin(), [](platform::ml::Half h) { return static_cast<float>(h); });
        return values;
    }
    const auto values = logits->elements<float>();
    return {values.begin(), values.end()};
}

}  // namespace vocarion
