#pragma once
// What the command line asks for: the window (with no argument), the signature check
// window on a .p7s (one file, as the desktop opens it), --lote, --verificar, --diagnostico,
// --help or --versao. Anything else (an unknown option, an option of --lote without it, a
// second file) is refused with the usage and exit code 64.

#include <QString>
#include <QStringList>

namespace norvane {

enum class Command { Window, CheckSignature, Batch, Verify, Diagnosis, Help, Refused };

struct CommandChoice {
    Command command = Command::Window;
    QString file;     // CheckSignature: the file to open
    QString problem;  // Refused: what is wrong with the arguments
};

// From the arguments after the program's name.
CommandChoice chooseCommand(const QStringList& arguments);

// Every mode and option, with the exit codes.
QString usageText();

// Prints the problem and the usage on the standard error; returns 64.
int refuseArguments(const QString& problem);

}  // namespace norvane
