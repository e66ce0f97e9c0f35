#pragma once
// `NorvaneAssinadorIP --diagnostico`: prints the token doctor's report; needs no display.

namespace norvane {

inline constexpr char kDiagnosisOption[] = "--diagnostico";

int runDiagnosisCommand(int argc, char** argv);

}  // namespace norvane
