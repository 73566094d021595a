#pragma once

#include <string>

namespace testsupport {

// The message of the Error that `call` throws, "no error" when it returns, so a table of
// refusals checks each row in one line.
template <typename Error, typename Call>
std::string messageOf(Call&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace testsupport
