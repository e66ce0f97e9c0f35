#include "support/ProgramRun.h"

#include <gtest/gtest.h>

#include <QProcess>

namespace norvane::test {

ProgramRun runWithoutDisplay(const QStringList& arguments, const QProcessEnvironment& extra) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(name);
    for (const QString& name : extra.keys()) environment.insert(name, extra.value(name));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(NORVANE_EXECUTABLE), arguments);
    ProgramRun result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "the program did not end by itself";
        return result;
    }
    result.exitCode = process.exitCode();
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    result.errors = QString::fromUtf8(process.readAllStandardError());
    return result;
}

}  // namespace norvane::test
