// tokenizer.json and the text it encodes: the input is the file, then a NUL byte, then
// the text (without a NUL, the file's own bytes are the text). Loading fails only with
// the tokenizer's error; encoding and decoding never fail on a file that loaded, except
// for a byte the vocabulary cannot express, which is the tokenizer's error too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "BexmorCore/External/Tokenizers/BpeTokenizer.h"
#include "BexmorCore/External/Tokenizers/TokenizerError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto split = input.find('\0');
    const std::string_view file = input.substr(0, split);
    const std::string_view text = split == std::string_view::npos ? input : input.substr(split + 1);
    try {
        const auto tokenizer = bexmor::BpeTokenizer::fromJson(file, "fuzz/tokenizer.json");
        try {
            const std::vector<int> ids = tokenizer.encode(text);
            (void)tokenizer.decode(ids);
            (void)tokenizer.decode(ids, true);
        } catch (const bexmor::TokenizerError&) {
            if (!tokenizer.missingByte()) __builtin_trap();  // every byte has a token: encoding cannot fail
        }
        // Ids the file never gave, and every one it did.
        std::vector<int> raw(text.size() / 4);
        if (!raw.empty()) std::memcpy(raw.data(), text.data(), raw.size() * sizeof(int));
        (void)tokenizer.decode(raw);
        for (int id = 0; id < 64; ++id) {
            (void)tokenizer.idToToken(id);
            (void)tokenizer.tokenBytes(id);
        }
    } catch (const bexmor::TokenizerError&) {
    }
    return 0;
}
