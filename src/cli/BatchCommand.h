#pragma once
// "--lote ENTRADA SAIDA": the batch tab without a window. The login's steps (certificate
// checks, key test, the service's login call, and its version check first), then the
// intake, the engine, the journal and the report of the batch tab, in a terminal or from
// cron. No display is needed.

#include <functional>

namespace norvane {

inline constexpr char kBatchOption[] = "--lote";
inline constexpr char kHelpOption[] = "--help";
inline constexpr char kVersionOption[] = "--versao";

// The process's exit codes.
enum BatchExit : int {
    kExitAllSent = 0,       // every accepted row sent (also: nothing to send)
    kExitRowsNotSent = 1,   // the batch went through, but some rows ended "Erro" or were not sent
    kExitBatchError = 2,    // an error ended the batch
    kExitLoginFailed = 3,   // the login failed or was cancelled
    kExitOtherInstance = 4, // another copy of the program runs for this user
    kExitOtherVersion = 5,  // the service names another version
    kExitUsage = 64,        // wrong arguments, or a choice the arguments must make
    kExitInterrupted = 130, // Ctrl-C or SIGTERM
};

// True when argv[1] names one of the command's options.
bool isBatchCommand(int argc, char** argv);

// The whole run (argv[1] is one of the options); returns the exit code. `takeInstanceLock`
// takes the program's single-instance lock once the arguments are known to be right: false
// when another copy runs.
int runBatchCommand(int argc, char** argv, const std::function<bool()>& takeInstanceLock);

}  // namespace norvane
