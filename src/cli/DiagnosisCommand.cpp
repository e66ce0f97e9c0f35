#include "cli/DiagnosisCommand.h"

#include <QByteArray>
#include <QCoreApplication>
#include <cstdio>

#include "certs/doctor/TokenDoctor.h"

namespace norvane {

int runDiagnosisCommand(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QByteArray report = doctor::diagnosticReport().toUtf8();
    std::fwrite(report.constData(), 1, size_t(report.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace norvane
