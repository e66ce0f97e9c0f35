#include "cli/TerminalDialogs.h"

#include "core/Background.h"

#include <QByteArray>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace norvane {

namespace {

void writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += n;
    }
}

// The terminal of the session, echo off while a PIN is typed; restored by the destructor
// whatever ends the reading (Enter, end of input, Ctrl-C).
class Terminal {
public:
    Terminal() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~Terminal() {
        echo(true);
        if (fd_ >= 0) ::close(fd_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool open() const { return fd_ >= 0; }
    void write(const QString& text) { writeAll(fd_, text.toUtf8()); }

    void echo(bool on) {
        if (fd_ < 0) return;
        if (!on && !saved_) {
            termios settings{};
            if (::tcgetattr(fd_, &settings) != 0) return;
            original_ = settings;
            saved_ = true;
            settings.c_lflag &= tcflag_t(~(ECHO | ECHOE | ECHOK | ECHONL));
            settings.c_lflag |= ICANON;
            ::tcsetattr(fd_, TCSAFLUSH, &settings);
        } else if (on && saved_) {
            ::tcsetattr(fd_, TCSAFLUSH, &original_);
            saved_ = false;
        }
    }

    enum class Read { Line, End, Interrupted };
    // One line without its end; polls the quit flag while it waits.
    Read readLine(QByteArray& line) {
        line.clear();
        for (;;) {
            if (abortRequested()) return Read::Interrupted;
            pollfd wait{fd_, POLLIN, 0};
            const int ready = ::poll(&wait, 1, 200);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return Read::End;
            if (ready == 0) continue;
            char c = 0;
            const ssize_t n = ::read(fd_, &c, 1);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return line.isEmpty() ? Read::End : Read::Line;
            if (c == '\n' || c == '\r') return Read::Line;
            if (c == 4) return line.isEmpty() ? Read::End : Read::Line;  // Ctrl-D outside canonical mode
            line.append(c);
        }
    }

private:
    int fd_;
    termios original_{};
    bool saved_ = false;
};

void wipe(QByteArray& bytes) {
    volatile char* p = bytes.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) p[i] = 0;
    bytes.clear();
}

}  // namespace

void printError(const QString& line) {
    writeAll(STDERR_FILENO, (line + QLatin1Char('\n')).toUtf8());
}

void TerminalDialogs::setCertificatePick(std::optional<int> index, int expectedCount) {
    pick_ = index;
    expectedCount_ = expectedCount;
}

void TerminalDialogs::showError(const QString& text, const QString& caption) {
    // The numbered boxes ("Erro 04: ...") already say what they are.
    const bool named = text.startsWith(QLatin1String("Erro "));
    printError((named ? QString() : QStringLiteral("Erro: ")) +
               (caption.isEmpty() ? QString() : caption + QStringLiteral(": ")) + text);
}

void TerminalDialogs::showInfo(const QString& text, const QString& caption) {
    printError(caption.isEmpty() ? text : caption + QStringLiteral(": ") + text);
}

QString TerminalDialogs::chooseFolder(const QString&) { return QString(); }

QString TerminalDialogs::chooseOpenFile(const QString&, const QString&) { return QString(); }

std::optional<int> TerminalDialogs::pickCertificate(const QString&, const QString&,
                                                    const std::vector<CertificateChoice>& choices) {
    // The list changed between the look that chose and this one (a token plugged in or
    // pulled out): the index could name another certificate.
    if (!pick_ || int(choices.size()) != expectedCount_ || *pick_ < 0 || *pick_ >= int(choices.size())) {
        printError(QStringLiteral("Erro: a lista de certificados mudou durante o login; execute o comando novamente."));
        return std::nullopt;
    }
    return pick_;
}

std::optional<QString> TerminalDialogs::askPin(const QString& tokenLabel, const QString& message) {
    PinRequest request;
    request.tokenLabel = tokenLabel;
    request.message = message;
    return askTokenPin(request);
}

std::optional<QString> TerminalDialogs::askTokenPin(const PinRequest& request) {
    Terminal terminal;
    if (!terminal.open()) {
        printError(QStringLiteral("Erro: não há terminal para digitar o PIN do token \"%1\".").arg(request.tokenLabel));
        return std::nullopt;
    }
    const int least = std::max(1, request.minLength);
    const int most = request.maxLength;
    for (;;) {
        if (!request.message.isEmpty()) terminal.write(request.message + QLatin1Char('\n'));
        // Echo off before the prompt shows: nothing typed after it is ever echoed.
        terminal.echo(false);
        terminal.write(QStringLiteral("PIN do token \"%1\" (Ctrl-D cancela): ").arg(request.tokenLabel));
        QByteArray line;
        const Terminal::Read read = terminal.readLine(line);
        terminal.echo(true);
        terminal.write(QStringLiteral("\n"));
        if (read != Terminal::Read::Line) {
            wipe(line);
            return std::nullopt;
        }
        QString pin = QString::fromUtf8(line);
        wipe(line);
        const qsizetype length = pin.size();
        if (length >= least && (most <= 0 || length <= most)) return pin;
        pin.fill(QLatin1Char('\0'));
        // A PIN of a length the token does not take is never sent: it would cost a try.
        if (most > 0)
            terminal.write(QStringLiteral("O PIN deste token tem de %1 a %2 caracteres.\n").arg(least).arg(most));
        else
            terminal.write(QStringLiteral("O PIN deste token tem pelo menos %1 caractere(s).\n").arg(least));
    }
}

void TerminalDialogs::pinPadWaiting(const QString& tokenLabel, bool waiting) {
    if (waiting) printError(QStringLiteral("Digite o PIN no teclado do leitor do token \"%1\".").arg(tokenLabel));
}

}  // namespace norvane
