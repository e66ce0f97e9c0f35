#pragma once

#include <QString>
#include <exception>

namespace norvane {

// The error's message as the user should read it (messages are UTF-8).
inline QString errorText(const std::exception& error) { return QString::fromUtf8(error.what()); }

}  // namespace norvane
