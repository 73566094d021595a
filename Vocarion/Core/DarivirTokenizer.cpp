#include "Vocarion/Core/DarivirTokenizer.h"

#include <cstdio>
#include <system_error>

#include "BexmorCore/External/Tokenizers/TokenizerError.h"
#include "Vocarion/Utilities/DarivirError.h"

namespace vocarion {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view tokenizerFileName = "tokenizer.json";

bool isRegularFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

}  // namespace

DarivirTokenizer::DarivirTokenizer(bexmor::BpeTokenizer tokenizer) : tokenizer_(std::move(tokenizer)) {
    // Speech can decode to any text and a prompt can hold any text: every byte needs a token.
    if (const auto byte = tokenizer_.missingByte()) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", unsigned(*byte));
        throw DarivirError::tokenizerUnavailable(std::string("the vocabulary has no token for the byte ") + hex);
    }
    const auto require = [&](std::initializer_list<std::string_view> names) {
        for (const auto name : names) {
            if (const auto id = tokenizer_.tokenToId(name)) return *id;
        }
        throw DarivirError::tokenizerUnavailable("the tokenizer has no special token \"" +
                                                 std::string(*names.begin()) + "\"");
    };
    specialTokens_.endToken = require({"<|endoftext|>"});
    specialTokens_.specialTokenBegin = specialTokens_.endToken;
    specialTokens_.startOfTranscriptToken = require({"<|startoftranscript|>"});
    specialTokens_.englishToken = require({"<|en|>"});
    specialTokens_.translateToken = require({"<|translate|>"});
    specialTokens_.transcribeToken = require({"<|transcribe|>"});
    specialTokens_.startOfLmToken = require({"<|startoflm|>"});
    specialTokens_.startOfPreviousToken = require({"<|startofprev|>"});
    specialTokens_.noSpeechToken = require({"<|nospeech|>", "<|nocaptions|>"});
    specialTokens_.noTimestampsToken = require({"<|notimestamps|>"});
    specialTokens_.timeTokenBegin = require({"<|0.00|>"});

    for (const auto& [code, name] : Constants::languages) {
        if (const auto id = languageToken(code)) languageTokens_.emplace_back(std::string(code), *id);
    }
}

DarivirTokenizer DarivirTokenizer::fromFile(const fs::path& tokenizerFile) {
    try {
        return DarivirTokenizer(bexmor::BpeTokenizer::fromFile(tokenizerFile));
    } catch (const bexmor::TokenizerError& error) {
        throw DarivirError::tokenizerUnavailable(error.what());
    } catch (const DarivirError& error) {
        throw DarivirError::tokenizerUnavailable(tokenizerFile.string() + ": " + error.detail());
    }
}

std::optional<fs::path> DarivirTokenizer::localTokenizerFile(const LoadOptions& options) {
    if (options.modelFolder) {
        const fs::path file = *options.modelFolder / tokenizerFileName;
        if (isRegularFile(file)) return file;
    }
    const std::optional<std::string> variant =
        options.variantFolder ? options.variantFolder
        : options.modelFolder ? std::optional<std::string>(options.modelFolder->filename().string())
                              : std::nullopt;
    if (options.tokenizerFolder && variant && !variant->empty()) {
        const fs::path file = *options.tokenizerFolder / "models" / fs::path(options.repository) / *variant /
                              tokenizerFileName;
        if (isRegularFile(file)) return file;
    }
    return std::nullopt;
}

std::shared_ptr<DarivirTokenizer> DarivirTokenizer::load(const LoadOptions& options) {
    if (const auto file = localTokenizerFile(options)) {
        return std::make_shared<DarivirTokenizer>(fromFile(*file));
    }
    std::string where;
    if (options.modelFolder) where += " in " + options.modelFolder->string();
    if (options.tokenizerFolder) where += (where.empty() ? " in " : " or in ") + options.tokenizerFolder->string();
    throw DarivirError::tokenizerUnavailable("no " + std::string(tokenizerFileName) + " found" + where);
}

std::vector<int> DarivirTokenizer::encode(std::string_view text) const {
    try {
        return tokenizer_.encode(text);
    } catch (const bexmor::TokenizerError& error) {
        throw DarivirError::tokenizerUnavailable(error.what());
    }
}

std::string DarivirTokenizer::decode(std::span<const int> tokens, bool skipSpecialTokens) const {
    if (!skipSpecialTokens) return tokenizer_.decode(tokens);
    std::vector<int> text;
    text.reserve(tokens.size());
    for (const int token : tokens) {
        if (token < specialTokens_.specialTokenBegin) text.push_back(token);
    }
    return tokenizer_.decode(text);
}

std::optional<int> DarivirTokenizer::convertTokenToId(std::string_view token) const {
    return tokenizer_.tokenToId(token);
}

std::optional<std::string> DarivirTokenizer::convertIdToToken(int id) const { return tokenizer_.idToToken(id); }

std::optional<int> DarivirTokenizer::languageToken(std::string_view code) const {
    return tokenizer_.tokenToId("<|" + std::string(code) + "|>");
}

}  // namespace vocarion
