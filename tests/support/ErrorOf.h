#pragma once

#include <exception>
#include <functional>
#include <string>

namespace norvane::test {

// The message of the error the call raises, or "no error".
inline std::string errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace norvane::test
