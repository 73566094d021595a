#pragma once

#include <cstdint>
#include <vector>

#include "VariantWriter.h"

namespace darivir {

// What a scripted decoder says. Greedy decoding spells `text` after the initial tokens,
// then ends (or starts over, with `loop`); after the start of transcript the chosen
// language is the likeliest language, English the runner-up, and "no speech" has the
// chosen probability.
struct Script {
    std::vector<int64_t> text;        // distinct ids: one successor per token
    std::vector<int64_t> textStarts;  // the tokens the text follows: the tasks, no-timestamps, the first timestamp
    int64_t firstTimestamp = -1;      // "<|0.00|>": the runner-up after the other text starts
    int64_t endOfText = 0;
    int64_t startOfTranscript = 0;
    int64_t language = 0;
    int64_t english = 0;
    int64_t noSpeech = 0;
    float confidence = 40.0f;         // logit of each scripted token; every other token has 0
    double noSpeechProbability = 0.0;
    bool loop = false;
};

// Replaces the decoder tensors of a model so that it follows the script: layer 0's MLP is
// a lookup from the fed token to a mix of output directions, every attention and every
// other MLP adds nothing, and the embedding rows are orthonormal, zero-mean directions so
// that the final LayerNorm only rescales. Throws when the width cannot hold the tokens.
void scriptDecoder(TensorMap& tensors, const Hyperparameters& h, const Script& script, const std::string& dtype);

}  // namespace darivir
