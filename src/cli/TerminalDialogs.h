#pragma once
// The dialogs of the command line: boxes go to the standard error, the PIN is read from the
// terminal (/dev/tty) without echo, and the certificate pick was made beforehand from the
// command's arguments. Nothing is ever read from the arguments or the environment as a PIN.

#include "core/Dialogs.h"

#include <optional>

namespace norvane {

class TerminalDialogs final : public Dialogs {
public:
    // The index the certificate pick answers (the caller found it among the same list);
    // nothing: the pick is cancelled.
    void setCertificatePick(std::optional<int> index, int expectedCount);

    void showError(const QString& text, const QString& caption = QString()) override;
    void showInfo(const QString& text, const QString& caption = QString()) override;
    QString chooseFolder(const QString& title) override;
    QString chooseOpenFile(const QString& title, const QString& filter) override;
    std::optional<int> pickCertificate(const QString& title, const QString& prompt,
                                       const std::vector<CertificateChoice>& choices) override;
    std::optional<QString> askPin(const QString& tokenLabel, const QString& message) override;
    std::optional<QString> askTokenPin(const PinRequest& request) override;
    void pinPadWaiting(const QString& tokenLabel, bool waiting) override;

private:
    std::optional<int> pick_;
    int expectedCount_ = -1;
};

// Writes a line (UTF-8) to the standard error at once.
void printError(const QString& line);

}  // namespace norvane
