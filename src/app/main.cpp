#include <QStringList>
#include <cstdio>

#include "app/Application.h"
#include "app/SingleInstance.h"
#include "cli/BatchCommand.h"
#include "cli/CommandLine.h"
#include "cli/DiagnosisCommand.h"
#include "cli/VerifyCommand.h"

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    // The command line's modes run before any window, and need no display.
    const norvane::CommandChoice choice = norvane::chooseCommand(arguments);
    switch (choice.command) {
        case norvane::Command::Refused:
            return norvane::refuseArguments(choice.problem);
        case norvane::Command::Help: {
            const QByteArray usage = norvane::usageText().toUtf8();
            std::fwrite(usage.constData(), 1, size_t(usage.size()), stdout);
            return 0;
        }
        case norvane::Command::Diagnosis:
            return norvane::runDiagnosisCommand(argc, argv);
        case norvane::Command::Verify:
            return norvane::runVerifyCommand(argc, argv);
        case norvane::Command::Batch:
            return norvane::runBatchCommand(argc, argv, [] {
                // The same lock as the windows': one copy per user, whichever way it was started.
                return norvane::acquireSingleInstanceLock(QString::fromLatin1(norvane::kSingleInstanceName)) !=
                       norvane::LockResult::AlreadyRunning;
            });
        case norvane::Command::CheckSignature:
            if (!norvane::displayAvailable()) return 1;
            return norvane::runSignatureCheck(argc, argv, choice.file);
        case norvane::Command::Window:
            break;
    }
    if (!norvane::displayAvailable()) return 1;
    return norvane::runApplication(argc, argv);
}
