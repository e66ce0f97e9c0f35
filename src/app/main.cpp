#include <cstring>

#include "app/Application.h"
#include "app/DiagnosisWindow.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--diagnostico") == 0) return norvane::runDiagnosisCommand(argc, argv);
    if (!norvane::displayAvailable()) return 1;
    return norvane::runApplication(argc, argv);
}
