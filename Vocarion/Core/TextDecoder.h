#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/ML/MultiArray.h"
#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/ModelComponent.h"
#include "Vocarion/Core/Models.h"

namespace platform::ml {
class ModelStateHandle;
}

namespace vocarion {

class DarivirTokenizer;
class LogitsFiltering;

// What one decoding try needs besides the encoder states and the options.
struct DecodingContext {
    const DarivirTokenizer* tokenizer = nullptr;
    // Filters of the engine's configuration, applied after the built-in ones.
    std::vector<std::shared_ptr<LogitsFiltering>> logitsFilters;
    // Seed of the top-k sampler, so that a try is reproducible.
    uint64_t seed = 0;
};

// Decodes the text of one window from its encoder states.
class TextDecoding {
public:
    virtual ~TextDecoding() = default;
    // One try at the given temperature. Throws the engine's error when the decoder fails.
    virtual DecodingResult decodeText(const platform::ml::MultiArray& encoderOutput, const DecodingOptions& options,
                                      float temperature, const DecodingContext& context) const = 0;
};

// Runs the stateful "TextDecoder" model token by token: the initial tokens (previous text
// after "<|startofprev|>", start of transcript, language, task, no-timestamps), then the
// sampled tokens, until end of text, the sample length or the positional table's end.
class TextDecoder : public TextDecoding, public ModelComponent {
public:
    DecodingResult decodeText(const platform::ml::MultiArray& encoderOutput, const DecodingOptions& options,
                              float temperature, const DecodingContext& context) const override;

    // "<|startofprev|>" and the last maxPromptTokens of the prompt, or nothing without one.
    // Only the last ones are kept so that prompt and text always fit the decoder's context.
    static std::vector<int> previousTextTokens(const DecodingOptions& options, const SpecialTokens& specialTokens);

    // False for the family's English-only models (a vocabulary of 51864 tokens): they take
    // no language and no task token, and their language is English.
    virtual bool isMultilingual() const;

    // One step from the start of transcript over encoder states of zeros.
    void warmUp() const override;

protected:
    // A fresh key-value cache for one try.
    virtual std::shared_ptr<platform::ml::ModelStateHandle> makeDecoderState() const;
    // Feeds inputIds (appended to the cache) and returns the logits after the last of them.
    // The first call with a state carries the encoder states; later ones pass nullptr.
    virtual std::vector<float> predictLogits(platform::ml::ModelStateHandle* state, const std::vector<int>& inputIds,
                                             const platform::ml::MultiArray* encoderOutput) const;
};

}  // namespace vocarion
