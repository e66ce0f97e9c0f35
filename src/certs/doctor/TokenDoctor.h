#pragma once
// The token doctor: a plain Portuguese report of what the program sees of the machine, its
// card readers, token drivers, tokens and certificates, and why a certificate is or is not
// offered for the login. Asks for no PIN and writes nothing to a token.

#include <QString>

namespace norvane::doctor {

// The whole report. Blocks while the tokens are read: off the GUI thread.
QString diagnosticReport();

}  // namespace norvane::doctor
