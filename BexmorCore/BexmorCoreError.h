#pragma once

#include <exception>
#include <string>

namespace bexmor {

// The core module's own error. It has a single case, `invalidConfiguration`, whose
// description is the message it carries. The model manager throws it when no model
// path is known or when the current model state forbids an operation.
class BexmorCoreError : public std::exception {
public:
    enum class Kind { invalidConfiguration };

    static BexmorCoreError invalidConfiguration(std::string message);

    Kind kind() const noexcept { return kind_; }
    // The message itself: this error has no failure reason, recovery suggestion or help.
    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    BexmorCoreError(Kind kind, std::string message);

    Kind kind_;
    std::string message_;
};

}  // namespace bexmor
