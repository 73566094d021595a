#include "Vocarion/Core/DarivirTokenizer.h"

#include <cstdio>
#include <system_error>

#include "BexmorCore/External/Tokenizers/TokenizerError.h"
#include "BexmorCore/HubWrapper.h"
#include "Vocarion/Utilities/DarivirError.h"

namespace vocarion {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view tokenizerFileName = "tokenizer.json";

bool isRegularFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

// The variant's folder in the repository: named, or the model folder's own name.
std::optional<std::string> variantFolderOf(const DarivirTokenizer::LoadOptions& options) {
    if (options.variantFolder && !options.variantFolder->empty()) return options.variantFolder;
    if (options.modelFolder) {
        const std::string name = options.modelFolder->lexically_normal().filename().string();
        const std::string parent = options.modelFolder->lexically_normal().parent_path().filename().string();
        // A folder given with a trailing separator has an empty last component.
        if (!name.empty()) return name;
        if (!parent.empty()) return parent;
    }
    return std::nullopt;
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
    const auto variant = variantFolderOf(options);
    if (options.tokenizerFolder && variant) {
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
    const auto variant = variantFolderOf(options);
    if (!options.download || !variant) {
        throw DarivirError::tokenizerUnavailable("no " + std::string(tokenizerFileName) + " found" + where +
                                                 (options.download ? ", and no model variant to download it for" : ""));
    }

    // Last resort: the variant folder's tokenizer files from the hub, into the tokenizer
    // folder's cache, where the next load finds them without the network.
    const std::string endpoint = options.endpoint.value_or(Constants::defaultRemoteEndpoint());
    const bexmor::HubApiWrapper hub(options.tokenizerFolder, options.token, endpoint, options.useBackgroundSession);
    const bexmor::HubApiWrapper::Repo repo{options.repository, bexmor::HubApiWrapper::RepoType::models};
    fs::path folder;
    try {
        folder = hub.snapshot(repo, "main", {*variant + "/tokenizer.json", *variant + "/tokenizer_config.json"});
    } catch (const std::exception& error) {
        throw DarivirError::tokenizerUnavailable("no " + std::string(tokenizerFileName) + " found" + where +
                                                 ", and downloading it from " + options.repository + " failed: " +
                                                 error.what());
    }
    const fs::path file = folder / *variant / tokenizerFileName;
    if (!isRegularFile(file)) {
        throw DarivirError::tokenizerUnavailable("no " + std::string(tokenizerFileName) + " found" + where +
                                                 ", and the repository " + options.repository + " has none for " +
                                                 *variant);
    }
    return std::make_shared<DarivirTokenizer>(fromFile(file));
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
