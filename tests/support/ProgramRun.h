#pragma once
// The real program run to its end without a display (DISPLAY, WAYLAND_DISPLAY and
// QT_QPA_PLATFORM unset), with what it printed.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace norvane::test {

struct ProgramRun {
    int exitCode = -1;
    QString output, errors;
    QString firstLine() const { return output.section('\n', 0, 0); }
};

// `extra` is set on top of the test's own environment. A program that does not end within
// a minute is killed and the test fails.
ProgramRun runWithoutDisplay(const QStringList& arguments, const QProcessEnvironment& extra = {});

}  // namespace norvane::test
