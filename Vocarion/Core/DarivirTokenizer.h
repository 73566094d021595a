#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BexmorCore/External/Tokenizers/BpeTokenizer.h"
#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/Models.h"

namespace vocarion {

// The tokenizer of a Darivir model: the byte-level BPE of the model's "tokenizer.json"
// and the model's special tokens, found by their text. Immutable once made, so one
// tokenizer serves every concurrent transcription.
class DarivirTokenizer {
public:
    // Takes a loaded tokenizer and finds its special tokens; throws
    // DarivirError::tokenizerUnavailable naming the first one that is missing.
    explicit DarivirTokenizer(bexmor::BpeTokenizer tokenizer);

    // Reads one "tokenizer.json"; every failure is a DarivirError::tokenizerUnavailable
    // whose message names the file and the problem.
    static DarivirTokenizer fromFile(const std::filesystem::path& tokenizerFile);

    // Where the tokenizer may be found, in the order tried:
    //  1. modelFolder/"tokenizer.json";
    //  2. the hub cache in tokenizerFolder: tokenizerFolder/"models"/repository/
    //     variantFolder/"tokenizer.json" (the layout a hub download leaves there);
    //  3. a download of the variant folder's tokenizer files from the hub into
    //     tokenizerFolder (or the hub's default download base), when download is on.
    struct LoadOptions {
        std::optional<std::filesystem::path> modelFolder;
        std::optional<std::filesystem::path> tokenizerFolder;
        std::string repository = std::string(Constants::defaultModelRepository);
        // The variant's folder in the repository; when unset, the model folder's name.
        std::optional<std::string> variantFolder;
        std::optional<std::string> token;
        std::optional<std::string> endpoint;
        bool useBackgroundSession = false;
        bool download = true;
    };
    // Throws DarivirError::tokenizerUnavailable when no source has the tokenizer, or when
    // the file found is malformed (a broken local file is reported, not passed over).
    static std::shared_ptr<DarivirTokenizer> load(const LoadOptions& options);
    // The file the first two steps of load() would read, none when neither has one.
    static std::optional<std::filesystem::path> localTokenizerFile(const LoadOptions& options);

    // The ids of a text as the tokenizer encodes it; no special tokens are added, but
    // special tokens written in the text are recognised.
    std::vector<int> encode(std::string_view text) const;
    // The text of some ids; invalid UTF-8 becomes U+FFFD, unknown ids are skipped, and
    // with skipSpecialTokens every id at or above specialTokenBegin is left out.
    std::string decode(std::span<const int> tokens, bool skipSpecialTokens = false) const;

    std::optional<int> convertTokenToId(std::string_view token) const;
    std::optional<std::string> convertIdToToken(int id) const;

    const SpecialTokens& specialTokens() const { return specialTokens_; }
    // The language tokens the file has, as (code, id) in the language table's order.
    const std::vector<std::pair<std::string, int>>& languageTokens() const { return languageTokens_; }
    // The id of "<|code|>", none when the file has no such language.
    std::optional<int> languageToken(std::string_view code) const;

    const bexmor::BpeTokenizer& bpe() const { return tokenizer_; }

private:
    bexmor::BpeTokenizer tokenizer_;
    SpecialTokens specialTokens_;
    std::vector<std::pair<std::string, int>> languageTokens_;
};

}  // namespace vocarion
