#pragma once

#include <exception>
#include <string>

namespace bexmor {

// A tokenizer file that cannot be read or understood. what() says which file and why,
// in English, e.g. "tokenizer.json: merge 12 (\"a b\") names \"ab\", which is not in the
// vocabulary".
class TokenizerError : public std::exception {
public:
    explicit TokenizerError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace bexmor
