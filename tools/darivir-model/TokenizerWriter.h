#pragma once

#include <cstdint>
#include <map>
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
    // Every special token's id by its text.
    std::map<std::string, int64_t> specialIds;
    // The ids that spell the extra text given to tinyTokenizer, in order.
    std::vector<int64_t> textTokens;
};

// A small byte-level BPE tokenizer: the 256 byte tokens, merges learnt from a short
// built-in text, then every special token of the family ("<|endoftext|>",
// "<|startoftranscript|>", the languages, the tasks, "<|startoflm|>", "<|startofprev|>",
// "<|nospeech|>", "<|notimestamps|>", the timestamps "<|0.00|>" to "<|30.00|>").
// With an extra text, its pieces are learnt too (as whole tokens where the merges allow)
// and textTokens holds the ids that spell it; without, the files are the same as ever.
TokenizerFiles tinyTokenizer(int merges, const std::string& extraText = {});

}  // namespace darivir
