#include "CardTerminal.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <vector>

#include "core/Error.h"

namespace norvane::test {

BatchFolders::BatchFolders() {
    QDir(dir_.path()).mkpath("entrada");
    QDir(dir_.path()).mkpath("saida");
    QDir(dir_.path()).mkpath("exemplos");
    StandIn::Options options;
    options.demo = true;
    options.port = NORVANE_CLI_PORT;
    options.homologationPort = true;
    options.homologationPortNumber = NORVANE_CLI_HOMOLOGATION_PORT;
    options.samples = dir_.filePath("exemplos");
    standIn_ = std::make_unique<StandIn>(options);
    // The demo's instruments are named for the demo holder's office; the card's holder works at
    // the canned office of the stand-in (IBGE 3550308, number 01): the same files, its keys.
    const QRegularExpression demoKey(QStringLiteral("^4216602(\\d{8}01\\d{6})\\.pdf$"));
    for (const QString& name : QDir(options.samples).entryList({"*.pdf"}, QDir::Files, QDir::Name)) {
        const QRegularExpressionMatch m = demoKey.match(name);
        if (!m.hasMatch()) continue;
        const QString renamed = QStringLiteral("3550308") + m.captured(1) + QStringLiteral(".pdf");
        if (!QFile::copy(options.samples + "/" + name, input() + "/" + renamed))
            throw norvane::Error(norvane::ErrorKind::Failure, QStringLiteral("cannot copy a sample instrument"));
        accepted_ << renamed;
    }
    if (accepted_.isEmpty())
        throw norvane::Error(norvane::ErrorKind::Failure, QStringLiteral("the stand-in wrote no sample instrument"));
}

QString TerminalRun::describe() const {
    return QStringLiteral("exit %1\n-- stdout:\n%2\n-- stderr:\n%3\n-- terminal:\n%4")
        .arg(exitCode)
        .arg(output, errors, terminal);
}

namespace {

bool readInto(int fd, QByteArray& into) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into.append(buffer, int(n));
    return true;
}

}  // namespace

TerminalRun runBatchInTerminal(BatchFolders& folders, QStringList pins) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) throw norvane::Error(norvane::ErrorKind::Failure, QStringLiteral("pipe"));
    const QByteArray program = NORVANE_CLI_EXECUTABLE;
    const QByteArray input = folders.input().toUtf8(), output = folders.output().toUtf8();
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) throw norvane::Error(norvane::ErrorKind::Failure, QStringLiteral("forkpty"));
    if (child == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--lote"),
                        const_cast<char*>(input.constData()), const_cast<char*>(output.constData()), nullptr};
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    QByteArray stdoutBytes, stderrBytes, terminal;
    TerminalRun run;
    std::vector<pollfd> fds{{master, POLLIN, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    QElapsedTimer waited;
    waited.start();
    int open = 3;
    while (open > 0 && waited.elapsed() < 120000) {
        if (::poll(fds.data(), fds.size(), 1000) <= 0) continue;
        QByteArray* into[] = {&terminal, &stdoutBytes, &stderrBytes};
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (!readInto(fds[i].fd, *into[i])) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
        while (terminal.count("PIN do token") > run.prompts) {
            ++run.prompts;
            const QByteArray answer = pins.isEmpty() ? QByteArray("\x04") : pins.takeFirst().toUtf8() + '\n';
            ::write(master, answer.constData(), size_t(answer.size()));
        }
    }
    for (const pollfd& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    int status = 0;
    if (open > 0) ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = QString::fromUtf8(stdoutBytes);
    run.errors = QString::fromUtf8(stderrBytes);
    run.terminal = QString::fromUtf8(terminal);
    return run;
}

}  // namespace norvane::test
