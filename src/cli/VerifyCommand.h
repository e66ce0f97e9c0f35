#pragma once
// "--verificar ARQUIVO.p7s [DOCUMENTO]": checks a signature without a window and prints the
// verdict, then the details, on the standard output.

namespace norvane {

inline constexpr char kVerifyOption[] = "--verificar";

// The whole run of the option (argv[1] is the option); returns the process's exit code:
// 0 valid, 1 invalid, 2 not read as a signature (or the arguments are wrong).
int runVerifyCommand(int argc, char** argv);

}  // namespace norvane
