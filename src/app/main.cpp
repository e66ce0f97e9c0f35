#include <cstring>

#include "app/Application.h"
#include "app/SingleInstance.h"
#include "cli/BatchCommand.h"
#include "cli/DiagnosisCommand.h"
#include "cli/VerifyCommand.h"

int main(int argc, char** argv) {
    // The command line's modes run before any window, and need no display.
    if (argc > 1 && std::strcmp(argv[1], norvane::kDiagnosisOption) == 0) return norvane::runDiagnosisCommand(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], norvane::kVerifyOption) == 0) return norvane::runVerifyCommand(argc, argv);
    if (norvane::isBatchCommand(argc, argv))
        return norvane::runBatchCommand(argc, argv, [] {
            // The same lock as the windows': one copy per user, whichever way it was started.
            return norvane::acquireSingleInstanceLock(QString::fromLatin1(norvane::kSingleInstanceName)) !=
                   norvane::LockResult::AlreadyRunning;
        });
    if (!norvane::displayAvailable()) return 1;
    return norvane::runApplication(argc, argv);
}
