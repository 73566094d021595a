#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace darivir {

// The language codes of the model family, in token order.
const std::vector<std::string>& languageCodes();

struct TokenizerFiles {
    std::string tokenizerJson;
    std::string tokenizerConfigJson;
    int64_t vocabSize = 0;
    int64_t endOfText = 0;           // the first special token
    int64_t startOfTranscript = 0;
};

// A small byte-level BPE tokenizer: the 256 byte tokens, merges learnt from a short
// built-in text, then every special token of the family ("<|endoftext|>",
// "<|startoftranscript|>", the languages, the tasks, "<|startoflm|>", "<|startofprev|>",
// "<|nospeech|>", "<|notimestamps|>", the timestamps "<|0.00|>" to "<|30.00|>").
TokenizerFiles tinyTokenizer(int merges);

}  // namespace darivir
